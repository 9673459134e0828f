#include "qx/qxzmodemtime.h"

#include "platform/wintypes.h"

namespace {
const QDate kEpoch(1970, 1, 1);
}

std::int32_t DateTimeToUnixTime(const QDateTime& Value) {
  const std::int64_t days = kEpoch.daysTo(Value.date());
  const std::int64_t seconds = days * 86400 + Value.time().msecsSinceStartOfDay() / 1000;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds));
}

QDateTime UnixTimeToDateTime(std::int32_t Seconds) {
  // Floor division, so that a time before 1970 still has a time of day in 0..86399.
  std::int64_t days = Seconds / 86400;
  std::int64_t rest = Seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  return QDateTime(kEpoch.addDays(days), QTime::fromMSecsSinceStartOfDay(static_cast<int>(rest * 1000)),
                   Qt::UTC);
}

namespace {
// FILETIME counts 100 ns from 1601-01-01 UTC.
constexpr std::int64_t kFileTimeEpochOffset = 11644473600LL;
}  // namespace

QDateTime FileTimeToDateTime(const FILETIME& Time) {
  const std::int64_t ticks = (std::int64_t(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
  return QDateTime::fromSecsSinceEpoch(ticks / 10000000 - kFileTimeEpochOffset, Qt::UTC);
}

FILETIME DateTimeToFileTime(const QDateTime& Time) {
  const std::int64_t ticks = (Time.toSecsSinceEpoch() + kFileTimeEpochOffset) * 10000000;
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}
