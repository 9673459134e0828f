#include "platform/virtuallink.h"

#include "platform/commdevice.h"
#include "platform/winapi.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <random>

namespace platform {

namespace {

bool ValidSide(int side) { return side == 0 || side == 1; }

std::chrono::nanoseconds BytePeriod(DWORD bitsPerSecond) {
  const std::uint64_t tenBits = 10'000'000'000ull;  // ten bits a byte, in nanoseconds times the rate
  return std::chrono::nanoseconds((tenBits + bitsPerSecond / 2) / bitsPerSecond);
}

}  // namespace

class LinkEnd;

struct VirtualLink::Core {
  explicit Core(const VirtualLinkOptions& options)
      : bitsPerSecond(options.bitsPerSecond), timingLog(options.timingLog) {
    for (int side = 0; side < 2; ++side) {
      std::seed_seq seed{static_cast<std::uint32_t>(options.seed), static_cast<std::uint32_t>(options.seed >> 32),
                         static_cast<std::uint32_t>(side)};
      direction[side].random.seed(seed);
      SetFaults(side, options.faults[side]);
      lines[side] = options.modemLines[side];
    }
  }

  void SetFaults(int side, const LinkFaults& faults) {
    auto& target = direction[side].faults;
    target = faults;
    for (auto* positions : {&target.corruptAt, &target.dropAt, &target.insertAt})
      std::sort(positions->begin(), positions->end());
  }

  // No fault can touch the bytes `side` writes and no timing is kept: they may pass as a block.
  bool Clean(int side) const {
    const LinkFaults& f = direction[side].faults;
    return timingLog == 0 && f.corruptRate <= 0 && f.dropRate <= 0 && f.insertRate <= 0 && f.corruptAt.empty() &&
           f.dropAt.empty() && f.insertAt.empty();
  }

  // The bytes that arrive for one written byte: none (dropped), itself (maybe corrupted), or an
  // inserted byte before it. Every rate draws once per byte, so a seed replays the same faults.
  void ApplyFaults(int side, BYTE byte, std::uint64_t index, std::vector<BYTE>& out) {
    auto& d = direction[side];
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto chance = [&](double rate) { return rate > 0 && uniform(d.random) < rate; };
    auto at = [&](const std::vector<std::uint64_t>& v) { return std::binary_search(v.begin(), v.end(), index); };
    const bool insert = chance(d.faults.insertRate) | at(d.faults.insertAt);
    const bool drop = chance(d.faults.dropRate) | at(d.faults.dropAt);
    const bool corrupt = chance(d.faults.corruptRate) | at(d.faults.corruptAt);
    if (insert) out.push_back(static_cast<BYTE>(d.random()));
    if (drop) return;
    if (corrupt) byte ^= static_cast<BYTE>(1 + d.random() % 255);
    out.push_back(byte);
    ++d.delivered;
  }

  struct Direction {
    LinkFaults faults;
    std::mt19937_64 random;
    std::uint64_t written = 0;    // bytes taken from the writing end
    std::uint64_t delivered = 0;  // of those, bytes that arrived
    std::optional<CommDevice::Clock::time_point> lastDue;
    std::deque<ByteTiming> timings;
  };

  const std::shared_ptr<std::mutex> lock = std::make_shared<std::mutex>();
  DWORD bitsPerSecond;
  const std::size_t timingLog;
  Direction direction[2];
  DWORD lines[2];
  LinkEnd* ends[2] = {nullptr, nullptr};  // cleared by each end as it closes
};

// One end of the link: a comm device whose transport hands bytes to the other end's input queue.
class LinkEnd : public CommDevice {
public:
  LinkEnd(std::shared_ptr<VirtualLink::Core> core, int side)
      : CommDevice(core->lock), m_Core(std::move(core)), m_Side(side) {}
  ~LinkEnd() override { Close(); }

