// The call flows of the virtual exchange: dialing, ringing, answering, data, digits, hang-up.
#include "lineservice/connection.h"
#include "lineservice/datapath.h"
#include "lineservice/listener.h"
#include "lineservice/service.h"

#include <algorithm>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

namespace lineservice {

namespace {

// A caller that connects must say who it is within this time.
constexpr auto kCallRequestBound = std::chrono::seconds(5);
constexpr DWORD kRingModeNormal = 1;
// Bytes a connected call keeps while no tap is open: one full DATA frame, several seconds of a
// modem-speed call, far more than a far end sends before an app fetches its port on CONNECTED.
constexpr std::size_t kKeptBound = 64 * 1024;
static_assert(kKeptBound >= kMaxData, "an empty buffer takes any frame");

SYSTEMTIME Now() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  std::tm utc{};
  ::gmtime_r(&now.tv_sec, &utc);
  SYSTEMTIME t{};
  t.wYear = WORD(utc.tm_year + 1900);
  t.wMonth = WORD(utc.tm_mon + 1);
  t.wDayOfWeek = WORD(utc.tm_wday);
  t.wDay = WORD(utc.tm_mday);
  t.wHour = WORD(utc.tm_hour);
  t.wMinute = WORD(utc.tm_min);
  t.wSecond = WORD(utc.tm_sec);
  t.wMilliseconds = WORD(now.tv_usec / 1000);
  return t;
}

}  // namespace

void Service::SetCallState(Call& call, DWORD state, DWORD mode) {
  call.state = state;
  call.stateMode = mode;
  call.stateEntered = Now();
  if (!call.handle) return;
  const bool offering = state == LINECALLSTATE_OFFERING;
  if (call.offering) call.offering->store(offering);
  if (Line* line = FindLine(call.line)) {
    const DWORD privilege = call.announced ? 0 : LINECALLPRIVILEGE_OWNER;
    call.announced = true;
    PostLine(*line, call.handle, LINE_CALLSTATE, state, mode, privilege, offering ? call.offering : nullptr);
  }
}

void Service::PostCallInfo(Call& call, DWORD states) {
  if (!call.handle) return;
  if (Line* line = FindLine(call.line)) PostLine(*line, call.handle, LINE_CALLINFO, states);
}

HCALL Service::AllocateHandle(const std::shared_ptr<Call>& call) {
  call->handle = NewHandle();
  call->announced = false;
  call->offering = std::make_shared<std::atomic<bool>>(false);
  m_Calls[call->handle] = call;
  return call->handle;
}

std::shared_ptr<Connection> Service::StartConnection(int fd) {
  auto connection = Connection::Start(
      fd, [this](Connection& c, Frame&& frame) { OnConnectionFrame(c, std::move(frame)); },
      [this](Connection& c) { OnConnectionEnd(c); });
  m_Connections.push_back(connection);
  return connection;
}

void Service::RetireConnection(Connection& connection) {
  auto it = std::find_if(m_Connections.begin(), m_Connections.end(),
                         [&](const auto& c) { return c.get() == &connection; });
  if (it == m_Connections.end()) return;
  m_Exchange->Retire(std::move(*it));
  m_Connections.erase(it);
}

std::shared_ptr<Call> Service::NewOutgoingCall(const Line& line) {
  auto call = std::make_shared<Call>();
  call->id = ++m_NextCallId;
  call->direction = CallDirection::Outgoing;
  call->device = line.device;
  call->line = line.handle;
  return call;
}

