#include "lineservice/atmodem.h"

#include "lineservice/atport.h"

#include "platform/commdevices.h"
#include "platform/tapi.h"
#include "platform/winapi.h"

#include <cstdio>
#include <cstring>

namespace lineservice {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr Millis kCommandBound{3000};
constexpr Millis kResetBound{5000};
constexpr Millis kOpenBound{30000};   // the whole opening, however the modem behaves
constexpr Millis kSlice{20};          // between looks at the requests while nothing arrives
constexpr Millis kAcceptWindow{250};  // an ERROR this soon after the dial command refuses it
constexpr Millis kDialMargin{10000};  // beyond the modem's own wait for carrier (S7)
constexpr Millis kDtrDrop{500};

}  // namespace

AtModem::AtModem(AtModemSetup setup, Events events) : m_Setup(std::move(setup)), m_Events(std::move(events)) {
  m_Thread = std::thread([this] { Run(); });
}

AtModem::~AtModem() {
  Stop();
  if (m_Thread.joinable()) m_Thread.join();
}

void AtModem::Dial(const DialString& dial, const DEVCFG& config) {
  std::lock_guard lock(m_Mutex);
  m_Requests.push_back({Request::Dial, dial, config});
  m_Changed.notify_all();
}

void AtModem::Answer() {
  std::lock_guard lock(m_Mutex);
  m_Requests.push_back({Request::Answer, {}, {}});
  m_Changed.notify_all();
}

void AtModem::HangUp() {
  std::lock_guard lock(m_Mutex);
  m_Requests.push_back({Request::HangUp, {}, {}});
  m_Changed.notify_all();
}

void AtModem::Stop() {
  std::lock_guard lock(m_Mutex);
  if (m_Stopping.exchange(true)) return;
  m_Requests.push_back({Request::Stop, {}, {}});
  m_Changed.notify_all();
}

LONG AtModem::AwaitOpened(std::string& why) {
  std::unique_lock lock(m_Mutex);
  if (!m_Changed.wait_for(lock, kOpenBound + Millis(5000), [&] { return m_OpenDone; })) {
    why = "the modem on " + m_Setup.path + " took too long to open";
    return LINEERR_OPERATIONFAILED;
  }
  why = m_OpenWhy;
  return m_OpenResult;
}

void AtModem::Log(const std::string& text) const {
  std::fprintf(stderr, "tapi32: %s (%s): %s\n", m_Setup.name.c_str(), m_Setup.path.c_str(), text.c_str());
}

void AtModem::Run() {
  std::string why;
  const LONG result = OpenPort(why);
  // The service hears of it first, so a failed open has been reported when lineOpen returns.
  if (m_Events.opened) m_Events.opened(*this, result, why);
  {
    std::lock_guard lock(m_Mutex);
    m_OpenDone = true;
    m_OpenResult = result;
    m_OpenWhy = why;
    m_Changed.notify_all();
  }
  bool stop = result != 0;
  while (!stop) {
    std::optional<Request> request;
    {
      std::unique_lock lock(m_Mutex);
      // Nothing to read while connected or after the far end ended: the requests are all there is.
      if (m_Mode == Mode::Online || m_Mode == Mode::Ended)
        m_Changed.wait_for(lock, kSlice, [&] { return !m_Requests.empty(); });
      if (!m_Requests.empty()) {
        request = m_Requests.front();
        m_Requests.pop_front();
      }
    }
    if (request) {
      if (request->kind == Request::Stop) break;
      Serve(*request);
    } else if (m_Mode == Mode::Online) {
      WatchOnline();
    } else if (m_Mode != Mode::Ended) {
      ReadCommandMode();
    }
    if (m_At && m_At->Broken()) {
      Log("the port failed");
      m_Port.store(INVALID_HANDLE_VALUE);
      if (m_Events.lost) m_Events.lost(*this, "the port " + m_Setup.path + " failed (unplugged?)");
      stop = true;
    }
  }
  if (m_At && !m_At->Broken()) {
    if (m_Mode != Mode::Command) HangUpNow();
    WatchText(false);
  }
  m_Port.store(INVALID_HANDLE_VALUE);
  m_At.reset();
  m_Finished.store(true);
}