  void Begin() { Start(); }
  // The following run with the link's lock held.
  void LinesChanged(DWORD before, DWORD after) {
    RaiseEvents(ModemLineEvents(before, after));
    WakeLocked();
  }
  void LineErrors(DWORD errors) { AddLineErrors(errors); }
  void Poke() { WakeLocked(); }

protected:
  void Service(std::span<const pollfd>, Clock::time_point now) override;
  std::optional<Clock::time_point> DeviceDeadline() const override { return m_NextDue; }
  BOOL ModemStatus(DWORD* status) override {
    *status = m_Core->lines[m_Side];
    return TRUE;
  }
  void HoldBits(COMSTAT& stat) override {
    stat.fCtsHold = CtsHold();
    stat.fDsrHold = DsrHold();
  }
  void InputRoomFreed() override {
    WakeLocked();
    if (auto* peer = Peer()) peer->WakeLocked();  // the other end may be waiting to deliver
  }
  void PurgeTransport(DWORD flags) override {
    if (flags & PURGE_TXCLEAR) m_Transmitter.clear();
  }
  void ReleaseTransport() override {
    std::lock_guard lock(Lock());
    m_Core->ends[m_Side] = nullptr;
    if (auto* peer = Peer()) peer->WakeLocked();
  }

private:
  LinkEnd* Peer() const { return m_Core->ends[1 - m_Side]; }
  bool CtsHold() const { return State().fOutxCtsFlow && !(m_Core->lines[m_Side] & MS_CTS_ON); }
  bool DsrHold() const { return State().fOutxDsrFlow && !(m_Core->lines[m_Side] & MS_DSR_ON); }

  void DeliverUnpaced(Clock::time_point now);
  void DeliverPaced(Clock::time_point now);
  // Takes one written byte onto the line: its faults into m_Arriving, its timing into the log.
  void Pass(BYTE byte, Clock::time_point written, Clock::time_point due, Clock::time_point now);

  // A byte that has left the driver's queue and waits in the transmitter for its turn on the line.
  struct Pending {
    BYTE byte;
    Clock::time_point written;
  };
  // As deep as a 16550's transmit FIFO.
  static constexpr std::size_t kTransmitterFifo = 16;

