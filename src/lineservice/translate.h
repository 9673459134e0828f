// Addresses: turning a canonical address ("+49 (30) 1234567") into the digits to dial from the
// current location, and reading a dial string down to the number it reaches.
#pragma once

#include "platform/wintypes.h"

#include <optional>
#include <string>
#include <string_view>

namespace lineservice {

// Where the user dials from. The defaults: country 49, no area code, "0" before a long-distance
// number, "00" before an international one.
struct Location {
  DWORD countryCode = 49;
  std::string areaCode;
  std::string longDistancePrefix = "0";
  std::string internationalPrefix = "00";
};

constexpr DWORD kTranslateForceLocal = 0x00000004;     // LINETRANSLATEOPTION_FORCELOCAL
constexpr DWORD kTranslateForceLongDistance = 0x00000008;  // LINETRANSLATEOPTION_FORCELD
constexpr DWORD kTranslateOptions = 0x0000000F;        // every option the service knows

struct Translation {
  std::string dialable;
  std::string displayable;
  DWORD currentCountry = 0;
  DWORD destCountry = 0;
  DWORD results = 0;  // LINETRANSLATERESULT_
};

// A canonical address (starting with "+") is translated; anything else is a dial string that
// passes through unchanged, to the current country. Empty when a canonical address is malformed.
std::optional<Translation> TranslateAddress(std::string_view address, const Location& location, DWORD options);

// The number a dial string reaches: dial characters (t, p, w, comma, blanks, dashes, parentheses)
// dropped; empty when anything but digits, '*' and '#' is left, or nothing is.
std::optional<std::string> DialedNumber(std::string_view dialString);

// Whether a modem's number is a valid one (digits, '*', '#', at most 32 characters).
bool ValidNumber(std::string_view number);

}  // namespace lineservice
