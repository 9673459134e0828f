#include "lineservice/callerid.h"

#include <algorithm>
#include <cctype>
#include <tuple>

namespace lineservice {

namespace {

struct Key {
  std::string_view name;
  CallerIdField field;
};

constexpr Key kKeys[] = {
    {"DATE", CallerIdField::Date},          {"TIME", CallerIdField::Time},
    {"NMBR", CallerIdField::Number},        {"NUMBER", CallerIdField::Number},
    {"DDN_NMBR", CallerIdField::Number},    {"CALLER NUMBER", CallerIdField::Number},
    {"CALLER ID", CallerIdField::Number},   {"NAME", CallerIdField::Name},
    {"CALLER NAME", CallerIdField::Name},   {"MESG", CallerIdField::Message},
    {"MESSAGE", CallerIdField::Message},
};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool Digits(std::string_view text, std::size_t count) {
  return text.size() == count && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ValidNumber(std::string_view value) {
  if (value == "P" || value == "O") return true;
  const bool anyDigit = std::any_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  return anyDigit && std::all_of(value.begin(), value.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+' || c == '-' || c == ' ';
         });
}

bool Printable(std::string_view value) {
  return std::all_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F; });
}

}  // namespace

std::optional<CallerIdLine> ParseCallerIdLine(std::string_view raw) {
  const std::string_view line = Trim(raw);
  const std::size_t separator = line.find_first_of("=:");
  if (separator == std::string_view::npos) return std::nullopt;
  std::string key(Trim(line.substr(0, separator)));
  for (char& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
  const auto known = std::find_if(std::begin(kKeys), std::end(kKeys), [&](const Key& k) { return k.name == key; });
  if (known == std::end(kKeys)) return std::nullopt;
  const std::string_view value = Trim(line.substr(separator + 1));
  if (value.empty() || value.size() > kMaxCallerIdValue || !Printable(value)) return std::nullopt;
  switch (known->field) {
    case CallerIdField::Date:
      if (!Digits(value, 4) && !Digits(value, 8)) return std::nullopt;  // MMDD, or MMDDhhmm in one
      break;
    case CallerIdField::Time:
      if (!Digits(value, 4)) return std::nullopt;
      break;
    case CallerIdField::Number:
      if (!ValidNumber(value)) return std::nullopt;
      break;
    default:
      break;
  }
  return CallerIdLine{known->field, std::string(value)};
}

bool CallerId::Apply(const CallerIdLine& line) {
  const auto told = [this] {
    return std::make_tuple(number, name, numberWithheld, numberUnavailable, nameWithheld, nameUnavailable);
  };
  const auto before = told();
  switch (line.field) {
    case CallerIdField::Date:
      date = line.value.substr(0, 4);
      if (line.value.size() == 8) time = line.value.substr(4);
      break;
    case CallerIdField::Time: time = line.value; break;
    case CallerIdField::Number:
      numberWithheld = line.value == "P";
      numberUnavailable = line.value == "O";
      number = numberWithheld || numberUnavailable ? std::string() : line.value;
      break;
    case CallerIdField::Name:
      nameWithheld = line.value == "P";
      nameUnavailable = line.value == "O";
      name = nameWithheld || nameUnavailable ? std::string() : line.value;
      break;
    case CallerIdField::Message: break;
  }
  return told() != before;
}

}  // namespace lineservice
