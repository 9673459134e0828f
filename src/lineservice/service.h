// The process-wide state of the line service: usage handles, open lines, calls and the line
// devices, behind one lock. It starts with the first lineInitialize of the process and stops
// completely (threads joined, sockets closed and removed) with the last lineShutdown, so that the
// library can be unloaded and loaded again. The members are implemented by job: lifetime and
// tables (service.cpp), devices and their answers (devices.cpp), call flows (calls.cpp), the
// data path of lines (lines.cpp).
#pragma once

#include "lineservice/callbacks.h"
#include "lineservice/callerid.h"
#include "lineservice/devconfig.h"
#include "lineservice/exchange.h"
#include "lineservice/modemstore.h"
#include "lineservice/protocol.h"

#include "platform/tapi.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lineservice {

class AtModem;
class Connection;
class Listener;
class Tap;
struct AtResult;
struct DialString;

// The service lock: every member of Service is used with it held.
std::mutex& ServiceLock();

// A reason a request failed that the caller cannot see in the result code, on standard error.
void Complain(const char* function, const std::string& why);

// The API versions the service speaks.
constexpr DWORD kLowestVersion = TAPI_VERSION1_4;
constexpr DWORD kHighestVersion = TAPI_VERSION3_0;
constexpr DWORD kDeviceMediaModes = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_AUTOMATEDVOICE;
constexpr DWORD kAtMediaModes = LINEMEDIAMODE_DATAMODEM;
constexpr DWORD kDeviceBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH;

struct App {
  HLINEAPP handle = 0;
  CallbackReceiver* receiver = nullptr;
};

struct Line {
  HLINE handle = 0;
  HLINEAPP app = 0;
  DWORD device = 0;
  DWORD_PTR instance = 0;
  DWORD privileges = 0;
  DWORD mediaModes = 0;
  std::vector<std::shared_ptr<Tap>> taps;
  bool IsOwner() const { return privileges & LINECALLPRIVILEGE_OWNER; }
};

enum class CallDirection { Outgoing, Incoming };

// One call of a modem, from dialing or the first ring until the app deallocates it.
struct Call {
  DWORD id = 0;
  CallDirection direction = CallDirection::Outgoing;
  DWORD device = 0;
  HLINE line = 0;
  // The app's handle; 0 once deallocated (an unanswered incoming call is offered again, with a
  // new handle, at its next ring).
  HCALL handle = 0;
  bool announced = false;  // the handle's first LINE_CALLSTATE (with the privilege) went out
  DWORD state = LINECALLSTATE_IDLE;
  DWORD stateMode = 0;
  SYSTEMTIME stateEntered{};
  DWORD mediaMode = LINEMEDIAMODE_DATAMODEM;
  DWORD bearerMode = LINEBEARERMODE_VOICE;
  DWORD farMaxRate = 0;
  DWORD rate = 0;  // negotiated, once connected
  DWORD monitorDigitModes = 0;
  std::string callerNumber, callerName, calledNumber, calledName;
  std::shared_ptr<Connection> connection;
  int rings = 0;
  Exchange::TimerId timer = 0;         // next ring (incoming), set-up time-out (outgoing)
  Exchange::TimerId ringOffTimer = 0;  // end of a ring's on-time
  std::shared_ptr<std::atomic<bool>> offering;  // of the current handle: it still offers the call
  bool answering = false;              // lineAnswer sent the answer; CONNECTED comes with the caller's reply
  bool onHook = false;                 // the modem has left the call: nothing more happens on it
  // Bytes from the far end waiting for the device's first tap; they outlive a hang-up by the far
  // end, as a modem's port holds what came before the carrier dropped, until IDLE or deallocation.
  std::string kept;
  // AT modems.
  DWORD pendingRequest = 0;  // the lineMakeCall whose LINE_REPLY waits for the modem to dial
  bool hangingUp = false;    // the modem was asked to hang up; IDLE follows its answer
  CallerId callerId;         // what the modem's caller-ID lines told
  DWORD callerFlags = 0;     // LINECALLPARTYID_BLOCKED or _OUTOFAREA from them (0: from the texts)
};