LONG Service::MakeCall(Line& line, const std::string& number, DWORD mediaMode, HCALL* out) {
  Device& device = m_Devices[line.device];
  if (device.active) return LINEERR_CALLUNAVAIL;
  auto call = NewOutgoingCall(line);
  call->mediaMode = mediaMode;
  call->callerNumber = device.modem.number;
  call->callerName = device.modem.friendlyName;
  call->calledNumber = number;
  *out = AllocateHandle(call);
  device.active = call;
  const DWORD request = NextRequest();
  Reply(line, request, 0);

  // The number must be a virtual modem's (first those this process knows, then the store now), or
  // one that something waits on (an AT modem emulator).
  auto known = std::find_if(m_Devices.begin(), m_Devices.end(),
                            [&](const Device& d) { return d.modem.IsVirtual() && d.modem.number == number; });
  std::string calledName = known != m_Devices.end() ? known->modem.friendlyName : std::string();
  bool exists = known != m_Devices.end();
  if (!exists) {
    std::vector<ModemEntry> modems;
    std::string why;
    if (!ReadModems(modems, why)) Complain("lineMakeCall", why);
    for (const ModemEntry& modem : LineDevices(modems))
      if (modem.number == number) {
        exists = true;
        calledName = modem.friendlyName;
        break;
      }
  }
  const int fd = ConnectToNumber(number);
  if (!exists && fd < 0) {
    PutOnHook(*call, false);
    Disconnected(*call, LINEDISCONNECTMODE_BADADDRESS);
    return request;
  }
  call->calledName = calledName;
  SetCallState(*call, LINECALLSTATE_PROCEEDING);
  if (const DWORD seconds = CallSetupFailSeconds(device.config); seconds > 0) {
    call->timer = m_Exchange->AddTimer(std::chrono::seconds(seconds), [this, call] {
      if (call->onHook || call->state == LINECALLSTATE_CONNECTED) return;
      PutOnHook(*call, true);
      Disconnected(*call, LINEDISCONNECTMODE_NOANSWER);
    });
  }
  if (fd < 0) {  // nobody waits on the number: it rings until the set-up time-out
    SetCallState(*call, LINECALLSTATE_RINGBACK);
    return request;
  }
  call->connection = StartConnection(fd);
  m_Routes[call->connection.get()] = call;
  CallRequest callRequest;
  callRequest.maxRate = MaxRate(device.config);
  callRequest.mediaMode = mediaMode;
  callRequest.callerNumber = call->callerNumber;
  callRequest.callerName = call->callerName;
  callRequest.calledNumber = number;
  call->connection->Send(FrameType::Call, EncodeCallRequest(callRequest));
  return request;
}

void Service::OnAccepted(Listener& listener, int fd) {
  auto device = std::find_if(m_Devices.begin(), m_Devices.end(), [&](const Device& d) { return d.listener.get() == &listener; });
  if (device == m_Devices.end()) {
    ::close(fd);
    return;
  }
  auto connection = StartConnection(fd);
  m_Unclaimed[connection.get()] = DWORD(device - m_Devices.begin());
  m_Exchange->AddTimer(kCallRequestBound, [this, weak = std::weak_ptr<Connection>(connection)] {
    const auto unclaimed = weak.lock();
    if (unclaimed && m_Unclaimed.erase(unclaimed.get())) unclaimed->Abort();  // it never said who calls
  });
}

void Service::OnConnectionFrame(Connection& connection, Frame&& frame) {
  std::unique_lock lock(ServiceLock());
  if (m_Stopping) return;
  if (auto unclaimed = m_Unclaimed.find(&connection); unclaimed != m_Unclaimed.end()) {
    const DWORD device = unclaimed->second;
    m_Unclaimed.erase(unclaimed);
    if (frame.type != FrameType::Call) {
      connection.Abort();
      return;
    }
    OnCallRequest(device, connection, frame.payload);
    return;
  }
  auto route = m_Routes.find(&connection);
  if (route == m_Routes.end()) return;
  std::shared_ptr<Call> call = route->second;
  if (frame.type == FrameType::Data)
    OnData(lock, call, frame.payload);
  else
    OnFrame(call, std::move(frame));
}

void Service::OnConnectionEnd(Connection& connection) {
  std::lock_guard lock(ServiceLock());
  if (m_Stopping) return;
  m_Unclaimed.erase(&connection);
  if (auto route = m_Routes.find(&connection); route != m_Routes.end()) {
    std::shared_ptr<Call> call = route->second;
    m_Routes.erase(route);
    if (!call->onHook) {
      if (call->direction == CallDirection::Outgoing && call->state != LINECALLSTATE_CONNECTED) {
        // Nobody took the call this way: it rings on until the set-up time-out.
        call->connection.reset();
        if (call->state != LINECALLSTATE_RINGBACK) SetCallState(*call, LINECALLSTATE_RINGBACK);
      } else {
        const bool connected = call->state == LINECALLSTATE_CONNECTED;
        PutOnHook(*call, false);
        Disconnected(*call, connected ? LINEDISCONNECTMODE_UNKNOWN : LINEDISCONNECTMODE_NORMAL);
      }
    }
  }
  RetireConnection(connection);
}

