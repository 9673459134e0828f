// A comm device over plain file descriptors: one fd for both directions (a pty master, a socket)
// or a pair (a pipe pair, a program's standard input and output). It has no modem lines; DCB and
// time-outs are kept as set. End of input (EOF or hang-up) ends reading: once the input queue is
// drained, waits for comm events fail with ERROR_BROKEN_PIPE. The fds are non-blocking while the
// device has them (a file description shared with another process sees that too).
//
// The device reads ahead: up to kReadAhead bytes beyond the input queue wait on the transport side
// (as in a UART's receive FIFO; ClearCommError does not count them) and move into the queue once
// reads have taken it down to half, on the reader's thread, without waking the I/O thread. The I/O thread
// reads everything the fd holds in one round, outside the device's lock, and raises one event.
// While data streams in (a round took kStreamingRead bytes or more) it looks again only after
// kReadInterval, so that a sender's many small writes cost a round per interval, not one each;
// the first bytes after a quiet spell are taken at once.
#pragma once

#include "platform/commdevice.h"

#include <atomic>

namespace platform {

class FdDevice : public CommDevice {
public:
  // Makes the fds non-blocking (restored at close for fds it does not own) and starts the device.
  // nullptr with the last error set when an fd is not open.
  static std::shared_ptr<FdDevice> Create(int readFd, int writeFd, bool ownFds);
  ~FdDevice() override;

protected:
  FdDevice(int readFd, int writeFd, bool ownFds);
  // Puts the fds into non-blocking mode; FALSE with the last error set when one is not open.
  BOOL Prepare();

  void AddPollFds(std::vector<pollfd>& fds) override;
  void TransferUnlocked(std::span<const pollfd> fds) override;
  std::optional<Clock::time_point> DeviceDeadline() const override { return m_ReadPause; }
  void Service(std::span<const pollfd> fds, Clock::time_point now) override;
  DWORD ProviderSubType() const override { return PST_UNSPECIFIED; }
  void InputTaken(bool wasFull) override;
  void PurgeTransport(DWORD flags) override;
  void ReleaseTransport() override;

  int ReadFd() const { return m_ReadFd; }

private:
  static constexpr std::size_t kReadAhead = 64 * 1024;
  static constexpr std::size_t kStreamingRead = 512;
  static constexpr std::chrono::microseconds kReadInterval{100};

  // Moves read-ahead bytes into the input queue as far as it has room; ends the input once the
  // fd has ended and nothing is left ahead.
  void MoveAhead(Clock::time_point now);
  std::size_t AheadRoom() const { return kReadAhead - (m_AheadEnd - m_AheadStart); }
  void WriteOutput();

  int m_ReadFd;
  int m_WriteFd;
  const bool m_OwnFds;
  int m_ReadFlags = -1;   // the fds' own status flags, put back at close
  int m_WriteFlags = -1;
  bool m_ReadEnded = false;
  // The read of this round, outside the lock: into m_Ahead from m_ReadAt on (set aside by
  // AddPollFds); Service takes it in unless a purge ran while it read. Purges are counted so that
  // the read can tell one before it (the read-ahead is empty then) from one during it.
  std::size_t m_ReadAt = 0;
  std::size_t m_ReadGot = 0;
  bool m_ReadHitEnd = false;
  std::atomic<std::uint64_t> m_Purges{0};
  std::uint64_t m_PurgesAtRound = 0;
  std::uint64_t m_PurgesAtRead = 0;
  std::optional<Clock::time_point> m_ReadPause;  // no read before this, while data streams
  std::vector<BYTE> m_Ahead = std::vector<BYTE>(kReadAhead);  // bytes ahead: [m_AheadStart, m_AheadEnd)
  std::size_t m_AheadStart = 0;
  std::size_t m_AheadEnd = 0;
  std::ptrdiff_t m_ReadSlot = -1;  // entries of this round's poll set, -1 for none
  std::ptrdiff_t m_WriteSlot = -1;
};

}  // namespace platform
