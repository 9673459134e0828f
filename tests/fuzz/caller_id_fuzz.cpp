// Caller-ID lines of a modem, on any text: each line of the input is read as a caller-ID line and
// what it tells is gathered for the call. Checks: an accepted value is trimmed, printable, within
// its bound and of its field's form; the field written again as a modem writes it reads back the
// same; gathering tells exactly when the number or name changed, and a number or name that is
// withheld or unavailable is no number or name.
#include "fuzzcheck.h"

#include "lineservice/callerid.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

using namespace lineservice;

namespace {

bool AllDigits(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const char* KeyOf(CallerIdField field) {
  switch (field) {
    case CallerIdField::Date: return "DATE";
    case CallerIdField::Time: return "TIME";
    case CallerIdField::Number: return "NMBR";
    case CallerIdField::Name: return "NAME";
    case CallerIdField::Message: return "MESG";
  }
  return "";
}

void CheckLine(std::string_view text, CallerId& call) {
  const auto line = ParseCallerIdLine(text);
  if (!line) return;
  const std::string& value = line->value;
  FUZZ_CHECK(!value.empty() && value.size() <= kMaxCallerIdValue);
  FUZZ_CHECK(value.front() != ' ' && value.front() != '\t' && value.back() != ' ' && value.back() != '\t');
  FUZZ_CHECK(std::all_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F; }));
  if (line->field == CallerIdField::Date) FUZZ_CHECK((value.size() == 4 || value.size() == 8) && AllDigits(value));
  if (line->field == CallerIdField::Time) FUZZ_CHECK(value.size() == 4 && AllDigits(value));
  if (line->field == CallerIdField::Number)
    FUZZ_CHECK(value == "P" || value == "O" || value.find_first_of("0123456789") != std::string::npos);

  const auto again = ParseCallerIdLine(std::string(KeyOf(line->field)) + " = " + value);
  FUZZ_CHECK(again && again->field == line->field && again->value == value);

  const auto told = [&call] {
    return std::make_tuple(call.number, call.name, call.numberWithheld, call.numberUnavailable, call.nameWithheld,
                           call.nameUnavailable);
  };
  const auto before = told();
  const bool changed = call.Apply(*line);
  FUZZ_CHECK(changed == (told() != before));
  FUZZ_CHECK(!call.Apply(*line));  // the same line again tells nothing new
  FUZZ_CHECK(!(call.numberWithheld && call.numberUnavailable) && !(call.nameWithheld && call.nameUnavailable));
  FUZZ_CHECK(call.number.empty() || !(call.numberWithheld || call.numberUnavailable));
  FUZZ_CHECK(call.name.empty() || !(call.nameWithheld || call.nameUnavailable));
  FUZZ_CHECK(call.date.size() <= 4 && call.time.size() <= 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CallerId call;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    CheckLine(text.substr(start, end - start), call);
    start = end + 1;
  }
  return 0;
}