LONG AtModem::OpenPort(std::string& why) {
  AtPort::Failure failure = AtPort::Failure::None;
  m_At = AtPort::Open(m_Setup.path, &m_Setup.config.dcb, [this](const std::string& text) { Log(text); }, failure, why);
  if (!m_At) {
    return failure == AtPort::Failure::InUse     ? LINEERR_RESOURCEUNAVAIL
           : failure == AtPort::Failure::Missing ? LINEERR_NODEVICE
                                                 : LINEERR_OPERATIONFAILED;
  }
  m_Applied = m_Setup;
  if (!Initialise(why)) {
    m_At.reset();
    return LINEERR_OPERATIONFAILED;
  }
  m_Port.store(m_At->Handle());
  return 0;
}

bool AtModem::Reset() {
  const std::string reset = m_Applied.templates.Expand("Reset");
  const auto ok = [](const std::optional<AtResult>& r) { return r && r->kind == AtResultKind::Ok; };
  if (reset.empty() || ok(m_At->Command(reset, kResetBound))) return true;
  // Perhaps left on line by a program before us: back to command state, then once more.
  return Escape() && ok(m_At->Command(reset, kResetBound));
}

bool AtModem::Initialise(std::string& why) {
  const std::vector<AtCommand> commands = InitCommands(m_Applied.templates, m_Applied.config, m_Applied.userInit);
  const std::string reset = m_Applied.templates.Expand("Reset");
  for (const AtCommand& command : commands) {
    if (command.text == reset) {
      if (!Reset()) {
        why = "the modem on " + m_Setup.path + " does not answer " + reset.substr(0, reset.size() - 1) + " with OK";
        return false;
      }
      continue;
    }
    const auto result = m_At->Command(command.text, kCommandBound);
    const bool ok = result && (result->kind == AtResultKind::Ok || (command.optional && result->kind == AtResultKind::Error));
    if (!ok) {
      std::string shown = command.text;
      while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) shown.pop_back();
      why = "the modem on " + m_Setup.path + (result ? " refuses " : " does not answer ") + shown;
      return false;
    }
  }
  // The guard time of the escape sequence, where the modem tells it (S12, in fiftieths).
  std::vector<std::string> text;
  const auto guard = m_At->Command(m_Applied.templates.Expand("Prefix") + "S12?" + m_Applied.templates.Expand("Terminator"),
                                   kCommandBound, &text);
  if (guard && guard->kind == AtResultKind::Ok && !text.empty()) {
    const long fiftieths = std::strtol(text.front().c_str(), nullptr, 10);
    if (fiftieths > 0 && fiftieths <= 255) m_Guard = Millis(fiftieths * 20);
  }
  return true;
}

void AtModem::Serve(const Request& request) {
  switch (request.kind) {
    case Request::Dial: StartDial(request); break;
    case Request::Answer:
      if (m_Mode != Mode::Command) {
        if (m_Events.ended) m_Events.ended(*this, LINEDISCONNECTMODE_UNAVAIL);
        break;
      }
      m_Negotiated = AtResult{};
      m_At->Discard();
      m_Mode = Mode::Answering;
      m_Deadline = Clock::now() + std::chrono::seconds(m_Applied.config.modemSettings.dwCallSetupFailTimer) + kDialMargin;
      Log("answering");
      if (!m_At->Send(m_Applied.templates.Expand("Answer"))) EndCall(LINEDISCONNECTMODE_UNAVAIL);
      break;
    case Request::HangUp: {
      const bool confirmed = HangUpNow();
      if (m_Events.hungUp) m_Events.hungUp(*this, confirmed);
      break;
    }
    case Request::Stop: break;
  }
}

