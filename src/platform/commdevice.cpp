#include "platform/commdevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr DWORD kMaxQueueSize = 16u << 20;  // SetupComm refuses larger queues
constexpr DWORD kKnownEvents = 0x1FFF;
constexpr DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

DCB DefaultState() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

bool ValidState(const DCB& dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
  if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return false;
  if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;
  return true;
}

std::chrono::milliseconds Millis(std::uint64_t ms) { return std::chrono::milliseconds(ms); }

// The record's event, reset as a request starts (so a wait on it sees this request, not the last).
std::shared_ptr<Event> RequestEvent(const OVERLAPPED* overlapped) {
  if (!overlapped) return nullptr;
  auto event = EventFromHandle(overlapped->hEvent);
  if (event) event->Reset();
  return event;
}

}  // namespace

void StoreOverlappedResult(OVERLAPPED* overlapped, DWORD error, DWORD count) {
  std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(count, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(error, std::memory_order_release);
}

DWORD ModemLineEvents(DWORD before, DWORD after) {
  const DWORD changed = before ^ after;
  DWORD events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  if ((changed & MS_RING_ON) && (after & MS_RING_ON)) events |= EV_RING;
  return events;
}

CommDevice::CommDevice(std::shared_ptr<std::mutex> lock) : m_Lock(std::move(lock)), m_DCB(DefaultState()) {
  m_WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_WakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

CommDevice::~CommDevice() {
  // Device kinds close in their own destructors; this only covers a device that never got that far.
  {
    std::lock_guard lock(*m_Lock);
    m_Closed = true;
    WakeLocked();
  }
  if (m_Thread.joinable()) m_Thread.join();
  if (m_WakeFd >= 0) ::close(m_WakeFd);
}

void CommDevice::Start() { m_Thread = std::thread([this] { Run(); }); }

void CommDevice::WakeLocked() {
  if (m_WakePending) return;
  m_WakePending = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(m_WakeFd, &one, sizeof one);
}

void CommDevice::Run() {
  // A write to a pipe whose reader is gone must fail with EPIPE here, not end the process.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

  std::unique_lock lock(*m_Lock);
  std::vector<pollfd> fds;
  while (!m_Closed) {
    fds.assign(1, pollfd{m_WakeFd, POLLIN, 0});
    AddPollFds(fds);
    timespec wait{};
    timespec* timeout = nullptr;
    if (const auto deadline = NextDeadline()) {
      const auto left = std::max<Clock::duration>(*deadline - Clock::now(), Clock::duration::zero());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &wait;
    }
    lock.unlock();
    const int ready = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
    lock.lock();
    if (m_Closed) break;
    if (ready > 0 && fds[0].revents) {
      std::uint64_t count;
      [[maybe_unused]] auto got = ::read(m_WakeFd, &count, sizeof count);
      m_WakePending = false;
    }
    const auto now = Clock::now();
    Service(std::span<const pollfd>(fds).subspan(1), now);
    ExpireRequests(now);
  }
}

// ---- completion -------------------------------------------------------------------------------

void CommDevice::Complete(OVERLAPPED* overlapped, const std::shared_ptr<Event>& event, DWORD error, DWORD count) {
  StoreOverlappedResult(overlapped, error, count);
  if (event) event->Set();
  m_Completed.notify_all();
}

void CommDevice::CompleteRead(ReadRequest& request, DWORD error) {
  Complete(request.overlapped, request.event, error, request.done);
}

void CommDevice::CompleteWait(DWORD error, DWORD mask) {
  if (!m_Wait) return;
  const auto wait = *m_Wait;
  m_Wait.reset();
  *wait.mask = mask;  // published to the waiter by the release store of the result
  Complete(wait.overlapped, wait.event, error, 0);
}

bool CommDevice::IsPending(const OVERLAPPED* overlapped) const {
  if (m_Wait && m_Wait->overlapped == overlapped) return true;
  for (const auto& read : m_Reads)
    if (read.overlapped == overlapped) return true;
  for (const auto& write : m_Writes)
    if (write.overlapped == overlapped) return true;
  return false;
}

bool CommDevice::IsPendingId(std::uint64_t id) const {
  for (const auto& read : m_Reads)
    if (read.id == id) return true;
  for (const auto& write : m_Writes)
    if (write.id == id) return true;
  return false;
}

bool CommDevice::AwaitCompletion(const OVERLAPPED* overlapped, bool wait) {
  std::unique_lock lock(*m_Lock);
  while (IsPending(overlapped)) {
    if (!wait) return false;
    m_Completed.wait(lock);
  }
  return true;
}

BOOL CommDevice::Outcome(std::unique_lock<std::mutex>& lock, std::uint64_t id, OVERLAPPED* record,
                         bool synchronous, DWORD* transferred) {
  if (IsPendingId(id)) {
    if (!synchronous) {
      WakeLocked();
      return Fail(ERROR_IO_PENDING);
    }
    WakeLocked();
    m_Completed.wait(lock, [&] { return !IsPendingId(id); });
  }
  const DWORD error = std::atomic_ref<ULONG_PTR>(record->Internal).load(std::memory_order_acquire);
  if (transferred) *transferred = std::atomic_ref<ULONG_PTR>(record->InternalHigh).load(std::memory_order_relaxed);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

// ---- reading ----------------------------------------------------------------------------------

BOOL CommDevice::Read(HANDLE via, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
  if (read) *read = 0;
  std::unique_lock lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!buffer && toRead > 0) return Fail(ERROR_INVALID_PARAMETER);
  OVERLAPPED own{};
  OVERLAPPED* record = overlapped ? overlapped : &own;
  std::shared_ptr<Event> event = RequestEvent(overlapped);
  StoreOverlappedResult(record, kIoPending, 0);

  const auto now = Clock::now();
  ReadRequest request;
  request.id = m_NextId++;
  request.via = via;
  request.overlapped = record;
  request.event = std::move(event);
  request.buffer = static_cast<BYTE*>(buffer);
  request.count = toRead;
  request.lastByte = now;
  const auto& t = m_Timeouts;
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
    request.immediate = true;
  } else if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
             t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword) {
    request.anyByte = true;
    request.deadline = now + Millis(t.ReadTotalTimeoutConstant);
  } else {
    const std::uint64_t total = std::uint64_t(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
    if (total > 0) request.deadline = now + Millis(total);
    if (t.ReadIntervalTimeout != kMaxDword) request.interval = t.ReadIntervalTimeout;
  }
  const auto id = request.id;
  m_Reads.push_back(std::move(request));
  FillReads(now);
  return Outcome(lock, id, record, overlapped == nullptr, read);
}

void CommDevice::FillReads(Clock::time_point now) {
  bool took = false;
  while (!m_Reads.empty()) {
    auto& request = m_Reads.front();
    const std::size_t count = std::min<std::size_t>(m_Input.size(), request.count - request.done);
    if (count > 0) {
      std::copy_n(m_Input.begin(), count, request.buffer + request.done);
      m_Input.erase(m_Input.begin(), m_Input.begin() + static_cast<std::ptrdiff_t>(count));
      request.done += static_cast<DWORD>(count);
      request.lastByte = now;
      took = true;
    }
    const bool finished = request.done == request.count || request.immediate ||
                          (request.anyByte && request.done > 0) || (m_InputEnded && m_Input.empty());
    if (!finished) break;
    CompleteRead(request, ERROR_SUCCESS);
    m_Reads.pop_front();
  }
  if (took) InputRoomFreed();
  CheckEndOfInput();
}

std::size_t CommDevice::InputRoom() const {
  return m_Input.size() < m_InQueueSize ? m_InQueueSize - m_Input.size() : 0;
}

void CommDevice::Receive(const BYTE* data, std::size_t count, Clock::time_point now) {
  if (count == 0 || m_Closed) return;
  if (m_InputWatcher) m_InputWatcher(data, count);
  const bool below80 = m_Input.size() * 5 < std::size_t(m_InQueueSize) * 4;
  m_Input.insert(m_Input.end(), data, data + count);
  DWORD events = EV_RXCHAR;
  if (std::find(data, data + count, static_cast<BYTE>(m_DCB.EvtChar)) != data + count) events |= EV_RXFLAG;
  if (below80 && m_Input.size() * 5 >= std::size_t(m_InQueueSize) * 4) events |= EV_RX80FULL;
  RaiseEvents(events);
  FillReads(now);
}

void CommDevice::EndOfInput() {
  if (m_InputEnded) return;
  m_InputEnded = true;
  FillReads(Clock::now());
}

void CommDevice::CheckEndOfInput() {
  // A wait after the last byte has been read fails, so that the owner learns the peer is gone.
  if (m_InputEnded && m_Input.empty() && m_Wait) CompleteWait(ERROR_BROKEN_PIPE, 0);
}

void CommDevice::AbortReads(HANDLE via) {
  for (auto it = m_Reads.begin(); it != m_Reads.end();) {
    if (via && it->via != via) {
      ++it;
      continue;
    }
    CompleteRead(*it, ERROR_OPERATION_ABORTED);
    it = m_Reads.erase(it);
  }
}

// ---- writing ----------------------------------------------------------------------------------

BOOL CommDevice::Write(HANDLE via, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
  if (written) *written = 0;
  std::unique_lock lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!buffer && toWrite > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (m_OutputError != ERROR_SUCCESS) return Fail(m_OutputError);
  OVERLAPPED own{};
  OVERLAPPED* record = overlapped ? overlapped : &own;
  std::shared_ptr<Event> event = RequestEvent(overlapped);
  if (toWrite == 0) {
    Complete(record, event, ERROR_SUCCESS, 0);
    return TRUE;
  }
  StoreOverlappedResult(record, kIoPending, 0);

  const auto now = Clock::now();
  const auto* bytes = static_cast<const BYTE*>(buffer);
  WriteRequest request;
  request.id = m_NextId++;
  request.via = via;
  request.overlapped = record;
  request.event = std::move(event);
  request.data.assign(bytes, bytes + toWrite);
  request.issued = now;
  const std::uint64_t total =
      std::uint64_t(m_Timeouts.WriteTotalTimeoutMultiplier) * toWrite + m_Timeouts.WriteTotalTimeoutConstant;
  if (total > 0) request.timeout = Millis(total);
  const auto id = request.id;
  const bool idle = m_Writes.empty();
  m_Writes.push_back(std::move(request));
  if (idle) {
    StartHeadWrite(now);
    Service({}, now);
    // The write may be done while the transport still holds its bytes for later.
    if (DeviceDeadline()) WakeLocked();
  }
  return Outcome(lock, id, record, overlapped == nullptr, written);
}

void CommDevice::StartHeadWrite(Clock::time_point now) {
  if (m_Writes.empty()) return;
  auto& head = m_Writes.front();
  if (head.timeout && !head.deadline) head.deadline = now + *head.timeout;
}

const BYTE* CommDevice::OutputData() const {
  const auto& head = m_Writes.front();
  return head.data.data() + head.done;
}

std::size_t CommDevice::OutputSize() const {
  return m_Writes.empty() ? 0 : m_Writes.front().data.size() - m_Writes.front().done;
}

CommDevice::Clock::time_point CommDevice::OutputIssued() const { return m_Writes.front().issued; }

void CommDevice::ConsumeOutput(std::size_t count) {
  if (m_Writes.empty()) return;
  auto& head = m_Writes.front();
  head.done += std::min(count, head.data.size() - head.done);
  if (head.done < head.data.size()) return;
  Complete(head.overlapped, head.event, ERROR_SUCCESS, static_cast<DWORD>(head.done));
  m_Writes.pop_front();
  const auto now = Clock::now();
  if (!m_Writes.empty()) {
    StartHeadWrite(now);
    return;
  }
  const DWORD queued = TransportOutQueue();
  if (queued == 0) {
    m_AwaitTransportDrain = false;
    RaiseEvents(EV_TXEMPTY);
  } else {
    ScheduleDrainCheck(queued, now);
  }
}

void CommDevice::ScheduleDrainCheck(DWORD queued, Clock::time_point now) {
  // Look again about when the transport should have sent what it holds, within sensible bounds.
  const std::uint64_t rate = std::max<DWORD>(m_DCB.BaudRate, 50);
  const std::uint64_t ms = std::clamp<std::uint64_t>(std::uint64_t(queued) * 10000 / rate, 1, 100);
  m_AwaitTransportDrain = true;
  m_DrainCheckAt = now + Millis(ms);
}

void CommDevice::OutputBroken(DWORD error) {
  m_OutputError = error;
  for (auto& request : m_Writes) Complete(request.overlapped, request.event, error, static_cast<DWORD>(request.done));
  m_Writes.clear();
}

void CommDevice::AbortWrites(HANDLE via) {
  // The head write may be half sent; aborting it ends it there, and the next one starts.
  const bool headGoes = !m_Writes.empty() && (!via || m_Writes.front().via == via);
  for (auto it = m_Writes.begin(); it != m_Writes.end();) {
    if (via && it->via != via) {
      ++it;
      continue;
    }
    Complete(it->overlapped, it->event, ERROR_OPERATION_ABORTED, static_cast<DWORD>(it->done));
    it = m_Writes.erase(it);
  }
  if (headGoes) StartHeadWrite(Clock::now());
}

// ---- time-outs --------------------------------------------------------------------------------

std::optional<CommDevice::Clock::time_point> CommDevice::NextDeadline() const {
  std::optional<Clock::time_point> next = DeviceDeadline();
  auto consider = [&](Clock::time_point at) {
    if (!next || at < *next) next = at;
  };
  for (const auto& request : m_Reads) {
    if (request.deadline) consider(*request.deadline);
    if (request.interval && request.done > 0) consider(request.lastByte + Millis(request.interval));
  }
  if (!m_Writes.empty() && m_Writes.front().deadline) consider(*m_Writes.front().deadline);
  if (m_AwaitTransportDrain && m_Writes.empty()) consider(m_DrainCheckAt);
  return next;
}

void CommDevice::ExpireRequests(Clock::time_point now) {
  for (auto it = m_Reads.begin(); it != m_Reads.end();) {
    const bool total = it->deadline && now >= *it->deadline;
    const bool interval = it->interval && it->done > 0 && now >= it->lastByte + Millis(it->interval);
    if (total || interval) {
      CompleteRead(*it, ERROR_SUCCESS);
      it = m_Reads.erase(it);
    } else {
      ++it;
    }
  }
  // A write whose time-out ran out completes with what went out; the rest of it is not sent.
  while (!m_Writes.empty() && m_Writes.front().deadline && now >= *m_Writes.front().deadline) {
    auto& head = m_Writes.front();
    head.data.resize(head.done);
    ConsumeOutput(0);
  }
  if (m_AwaitTransportDrain && m_Writes.empty() && now >= m_DrainCheckAt) {
    const DWORD queued = TransportOutQueue();
    if (queued == 0) {
      m_AwaitTransportDrain = false;
      RaiseEvents(EV_TXEMPTY);
    } else {
      ScheduleDrainCheck(queued, now);
    }
  }
}

// ---- events -----------------------------------------------------------------------------------

void CommDevice::RaiseEvents(DWORD events) {
  events &= m_EventMask;
  if (events == 0) return;
  if (m_Wait) CompleteWait(ERROR_SUCCESS, events);
  else m_History |= events;
}

void CommDevice::AddLineErrors(DWORD errors) {
  m_Errors |= errors;
  DWORD events = 0;
  if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) events |= EV_ERR;
  if (errors & CE_BREAK) events |= EV_BREAK;
  RaiseEvents(events);
}

