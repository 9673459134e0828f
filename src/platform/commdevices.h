// Opening comm devices on this system. Each returns a comm handle for the comm functions and
// overlapped ReadFile/WriteFile of winapi.h (released with CloseHandle), or INVALID_HANDLE_VALUE
// with the reason in GetLastError. Virtual serial links are in virtuallink.h.
#pragma once

#include "platform/wintypes.h"

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

}  // namespace platform
