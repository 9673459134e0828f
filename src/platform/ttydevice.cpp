#include "platform/ttydevice.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

namespace {

struct Speed {
  speed_t code;
  DWORD rate;
};

constexpr Speed kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

// Ends a TIOCMIWAIT in the watch thread: the handler does nothing, and without SA_RESTART the
// ioctl returns EINTR.
int WakeSignal() { return SIGRTMIN + 7; }

void InstallWakeHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(WakeSignal(), &action, nullptr);
    return true;
  }();
  (void)installed;
}

DWORD ModemBits(int lines) {
  DWORD status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CD) status |= MS_RLSD_ON;
  return status;
}

DWORD OpenError(int error) {
  if (error == EBUSY || error == EWOULDBLOCK) return ERROR_SHARING_VIOLATION;
  if (error == ENOTTY || error == EINVAL) return ERROR_NOT_SUPPORTED;
  return ErrorFromErrno(error);
}

}  // namespace

std::shared_ptr<TtyDevice> TtyDevice::Open(const char* path) {
  if (!path || !*path) {
    Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail(OpenError(errno));
    return nullptr;
  }
  auto refuse = [fd](int error) {
    ::close(fd);
    Fail(OpenError(error));
    return nullptr;
  };
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) return refuse(errno);
  // TIOCEXCL keeps other openers out, except privileged ones; the lock covers those too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno);
  if (::ioctl(fd, TIOCEXCL) != 0) return refuse(errno);

  termios raw = saved;
  cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
    const int error = errno;
    ::ioctl(fd, TIOCNXCL);
    return refuse(error);
  }
  std::shared_ptr<TtyDevice> device(new TtyDevice(fd, saved));
  if (!device->Prepare()) return nullptr;
  int lines = 0;
  if (::ioctl(fd, TIOCMGET, &lines) == 0) {
    device->m_HasModemLines = true;
    device->m_ModemLines = ModemBits(lines);
  }
  device->Start();
  if (device->m_HasModemLines) device->StartModemWatch();
  return device;
}

TtyDevice::TtyDevice(int fd, const termios& saved) : FdDevice(fd, fd, true), m_Saved(saved) {}

TtyDevice::~TtyDevice() { Close(); }

void TtyDevice::StartModemWatch() {
  InstallWakeHandler();
  m_ModemThread = std::thread([this] { WatchModemLines(); });
}

void TtyDevice::WatchModemLines() {
  const int fd = ReadFd();
  while (!m_ModemStop.load()) {
    if (::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD) != 0) {
      if (errno == EINTR) continue;
      break;  // the device cannot report line changes
    }
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) break;
    std::lock_guard lock(Lock());
    if (IsClosed()) break;
    const DWORD now = ModemBits(lines);
    const DWORD events = ModemLineEvents(m_ModemLines, now);
    m_ModemLines = now;
    RaiseEvents(events);
    WakeLocked();  // hardware flow control may let output go again
  }
  m_ModemDone.store(true);
}

void TtyDevice::StopModemWatch() {
  if (!m_ModemThread.joinable()) return;
  m_ModemStop.store(true);
  // The signal can land just before the thread enters the ioctl; repeat it until the thread is out.
  while (!m_ModemDone.load()) {
    pthread_kill(m_ModemThread.native_handle(), WakeSignal());
    for (int i = 0; i < 20 && !m_ModemDone.load(); ++i) ::usleep(1000);
  }
  m_ModemThread.join();
}

void TtyDevice::ReleaseTransport() {
  StopModemWatch();
  {
    std::lock_guard lock(Lock());
    const int fd = ReadFd();
    if (fd >= 0) {
      ::tcsetattr(fd, TCSANOW, &m_Saved);
      ::ioctl(fd, TIOCNXCL);
    }
  }
  FdDevice::ReleaseTransport();
}

BOOL TtyDevice::ApplyState(const DCB& dcb) {
  const int fd = ReadFd();
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return FailWithErrno();
  const auto speed = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                  [&](const Speed& s) { return s.rate == dcb.BaudRate; });
  if (speed == std::end(kSpeeds)) return Fail(ERROR_INVALID_PARAMETER);
  cfsetispeed(&t, speed->code);
  cfsetospeed(&t, speed->code);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  if (dcb.fParity && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return FailWithErrno();
  if (m_HasModemLines) {
    // The lines we drive ourselves; a device that cannot set them keeps what it has.
    const int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) ::ioctl(fd, TIOCMBIS, &dtr);
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) ::ioctl(fd, TIOCMBIC, &dtr);
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) ::ioctl(fd, TIOCMBIS, &rts);
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) ::ioctl(fd, TIOCMBIC, &rts);
  }
  return TRUE;
}

void TtyDevice::ReadBackState(DCB& dcb) {
  termios t{};
  if (::tcgetattr(ReadFd(), &t) != 0) return;
  const speed_t code = cfgetospeed(&t);
  for (const auto& speed : kSpeeds)
    if (speed.code == code) dcb.BaudRate = speed.rate;
  switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB)) dcb.Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR) dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  if (!(t.c_cflag & CSTOPB)) dcb.StopBits = ONESTOPBIT;
  else dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  const bool hardware = (t.c_cflag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = hardware;
  if (hardware) dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = (t.c_iflag & IXON) != 0;
  dcb.fInX = (t.c_iflag & IXOFF) != 0;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

BOOL TtyDevice::ModemStatus(DWORD* status) {
  int lines = 0;
  if (::ioctl(ReadFd(), TIOCMGET, &lines) != 0) return Fail(OpenError(errno));
  *status = ModemBits(lines);
  return TRUE;
}

DWORD TtyDevice::TransportOutQueue() {
  int queued = 0;
  if (ReadFd() < 0 || ::ioctl(ReadFd(), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<DWORD>(queued);
}

void TtyDevice::PurgeTransport(DWORD flags) {
  const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
  if (rx || tx) ::tcflush(ReadFd(), rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH);
  FdDevice::PurgeTransport(flags);  // the read-ahead
}

void TtyDevice::HoldBits(COMSTAT& stat) {
  if (State().fOutxCtsFlow && m_HasModemLines && !(m_ModemLines & MS_CTS_ON)) stat.fCtsHold = 1;
}

}  // namespace platform
