#include "modememulator.h"

#include "emulatorcommands.h"

#include "lineservice/atresult.h"
#include "lineservice/listener.h"
#include "lineservice/modemstore.h"

#include "platform/tapi.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using lineservice::FrameType;

namespace {

constexpr std::size_t kMaxBuffered = 64 * 1024;  // toward the DTE, toward the far end, held far data
constexpr std::size_t kMaxCommandLine = 255;
constexpr auto kCallerBound = std::chrono::seconds(5);   // a caller must say who it is
constexpr auto kAnswerBound = std::chrono::seconds(5);   // the caller confirms an answer
constexpr auto kDteRecheck = std::chrono::milliseconds(50);
constexpr char kName[] = "AT modem emulator";

std::array<int, 100> DefaultRegisters() {
  std::array<int, 100> s{};
  s[2] = '+';
  s[3] = '\r';
  s[4] = '\n';
  s[5] = 8;
  s[6] = 2;
  s[7] = 50;
  s[8] = 2;
  s[10] = 14;
  s[12] = 50;
  return s;
}

}  // namespace

ModemEmulator::ModemEmulator(EmulatorOptions options) : m_Options(std::move(options)) { ResetModem(); }

ModemEmulator::~ModemEmulator() {
  HangUp(true);
  if (m_Master >= 0) ::close(m_Master);
  if (!m_Options.link.empty()) {
    char target[4096] = {};
    const ssize_t n = ::readlink(m_Options.link.c_str(), target, sizeof target - 1);
    if (n > 0 && m_SlavePath == std::string(target, std::size_t(n))) ::unlink(m_Options.link.c_str());
  }
}

void ModemEmulator::Log(const std::string& text) const {
  std::fprintf(stderr, "qxline: emulate: %s\n", text.c_str());
}

void ModemEmulator::ResetModem() {
  m_S = DefaultRegisters();
  m_Echo = m_Verbose = true;
  m_Quiet = false;
  m_X = 4;
  m_ErrorControl = 3;
  m_Compression = 1;
  m_CallerIdOn = false;
}

