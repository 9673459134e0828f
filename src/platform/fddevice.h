// A comm device over plain file descriptors: one fd for both directions (a pty master, a socket)
// or a pair (a pipe pair, a program's standard input and output). It has no modem lines; DCB and
// time-outs are kept as set. End of input (EOF or hang-up) ends reading: once the input queue is
// drained, waits for comm events fail with ERROR_BROKEN_PIPE. The fds are non-blocking while the
// device has them (a file description shared with another process sees that too).
#pragma once

#include "platform/commdevice.h"

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
  void Service(std::span<const pollfd> fds, Clock::time_point now) override;
  DWORD ProviderSubType() const override { return PST_UNSPECIFIED; }
  void ReleaseTransport() override;

  int ReadFd() const { return m_ReadFd; }

private:
  void ReadInput(Clock::time_point now);
  void WriteOutput();

  int m_ReadFd;
  int m_WriteFd;
  const bool m_OwnFds;
  int m_ReadFlags = -1;   // the fds' own status flags, put back at close
  int m_WriteFlags = -1;
  bool m_ReadEnded = false;
  std::ptrdiff_t m_ReadSlot = -1;  // entries of this round's poll set, -1 for none
  std::ptrdiff_t m_WriteSlot = -1;
};

}  // namespace platform