void AtModem::StartDial(const Request& request) {
  if (m_Mode != Mode::Command) {
    if (m_Events.dialed) m_Events.dialed(*this, LINEERR_CALLUNAVAIL);
    return;
  }
  // Settings written since the modem was initialised take effect before this call.
  if (std::memcmp(&request.config, &m_Applied.config, sizeof(DEVCFG)) != 0) {
    m_Applied.config = request.config;
    std::string why;
    if (!Initialise(why)) {
      Log(why);
      if (m_Events.dialed) m_Events.dialed(*this, LINEERR_OPERATIONFAILED);
      return;
    }
  }
  m_Negotiated = AtResult{};
  m_At->Discard();
  const std::string command = DialCommand(m_Applied.templates, request.dial.digits, request.dial.pulse);
  Log("dialing " + request.dial.digits);
  if (!m_At->Send(command)) {
    if (m_Events.dialed) m_Events.dialed(*this, LINEERR_OPERATIONFAILED);
    return;
  }
  m_Mode = Mode::Dialing;
  m_DialReported = false;
  m_AcceptBy = Clock::now() + kAcceptWindow;
  m_Deadline = Clock::now() + std::chrono::seconds(m_Applied.config.modemSettings.dwCallSetupFailTimer) + kDialMargin;
}

void AtModem::ReadCommandMode() {
  const auto line = m_At->ReadLine(kSlice);
  const auto now = Clock::now();
  if (m_Mode == Mode::Dialing && !m_DialReported && now >= m_AcceptBy) {
    m_DialReported = true;
    if (m_Events.dialed) m_Events.dialed(*this, 0);
  }
  if (line) {
    if (m_Mode == Mode::Command) {
      const AtResult result = ParseResult(*line);
      if (result.kind == AtResultKind::Ring) {
        if (m_Events.ring) m_Events.ring(*this);
      } else if (const auto id = ParseCallerIdLine(*line)) {
        if (m_Events.callerId) m_Events.callerId(*this, *id);
      } else {
        Log("ignored " + *line);
      }
    } else {
      OnCallLine(*line);
    }
  }
  if ((m_Mode == Mode::Dialing || m_Mode == Mode::Answering) && Clock::now() >= m_Deadline) {
    Log("no result from the modem in time");
    HangUpNow();
    EndCall(LINEDISCONNECTMODE_UNAVAIL);
  }
}

void AtModem::OnCallLine(const std::string& line) {
  const AtResult result = ParseResult(line);
  const bool dialing = m_Mode == Mode::Dialing;
  switch (result.kind) {
    case AtResultKind::Connect: {
      AtResult negotiated = result;
      if (m_Negotiated.rate) negotiated.rate = m_Negotiated.rate;  // the line's rate, not the port's
      negotiated.errorControl = result.errorControl || m_Negotiated.errorControl;
      negotiated.compression = result.compression || m_Negotiated.compression;
      if (dialing && !m_DialReported) {
        m_DialReported = true;
        if (m_Events.dialed) m_Events.dialed(*this, 0);
      }
      // A verbose result ends with CR LF: what follows the LF is the call's.
      if (!result.numeric) m_At->TakeLineFeed();
      m_Mode = Mode::Online;
      DWORD lines = 0;
      m_CarrierSeen = m_At->HasModemLines() && GetCommModemStatus(m_At->Handle(), &lines) && (lines & MS_RLSD_ON);
      WatchText(!m_CarrierSeen);
      Log("connected: " + line);
      if (m_Events.connected) m_Events.connected(*this, negotiated);
      return;
    }
    case AtResultKind::Carrier: m_Negotiated.rate = result.rate; return;
    case AtResultKind::Protocol: m_Negotiated.errorControl = result.errorControl; return;
    case AtResultKind::Compression: m_Negotiated.compression = result.compression; return;
    case AtResultKind::Ringing:
      if (dialing && m_Events.ringback) m_Events.ringback(*this);
      return;
    case AtResultKind::Error:
      if (dialing && !m_DialReported) {  // the modem refused the dial command itself
        m_Mode = Mode::Command;
        m_DialReported = true;
        Log("the modem refused the dial command");
        if (m_Events.dialed) m_Events.dialed(*this, LINEERR_OPERATIONFAILED);
        return;
      }
      EndCall(LINEDISCONNECTMODE_UNAVAIL);
      return;
    case AtResultKind::Busy: EndCall(LINEDISCONNECTMODE_BUSY); return;
    case AtResultKind::NoDialtone: EndCall(LINEDISCONNECTMODE_NODIALTONE); return;
    case AtResultKind::NoAnswer: EndCall(LINEDISCONNECTMODE_NOANSWER); return;
    case AtResultKind::NoCarrier:
      EndCall(dialing ? LINEDISCONNECTMODE_NOANSWER : LINEDISCONNECTMODE_NORMAL);
      return;
    default:
      Log("ignored " + line);
      return;
  }
}