BOOL CommDevice::WaitCommEvent(HANDLE via, DWORD* mask, OVERLAPPED* overlapped) {
  std::unique_lock lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!mask || m_EventMask == 0 || m_Wait) return Fail(ERROR_INVALID_PARAMETER);
  if (m_InputEnded && m_Input.empty()) return Fail(ERROR_BROKEN_PIPE);
  OVERLAPPED own{};
  OVERLAPPED* record = overlapped ? overlapped : &own;
  std::shared_ptr<Event> event = RequestEvent(overlapped);
  if (const DWORD happened = m_History & m_EventMask) {
    m_History = 0;
    *mask = happened;
    Complete(record, event, ERROR_SUCCESS, 0);
    return TRUE;
  }
  StoreOverlappedResult(record, kIoPending, 0);
  m_Wait = WaitRequest{via, record, std::move(event), mask};
  if (overlapped) return Fail(ERROR_IO_PENDING);
  m_Completed.wait(lock, [&] { return !(m_Wait && m_Wait->overlapped == &own); });
  const DWORD error = std::atomic_ref<ULONG_PTR>(own.Internal).load(std::memory_order_acquire);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL CommDevice::SetCommMask(DWORD mask) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (mask & ~kKnownEvents) return Fail(ERROR_INVALID_PARAMETER);
  m_EventMask = mask;
  m_History = 0;
  CompleteWait(ERROR_SUCCESS, 0);
  return TRUE;
}

