// What a Hayes-compatible modem answers, read without any I/O: the line splitter that cuts its
// output into lines, and the parser of one line as a result code, verbose ("CONNECT 33600/LAPM")
// or numeric ("1", "12"). Fed anything, they neither fail nor grow: lines are bounded and a line
// that is no result code is Unknown.
#pragma once

#include "platform/wintypes.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lineservice {

enum class AtResultKind {
  Ok,
  Connect,
  Ring,
  NoCarrier,
  Error,
  NoDialtone,
  Busy,
  NoAnswer,
  Ringing,      // the far end rings (intermediate)
  Carrier,      // "CARRIER 28800": the line rate before CONNECT (intermediate)
  Protocol,     // "PROTOCOL: LAPM" (intermediate)
  Compression,  // "COMPRESSION: V42BIS" (intermediate)
  Unknown,
};

struct AtResult {
  AtResultKind kind = AtResultKind::Unknown;
  DWORD rate = 0;             // CONNECT and CARRIER: bits per second, 0 when not told
  bool errorControl = false;  // CONNECT and PROTOCOL suffixes: LAPM, MNP, ARQ, REL, V42...
  bool compression = false;   // CONNECT and COMPRESSION suffixes: V42BIS, MNP5, CLASS 5, V44
  bool numeric = false;
};

// One line of the modem's output as a result code; Unknown for anything else (an echo, text of
// ATI, a caller-ID line, garbage).
AtResult ParseResult(std::string_view line);

// The verbose text of a numeric result code ("12" -> "CONNECT 9600"), for the emulator and the
// docs' table; empty for a code that has none.
std::string_view NumericResultText(int code);
// The numeric code of a CONNECT at `rate`; 1 (CONNECT alone) for a rate without a code of its own.
int NumericConnectCode(DWORD rate);

// Cuts the modem's output into lines at CR and LF; empty lines are dropped. A line longer than
// kMaxLine is cut there (the rest is dropped up to the next line end), so nothing the modem
// sends can grow it. NUL and other control bytes but tab are dropped.
class LineSplitter {
public:
  static constexpr std::size_t kMaxLine = 256;

  // The lines completed by `byte` (none or one).
  std::optional<std::string> Feed(char byte);
  // The partial line so far (a prompt without line end, such as "CONNECT" before its CR).
  const std::string& Partial() const { return m_Line; }
  void Clear();

private:
  std::string m_Line;
  bool m_Overlong = false;
};

}  // namespace lineservice