bool ModemEmulator::Start() {
  m_Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[256] = {};
  if (m_Master < 0 || ::grantpt(m_Master) != 0 || ::unlockpt(m_Master) != 0 || ::ptsname_r(m_Master, name, sizeof name) != 0) {
    Log("cannot make a pty: " + std::string(std::strerror(errno)));
    return false;
  }
  m_SlavePath = name;
  // Raw until the program on the pty sets what it wants: nothing it is sent comes back as input.
  termios raw{};
  if (::tcgetattr(m_Master, &raw) == 0) {
    cfmakeraw(&raw);
    ::tcsetattr(m_Master, TCSANOW, &raw);
  }
  lineservice::Listener::Failure failure = lineservice::Listener::Failure::None;
  std::string why;
  m_Listener = lineservice::Listener::Open(m_Options.number, failure, why);
  if (!m_Listener) {
    Log(why);
    return false;
  }
  if (!m_Options.link.empty()) {
    struct stat info {};
    if (::lstat(m_Options.link.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) ::unlink(m_Options.link.c_str());
    if (::symlink(m_SlavePath.c_str(), m_Options.link.c_str()) != 0) {
      Log("cannot make the link " + m_Options.link + ": " + std::strerror(errno));
      return false;
    }
  }
  std::printf("%s\n", m_SlavePath.c_str());
  std::fflush(stdout);
  Log("a modem on " + m_SlavePath + (m_Options.link.empty() ? "" : " (" + m_Options.link + ")") + ", number " +
      m_Options.number);
  return true;
}

int ModemEmulator::Run() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stops, nullptr);
  if (!Start()) return 1;
  const int signals = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  std::vector<pollfd> fds;
  for (;;) {
    const auto now = Clock::now();
    Timers(now);
    // The wait: the next timer, or a look at whether a program has opened the pty.
    std::optional<Clock::time_point> wake = m_Deadline;
    const auto consider = [&](Clock::time_point at) { wake = wake ? std::min(*wake, at) : at; };
    if (m_NextRing) consider(*m_NextRing);
    if (m_State == State::Online && m_EscapeCount == 3) consider(m_LastDteByte + Guard());
    for (const auto& caller : m_Callers) consider(caller->deadline);
    if (!m_DtePresent) consider(now + kDteRecheck);
    fds.clear();
    fds.push_back({signals, POLLIN, 0});
    fds.push_back({m_Listener->Fd(), POLLIN, 0});
    const bool toFarRoom = !m_Call || m_Call->out.size() < kMaxBuffered;
    fds.push_back({m_DtePresent ? m_Master : -1, short((toFarRoom ? POLLIN : 0) | (m_ToDte.empty() ? 0 : POLLOUT)), 0});
    const bool takeFar = m_ToDte.size() < kMaxBuffered && m_HeldFar.size() < kMaxBuffered;
    fds.push_back({m_Call ? m_Call->fd : -1, short((takeFar ? POLLIN : 0) | (m_Call && !m_Call->out.empty() ? POLLOUT : 0)), 0});
    for (const auto& caller : m_Callers) fds.push_back({caller->fd, short(POLLIN | (caller->out.empty() ? 0 : POLLOUT)), 0});
    int timeout = -1;
    if (wake) timeout = int(std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count(), 0, 60000));
    ::poll(fds.data(), fds.size(), timeout);
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) AcceptCallers();
    if (!m_DtePresent) {
      pollfd master{m_Master, POLLIN, 0};
      ::poll(&master, 1, 0);
      if (!(master.revents & POLLHUP)) {
        m_DtePresent = true;
        Log("a program opened the port");
      }
    } else {
      const short revents = fds[2].revents;
      if (revents & POLLIN) ReadDte();
      else if (revents & (POLLHUP | POLLERR)) DteGone();
      if (m_DtePresent && (revents & POLLOUT) && !m_ToDte.empty()) {
        const ssize_t n = ::write(m_Master, m_ToDte.data(), m_ToDte.size());
        if (n > 0) m_ToDte.erase(0, std::size_t(n));
      }
    }
    if (m_Call && fds[3].fd == m_Call->fd && fds[3].revents && !ServicePeer(*m_Call, fds[3].revents)) {
      // The far end is gone; an outgoing call nobody took rings on until the wait for carrier ends.
      const bool unanswered = m_State == State::Dialing;
      ::close(m_Call->fd);
      m_Call.reset();
      if (m_State == State::Ringing) {
        m_State = State::Command;
        m_NextRing.reset();
        m_S[1] = 0;
      } else if (!unanswered) {
        CallEnded(3, "NO CARRIER");
      }
    }
    for (std::size_t i = 0; i < m_Callers.size(); ++i) {
      const std::size_t slot = 4 + i;
      if (m_Callers[i] && slot < fds.size() && fds[slot].fd == m_Callers[i]->fd && fds[slot].revents &&
          !ServicePeer(*m_Callers[i], fds[slot].revents))
        m_Callers[i]->closing = true;
    }
    // Callers that became the call, or were turned away and have been told, leave the list.
    std::erase_if(m_Callers, [](const std::unique_ptr<Peer>& p) {
      if (!p) return true;
      if (p->closing && p->out.empty()) {
        ::close(p->fd);
        return true;
      }
      return false;
    });
  }
  ::close(signals);
  Log("ends");
  return 0;
}

// ---- the DTE side ------------------------------------------------------------------------------

void ModemEmulator::ToDte(const std::string& bytes) {
  if (m_DtePresent) m_ToDte += bytes;
}

void ModemEmulator::Result(int code, const std::string& text) {
  if (m_Quiet) return;
  const std::string cr(1, char(m_S[3])), lf(1, char(m_S[4]));
  ToDte(m_Verbose ? cr + lf + text + cr + lf : std::to_string(code) + cr);
}

void ModemEmulator::Info(const std::string& text) {
  const std::string cr(1, char(m_S[3])), lf(1, char(m_S[4]));
  ToDte(cr + lf + text + cr + lf);
}

void ModemEmulator::DteGone() {
  // The last program closed the pty: as a modem whose DTR drops, it hangs up.
  Log("the program closed the port");
  m_DtePresent = false;
  m_ToDte.clear();
  if (m_Call && m_State != State::Ringing) HangUp(true);
  m_Line.clear();
  m_InLine = m_SawA = false;
}

void ModemEmulator::ReadDte() {
  char buffer[4096];
  const ssize_t n = ::read(m_Master, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    DteGone();
    return;
  }
  const auto now = Clock::now();
  std::string data;
  for (ssize_t i = 0; i < n; ++i) {
    if (m_State == State::Online) {
      data += buffer[i];
      // The escape sequence: a guard time of quiet, three escape characters, each within the
      // guard time of the one before, then quiet again (checked by the timer).
      const bool escape = m_S[2] <= 127 && buffer[i] == char(m_S[2]);
      const bool quietBefore = now - m_LastDteByte >= Guard();
      if (escape && m_EscapeCount == 0 && quietBefore) m_EscapeCount = 1;
      else if (escape && m_EscapeCount > 0 && m_EscapeCount < 3 && !quietBefore) ++m_EscapeCount;
      else m_EscapeCount = 0;
      m_LastDteByte = now;
    } else {
      OnDteByte(buffer[i], now);
    }
  }
  // Online, everything goes to the far end, the escape characters too, as a modem sends them.
  if (!data.empty() && m_Call) Send(*m_Call, FrameType::Data, data);
}