BOOL CommDevice::GetCommMask(DWORD* mask) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!mask) return Fail(ERROR_INVALID_PARAMETER);
  *mask = m_EventMask;
  return TRUE;
}

// ---- cancelling and closing -------------------------------------------------------------------

BOOL CommDevice::CancelIo(HANDLE via) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  AbortRequests(via, nullptr);
  return TRUE;
}

BOOL CommDevice::CancelRequest(HANDLE via, const OVERLAPPED* overlapped) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!AbortRequests(via, overlapped)) return Fail(ERROR_NOT_FOUND);
  WakeLocked();  // a deadline of the request may have gone
  return TRUE;
}

void CommDevice::HandleClosed(HANDLE via) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return;
  AbortRequests(via, nullptr);
  WakeLocked();
}

bool CommDevice::AbortRequests(HANDLE via, const OVERLAPPED* overlapped) {
  const auto matches = [&](HANDLE requestVia, const OVERLAPPED* record) {
    return requestVia == via && (!overlapped || record == overlapped);
  };
  bool found = false;
  for (auto it = m_Reads.begin(); it != m_Reads.end();) {
    if (!matches(it->via, it->overlapped)) {
      ++it;
      continue;
    }
    CompleteRead(*it, ERROR_OPERATION_ABORTED);
    it = m_Reads.erase(it);
    found = true;
  }
  for (std::size_t i = 0; i < m_Writes.size();) {
    auto& write = m_Writes[i];
    if (!matches(write.via, write.overlapped)) {
      ++i;
      continue;
    }
    Complete(write.overlapped, write.event, ERROR_OPERATION_ABORTED, static_cast<DWORD>(write.done));
    m_Writes.erase(m_Writes.begin() + static_cast<std::ptrdiff_t>(i));
    found = true;
    if (i == 0) StartHeadWrite(Clock::now());
  }
  if (m_Wait && matches(m_Wait->via, m_Wait->overlapped)) {
    CompleteWait(ERROR_OPERATION_ABORTED, 0);
    found = true;
  }
  return found;
}