void Service::OnCallRequest(DWORD deviceId, Connection& connection, const std::string& payload) {
  const std::optional<CallRequest> request = DecodeCallRequest(payload);
  if (!request) {
    connection.Abort();
    return;
  }
  Device& device = m_Devices[deviceId];
  const Line* owner = nullptr;
  for (const auto& [handle, line] : m_Lines)
    if (line.device == deviceId && line.IsOwner()) {
      owner = &line;
      break;
    }
  if (!owner || !device.listener) {  // stopped waiting a moment ago: no answer from here
    connection.Close();
    return;
  }
  if (device.active) {
    connection.Send(FrameType::Busy);
    connection.Close();
    return;
  }
  auto call = std::make_shared<Call>();
  call->id = ++m_NextCallId;
  call->direction = CallDirection::Incoming;
  call->device = deviceId;
  call->line = owner->handle;
  call->mediaMode = request->mediaMode == LINEMEDIAMODE_AUTOMATEDVOICE ? LINEMEDIAMODE_AUTOMATEDVOICE
                                                                         : LINEMEDIAMODE_DATAMODEM;
  call->farMaxRate = request->maxRate;
  call->callerNumber = request->callerNumber;
  call->callerName = request->callerName;
  call->calledNumber = device.modem.number;
  call->calledName = device.modem.friendlyName;
  for (const auto& c : m_Connections)
    if (c.get() == &connection) call->connection = c;
  m_Routes[&connection] = call;
  device.active = call;
  Ring(call);
}

void Service::Ring(const std::shared_ptr<Call>& call) {
  if (call->onHook || call->state == LINECALLSTATE_CONNECTED) return;
  ++call->rings;
  call->connection->Send(FrameType::Ringing, EncodeNumber(DWORD(call->rings)));
  Device& device = m_Devices[call->device];
  device.ringOn = true;
  UpdateModemLines(call->device);
  call->ringOffTimer = m_Exchange->AddTimer(m_Cadence.on, [this, call] { RingOff(call); });
  call->timer = m_Exchange->AddTimer(m_Cadence.on + m_Cadence.off, [this, call] { Ring(call); });
  Offer(call);
}

void Service::Offer(const std::shared_ptr<Call>& call) {
  Line* line = FindLine(call->line);
  if (!line) return;
  if (!call->handle) {
    AllocateHandle(call);
    SetCallState(*call, LINECALLSTATE_OFFERING);
    PostCallInfo(*call, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID);
  } else if (call->state == LINECALLSTATE_OFFERING) {
    SetCallState(*call, LINECALLSTATE_OFFERING);
  }
  PostLine(*line, line->handle, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, kRingModeNormal, DWORD(call->rings));
}

void Service::RingOff(const std::shared_ptr<Call>& call) {
  call->ringOffTimer = 0;
  Device& device = m_Devices[call->device];
  if (device.active != call) return;
  device.ringOn = false;
  UpdateModemLines(call->device);
}

LONG Service::Answer(Call& call) {
  const Line* line = FindLine(call.line);
  const DWORD request = NextRequest();
  Reply(*line, request, 0);
  if (m_Devices[call.device].IsAt()) {
    AnswerAt(call);
    return request;
  }
  m_Exchange->CancelTimer(call.timer);
  m_Exchange->CancelTimer(call.ringOffTimer);
  call.timer = call.ringOffTimer = 0;
  call.answering = true;
  if (call.offering) call.offering->store(false);
  Device& device = m_Devices[call.device];
  device.ringOn = false;
  UpdateModemLines(call.device);
  call.rate = std::min(MaxRate(device.config), call.farMaxRate);
  call.connection->Send(FrameType::Answer, EncodeNumber(call.rate));
  return request;
}

void Service::Connected(Call& call, DWORD rate, DWORD options) {
  m_Exchange->CancelTimer(call.timer);
  call.timer = 0;
  call.rate = rate;
  Device& device = m_Devices[call.device];
  device.negotiatedRate = rate;
  device.negotiatedOptions = options;
  SetCallState(call, LINECALLSTATE_CONNECTED);
  PostCallInfo(call, LINECALLINFOSTATE_RATE);
  UpdateModemLines(call.device);
}

void Service::PutOnHook(Call& call, bool hangUp) {
  if (call.onHook) return;
  call.onHook = true;
  m_Exchange->CancelTimer(call.timer);
  m_Exchange->CancelTimer(call.ringOffTimer);
  call.timer = call.ringOffTimer = 0;
  if (call.connection) {
    if (hangUp) call.connection->Send(FrameType::Hangup);
    call.connection->Close();
  }
  Device& device = m_Devices[call.device];
  if (device.active.get() == &call) {
    device.ended = device.active;
    device.active.reset();
    device.ringOn = false;
  }
  m_TapAdded.notify_all();
  UpdateModemLines(call.device);
}

void Service::Disconnected(Call& call, DWORD mode) { SetCallState(call, LINECALLSTATE_DISCONNECTED, mode); }