// A line device: a modem of the store and what this process does with it.
struct Device {
  ModemEntry modem;
  DEVCFG config{};
  std::shared_ptr<AtModem> at;         // an AT modem's worker while its port is held
  Exchange::TimerId ringOut = 0;       // an AT modem's incoming call ends when its RINGs stop
  std::shared_ptr<Listener> listener;  // while an owner line waits for calls
  std::shared_ptr<Call> active;        // the call the modem is in
  std::weak_ptr<Call> ended;           // the call it was in last
  bool ringOn = false;
  DWORD negotiatedRate = 0;     // of the last connected call
  DWORD negotiatedOptions = 0;

  bool IsAt() const { return modem.IsAtModem(); }
};

class Service {
public:
  // The running service, or nullptr when no usage handle is open. Lock held.
  static Service* Current();

  // lineInitialize and lineShutdown: the first starts the service, the last stops it.
  static LONG Initialize(LINECALLBACK callback, HLINEAPP* app, DWORD* numDevices);
  static LONG Shutdown(HLINEAPP app);

  // Tables (lock held). Null when the handle is not valid.
  App* FindApp(HLINEAPP handle);
  Line* FindLine(HLINE handle);
  std::shared_ptr<Call> FindCall(HCALL handle);
  Device* FindDevice(DWORD id) { return id < m_Devices.size() ? &m_Devices[id] : nullptr; }
  DWORD DeviceCount() const { return DWORD(m_Devices.size()); }
  bool Stopping() const { return m_Stopping; }
  // An AT modem runs: the device list stays as it is.
  bool ModemsRunning() const;

  // Lines.
  // The AT modem an owner line of `device` needs, started if it is not running: the caller waits
  // for it to open (without the lock) before OpenLine. Null when the line needs no port.
  std::shared_ptr<AtModem> ModemForLine(DWORD device, DWORD privileges);
  // After a failed open: the modem goes unless something else uses it.
  void ReleaseModemIfUnused(DWORD device);
  // An owner line refused because its number (an AT modem: its device) already has an owner line
  // in this process, as another process's owner refuses it: LINEERR_RESOURCEUNAVAIL with the
  // reason on standard error; 0 when the line may be opened.
  LONG CheckSingleOwner(DWORD device, DWORD privileges) const;
  // A call placed from `line`, with its identifier; no handle yet.
  std::shared_ptr<Call> NewOutgoingCall(const Line& line);
  LONG OpenLine(HLINEAPP app, DWORD device, DWORD_PTR instance, DWORD privileges, DWORD mediaModes, HLINE* line);
  void CloseLine(HLINE line);
  // A new tap on the line's data path; its caller handle, or INVALID_HANDLE_VALUE.
  HANDLE AddTap(Line& line);
  // The taps of the device's open lines whose callers still hold them.
  std::vector<std::shared_ptr<Tap>> TapsOf(DWORD device);

  // Devices (devices.cpp).
  LONG FillDevCaps(DWORD device, LINEDEVCAPS* caps);
  LONG FillDeviceId(Line& line, const std::string& deviceClass, VARSTRING* answer);
  LONG FillDevConfig(DWORD device, VARSTRING* answer);
  LONG StoreConfig(DWORD device, const void* block, DWORD size);

  // Calls (calls.cpp). Each asynchronous request returns its positive identifier.
  LONG MakeCall(Line& line, const std::string& number, DWORD mediaMode, HCALL* call);
  LONG MakeAtCall(Line& line, const DialString& dial, HCALL* call);
  LONG Answer(Call& call);
  LONG Drop(Call& call);
  void Deallocate(HCALL handle);
  LONG GenerateDigits(Call& call, DWORD mode, const std::string& digits);
  // Taps that must hand over what their callers wrote before this call is hung up.
  std::vector<std::shared_ptr<Tap>> TapsToDrain(const Call& call);

  DWORD NextRequest();
  void Reply(const Line& line, DWORD request, LONG result);
  void PostLine(const Line& line, DWORD device, DWORD message, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0, DWORD_PTR p3 = 0,
                std::shared_ptr<const std::atomic<bool>> offering = nullptr);

private:
  Service() = default;
  void Start();
  // Under the lock: closes what is open; the threads end in FinishStop, without the lock.
  void BeginStop();
  void FinishStop();
  void SetDevices(const std::vector<ModemEntry>& modems);
  LONG AddApp(CallbackReceiver* receiver, HLINEAPP* app);
  DWORD NewHandle();