BOOL CommDevice::SetInputWatcher(std::function<void(const BYTE*, std::size_t)> watcher) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  m_InputWatcher = std::move(watcher);
  return TRUE;
}

BOOL CommDevice::PurgeComm(DWORD flags) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (flags & ~kPurgeFlags) return Fail(ERROR_INVALID_PARAMETER);
  if (flags & PURGE_TXABORT) AbortWrites();
  if (flags & PURGE_RXABORT) AbortReads();
  if (flags & PURGE_RXCLEAR) {
    m_Input.clear();
    InputRoomFreed();
    CheckEndOfInput();
  }
  if (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)) PurgeTransport(flags);
  return TRUE;
}

void CommDevice::Close() {
  {
    std::lock_guard lock(*m_Lock);
    if (m_Closed) return;
    m_Closed = true;
    AbortReads();
    AbortWrites();
    CompleteWait(ERROR_OPERATION_ABORTED, 0);
    m_InputWatcher = nullptr;
    WakeLocked();
  }
  if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) m_Thread.join();
  ReleaseTransport();
}

// ---- settings and status ----------------------------------------------------------------------

BOOL CommDevice::ClearCommError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (errors) *errors = m_Errors;
  m_Errors = 0;
  if (stat) {
    *stat = COMSTAT{};
    HoldBits(*stat);
    stat->cbInQue = static_cast<DWORD>(m_Input.size());
    std::size_t out = TransportOutQueue();
    for (const auto& request : m_Writes) out += request.data.size() - request.done;
    stat->cbOutQue = static_cast<DWORD>(std::min<std::size_t>(out, kMaxDword));
  }
  return TRUE;
}