void ModemEmulator::OnDteByte(char byte, Clock::time_point) {
  if ((m_State == State::Dialing || m_State == State::Answering) && byte != '\n') {
    // A character ends dialing or answering.
    Log("dialing or answering ended by the program");
    HangUp(true);
    Result(3, "NO CARRIER");
    return;
  }
  if (m_Echo) ToDte(std::string(1, byte));
  const char upper = char(std::toupper(static_cast<unsigned char>(byte)));
  if (!m_InLine) {
    if (m_SawA && upper == 'T') {
      m_InLine = true;
      m_Line.clear();
    } else if (m_SawA && byte == '/') {
      ExecuteLine(m_LastLine);
    }
    m_SawA = upper == 'A';
    return;
  }
  if (byte == char(m_S[3])) {
    m_InLine = false;
    ExecuteLine(m_Line);
  } else if (byte == char(m_S[5]) || byte == 0x7F) {
    if (!m_Line.empty()) m_Line.pop_back();
  } else if (static_cast<unsigned char>(byte) >= 0x20 && m_Line.size() <= kMaxCommandLine) {
    m_Line += byte;
  }
}

void ModemEmulator::ExecuteLine(const std::string& line) {
  m_LastLine = line;
  Log("command AT" + line);
  const auto commands = line.size() > kMaxCommandLine ? std::nullopt : ParseEmulatorCommands(line);
  if (!commands) {
    Result(4, "ERROR");
    return;
  }
  std::string answer;
  for (const EmulatorCommand& command : *commands) {
    if (command.name == "D" || command.name == "A" || command.name == "O") {
      if (!answer.empty()) Info(answer);
      if (command.name == "D") Dial(command.value);
      else if (command.name == "A") Answer();
      else if (m_State == State::OnlineCommand && m_Call) {
        m_State = State::Online;
        m_EscapeCount = 0;
        m_LastDteByte = Clock::now();
        Result(NumericConnectCodeFor(), ConnectText(m_Rate));
        ToDte(m_HeldFar);
        m_HeldFar.clear();
      } else {
        Result(3, "NO CARRIER");
      }
      return;
    }
    if (!Execute(command, answer)) {
      Result(4, "ERROR");
      return;
    }
  }
  if (!answer.empty()) Info(answer);
  Result(0, "OK");
}

bool ModemEmulator::Execute(const EmulatorCommand& c, std::string& answer) {
  const int n = std::max(c.number, 0);
  const auto say = [&](const std::string& text) { answer += (answer.empty() ? "" : "\r\n") + text; };
  if (c.name == "E") m_Echo = n != 0;
  else if (c.name == "V") m_Verbose = n != 0;
  else if (c.name == "Q") m_Quiet = n != 0;
  else if (c.name == "X") {
    if (n > 4) return false;
    m_X = n;
  } else if (c.name == "M" || c.name == "L") {
    if (n > 3) return false;
  } else if (c.name == "H") {
    if (n > 1) return false;
    if (m_Call || m_State != State::Command) HangUp(true);
  } else if (c.name == "Z" || c.name == "&F") {
    if (m_Call) HangUp(true);
    ResetModem();
  } else if (c.name == "I") {
    if (n == 0) say("qxComm");
    else if (n == 3) say(std::string("qxComm ") + kName);
    else if (n == 4) say("number " + m_Options.number);
    else return false;
  } else if (c.name == "S") {
    if (c.kind == EmulatorCommand::Set) m_S[std::size_t(c.number)] = std::stoi(c.value);
    else {
      char text[8];
      std::snprintf(text, sizeof text, "%03d", m_S[std::size_t(c.number)]);
      say(text);
    }
  } else if (c.name == "\\N") {
    if (n > 5) return false;
    m_ErrorControl = n;
  } else if (c.name == "%C") {
    if (n > 3) return false;
    m_Compression = n;
  } else if (c.name == "+VCID" || c.name == "#CID") {
    if (c.kind == EmulatorCommand::Set) {
      if (c.value != "0" && c.value != "1" && c.value != "2") return false;
      m_CallerIdOn = c.value != "0";
    } else if (c.kind == EmulatorCommand::Query) {
      say(c.name + ": " + (m_CallerIdOn ? "1" : "0"));
    } else {
      return false;
    }
  } else if (c.name.size() == 2 && c.name[0] == '&') {
    // &C, &D, &K, &W and the like: kept by a modem, nothing to act on here.
  } else if (c.name.size() == 1 && std::string_view("BCNPTWY").find(c.name[0]) != std::string_view::npos) {
  } else {
    return false;
  }
  return true;
}