void AtModem::EndCall(DWORD mode) {
  if (m_Mode == Mode::Dialing && !m_DialReported) {
    m_DialReported = true;
    if (m_Events.dialed) m_Events.dialed(*this, 0);
  }
  const bool online = m_Mode == Mode::Online;
  // After a final result the modem is in command state; a lost carrier leaves it so too.
  m_Mode = online ? Mode::Ended : Mode::Command;
  WatchText(false);
  if (m_Events.ended) m_Events.ended(*this, mode);
}

void AtModem::WatchOnline() {
  DWORD lines = 0;
  if (m_At->HasModemLines() && GetCommModemStatus(m_At->Handle(), &lines)) {
    if (lines & MS_RLSD_ON) {
      if (!m_CarrierSeen) WatchText(false);  // DCD works here: the text in the data is the far end's
      m_CarrierSeen = true;
    } else if (m_CarrierSeen) {
      Log("carrier lost");
      EndCall(LINEDISCONNECTMODE_NORMAL);
      return;
    }
  }
  if (m_NoCarrierText.load()) {
    Log("NO CARRIER");
    EndCall(LINEDISCONNECTMODE_NORMAL);
  }
}

void AtModem::WatchText(bool on) {
  m_NoCarrierText.store(false);
  if (!m_At) return;
  if (!on) {
    platform::WatchCommInput(m_At->Handle(), nullptr);
    return;
  }
  // Runs on the port's I/O thread under its lock, which orders every use of m_Watched.
  m_Watched.Clear();
  platform::WatchCommInput(m_At->Handle(), [this](const BYTE* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      if (const auto line = m_Watched.Feed(char(data[i])))
        if (ParseResult(*line).kind == AtResultKind::NoCarrier) m_NoCarrierText.store(true);
  });
}

bool AtModem::Escape() {
  // Guard time, the escape characters, guard time: the modem leaves the line for command state.
  m_At->Drain(Millis(2000));
  std::this_thread::sleep_for(m_Guard + m_Guard / 5);
  m_At->Discard();
  if (!m_At->Send("+++")) return false;
  const auto deadline = Clock::now() + m_Guard * 2 + Millis(2000);
  while (Clock::now() < deadline)
    if (const auto line = m_At->ReadLine(Millis(100)))
      if (ParseResult(*line).kind == AtResultKind::Ok) return true;
  return false;
}

bool AtModem::HangUpNow() {
  const Mode mode = m_Mode;
  m_Mode = Mode::Command;
  WatchText(false);
  const std::string hangup = m_Applied.templates.Expand("Hangup");
  // The modem may still report the end of the call (NO CARRIER) before its OK.
  const auto confirm = [&] {
    const auto deadline = Clock::now() + kCommandBound;
    auto result = m_At->Command(hangup, kCommandBound);
    while (result && result->kind == AtResultKind::NoCarrier && Clock::now() < deadline) {
      const auto line = m_At->ReadLine(std::chrono::duration_cast<Millis>(deadline - Clock::now()));
      result = line ? std::optional<AtResult>(ParseResult(*line)) : std::nullopt;
    }
    return result && result->kind == AtResultKind::Ok;
  };
  if (mode == Mode::Dialing || mode == Mode::Answering) {
    // Any character ends dialing or answering; the modem answers with its result.
    m_At->Send(m_Applied.templates.Expand("Terminator"));
    m_At->ReadLine(kCommandBound);
    return confirm();
  }
  if (mode != Mode::Online) return confirm();
  // What the application wrote before hanging up goes out first.
  m_At->Drain(Millis(2000));
  if (m_At->HasModemLines()) {
    Log("hanging up by DTR");
    m_At->SetDtr(false);
    std::this_thread::sleep_for(kDtrDrop);
    m_At->SetDtr(true);
    m_At->Discard();
    if (confirm()) return true;
  }
  Log("hanging up by the escape sequence");
  return Escape() && confirm();
}

}  // namespace lineservice