BOOL CommDevice::GetCommState(DCB* dcb) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  *dcb = m_DCB;
  ReadBackState(*dcb);
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL CommDevice::SetCommState(const DCB* dcb) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!dcb || !ValidState(*dcb)) return Fail(ERROR_INVALID_PARAMETER);
  if (!ApplyState(*dcb)) return FALSE;
  m_DCB = *dcb;
  m_DCB.DCBlength = sizeof(DCB);
  WakeLocked();  // flow control may have changed what can be sent
  return TRUE;
}

BOOL CommDevice::GetCommConfig(COMMCONFIG* config, DWORD* size) {
  if (!size) return Fail(ERROR_INVALID_PARAMETER);
  DCB dcb;
  if (!GetCommState(&dcb)) return FALSE;
  if (!config || *size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::lock_guard lock(*m_Lock);
  std::memset(config, 0, sizeof(COMMCONFIG));
  config->dwSize = sizeof(COMMCONFIG);
  config->wVersion = 1;
  config->dcb = dcb;
  config->dwProviderSubType = ProviderSubType();
  *size = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL CommDevice::GetCommModemStatus(DWORD* modemStatus) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!modemStatus) return Fail(ERROR_INVALID_PARAMETER);
  *modemStatus = 0;
  return ModemStatus(modemStatus);
}

