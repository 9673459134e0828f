// Puts a terminal into raw mode for the length of a transfer.
#pragma once

#include <termios.h>

// While alive, the terminal on fd (if fd is one) passes every byte through unchanged: no echo, no
// line editing, no signal keys, no output processing. The former settings come back on
// destruction.
class RawTerminal {
public:
  explicit RawTerminal(int fd);
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

private:
  int m_Fd = -1;
  termios m_Saved{};
};
