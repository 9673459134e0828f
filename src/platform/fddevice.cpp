#include "platform/fddevice.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t kMaxPerRound = 256 * 1024;  // leave room for the other direction

// A write that may run on a caller's thread: a vanished reader must give EPIPE, not SIGPIPE.
ssize_t WriteWithoutSigpipe(int fd, const void* data, std::size_t count) {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const ssize_t written = ::write(fd, data, count);
  const int error = errno;
  if (written < 0 && error == EPIPE && !sigismember(&old, SIGPIPE)) {
    const timespec none{};
    sigtimedwait(&pipe, nullptr, &none);  // drop the SIGPIPE this write raised
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return written;
}

}  // namespace

std::shared_ptr<FdDevice> FdDevice::Create(int readFd, int writeFd, bool ownFds) {
  std::shared_ptr<FdDevice> device(new FdDevice(readFd, writeFd, ownFds));
  if (!device->Prepare()) return nullptr;
  device->Start();
  return device;
}

FdDevice::FdDevice(int readFd, int writeFd, bool ownFds)
    : CommDevice(std::make_shared<std::mutex>()), m_ReadFd(readFd), m_WriteFd(writeFd), m_OwnFds(ownFds) {}

FdDevice::~FdDevice() { Close(); }

BOOL FdDevice::Prepare() {
  m_ReadFlags = ::fcntl(m_ReadFd, F_GETFL);
  m_WriteFlags = m_WriteFd == m_ReadFd ? m_ReadFlags : ::fcntl(m_WriteFd, F_GETFL);
  if (m_ReadFlags < 0 || m_WriteFlags < 0) {
    if (!m_OwnFds) m_ReadFd = m_WriteFd = -1;  // not ours to close
    return Fail(ERROR_INVALID_HANDLE);
  }
  ::fcntl(m_ReadFd, F_SETFL, m_ReadFlags | O_NONBLOCK);
  if (m_WriteFd != m_ReadFd) ::fcntl(m_WriteFd, F_SETFL, m_WriteFlags | O_NONBLOCK);
  return TRUE;
}

void FdDevice::AddPollFds(std::vector<pollfd>& fds) {
  if (m_AheadStart > 0) {
    std::copy(m_Ahead.begin() + static_cast<std::ptrdiff_t>(m_AheadStart),
              m_Ahead.begin() + static_cast<std::ptrdiff_t>(m_AheadEnd), m_Ahead.begin());
    m_AheadEnd -= m_AheadStart;
    m_AheadStart = 0;
  }
  m_ReadAt = m_AheadEnd;
  m_PurgesAtRound = m_Purges.load();
  if (m_ReadPause && Clock::now() >= *m_ReadPause) m_ReadPause.reset();
  const short readEvents = (!m_ReadEnded && !m_ReadPause && m_ReadFd >= 0 && m_ReadAt < kReadAhead) ? POLLIN : 0;
  const short writeEvents = (HasOutput() && m_WriteFd >= 0) ? POLLOUT : 0;
  m_ReadSlot = m_WriteSlot = -1;
  // An fd without interest stays out of the set: poll would report its hang-up over and over.
  const auto base = static_cast<std::ptrdiff_t>(fds.size());
  if (m_ReadFd == m_WriteFd) {
    if (readEvents | writeEvents) {
      fds.push_back(pollfd{m_ReadFd, static_cast<short>(readEvents | writeEvents), 0});
      if (readEvents) m_ReadSlot = base - 1;
      if (writeEvents) m_WriteSlot = base - 1;
    }
    return;
  }
  if (readEvents) {
    m_ReadSlot = static_cast<std::ptrdiff_t>(fds.size()) - 1;
    fds.push_back(pollfd{m_ReadFd, readEvents, 0});
  }
  if (writeEvents) {
    m_WriteSlot = static_cast<std::ptrdiff_t>(fds.size()) - 1;
    fds.push_back(pollfd{m_WriteFd, writeEvents, 0});
  }
}

