// The call flows of AT modems: the port held while an owner line waits or a call runs, RING and
// caller ID as offerings, dialing with the modem's result codes as call states, the port itself
// as the comm handle of a connected call, and the hang-up that brings the modem back to command
// state before the call is reported idle.
#include "lineservice/atmodem.h"
#include "lineservice/service.h"

#include "platform/virtuallink.h"
#include "platform/winapi.h"

#include <algorithm>

namespace lineservice {

namespace {

// A call whose RINGs stop for this long has been given up by its caller.
std::chrono::milliseconds RingOutBound(const RingCadence& cadence) {
  return std::max<std::chrono::milliseconds>(2 * (cadence.on + cadence.off), std::chrono::seconds(2));
}

}  // namespace

bool Service::HasOwnerLine(DWORD device) const {
  return std::any_of(m_Lines.begin(), m_Lines.end(),
                     [&](const auto& l) { return l.second.device == device && l.second.IsOwner(); });
}

Device* Service::DeviceOf(const AtModem& modem, DWORD* id) {
  if (m_Stopping) return nullptr;
  for (DWORD i = 0; i < m_Devices.size(); ++i)
    if (m_Devices[i].at.get() == &modem) {
      if (id) *id = i;
      return &m_Devices[i];
    }
  return nullptr;
}

std::shared_ptr<AtModem> Service::StartModem(DWORD device) {
  Device& d = m_Devices[device];
  if (d.at) return d.at;
  AtModemSetup setup;
  setup.name = d.modem.friendlyName;
  setup.path = d.modem.PortPath();
  setup.templates = AtTemplates(d.modem.settings);
  setup.userInit = d.modem.userInit;
  setup.config = d.config;
  // Each event takes the service lock and finds its device by the modem, which may be retired.
  const auto locked = [this](auto handler) {
    return [this, handler](AtModem& modem, auto&&... args) {
      std::lock_guard lock(ServiceLock());
      if (DeviceOf(modem)) (this->*handler)(modem, args...);
    };
  };
  AtModem::Events events;
  events.opened = locked(&Service::OnModemOpened);
  events.ring = locked(&Service::OnModemRing);
  events.callerId = locked(&Service::OnModemCallerId);
  events.dialed = locked(&Service::OnModemDialed);
  events.ringback = locked(&Service::OnModemRingback);
  events.connected = locked(&Service::OnModemConnected);
  events.ended = locked(&Service::OnModemEnded);
  events.hungUp = locked(&Service::OnModemHungUp);
  events.lost = locked(&Service::OnModemLost);
  d.at = std::make_shared<AtModem>(std::move(setup), std::move(events));
  return d.at;
}

void Service::RetireModem(DWORD device) {
  Device& d = m_Devices[device];
  if (!d.at) return;
  m_Exchange->CancelTimer(d.ringOut);
  d.ringOut = 0;
  d.at->Stop();
  m_Exchange->Retire(std::move(d.at));
  d.at.reset();
}

void Service::ReleaseModemIfUnused(DWORD device) {
  const Device& d = m_Devices[device];
  if (d.at && !d.active && !HasOwnerLine(device)) RetireModem(device);
}

std::shared_ptr<AtModem> Service::ModemForLine(DWORD device, DWORD privileges) {
  if (!m_Devices[device].IsAt() || !(privileges & LINECALLPRIVILEGE_OWNER)) return nullptr;
  return StartModem(device);
}

HANDLE Service::AtCommHandle(DWORD device) {
  const Device& d = m_Devices[device];
  const HANDLE port = d.at ? d.at->Port() : INVALID_HANDLE_VALUE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (d.active && d.active->state == LINECALLSTATE_CONNECTED && port != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), port, GetCurrentProcess(), &handle, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return handle;
  // Without a connected call the modem is the service's: the handle is a line with nothing on it.
  platform::VirtualLinkOptions options;
  options.modemLines[0] = 0;
  const auto link = platform::VirtualLink::Create(options);
  if (!link) return INVALID_HANDLE_VALUE;
  CloseHandle(link->End(1));
  return link->End(0);
}

LONG Service::MakeAtCall(Line& line, const DialString& dial, HCALL* out) {
  Device& device = m_Devices[line.device];
  if (device.active) return LINEERR_CALLUNAVAIL;
  auto call = std::make_shared<Call>();
  call->id = ++m_NextCallId;
  call->direction = CallDirection::Outgoing;
  call->device = line.device;
  call->line = line.handle;
  call->calledNumber = dial.digits;
  *out = AllocateHandle(call);
  device.active = call;
  call->pendingRequest = NextRequest();
  StartModem(line.device)->Dial(dial, device.config);
  return call->pendingRequest;
}

void Service::AnswerAt(Call& call) {
  Device& d = m_Devices[call.device];
  m_Exchange->CancelTimer(d.ringOut);
  d.ringOut = 0;
  call.answering = true;
  d.at->Answer();
}

void Service::DropAt(Call& call) {
  const bool offered = call.direction == CallDirection::Incoming && call.state == LINECALLSTATE_OFFERING && !call.answering;
  if (offered) {
    // A modem cannot refuse a call: the rest of its rings are not offered.
    call.onHook = true;
    SetCallState(call, LINECALLSTATE_IDLE);
    return;
  }
  EndAtCall(call);
}

void Service::EndAtCall(Call& call) {
  Device& d = m_Devices[call.device];
  if (call.hangingUp || d.active.get() != &call) return;
  const bool ringing = call.direction == CallDirection::Incoming && call.state == LINECALLSTATE_OFFERING && !call.answering;
  if (ringing || !d.at) {
    call.onHook = true;
    if (!ringing) FinishAtCall(d, call.device);
    return;
  }
  call.hangingUp = true;
  d.at->HangUp();
}

void Service::FinishAtCall(Device& d, DWORD id) {
  m_Exchange->CancelTimer(d.ringOut);
  d.ringOut = 0;
  d.active.reset();
  ReleaseModemIfUnused(id);
}

void Service::OnModemOpened(AtModem& modem, LONG result, const std::string& why) {
  DWORD id = 0;
  Device* d = DeviceOf(modem, &id);
  if (result == 0) return;
  Complain(d->active ? "lineMakeCall" : "lineOpen", why);
  if (d->active && d->active->pendingRequest) OnModemDialed(modem, result);
  RetireModem(id);
}

void Service::OnModemDialed(AtModem& modem, LONG result) {
  DWORD id = 0;
  Device* d = DeviceOf(modem, &id);
  const std::shared_ptr<Call> call = d->active;
  if (!call || !call->pendingRequest) return;
  const DWORD request = call->pendingRequest;
  call->pendingRequest = 0;
  if (const Line* line = FindLine(call->line)) Reply(*line, request, result);
  if (result == 0) {
    SetCallState(*call, LINECALLSTATE_PROCEEDING);
    return;
  }
  // A refused call never was: its handle is gone.
  if (call->handle) m_Calls.erase(call->handle);
  call->handle = 0;
  call->onHook = true;
  FinishAtCall(*d, id);
}

void Service::OnModemRingback(AtModem& modem) {
  Device* d = DeviceOf(modem);
  if (d->active && d->active->state == LINECALLSTATE_PROCEEDING) SetCallState(*d->active, LINECALLSTATE_RINGBACK);
}

void Service::OnModemRing(AtModem& modem) {
  DWORD id = 0;
  Device* d = DeviceOf(modem, &id);
  const Line* owner = nullptr;
  for (const auto& [handle, line] : m_Lines)
    if (line.device == id && line.IsOwner()) {
      owner = &line;
      break;
    }
  if (!owner) return;  // the port is held for an outgoing call: nobody takes incoming ones
  if (!d->active) {
    auto call = std::make_shared<Call>();
    call->id = ++m_NextCallId;
    call->direction = CallDirection::Incoming;
    call->device = id;
    call->line = owner->handle;
    d->active = call;
  }
  const std::shared_ptr<Call> call = d->active;
  if (call->direction != CallDirection::Incoming || call->answering || call->state == LINECALLSTATE_CONNECTED) return;
  m_Exchange->CancelTimer(d->ringOut);
  d->ringOut = m_Exchange->AddTimer(RingOutBound(m_Cadence), [this, id, call] {
    Device& device = m_Devices[id];
    device.ringOut = 0;
    if (device.active != call || call->answering) return;
    // The caller gave up: a held offering is told, as on a virtual modem.
    if (!call->onHook && call->handle) SetCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
    call->onHook = true;
    FinishAtCall(device, id);
  });
  ++call->rings;
  if (!call->onHook) Offer(call);
}

void Service::OnModemCallerId(AtModem& modem, const CallerIdLine& line) {
  Device* d = DeviceOf(modem);
  const std::shared_ptr<Call> call = d->active;
  if (!call || call->direction != CallDirection::Incoming || call->state == LINECALLSTATE_CONNECTED) return;
  CallerId& id = call->callerId;
  if (!id.Apply(line)) return;
  call->callerNumber = id.number;
  call->callerName = id.name;
  call->callerFlags = id.numberWithheld || id.nameWithheld          ? LINECALLPARTYID_BLOCKED
                      : id.numberUnavailable || id.nameUnavailable ? LINECALLPARTYID_OUTOFAREA
                                                                   : 0;
  PostCallInfo(*call, LINECALLINFOSTATE_CALLERID);
}

void Service::OnModemConnected(AtModem& modem, const AtResult& connect) {
  Device* d = DeviceOf(modem);
  const std::shared_ptr<Call> call = d->active;
  if (!call || call->onHook || call->hangingUp) return;
  const DWORD options = (connect.errorControl ? MDM_ERROR_CONTROL : 0) | (connect.compression ? MDM_COMPRESSION : 0) |
                        (d->config.modemSettings.dwPreferredModemOptions & (MDM_FLOWCONTROL_HARD | MDM_FLOWCONTROL_SOFT));
  // Without a rate in the result, the port's rate is the best there is.
  Connected(*call, connect.rate ? connect.rate : d->config.dcb.BaudRate, options);
}

void Service::OnModemEnded(AtModem& modem, DWORD mode) {
  Device* d = DeviceOf(modem);
  const std::shared_ptr<Call> call = d->active;
  if (!call || call->hangingUp || call->state == LINECALLSTATE_DISCONNECTED || call->state == LINECALLSTATE_IDLE) return;
  if (call->pendingRequest) OnModemDialed(modem, 0);
  if (mode == LINEDISCONNECTMODE_BUSY) SetCallState(*call, LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
  Disconnected(*call, mode);
  UpdateModemLines(call->device);
  // A call the app has let go is over; otherwise its lineDrop brings the modem back.
  if (!call->handle) EndAtCall(*call);
}

void Service::OnModemHungUp(AtModem& modem, bool confirmed) {
  DWORD id = 0;
  Device* d = DeviceOf(modem, &id);
  const std::shared_ptr<Call> call = d->active;
  if (!confirmed) Complain("lineDrop", d->modem.friendlyName + ": the modem did not confirm the hang-up; it is reset at its next use");
  if (call && call->hangingUp) {
    call->onHook = true;
    if (call->handle) SetCallState(*call, LINECALLSTATE_IDLE);
    FinishAtCall(*d, id);
  }
  if (!confirmed) RetireModem(id);
}

void Service::OnModemLost(AtModem& modem, const std::string& why) {
  DWORD id = 0;
  Device* d = DeviceOf(modem, &id);
  Complain("tapi32", d->modem.friendlyName + ": " + why);
  const std::shared_ptr<Call> call = d->active;
  if (call && call->pendingRequest) OnModemDialed(modem, LINEERR_OPERATIONFAILED);
  else if (call && call->handle && call->state != LINECALLSTATE_IDLE) {
    if (call->hangingUp) SetCallState(*call, LINECALLSTATE_IDLE);
    else if (call->state != LINECALLSTATE_DISCONNECTED) Disconnected(*call, LINEDISCONNECTMODE_UNAVAIL);
  }
  if (d->active) {
    d->active->onHook = true;
    d->active.reset();
  }
  RetireModem(id);
}

}  // namespace lineservice