BOOL CommDevice::GetCommProperties(COMMPROP* prop) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!prop) return Fail(ERROR_INVALID_PARAMETER);
  *prop = COMMPROP{};
  prop->wPacketLength = sizeof(COMMPROP);
  prop->wPacketVersion = 2;
  prop->dwServiceMask = 1;        // SP_SERIALCOMM
  prop->dwMaxBaud = 0x10000000;   // BAUD_USER: any rate the transport accepts
  prop->dwProvSubType = ProviderSubType();
  prop->dwProvCapabilities = 0x03FF;  // DTR/DSR, RTS/CTS, RLSD, parity, XON/XOFF, time-outs...
  prop->dwSettableParams = 0x7F;
  prop->wSettableData = 0x000F;       // 5 to 8 data bits
  prop->wSettableStopParity = 0x1F07;
  prop->dwCurrentTxQueue = m_OutQueueSize;
  prop->dwCurrentRxQueue = m_InQueueSize;
  return TRUE;
}

BOOL CommDevice::GetCommTimeouts(COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  *timeouts = m_Timeouts;
  return TRUE;
}

BOOL CommDevice::SetCommTimeouts(const COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  m_Timeouts = *timeouts;
  return TRUE;
}

BOOL CommDevice::SetupComm(DWORD inQueue, DWORD outQueue) {
  std::lock_guard lock(*m_Lock);
  if (m_Closed) return Fail(ERROR_INVALID_HANDLE);
  if (inQueue == 0 || inQueue > kMaxQueueSize || outQueue > kMaxQueueSize) return Fail(ERROR_INVALID_PARAMETER);
  // A smaller queue than what it holds keeps the bytes; the transport waits until they are read.
  m_InQueueSize = inQueue;
  m_OutQueueSize = outQueue;
  WakeLocked();
  return TRUE;
}

}  // namespace platform