void FdDevice::TransferUnlocked(std::span<const pollfd> fds) {
  constexpr short kReady = POLLIN | POLLHUP | POLLERR;
  if (m_ReadSlot < 0 || (fds[m_ReadSlot].revents & kReady) == 0) return;
  m_PurgesAtRead = m_Purges.load();
  while (m_ReadGot < kMaxPerRound && m_ReadAt + m_ReadGot < kReadAhead) {
    const std::size_t room = kReadAhead - (m_ReadAt + m_ReadGot);
    const ssize_t got = ::read(m_ReadFd, m_Ahead.data() + m_ReadAt + m_ReadGot, room);
    if (got > 0) {
      m_ReadGot += static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // EOF, or EIO from a pty whose other side has gone: the input has ended.
    m_ReadHitEnd = true;
    return;
  }
}

void FdDevice::Service(std::span<const pollfd> fds, Clock::time_point now) {
  // The round's read is the I/O thread's: only its own call (with the poll set) takes it in.
  if (!fds.empty() && (m_ReadGot > 0 || m_ReadHitEnd)) {
    // Bytes read while a purge ran belong to what it cleared. After a purge that came before the
    // read, the read-ahead is what the read took.
    if (m_Purges.load() == m_PurgesAtRead) {
      if (m_PurgesAtRead != m_PurgesAtRound) m_AheadStart = m_ReadAt;
      m_AheadEnd = m_ReadAt + m_ReadGot;
    }
    m_ReadEnded = m_ReadEnded || m_ReadHitEnd;
    if (m_ReadGot >= kStreamingRead) m_ReadPause = now + kReadInterval;
    m_ReadGot = 0;
    m_ReadHitEnd = false;
  }
  MoveAhead(now);  // also when the input queue has grown (SetupComm)
  if (fds.empty()) {  // a write issued while the output was idle: try it at once
    WriteOutput();
    return;
  }
  if (m_WriteSlot >= 0 && (fds[m_WriteSlot].revents & (POLLOUT | POLLHUP | POLLERR))) WriteOutput();
}

void FdDevice::MoveAhead(Clock::time_point now) {
  const std::size_t count = std::min(InputRoom(), m_AheadEnd - m_AheadStart);
  if (count > 0) {
    // Taken off first: Receive may complete a read whose reader frees room and comes back here.
    const std::size_t at = m_AheadStart;
    m_AheadStart += count;
    Receive(m_Ahead.data() + at, count, now);
  }
  if (m_ReadEnded && m_AheadStart == m_AheadEnd) EndOfInput();
}

void FdDevice::InputTaken(bool) {
  const bool aheadFull = AheadRoom() == 0;
  // In large moves: each raises an event, which costs the reader a round through its threads.
  if (InputQueued() <= InputRoom()) MoveAhead(Clock::now());
  // The I/O thread stopped reading when the read-ahead was full; only then does it need waking.
  if (aheadFull && AheadRoom() > 0) WakeLocked();
}

void FdDevice::PurgeTransport(DWORD flags) {
  if ((flags & PURGE_RXCLEAR) == 0) return;
  const bool aheadFull = AheadRoom() == 0;
  m_AheadStart = m_AheadEnd = 0;
  ++m_Purges;
  if (aheadFull) WakeLocked();
}

void FdDevice::WriteOutput() {
  std::size_t total = 0;
  while (HasOutput() && total < kMaxPerRound) {
    const ssize_t written = WriteWithoutSigpipe(m_WriteFd, OutputData(), OutputSize());
    if (written > 0) {
      total += static_cast<std::size_t>(written);
      ConsumeOutput(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    OutputBroken(errno == EPIPE || errno == EIO || errno == ECONNRESET ? ERROR_BROKEN_PIPE : ErrorFromErrno(errno));
    return;
  }
}

void FdDevice::ReleaseTransport() {
  std::lock_guard lock(Lock());
  if (m_OwnFds) {
    if (m_ReadFd >= 0) ::close(m_ReadFd);
    if (m_WriteFd >= 0 && m_WriteFd != m_ReadFd) ::close(m_WriteFd);
  } else {
    if (m_ReadFd >= 0 && m_ReadFlags >= 0) ::fcntl(m_ReadFd, F_SETFL, m_ReadFlags);
    if (m_WriteFd >= 0 && m_WriteFd != m_ReadFd && m_WriteFlags >= 0) ::fcntl(m_WriteFd, F_SETFL, m_WriteFlags);
  }
  m_ReadFd = m_WriteFd = -1;
}

}  // namespace platform
