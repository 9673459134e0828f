// Conversions between date-time values and the seconds since 1970-01-01 that a ZModem file
// information block carries.
#pragma once

#include <QDateTime>

#include <cstdint>

// Whole days from 1970-01-01 to the value's date times 86400, plus the seconds of its time of day
// (milliseconds truncated). The value's own date and clock time are taken as they are, so give it a
// UTC date-time to obtain Unix time. Values outside the 32-bit range wrap around.
std::int32_t DateTimeToUnixTime(const QDateTime& Value);

// The UTC date-time Seconds after 1970-01-01 00:00:00; negative values lie before it.
QDateTime UnixTimeToDateTime(std::int32_t Seconds);

// The UTC date-time of a file-system time stamp, to the second, and back.
struct FILETIME;
QDateTime FileTimeToDateTime(const FILETIME& Time);
FILETIME DateTimeToFileTime(const QDateTime& Time);
