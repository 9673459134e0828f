// A comm device on a tty opened by path: held exclusively while open, raw mode, the DCB applied
// through termios, CTS/DSR/RI/DCD read with TIOCMGET and their changes watched with TIOCMIWAIT on a
// thread of its own, the transmit queue read with TIOCOUTQ. Its termios is restored at close.
// Devices without modem lines (a pty) work the same, only GetCommModemStatus fails. GetCommState
// reports what the device really holds: a pty, for one, keeps eight data bits without parity
// whatever is set. Rates are the standard termios ones; others are refused. Line errors (framing,
// parity) are not detected on a tty.
#pragma once

#include "platform/fddevice.h"

#include <atomic>
#include <termios.h>

namespace platform {

class TtyDevice : public FdDevice {
public:
  // nullptr with the last error set when the path cannot be opened as a tty.
  static std::shared_ptr<TtyDevice> Open(const char* path);
  ~TtyDevice() override;

protected:
  BOOL ApplyState(const DCB& dcb) override;
  void ReadBackState(DCB& dcb) override;
  BOOL ModemStatus(DWORD* status) override;
  DWORD TransportOutQueue() override;
  void PurgeTransport(DWORD flags) override;
  DWORD ProviderSubType() const override { return PST_RS232; }
  void HoldBits(COMSTAT& stat) override;
  void ReleaseTransport() override;

private:
  TtyDevice(int fd, const termios& saved);
  void StartModemWatch();
  void WatchModemLines();
  void StopModemWatch();

  const termios m_Saved;
  bool m_HasModemLines = false;
  DWORD m_ModemLines = 0;  // last seen, as MS_ bits
  std::thread m_ModemThread;
  std::atomic<bool> m_ModemStop{false};
  std::atomic<bool> m_ModemDone{false};
};

}  // namespace platform
