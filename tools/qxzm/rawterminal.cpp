#include "rawterminal.h"

#include <unistd.h>

RawTerminal::RawTerminal(int fd) {
  if (!isatty(fd) || tcgetattr(fd, &m_Saved) != 0) return;
  termios raw = m_Saved;
  cfmakeraw(&raw);
  if (tcsetattr(fd, TCSAFLUSH, &raw) == 0) m_Fd = fd;
}

RawTerminal::~RawTerminal() {
  if (m_Fd >= 0) tcsetattr(m_Fd, TCSADRAIN, &m_Saved);
}