void Service::OnFrame(const std::shared_ptr<Call>& call, Frame&& frame) {
  if (call->onHook) return;
  const bool outgoing = call->direction == CallDirection::Outgoing;
  switch (frame.type) {
    case FrameType::Ringing:
      if (outgoing && call->state == LINECALLSTATE_PROCEEDING) SetCallState(*call, LINECALLSTATE_RINGBACK);
      return;
    case FrameType::Busy:
      if (!outgoing) break;
      SetCallState(*call, LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
      PutOnHook(*call, false);
      Disconnected(*call, LINEDISCONNECTMODE_BUSY);
      return;
    case FrameType::Answer: {
      const auto rate = DecodeNumber(frame.payload);
      if (!outgoing || !rate) break;
      Connected(*call, *rate, PreferredOptions(m_Devices[call->device].config));
      call->connection->Send(FrameType::Connect);
      return;
    }
    case FrameType::Connect:
      if (outgoing || !call->answering) break;
      Connected(*call, call->rate, PreferredOptions(m_Devices[call->device].config));
      return;
    case FrameType::Digits: {
      const auto digits = DecodeDigits(frame.payload);
      if (!digits) break;
      const Line* line = FindLine(call->line);
      if (line && call->handle && call->state == LINECALLSTATE_CONNECTED &&
          call->mediaMode == LINEMEDIAMODE_AUTOMATEDVOICE && (call->monitorDigitModes & digits->mode))
        for (char digit : digits->digits)
          PostLine(*line, call->handle, LINE_MONITORDIGITS, BYTE(digit), digits->mode);
      return;
    }
    case FrameType::Hangup: {
      // Before an answer, the callee's hang-up is a refusal; otherwise the call ended normally.
      const bool refused = outgoing && call->state != LINECALLSTATE_CONNECTED;
      PutOnHook(*call, false);
      Disconnected(*call, refused ? LINEDISCONNECTMODE_REJECT : LINEDISCONNECTMODE_NORMAL);
      return;
    }
    default:
      break;
  }
  // A frame that has no place here: the peer cannot be trusted.
  call->connection->Abort();
}

void Service::OnData(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Call>& call, const std::string& data) {
  std::vector<std::shared_ptr<Tap>> taps;
  for (;;) {
    if (m_Stopping || call->onHook || call->state != LINECALLSTATE_CONNECTED) return;
    taps = TapsOf(call->device);
    if (!taps.empty()) break;
    // Nobody holds the line's port yet (the app fetches it on CONNECTED): the bytes are kept for
    // the first tap and the reader goes on, so a hang-up behind them is seen. A full buffer holds
    // the reader, and so the far writer, back until a tap takes it or the call is on hook.
    if (call->kept.size() + data.size() <= kKeptBound) {
      call->kept += data;
      return;
    }
    m_TapAdded.wait(lock);
  }
  lock.unlock();
  for (auto& tap : taps) tap->Deliver(data.data(), data.size());
}

LONG Service::Drop(Call& call) {
  const Line* line = FindLine(call.line);
  const DWORD request = NextRequest();
  Reply(*line, request, 0);
  if (m_Devices[call.device].IsAt()) {  // IDLE once the modem is back in command state
    DropAt(call);
    return request;
  }
  PutOnHook(call, true);
  call.kept = std::string();  // what waited for a port goes with the call
  SetCallState(call, LINECALLSTATE_IDLE);
  return request;
}

void Service::Deallocate(HCALL handle) {
  auto it = m_Calls.find(handle);
  if (it == m_Calls.end()) return;
  std::shared_ptr<Call> call = it->second;
  m_Calls.erase(it);
  if (call->handle == handle) {
    call->handle = 0;
    call->kept = std::string();
    if (call->offering) call->offering->store(false);
  }
  if (call->onHook) return;
  // An unanswered offering waits for its next ring; any other call ends with its handle.
  const bool offering = call->direction == CallDirection::Incoming && call->state == LINECALLSTATE_OFFERING &&
                        !call->answering;
  if (offering) return;
  if (m_Devices[call->device].IsAt()) EndAtCall(*call);
  else PutOnHook(*call, true);
}

LONG Service::GenerateDigits(Call& call, DWORD mode, const std::string& digits) {
  if (call.connection) call.connection->Send(FrameType::Digits, EncodeDigits(DigitsMessage{mode, digits}));
  if (const Line* line = FindLine(call.line)) PostLine(*line, call.handle, LINE_GENERATE, LINEGENERATETERM_DONE);
  return 0;
}

}  // namespace lineservice
