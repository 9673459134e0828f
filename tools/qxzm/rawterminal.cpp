#include "rawterminal.h"

#include <unistd.h>

RawTerminal::RawTerminal(int fd) {
  if (!isatty(fd) || tcgetattr(fd, &m_Saved) != 0) return;
  termios raw = m_Saved;
  cfmakeraw(&raw);
  // TCSANOW, not TCSAFLUSH: what the peer sent before we started (its "rz\r" and ZRQINIT) is
  // part of the session.
  if (tcsetattr(fd, TCSANOW, &raw) == 0) m_Fd = fd;
}

RawTerminal::~RawTerminal() {
  if (m_Fd >= 0) tcsetattr(m_Fd, TCSADRAIN, &m_Saved);
}
