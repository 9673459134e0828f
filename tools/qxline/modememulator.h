// `qxline emulate`: a Hayes-compatible modem on a pty, attached to the virtual exchange. The pty's
// slave is the modem's serial port for any AT-speaking program; the emulator dials and answers
// virtual numbers through the exchange's sockets, as a virtual modem does. One thread runs
// everything from one poll loop: the pty, the listening socket of its number, the call's socket
// and the timers (rings, the wait for carrier, the escape guard time).
//
// A pty has no modem lines: the program on it sees no DCD, DSR, CTS or RI, and cannot drop DTR.
// So the end of a call is told by "NO CARRIER" only, and a program hangs up with the escape
// sequence and ATH; closing the pty (its last opener) counts as dropping DTR.
#pragma once

#include "lineservice/protocol.h"

#include "platform/wintypes.h"

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lineservice {
class Listener;
}

struct EmulatorOptions {
  std::string number = "100";  // the virtual number it answers on
  std::string link;            // a symbolic link made to the pty's path
  DWORD rate = 33600;          // the highest line rate it connects at
  bool noDialtone = false;     // the line has no dial tone
};

class ModemEmulator {
public:
  explicit ModemEmulator(EmulatorOptions options);
  ~ModemEmulator();
  ModemEmulator(const ModemEmulator&) = delete;
  ModemEmulator& operator=(const ModemEmulator&) = delete;

  // Makes the pty and starts waiting on the number; prints the pty's path. Then runs until SIGINT
  // or SIGTERM. The exit code.
  int Run();

private:
  using Clock = std::chrono::steady_clock;
  enum class State { Command, Dialing, Ringing, Answering, Online, OnlineCommand };

  // A socket to the far modem (a call, or a caller that has not said who it is yet).
  struct Peer {
    int fd = -1;
    lineservice::FrameReader reader;
    std::string out;  // frames not yet sent
    bool closing = false;  // close once `out` is sent
    Clock::time_point deadline;  // an unclaimed caller must send CALL by then
  };

  bool Start();
  void Loop();
  void ResetModem();
  // The DTE side.
  void ReadDte();
  void OnDteByte(char byte, Clock::time_point now);
  void ExecuteLine(const std::string& line);
  bool Execute(const struct EmulatorCommand& command, std::string& answer);
  void Result(int code, const std::string& text);
  void Info(const std::string& text);
  void ToDte(const std::string& bytes);
  void DteGone();
  // Calls.
  void Dial(const std::string& dialString);
  void Answer();
  void HangUp(bool tellFar);
  void Connected(DWORD rate);
  void CallEnded(int code, const std::string& text);
  void RingOnce();
  void AcceptCallers();
  bool ServicePeer(Peer& peer, short revents);
  void OnFrame(lineservice::Frame&& frame);
  void OnCallerFrame(Peer& peer, lineservice::Frame&& frame);
  void Send(Peer& peer, lineservice::FrameType type, std::string_view payload = {});
  void Timers(Clock::time_point now);
  std::string ConnectText(DWORD rate) const;
  int NumericConnectCodeFor() const;
  std::chrono::milliseconds Guard() const { return std::chrono::milliseconds(m_S[12] * 20); }
  void Log(const std::string& text) const;

  const EmulatorOptions m_Options;
  int m_Master = -1;
  std::string m_SlavePath;
  std::unique_ptr<lineservice::Listener> m_Listener;
  std::unique_ptr<Peer> m_Call;
  std::vector<std::unique_ptr<Peer>> m_Callers;  // accepted, not yet a call
  bool m_Incoming = false;
  lineservice::CallRequest m_Caller;  // of the incoming call
  DWORD m_Rate = 0;                   // of the call
  bool m_DtePresent = false;
  Clock::time_point m_DteCheck;
  std::string m_ToDte;

  State m_State = State::Command;
  std::array<int, 100> m_S{};
  bool m_Echo = true, m_Verbose = true, m_Quiet = false;
  int m_X = 4, m_ErrorControl = 3, m_Compression = 1;
  bool m_CallerIdOn = false;
  std::string m_Line, m_LastLine;
  bool m_SawA = false;  // the last byte was the A of "A/" or "AT"
  bool m_InLine = false;
  std::optional<Clock::time_point> m_Deadline;  // dialing: carrier wait; answering: the caller's reply
  std::optional<Clock::time_point> m_NextRing;
  // Escape sequence: the time of the last byte from the DTE while online, and the escape
  // characters seen since a guard time of quiet.
  Clock::time_point m_LastDteByte;
  int m_EscapeCount = 0;
  std::string m_HeldFar;  // far-end data while in online command state
};
