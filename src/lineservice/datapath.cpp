#include "lineservice/datapath.h"

#include "platform/winapi.h"

#include <chrono>
#include <vector>

namespace lineservice {

namespace {

constexpr DWORD kSlice = 100;  // ms: how long one wait lasts before the stop flag is looked at again
constexpr DWORD kMaxDword = 0xFFFFFFFFu;

}  // namespace

Tap::Request::Request() { record.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr); }

Tap::Request::~Request() { CloseHandle(record.hEvent); }

OVERLAPPED* Tap::Request::Fresh() {
  const HANDLE event = record.hEvent;
  record = OVERLAPPED{};
  record.hEvent = event;
  return &record;
}

namespace {

// Waits for a pending request in slices until it completes or `stop` is set; the count, or -1.
long Complete(HANDLE handle, Tap::Request& request, const std::atomic<bool>& stop) {
  while (WaitForSingleObject(request.record.hEvent, kSlice) != WAIT_OBJECT_0)
    if (stop.load()) CancelIo(handle);
  DWORD transferred = 0;
  return GetOverlappedResult(handle, &request.record, &transferred, TRUE) ? long(transferred) : -1;
}

DWORD InQueueOf(HANDLE handle) {
  COMSTAT stat{};
  DWORD errors = 0;
  return ClearCommError(handle, &errors, &stat) ? stat.cbInQue : 0;
}

}  // namespace

std::shared_ptr<Tap> Tap::Create(DWORD lines, DWORD bitsPerSecond, std::string_view first, Sender sender) {
  platform::VirtualLinkOptions options;
  options.bitsPerSecond = bitsPerSecond;
  options.modemLines[0] = lines;
  auto link = platform::VirtualLink::Create(options);
  if (!link) return nullptr;
  // A read of end 1 returns at once with what is there; the thread waits for bytes with EV_RXCHAR.
  COMMTIMEOUTS timeouts{kMaxDword, 0, 0, 0, 0};
  SetCommTimeouts(link->End(1), &timeouts);
  SetCommMask(link->End(1), EV_RXCHAR);
  SetupComm(link->End(1), 256 * 1024, 64 * 1024);
  std::shared_ptr<Tap> tap(new Tap(std::move(link), std::move(sender)));
  // Queued in end 1 ahead of any later Deliver; it completes as the caller reads.
  if (!first.empty()) WriteFile(tap->m_ServiceEnd, first.data(), DWORD(first.size()), nullptr, tap->m_First.Fresh());
  Tap* self = tap.get();
  tap->m_Thread = std::thread([self] { self->Upstream(); });
  return tap;
}

Tap::Tap(std::shared_ptr<platform::VirtualLink> link, Sender sender)
    : m_Link(std::move(link)), m_ServiceEnd(m_Link->End(1)), m_Sender(std::move(sender)) {}

Tap::~Tap() { Stop(); }

void Tap::Stop() {
  m_Stop.store(true);
  if (m_Thread.joinable()) m_Thread.join();
  std::lock_guard lock(m_Downstream);
  CloseHandle(m_ServiceEnd);  // a second close fails harmlessly
}

bool Tap::TakeAndSend() {
  DWORD got = 0;
  const long n = ReadFile(m_ServiceEnd, m_Buffer.data(), DWORD(m_Buffer.size()), &got, m_Read.Fresh())
                     ? long(got)
                     : (GetLastError() == ERROR_IO_PENDING ? Complete(m_ServiceEnd, m_Read, m_Stop) : -1);
  if (n <= 0) return n == 0;
  m_Sender(m_Buffer.data(), std::size_t(n), m_Stop);
  return true;
}

bool Tap::AwaitBytes() {
  if (InQueueOf(m_ServiceEnd) > 0) return true;
  DWORD mask = 0;
  if (!WaitCommEvent(m_ServiceEnd, &mask, m_Wait.Fresh())) {
    if (GetLastError() != ERROR_IO_PENDING) return false;
    // In slices: the tap stops, or its caller closes the port and nothing more can come.
    while (WaitForSingleObject(m_Wait.record.hEvent, kSlice) != WAIT_OBJECT_0)
      if (m_Stop.load() || !CallerOpen()) CancelIo(m_ServiceEnd);
    DWORD transferred = 0;
    GetOverlappedResult(m_ServiceEnd, &m_Wait.record, &transferred, TRUE);
  }
  return InQueueOf(m_ServiceEnd) > 0;
}

void Tap::Upstream() {
  while (!m_Stop.load()) {
    // Looked at before the wait: what the caller wrote before closing is queued by then.
    const bool callerOpen = CallerOpen();
    if (AwaitBytes()) {
      std::lock_guard lock(m_Upstream);
      if (!TakeAndSend()) break;
    } else if (!callerOpen) {
      break;
    }
  }
  m_Done.store(true);
}

bool Tap::Deliver(const char* data, std::size_t count) {
  std::lock_guard lock(m_Downstream);
  while (count > 0 && !m_Stop.load()) {
    DWORD done = 0;
    const DWORD chunk = DWORD(std::min(count, kChunk));
    const long n = WriteFile(m_ServiceEnd, data, chunk, &done, m_Write.Fresh())
                       ? long(done)
                       : (GetLastError() == ERROR_IO_PENDING ? Complete(m_ServiceEnd, m_Write, m_Stop) : -1);
    if (n <= 0) return false;
    data += n;
    count -= std::size_t(n);
  }
  return count == 0;
}

void Tap::Drain() {
  // The thread holds the lock only while it hands bytes on, so the wait is short unless the far
  // end is slow to take them; it is bounded all the same.
  std::unique_lock lock(m_Upstream, std::defer_lock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  while (InQueueOf(m_ServiceEnd) > 0 && TakeAndSend()) {
  }
}

}  // namespace lineservice