  // Call flows (calls.cpp).
  void SetCallState(Call& call, DWORD state, DWORD mode = 0);
  void PostCallInfo(Call& call, DWORD states);
  HCALL AllocateHandle(const std::shared_ptr<Call>& call);
  void Ring(const std::shared_ptr<Call>& call);
  // The line's side of a ring: the offering (a new handle for a deallocated one) and RINGING.
  void Offer(const std::shared_ptr<Call>& call);
  void RingOff(const std::shared_ptr<Call>& call);
  void Connected(Call& call, DWORD rate, DWORD options);
  // The modem leaves the call: timers stop, the far end is told (with HANGUP when `hangUp`).
  void PutOnHook(Call& call, bool hangUp);
  void Disconnected(Call& call, DWORD mode);
  void OnAccepted(Listener& listener, int fd);
  // From a connection's reader thread, without the lock.
  void OnConnectionFrame(Connection& connection, Frame&& frame);
  void OnConnectionEnd(Connection& connection);
  void OnFrame(const std::shared_ptr<Call>& call, Frame&& frame);
  void OnCallRequest(DWORD device, Connection& connection, const std::string& payload);
  // Hands the bytes to the device's taps; without one they are kept for the first, and only a
  // full buffer makes the reader wait (lock released meanwhile) for a tap or the end of the call.
  void OnData(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Call>& call, const std::string& data);
  std::shared_ptr<Connection> StartConnection(int fd);
  void RetireConnection(Connection& connection);
  void UpdateModemLines(DWORD device);
  // What a tap sends: to the far end of the device's connected call.
  bool SendFromTap(DWORD device, const char* data, std::size_t count, const std::atomic<bool>& cancel);

  // AT modems (atcalls.cpp).
  std::shared_ptr<AtModem> StartModem(DWORD device);
  void RetireModem(DWORD device);
  bool HasOwnerLine(DWORD device) const;
  // The device whose running modem is `modem`, or null (a modem retired meanwhile).
  Device* DeviceOf(const AtModem& modem, DWORD* id = nullptr);
  void AnswerAt(Call& call);
  void DropAt(Call& call);
  // The call leaves the modem: hung up where needed, then the modem is free.
  void EndAtCall(Call& call);
  void FinishAtCall(Device& device, DWORD id);
  void RingAt(DWORD device);
  // A comm handle for lineGetID: the port itself while a call is connected, else a dead line.
  HANDLE AtCommHandle(DWORD device);
  void OnModemOpened(AtModem& modem, LONG result, const std::string& why);
  void OnModemRing(AtModem& modem);
  void OnModemCallerId(AtModem& modem, const CallerIdLine& line);
  void OnModemDialed(AtModem& modem, LONG result);
  void OnModemRingback(AtModem& modem);
  void OnModemConnected(AtModem& modem, const AtResult& connect);
  void OnModemEnded(AtModem& modem, DWORD mode);
  void OnModemHungUp(AtModem& modem, bool confirmed);
  void OnModemLost(AtModem& modem, const std::string& why);

  std::map<HLINEAPP, App> m_Apps;
  std::map<HLINE, Line> m_Lines;
  std::map<HCALL, std::shared_ptr<Call>> m_Calls;
  std::vector<Device> m_Devices;
  // Connections waiting for their caller's CALL frame, by the device they came in on, and
  // connections with their calls.
  std::map<Connection*, DWORD> m_Unclaimed;
  std::map<Connection*, std::shared_ptr<Call>> m_Routes;
  std::condition_variable_any m_TapAdded;
  std::vector<std::shared_ptr<Connection>> m_Connections;  // every connection until it is retired
  RingCadence m_Cadence;
  bool m_Unpaced = false;
  DWORD m_NextHandle = 0x10000;
  DWORD m_NextRequest = 0;
  DWORD m_NextCallId = 0;
  bool m_Stopping = false;
  std::unique_ptr<Exchange> m_Exchange;
};

}  // namespace lineservice
