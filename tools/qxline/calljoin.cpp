#include "calljoin.h"

#include "platform/winapi.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr DWORD kSlice = 100;  // ms between looks at the stop flag
constexpr DWORD kMaxDword = 0xFFFFFFFFu;

struct Request {
  OVERLAPPED record{};
  Request() { record.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(record.hEvent); }
};

// The count of a request that completes or fails; -1 on failure, waiting while `stop` is clear.
long Complete(HANDLE comm, BOOL started, DWORD count, Request& request, const std::atomic<bool>& stop) {
  if (started) return long(count);
  if (GetLastError() != ERROR_IO_PENDING) return -1;
  while (WaitForSingleObject(request.record.hEvent, kSlice) != WAIT_OBJECT_0)
    if (stop.load()) CancelIo(comm);
  DWORD transferred = 0;
  return GetOverlappedResult(comm, &request.record, &transferred, TRUE) ? long(transferred) : -1;
}

bool WriteAll(int fd, const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= std::size_t(n);
  }
  return true;
}

DWORD OutQueue(HANDLE comm) {
  COMSTAT stat{};
  DWORD errors = 0;
  if (!ClearCommError(comm, &errors, &stat)) return 0;
  return stat.cbOutQue;
}

}  // namespace

CallJoin::CallJoin(HANDLE comm, int inputFd, int outputFd, std::function<void()> inputEnded)
    : m_Comm(comm), m_InputFd(inputFd), m_OutputFd(outputFd), m_InputEnded(std::move(inputEnded)) {
  COMMTIMEOUTS timeouts{kMaxDword, kMaxDword, kSlice, 0, 0};
  SetCommTimeouts(m_Comm, &timeouts);
  SetupComm(m_Comm, 64 * 1024, 64 * 1024);
  m_Input = std::thread([this] { CopyInput(); });
  m_Output = std::thread([this] { CopyOutput(); });
}

CallJoin::~CallJoin() {
  m_Stop.store(true);
  if (m_Input.joinable()) m_Input.join();
  if (m_Output.joinable()) m_Output.join();
  CloseHandle(m_Comm);
}

void CallJoin::FinishOutput() { m_Finish.store(true); }

void CallJoin::StopOutput() {
  m_StopOutput.store(true);
  if (m_Output.joinable()) m_Output.join();
}

void CallJoin::CopyInput() {
  char buffer[16384];
  while (!m_Stop.load()) {
    pollfd fd{m_InputFd, POLLIN, 0};
    if (::poll(&fd, 1, int(kSlice)) <= 0) continue;
    const ssize_t n = ::read(m_InputFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    Request write;
    DWORD written = 0;
    const BOOL started = WriteFile(m_Comm, buffer, DWORD(n), &written, &write.record);
    if (Complete(m_Comm, started, written, write, m_Stop) != n) return;
  }
  // Everything read went to the call; it has left the handle once the queue is empty.
  while (!m_Stop.load() && OutQueue(m_Comm) > 0) ::usleep(1000);
  if (!m_Stop.load() && m_InputEnded) m_InputEnded();
}

void CallJoin::CopyOutput() {
  char buffer[16384];
  while (!m_Stop.load() && !m_StopOutput.load()) {
    const bool finishing = m_Finish.load();
    Request read;
    DWORD got = 0;
    const BOOL started = ReadFile(m_Comm, buffer, sizeof buffer, &got, &read.record);
    const long n = Complete(m_Comm, started, got, read, m_Stop);  // a read ends within a slice
    if (n < 0 || (n > 0 && !WriteAll(m_OutputFd, buffer, std::size_t(n)))) break;
    if (finishing && n == 0) break;  // a quiet slice after the hang-up: nothing more is on its way
  }
  if (m_Finish.load()) ::close(m_OutputFd);  // the reader of the output gets its end of input
}
