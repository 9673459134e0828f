// Caller-ID lines of a modem, read without any I/O: the formatted report that +VCID=1 (or #CID=1)
// gives between the first and second RING, one field a line ("NMBR = 5551234"), with the spellings
// modems use ("DATE=0321", "CALLER NUMBER: 5551234", "DDN_NMBR", "NAME = O" for out of area).
// Anything else is not a caller-ID line; a field with a malformed value is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lineservice {

enum class CallerIdField { Date, Time, Number, Name, Message };

struct CallerIdLine {
  CallerIdField field = CallerIdField::Message;
  std::string value;  // trimmed, at most kMaxCallerIdValue characters
};

constexpr std::size_t kMaxCallerIdValue = 64;

std::optional<CallerIdLine> ParseCallerIdLine(std::string_view line);

// What the caller-ID lines of one call told, gathered.
struct CallerId {
  std::string date;  // MMDD
  std::string time;  // HHMM
  std::string number;
  std::string name;
  bool numberWithheld = false;  // "P": the caller keeps it private
  bool numberUnavailable = false;  // "O": out of area, not delivered
  bool nameWithheld = false;
  bool nameUnavailable = false;

  // Takes one line in; true when the number or the name changed.
  bool Apply(const CallerIdLine& line);
};

}  // namespace lineservice
