// One AT modem of the line service while its port is held: a worker thread that opens the port,
// resets and initialises the modem, waits for RING and caller ID, dials, answers and hangs up, and
// watches a connected call for carrier loss. The service asks by queued requests and learns of
// the outcomes through events, which run on the worker thread without the service lock (the
// service takes it and checks the sender). Every wait for the modem is bounded.
#pragma once

#include "lineservice/atresult.h"
#include "lineservice/atsettings.h"
#include "lineservice/callerid.h"

#include "platform/modemconfig.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace lineservice {

class AtPort;

struct AtModemSetup {
  std::string name;  // for log lines
  std::string path;
  AtTemplates templates;
  std::string userInit;
  DEVCFG config{};
};

class AtModem {
public:
  struct Events {
    std::function<void(AtModem&, LONG result, const std::string& why)> opened;  // 0, or a LINEERR_ code
    std::function<void(AtModem&)> ring;
    std::function<void(AtModem&, const CallerIdLine&)> callerId;
    std::function<void(AtModem&, LONG result)> dialed;  // 0: dialing; a LINEERR_ code: refused
    std::function<void(AtModem&)> ringback;
    std::function<void(AtModem&, const AtResult& connect)> connected;
    std::function<void(AtModem&, DWORD disconnectMode)> ended;
    std::function<void(AtModem&, bool confirmed)> hungUp;  // back in command state (or not confirmed)
    std::function<void(AtModem&, const std::string& why)> lost;  // the port failed
  };

  // Starts the worker, which opens and initialises the modem and then reports `opened`.
  AtModem(AtModemSetup setup, Events events);
  // Stops and joins (call Stop and wait for Finished first where joining must not block).
  ~AtModem();
  AtModem(const AtModem&) = delete;
  AtModem& operator=(const AtModem&) = delete;

  // Requests, served in order.
  void Dial(const DialString& dial, const DEVCFG& config);
  void Answer();
  void HangUp();
  // Hangs up what is in progress, closes the port and ends the worker.
  void Stop();
  bool Finished() const { return m_Finished.load(); }

  // Waits (bounded) for the outcome of opening: 0 or a LINEERR_ code, with the reason.
  LONG AwaitOpened(std::string& why);
  // The port while it is open, for new handles on it; INVALID_HANDLE_VALUE otherwise.
  HANDLE Port() const { return m_Port.load(); }
  const std::string& Path() const { return m_Setup.path; }

private:
  enum class Mode { Command, Dialing, Answering, Online, Ended };
  struct Request {
    enum Kind { Dial, Answer, HangUp, Stop } kind;
    DialString dial;
    DEVCFG config{};
  };

  void Run();
  LONG OpenPort(std::string& why);
  bool Initialise(std::string& why);
  bool Reset();
  void Serve(const Request& request);
  void StartDial(const Request& request);
  void ReadCommandMode();
  void WatchOnline();
  void OnCallLine(const std::string& line);
  // Ends the call in progress and brings the modem back to command state; whether it said OK.
  bool HangUpNow();
  bool Escape();
  void EndCall(DWORD mode);
  void Log(const std::string& text) const;
  void WatchText(bool on);

  const AtModemSetup m_Setup;
  AtModemSetup m_Applied;  // what the last initialisation sent (its config)
  const Events m_Events;
  std::unique_ptr<AtPort> m_At;
  std::atomic<HANDLE> m_Port{INVALID_HANDLE_VALUE};
  std::chrono::milliseconds m_Guard{1000};

  Mode m_Mode = Mode::Command;
  std::chrono::steady_clock::time_point m_Deadline;  // of dialing and answering
  std::chrono::steady_clock::time_point m_AcceptBy;  // dialing: until an ERROR refuses the dial
  bool m_DialReported = false;
  AtResult m_Negotiated;  // CARRIER, PROTOCOL and COMPRESSION before CONNECT
  bool m_CarrierSeen = false;  // DCD was on during the call: its fall ends it
  std::atomic<bool> m_NoCarrierText{false};
  LineSplitter m_Watched;  // the watcher's lines; touched only under the port's lock

  std::mutex m_Mutex;  // guards the requests and the open outcome
  std::condition_variable m_Changed;
  std::deque<Request> m_Requests;
  bool m_OpenDone = false;
  LONG m_OpenResult = 0;
  std::string m_OpenWhy;
  std::atomic<bool> m_Stopping{false};
  std::atomic<bool> m_Finished{false};
  std::thread m_Thread;
};

}  // namespace lineservice
