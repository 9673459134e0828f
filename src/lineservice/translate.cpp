#include "lineservice/translate.h"

#include "platform/tapi.h"

#include <cctype>

namespace lineservice {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

std::string TakeDigits(std::string_view& s) {
  std::string digits;
  while (!s.empty() && IsDigit(s.front())) {
    digits.push_back(s.front());
    s.remove_prefix(1);
  }
  return digits;
}

}  // namespace

bool ValidNumber(std::string_view number) {
  if (number.empty() || number.size() > 32) return false;
  for (char c : number)
    if (!IsDigit(c) && c != '*' && c != '#') return false;
  return true;
}

std::optional<std::string> DialedNumber(std::string_view dialString) {
  std::string number;
  for (char c : dialString) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == 't' || lower == 'p' || lower == 'w' || c == ',' || IsBlank(c) || c == '-' || c == '(' || c == ')')
      continue;
    number.push_back(c);
  }
  if (!ValidNumber(number)) return std::nullopt;
  return number;
}

std::optional<Translation> TranslateAddress(std::string_view address, const Location& location, DWORD options) {
  Translation out;
  out.currentCountry = location.countryCode;
  if (address.empty() || address.front() != '+') {
    out.dialable = std::string(address);
    out.displayable = out.dialable;
    out.destCountry = location.countryCode;
    out.results = LINETRANSLATERESULT_NOTRANSLATION;
    return out;
  }
  std::string_view rest = address.substr(1);
  SkipBlanks(rest);
  const std::string country = TakeDigits(rest);
  if (country.empty() || country.size() > 3) return std::nullopt;
  SkipBlanks(rest);
  std::string area;
  if (!rest.empty() && rest.front() == '(') {
    rest.remove_prefix(1);
    SkipBlanks(rest);
    area = TakeDigits(rest);
    SkipBlanks(rest);
    if (rest.empty() || rest.front() != ')') return std::nullopt;
    rest.remove_prefix(1);
  }
  const std::optional<std::string> number = DialedNumber(rest);
  if (!number) return std::nullopt;

  out.destCountry = static_cast<DWORD>(std::stoul(country));
  out.results = LINETRANSLATERESULT_CANONICAL;
  const bool sameCountry = out.destCountry == location.countryCode;
  const bool otherArea = !area.empty() && area != location.areaCode;
  if (!sameCountry) {
    out.dialable = location.internationalPrefix + country + area + *number;
    out.results |= LINETRANSLATERESULT_INTERNATIONAL;
  } else if ((otherArea || (options & kTranslateForceLongDistance)) && !(options & kTranslateForceLocal)) {
    out.dialable = location.longDistancePrefix + area + *number;
    out.results |= LINETRANSLATERESULT_LONGDISTANCE;
  } else {
    out.dialable = *number;
    out.results |= LINETRANSLATERESULT_LOCAL;
  }
  out.displayable = out.dialable;
  return out;
}

}  // namespace lineservice
