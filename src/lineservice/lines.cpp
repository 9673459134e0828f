// Open lines and their data path: listening while an owner line is open, the taps, the modem
// lines the taps show and the bytes they send.
#include "lineservice/connection.h"
#include "lineservice/datapath.h"
#include "lineservice/listener.h"
#include "lineservice/service.h"

#include <algorithm>

namespace lineservice {

LONG Service::CheckSingleOwner(DWORD device, DWORD privileges) const {
  if (!(privileges & LINECALLPRIVILEGE_OWNER)) return 0;
  const Device& d = m_Devices[device];
  const bool owned = std::any_of(m_Lines.begin(), m_Lines.end(), [&](const auto& l) {
    const Device& other = m_Devices[l.second.device];
    return l.second.IsOwner() &&
           (l.second.device == device || (!d.IsAt() && !other.IsAt() && other.modem.number == d.modem.number));
  });
  if (!owned) return 0;
  Complain("lineOpen", d.IsAt() ? d.modem.friendlyName + " already has an owner line in this process"
                                 : "number " + d.modem.number + " already waits for calls on another line of this process");
  return LINEERR_RESOURCEUNAVAIL;
}

LONG Service::OpenLine(HLINEAPP app, DWORD device, DWORD_PTR instance, DWORD privileges, DWORD mediaModes,
                       HLINE* out) {
  if (const LONG refused = CheckSingleOwner(device, privileges)) return refused;
  Device& d = m_Devices[device];
  if ((privileges & LINECALLPRIVILEGE_OWNER) && !d.listener && !d.IsAt()) {
    Listener::Failure failure = Listener::Failure::None;
    std::string why;
    std::unique_ptr<Listener> listener = Listener::Open(d.modem.number, failure, why);
    if (!listener) {
      Complain("lineOpen", why);
      return failure == Listener::Failure::Taken ? LINEERR_RESOURCEUNAVAIL : LINEERR_OPERATIONFAILED;
    }
    d.listener = std::move(listener);
    m_Exchange->Wake();
  }
  Line line;
  line.handle = NewHandle();
  line.app = app;
  line.device = device;
  line.instance = instance;
  line.privileges = privileges;
  line.mediaModes = mediaModes;
  *out = line.handle;
  m_Lines.emplace(line.handle, std::move(line));
  return 0;
}

void Service::CloseLine(HLINE handle) {
  Line* line = FindLine(handle);
  if (!line) return;
  const DWORD device = line->device;
  std::vector<HCALL> handles;
  for (const auto& [callHandle, call] : m_Calls)
    if (call->line == handle) handles.push_back(callHandle);
  for (HCALL callHandle : handles) Deallocate(callHandle);
  Device& d = m_Devices[device];
  if (d.active && d.active->line == handle) {  // a deallocated offering
    if (d.IsAt()) EndAtCall(*d.active);
    else PutOnHook(*d.active, false);
  }
  for (auto& tap : line->taps) {
    tap->SetLines(0);
    m_Exchange->Retire(tap);
  }
  m_Lines.erase(handle);
  const bool ownerLeft = std::any_of(m_Lines.begin(), m_Lines.end(),
                                     [&](const auto& l) { return l.second.device == device && l.second.IsOwner(); });
  if (!ownerLeft && d.listener) {
    d.listener->Shutdown();
    d.listener.reset();
    m_Exchange->Wake();
  }
  if (d.IsAt()) ReleaseModemIfUnused(device);
}

HANDLE Service::AddTap(Line& line) {
  // Taps whose callers are gone are dropped first.
  auto done = std::stable_partition(line.taps.begin(), line.taps.end(), [](const auto& t) { return !t->Done(); });
  for (auto it = done; it != line.taps.end(); ++it) m_Exchange->Retire(*it);
  line.taps.erase(done, line.taps.end());

  const DWORD device = line.device;
  const Device& d = m_Devices[device];
  DWORD lines = MS_CTS_ON | MS_DSR_ON;
  DWORD rate = 0;
  if (d.active && d.active->state == LINECALLSTATE_CONNECTED) {
    lines |= MS_RLSD_ON;
    rate = (m_Unpaced || d.modem.unpaced) ? 0 : d.active->rate;
  }
  if (d.ringOn) lines |= MS_RING_ON;
  // The first tap takes what the far end of the device's call (or of its last one) sent before
  // it, ahead of anything newer.
  const std::shared_ptr<Call> waiting = !TapsOf(device).empty() ? nullptr : d.active ? d.active : d.ended.lock();
  auto tap = Tap::Create(lines, rate, waiting ? std::string_view(waiting->kept) : std::string_view(),
                         [this, device](const char* data, std::size_t count, const std::atomic<bool>& cancel) {
                           return SendFromTap(device, data, count, cancel);
                         });
  if (!tap) return INVALID_HANDLE_VALUE;
  if (waiting) waiting->kept.clear();
  line.taps.push_back(tap);
  m_TapAdded.notify_all();
  return tap->CallerHandle();
}

std::vector<std::shared_ptr<Tap>> Service::TapsOf(DWORD device) {
  std::vector<std::shared_ptr<Tap>> taps;
  for (const auto& [handle, line] : m_Lines)
    if (line.device == device)
      for (const auto& tap : line.taps)
        if (tap->CallerOpen()) taps.push_back(tap);
  return taps;
}

void Service::UpdateModemLines(DWORD device) {
  const Device& d = m_Devices[device];
  const bool connected = d.active && d.active->state == LINECALLSTATE_CONNECTED;
  const DWORD lines = MS_CTS_ON | MS_DSR_ON | (connected ? MS_RLSD_ON : 0) | (d.ringOn ? MS_RING_ON : 0);
  const DWORD rate = connected && !m_Unpaced && !d.modem.unpaced ? d.active->rate : 0;
  for (auto& tap : TapsOf(device)) {
    if (connected) tap->SetRate(rate);
    tap->SetLines(lines);
  }
}

bool Service::SendFromTap(DWORD device, const char* data, std::size_t count, const std::atomic<bool>& cancel) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard lock(ServiceLock());
    if (m_Stopping || device >= m_Devices.size()) return false;
    const auto& active = m_Devices[device].active;
    if (!active || active->state != LINECALLSTATE_CONNECTED || !active->connection) return false;
    connection = active->connection;
  }
  return connection->SendData(data, count, cancel);
}

std::vector<std::shared_ptr<Tap>> Service::TapsToDrain(const Call& call) {
  if (call.onHook || call.state != LINECALLSTATE_CONNECTED) return {};
  return TapsOf(call.device);
}

}  // namespace lineservice
