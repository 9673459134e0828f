// Small text helpers of the library.
#pragma once

#include <QString>

#include <cstdint>

// Octal digits of Value without leading zeros; 0 gives the empty text.
QString IntToOctal(std::uint32_t Value);

// The octal number in Text; any character other than 0-7 makes the whole result 0, and so does
// the empty text. Overflow wraps around in 32 bits.
std::int32_t OctalToInt(const QString& Text);