// ---- calls -------------------------------------------------------------------------------------

int ModemEmulator::NumericConnectCodeFor() const { return m_X == 0 ? 1 : lineservice::NumericConnectCode(m_Rate); }

std::string ModemEmulator::ConnectText(DWORD rate) const {
  if (m_X == 0) return "CONNECT";
  std::string text = "CONNECT " + std::to_string(rate);
  if (m_ErrorControl != 0) text += "/LAPM";
  if (m_ErrorControl != 0 && m_Compression != 0) text += "/V42BIS";
  return text;
}

void ModemEmulator::Send(Peer& peer, FrameType type, std::string_view payload) {
  peer.out += lineservice::EncodeFrame(type, payload);
}

void ModemEmulator::Dial(const std::string& dialString) {
  std::string number;
  for (char c : dialString)
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') number += c;
  Log("dialing " + number);
  m_Incoming = false;
  if (m_Options.noDialtone && (m_X == 2 || m_X == 4)) {
    Result(6, "NO DIALTONE");
    return;
  }
  if (number.empty()) {
    Result(3, "NO CARRIER");
    return;
  }
  m_State = State::Dialing;
  m_Deadline = Clock::now() + std::chrono::seconds(m_S[7]);
  if (m_Options.noDialtone) return;  // a dead line: nothing happens until the wait runs out
  const int fd = lineservice::ConnectToNumber(number);
  if (fd < 0) return;  // nobody waits on the number: it rings unanswered
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  m_Call = std::make_unique<Peer>();
  m_Call->fd = fd;
  lineservice::CallRequest request;
  request.maxRate = m_Options.rate;
  request.mediaMode = LINEMEDIAMODE_DATAMODEM;
  request.callerNumber = m_Options.number;
  request.callerName = kName;
  request.calledNumber = number;
  Send(*m_Call, FrameType::Call, lineservice::EncodeCallRequest(request));
}

void ModemEmulator::Answer() {
  if (m_State != State::Ringing || !m_Call) {
    Result(3, "NO CARRIER");
    return;
  }
  m_Rate = m_Caller.maxRate ? std::min<DWORD>(m_Options.rate, m_Caller.maxRate) : m_Options.rate;
  Log("answering");
  Send(*m_Call, FrameType::Answer, lineservice::EncodeNumber(m_Rate));
  m_State = State::Answering;
  m_NextRing.reset();
  m_Deadline = Clock::now() + kAnswerBound;
}

void ModemEmulator::Connected(DWORD rate) {
  m_Rate = rate;
  m_State = State::Online;
  m_Deadline.reset();
  m_NextRing.reset();
  m_EscapeCount = 0;
  m_LastDteByte = Clock::now();
  Log("connected at " + std::to_string(rate));
  Result(NumericConnectCodeFor(), ConnectText(rate));
}

void ModemEmulator::HangUp(bool tellFar) {
  if (m_Call) {
    if (tellFar) {
      Send(*m_Call, FrameType::Hangup);
      [[maybe_unused]] const ssize_t n = ::send(m_Call->fd, m_Call->out.data(), m_Call->out.size(), MSG_NOSIGNAL);
    }
    ::close(m_Call->fd);
    m_Call.reset();
  }
  m_State = State::Command;
  m_Deadline.reset();
  m_NextRing.reset();
  m_S[1] = 0;
  m_HeldFar.clear();
}

void ModemEmulator::CallEnded(int code, const std::string& text) {
  Log("call ended: " + text);
  HangUp(false);
  if (code == 7 && m_X < 3) code = 3;  // without busy detection, a busy line is no carrier
  Result(code, code == 3 ? std::string("NO CARRIER") : text);
}

