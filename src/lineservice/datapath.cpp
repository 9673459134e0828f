#include "lineservice/datapath.h"

#include "platform/winapi.h"

#include <chrono>
#include <vector>

namespace lineservice {

namespace {

constexpr DWORD kSlice = 100;  // ms: how long one wait lasts before the stop flag is looked at again
constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr std::size_t kChunk = 16384;

// An OVERLAPPED record with its own event.
struct Request {
  OVERLAPPED record{};
  Request() { record.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(record.hEvent); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
};

// Waits for a pending request in slices until it completes or `stop` is set; the count, or -1.
long Complete(HANDLE handle, Request& request, const std::atomic<bool>& stop) {
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

std::shared_ptr<Tap> Tap::Create(DWORD lines, DWORD bitsPerSecond, Sender sender) {
  platform::VirtualLinkOptions options;
  options.bitsPerSecond = bitsPerSecond;
  options.modemLines[0] = lines;
  auto link = platform::VirtualLink::Create(options);
  if (!link) return nullptr;
  // A read of end 1 returns with the first bytes there, or after one slice with none.
  COMMTIMEOUTS timeouts{kMaxDword, kMaxDword, kSlice, 0, 0};
  SetCommTimeouts(link->End(1), &timeouts);
  SetupComm(link->End(1), 64 * 1024, 64 * 1024);
  std::shared_ptr<Tap> tap(new Tap(std::move(link), std::move(sender)));
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
  std::vector<char> buffer(kChunk);
  Request read;
  DWORD got = 0;
  long n = ReadFile(m_ServiceEnd, buffer.data(), DWORD(buffer.size()), &got, &read.record)
               ? long(got)
               : (GetLastError() == ERROR_IO_PENDING ? Complete(m_ServiceEnd, read, m_Stop) : -1);
  if (n <= 0) return n == 0;
  m_Sender(buffer.data(), std::size_t(n), m_Stop);
  return true;
}

void Tap::Upstream() {
  while (!m_Stop.load()) {
    // Looked at before the read: what the caller wrote before closing is queued by then.
    const bool callerOpen = CallerOpen();
    std::unique_lock lock(m_Upstream);
    if (!TakeAndSend()) break;
    if (!callerOpen && InQueueOf(m_ServiceEnd) == 0) break;
  }
  m_Done.store(true);
}

bool Tap::Deliver(const char* data, std::size_t count) {
  std::lock_guard lock(m_Downstream);
  while (count > 0 && !m_Stop.load()) {
    Request write;
    DWORD done = 0;
    const DWORD chunk = DWORD(std::min(count, kChunk));
    const long n = WriteFile(m_ServiceEnd, data, chunk, &done, &write.record)
                       ? long(done)
                       : (GetLastError() == ERROR_IO_PENDING ? Complete(m_ServiceEnd, write, m_Stop) : -1);
    if (n <= 0) return false;
    data += n;
    count -= std::size_t(n);
  }
  return count == 0;
}

void Tap::Drain() {
  std::unique_lock lock(m_Upstream, std::chrono::seconds(1));
  if (!lock.owns_lock()) return;
  while (InQueueOf(m_ServiceEnd) > 0 && TakeAndSend()) {
  }
}

}  // namespace lineservice
