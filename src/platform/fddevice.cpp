#include "platform/fddevice.h"

#include <cerrno>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t kChunk = 16384;
constexpr std::size_t kMaxPerRound = 16 * kChunk;  // leave room for the other direction

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
  const short readEvents = (!m_ReadEnded && m_ReadFd >= 0 && InputRoom() > 0) ? POLLIN : 0;
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

void FdDevice::Service(std::span<const pollfd> fds, Clock::time_point now) {
  if (fds.empty()) {  // a write issued while the output was idle: try it at once
    WriteOutput();
    return;
  }
  constexpr short kReady = POLLIN | POLLHUP | POLLERR;
  if (m_ReadSlot >= 0 && (fds[m_ReadSlot].revents & kReady)) ReadInput(now);
  if (m_WriteSlot >= 0 && (fds[m_WriteSlot].revents & (POLLOUT | POLLHUP | POLLERR))) WriteOutput();
}

void FdDevice::ReadInput(Clock::time_point now) {
  BYTE chunk[kChunk];
  std::size_t total = 0;
  while (total < kMaxPerRound && !m_ReadEnded) {
    const std::size_t room = std::min(InputRoom(), sizeof chunk);
    if (room == 0) return;
    const ssize_t got = ::read(m_ReadFd, chunk, room);
    if (got > 0) {
      Receive(chunk, static_cast<std::size_t>(got), now);
      total += static_cast<std::size_t>(got);
      // A short read took what there was. Asking again would only hear EAGAIN, and a pty makes
      // that read wait for its flush to the line discipline; the next poll says when more is in.
      if (static_cast<std::size_t>(got) < room) return;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // EOF, or EIO from a pty whose other side has gone: the input has ended.
    m_ReadEnded = true;
    EndOfInput();
  }
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