void ModemEmulator::RingOnce() {
  ++m_S[1];
  Send(*m_Call, FrameType::Ringing, lineservice::EncodeNumber(DWORD(m_S[1])));
  Result(2, "RING");
  if (m_S[1] == 1 && m_CallerIdOn) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char date[16], time[16];
    std::strftime(date, sizeof date, "%m%d", &local);
    std::strftime(time, sizeof time, "%H%M", &local);
    Info(std::string("DATE = ") + date + "\r\nTIME = " + time + "\r\nNMBR = " +
         (m_Caller.callerNumber.empty() ? "O" : m_Caller.callerNumber) +
         (m_Caller.callerName.empty() ? "" : "\r\nNAME = " + m_Caller.callerName));
  }
  const lineservice::RingCadence cadence = lineservice::ReadRingCadence();
  m_NextRing = Clock::now() + cadence.on + cadence.off;
  if (m_S[0] > 0 && m_S[1] >= m_S[0] && m_DtePresent) Answer();
}

void ModemEmulator::AcceptCallers() {
  for (;;) {
    const int fd = m_Listener->Accept();
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto caller = std::make_unique<Peer>();
    caller->fd = fd;
    caller->deadline = Clock::now() + kCallerBound;
    m_Callers.push_back(std::move(caller));
  }
}

bool ModemEmulator::ServicePeer(Peer& peer, short revents) {
  if (revents & POLLOUT && !peer.out.empty()) {
    const ssize_t n = ::send(peer.fd, peer.out.data(), peer.out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN) return false;
    if (n > 0) peer.out.erase(0, std::size_t(n));
  }
  if (!(revents & (POLLIN | POLLHUP | POLLERR))) return true;
  char buffer[16384];
  const ssize_t n = ::recv(peer.fd, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) return false;
  std::vector<lineservice::Frame> frames;
  const bool trusted = peer.reader.Feed(buffer, std::size_t(n), frames);
  for (auto& frame : frames) {
    if (&peer == m_Call.get()) OnFrame(std::move(frame));
    else OnCallerFrame(peer, std::move(frame));
    if (&peer != m_Call.get() && !m_Call) break;  // the call ended meanwhile
  }
  return trusted;
}

void ModemEmulator::OnCallerFrame(Peer& peer, lineservice::Frame&& frame) {
  const auto request = frame.type == FrameType::Call ? lineservice::DecodeCallRequest(frame.payload) : std::nullopt;
  if (!request || peer.closing) {
    peer.closing = true;
    peer.out.clear();
    return;
  }
  if (m_State != State::Command || m_Call) {
    Send(peer, FrameType::Busy);
    peer.closing = true;
    return;
  }
  Log("a call from " + request->callerNumber);
  for (auto& caller : m_Callers)
    if (caller.get() == &peer) m_Call = std::move(caller);  // its slot is swept from the list
  m_Incoming = true;
  m_Caller = *request;
  m_State = State::Ringing;
  m_S[1] = 0;
  RingOnce();
}

void ModemEmulator::OnFrame(lineservice::Frame&& frame) {
  switch (frame.type) {
    case FrameType::Ringing: return;
    case FrameType::Busy:
      if (m_State == State::Dialing) CallEnded(7, "BUSY");
      return;
    case FrameType::Answer:
      if (m_State == State::Dialing) {
        const auto rate = lineservice::DecodeNumber(frame.payload);
        Send(*m_Call, FrameType::Connect);
        Connected(rate ? std::min<DWORD>(*rate, m_Options.rate) : m_Options.rate);
      }
      return;
    case FrameType::Connect:
      if (m_State == State::Answering) Connected(m_Rate);
      return;
    case FrameType::Data:
      if (m_State == State::Online) ToDte(frame.payload);
      else if (m_State == State::OnlineCommand) m_HeldFar += frame.payload;
      return;
    case FrameType::Hangup:
      if (m_State == State::Ringing) {
        HangUp(false);  // the caller gave up: the rings stop
        return;
      }
      CallEnded(3, "NO CARRIER");
      return;
    default: return;
  }
}

void ModemEmulator::Timers(Clock::time_point now) {
  if (m_Deadline && now >= *m_Deadline) {
    const bool answering = m_State == State::Answering;
    Log(answering ? "the caller did not confirm the answer" : "no carrier in time");
    HangUp(true);
    Result(3, "NO CARRIER");
  }
  if (m_NextRing && now >= *m_NextRing && m_Call && m_State == State::Ringing) RingOnce();
  if (m_State == State::Online && m_EscapeCount == 3 && now - m_LastDteByte >= Guard()) {
    Log("escape sequence: command state");
    m_State = State::OnlineCommand;
    m_EscapeCount = 0;
    Result(0, "OK");
  }
  for (auto& caller : m_Callers)
    if (caller && now >= caller->deadline && !caller->closing) {
      caller->closing = true;
      caller->out.clear();
    }
}