  const std::shared_ptr<VirtualLink::Core> m_Core;
  const int m_Side;
  std::optional<Clock::time_point> m_NextDue;
  std::vector<BYTE> m_Arriving;
  std::deque<Pending> m_Transmitter;
};

void LinkEnd::Service(std::span<const pollfd>, Clock::time_point now) {
  m_NextDue.reset();
  if (!Peer()) {  // a dead line takes everything
    m_Transmitter.clear();
    while (HasOutput()) ConsumeOutput(OutputSize());
    return;
  }
  if (CtsHold() || DsrHold()) return;
  if (m_Core->bitsPerSecond == 0 && m_Transmitter.empty()) {
    DeliverUnpaced(now);
    return;
  }
  DeliverPaced(now);
}

void LinkEnd::DeliverUnpaced(Clock::time_point now) {
  LinkEnd* const peer = Peer();
  while (HasOutput()) {
    const std::size_t count = std::min(OutputSize(), peer->InputRoom());
    if (count == 0) return;  // the reader's InputRoomFreed wakes us
    const BYTE* data = OutputData();
    if (m_Core->Clean(m_Side)) {
      auto& direction = m_Core->direction[m_Side];
      direction.written += count;
      direction.delivered += count;
      peer->Receive(data, count, now);
    } else {
      m_Arriving.clear();
      const Clock::time_point issued = OutputIssued();
      for (std::size_t i = 0; i < count; ++i) Pass(data[i], issued, issued, now);
      peer->Receive(m_Arriving.data(), m_Arriving.size(), now);
    }
    ConsumeOutput(count);
  }
}

void LinkEnd::DeliverPaced(Clock::time_point now) {
  LinkEnd* const peer = Peer();
  auto& direction = m_Core->direction[m_Side];
  const DWORD rate = m_Core->bitsPerSecond;
  for (;;) {
    // The driver's queue empties into the transmitter as it has room, so the transmit-empty
    // event comes while the transmitter still holds the last bytes, as with a real UART.
    while (HasOutput() && m_Transmitter.size() < kTransmitterFifo) {
      const std::size_t count = std::min(OutputSize(), kTransmitterFifo - m_Transmitter.size());
      const BYTE* data = OutputData();
      for (std::size_t i = 0; i < count; ++i) m_Transmitter.push_back(Pending{data[i], OutputIssued()});
      ConsumeOutput(count);
    }
    if (m_Transmitter.empty()) return;
    const Pending next = m_Transmitter.front();
    Clock::time_point due = next.written;
    if (rate > 0) {
      if (direction.lastDue && *direction.lastDue > due) due = *direction.lastDue;
      due += BytePeriod(rate);
      if (due > now) {
        m_NextDue = due;
        return;
      }
    }
    if (peer->InputRoom() == 0) return;  // the reader's InputRoomFreed wakes us
    m_Arriving.clear();
    Pass(next.byte, next.written, due, now);
    m_Transmitter.pop_front();
    if (rate > 0) direction.lastDue = due;
    peer->Receive(m_Arriving.data(), m_Arriving.size(), now);
  }
}

void LinkEnd::Pass(BYTE byte, Clock::time_point written, Clock::time_point due, Clock::time_point now) {
  auto& direction = m_Core->direction[m_Side];
  const std::uint64_t index = direction.written++;
  m_Core->ApplyFaults(m_Side, byte, index, m_Arriving);
  if (m_Core->timingLog > 0) {
    direction.timings.push_back(ByteTiming{index, written, due, now});
    if (direction.timings.size() > m_Core->timingLog) direction.timings.pop_front();
  }
}

std::shared_ptr<VirtualLink> VirtualLink::Create(const VirtualLinkOptions& options) {
  auto core = std::make_shared<Core>(options);
  auto first = std::make_shared<LinkEnd>(core, 0);
  auto second = std::make_shared<LinkEnd>(core, 1);
  {
    std::lock_guard lock(*core->lock);
    core->ends[0] = first.get();
    core->ends[1] = second.get();
  }
  first->Begin();
  second->Begin();
  std::shared_ptr<VirtualLink> link(new VirtualLink(core));
  link->m_Ends[0] = RegisterHandle(first);
  if (link->m_Ends[0] == INVALID_HANDLE_VALUE) return nullptr;
  link->m_Ends[1] = RegisterHandle(second);
  if (link->m_Ends[1] == INVALID_HANDLE_VALUE) {
    CloseHandle(link->m_Ends[0]);
    SetLastErrorCode(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  return link;
}

VirtualLink::VirtualLink(std::shared_ptr<Core> core) : m_Core(std::move(core)) {}

VirtualLink::~VirtualLink() = default;

HANDLE VirtualLink::End(int side) const { return ValidSide(side) ? m_Ends[side] : INVALID_HANDLE_VALUE; }

bool VirtualLink::EndOpen(int side) const {
  if (!ValidSide(side)) return false;
  std::lock_guard lock(*m_Core->lock);
  return m_Core->ends[side] != nullptr;
}

void VirtualLink::SetModemLines(int side, DWORD lines) {
  if (!ValidSide(side)) return;
  lines &= MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
  std::lock_guard lock(*m_Core->lock);
  const DWORD before = m_Core->lines[side];
  m_Core->lines[side] = lines;
  if (auto* end = m_Core->ends[side]) end->LinesChanged(before, lines);
}

DWORD VirtualLink::ModemLines(int side) const {
  if (!ValidSide(side)) return 0;
  std::lock_guard lock(*m_Core->lock);
  return m_Core->lines[side];
}

void VirtualLink::SetBitsPerSecond(DWORD bitsPerSecond) {
  std::lock_guard lock(*m_Core->lock);
  m_Core->bitsPerSecond = bitsPerSecond;
  for (auto* end : m_Core->ends)
    if (end) end->Poke();
}

DWORD VirtualLink::BitsPerSecond() const {
  std::lock_guard lock(*m_Core->lock);
  return m_Core->bitsPerSecond;
}

void VirtualLink::SetFaults(int side, const LinkFaults& faults) {
  if (!ValidSide(side)) return;
  std::lock_guard lock(*m_Core->lock);
  m_Core->SetFaults(side, faults);
}

void VirtualLink::RaiseLineError(int side, DWORD errors) {
  if (!ValidSide(side)) return;
  std::lock_guard lock(*m_Core->lock);
  if (auto* end = m_Core->ends[side]) end->LineErrors(errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK));
}

std::vector<ByteTiming> VirtualLink::Timings(int side) const {
  if (!ValidSide(side)) return {};
  std::lock_guard lock(*m_Core->lock);
  const auto& timings = m_Core->direction[side].timings;
  return {timings.begin(), timings.end()};
}

std::uint64_t VirtualLink::BytesDelivered(int side) const {
  if (!ValidSide(side)) return 0;
  std::lock_guard lock(*m_Core->lock);
  return m_Core->direction[side].delivered;
}

}  // namespace platform
