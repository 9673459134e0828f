// Opening comm devices on this system. Each returns a comm handle for the comm functions and
// overlapped ReadFile/WriteFile of winapi.h (released with CloseHandle), or INVALID_HANDLE_VALUE
// with the reason in GetLastError. Virtual serial links are in virtuallink.h.
#pragma once

#include "platform/wintypes.h"

#include <cstddef>
#include <functional>

namespace platform {

// A tty by path (a serial port, a pty slave), held exclusively while open: another open of the
// same port fails with ERROR_SHARING_VIOLATION; ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED as the
// system reports; ERROR_NOT_SUPPORTED for a path that is not a tty. Raw mode while open; the
// port's own settings come back at close.
HANDLE OpenTtyDevice(const char* path);

// A device over one fd used both ways (pass it twice: a pty master, a socket) or over a pair (a
// pipe pair, standard input and output). No modem lines: GetCommModemStatus fails with
// ERROR_NOT_SUPPORTED. When the read side reaches its end, reads get what is left and then
// nothing; once that is read, WaitCommEvent fails with ERROR_BROKEN_PIPE. With ownFds the fds are
// closed with the handle (also when this fails); otherwise they are left open and their
// blocking mode is put back.
HANDLE CreateFdDevice(int readFd, int writeFd, bool ownFds);

// Sees every byte the device receives, as it arrives and before any read takes it, without
// consuming it: a watch on a port whose bytes another handle reads (the line service watching a
// connected call for the modem's NO CARRIER). It runs on the device's I/O thread with the
// device's lock held, so it must be quick and must not call into the device; an empty function
// ends the watch. One watcher per device; FALSE (ERROR_INVALID_HANDLE) for a closed handle.
using InputWatcher = std::function<void(const BYTE* data, std::size_t count)>;
BOOL WatchCommInput(HANDLE handle, InputWatcher watcher);

}  // namespace platform
