// CRC, octal and Unix-time helpers of the ZModem engine.
#include "qx/qxcrc.h"
#include "qx/qxsysutils.h"
#include "qx/qxzmodemtime.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <initializer_list>

namespace {

std::uint16_t Crc16(std::initializer_list<std::uint8_t> bytes, std::uint16_t crc = 0) {
  for (const std::uint8_t b : bytes) crc = UpdCrc16(b, crc);
  return crc;
}

std::uint16_t Crc16(const QByteArray& bytes, std::uint16_t crc = 0) {
  for (const char b : bytes) crc = UpdCrc16(static_cast<std::uint8_t>(b), crc);
  return crc;
}

std::uint32_t Crc32(const QByteArray& bytes, std::uint32_t crc = 0xFFFFFFFFu) {
  for (const char b : bytes) crc = UpdCrc32(static_cast<std::uint8_t>(b), crc);
  return crc;
}

TEST(Crc16, CheckValueAndVerification) {
  const std::uint16_t crc = Crc16({0, 0}, Crc16(QByteArray("123456789")));
  EXPECT_EQ(crc, 0x31C3);
  EXPECT_EQ(Crc16({0x31, 0xC3}, Crc16(QByteArray("123456789"))), 0);
  EXPECT_NE(Crc16({0x31, 0xC4}, Crc16(QByteArray("123456789"))), 0);
}

TEST(Crc16, HexHeaderCheckValues) {
  struct Case { std::initializer_list<std::uint8_t> header; std::uint16_t crc; };
  const Case cases[] = {
      {{0, 0, 0, 0, 0}, 0x0000},  // ZRQINIT
      {{1, 0, 0, 0, 3}, 0x9A32},  // ZRINIT, CANFDX | CANOVIO
      {{8, 0, 0, 0, 0}, 0x022D},  // ZFIN
  };
  for (const Case& c : cases) EXPECT_EQ(Crc16({0, 0}, Crc16(c.header)), c.crc);
}

TEST(Crc16, TableEntries) {
  // Feeding a single byte b into the high end picks table entry b.
  EXPECT_EQ(UpdCrc16(0, 0x0100), 0x1021);
  EXPECT_EQ(UpdCrc16(0, 0xFF00), 0x1EF0);
}

TEST(Crc32, CheckValueAndResidue) {
  const std::uint32_t crc = ~Crc32(QByteArray("123456789"));
  EXPECT_EQ(crc, 0xCBF43926u);
  QByteArray withCrc("123456789");
  for (int i = 0; i < 4; ++i) withCrc.append(char(crc >> (8 * i)));
  EXPECT_EQ(Crc32(withCrc), 0xDEBB20E3u);
  EXPECT_EQ(UpdCrc32(1, 0), 0x77073096u);
}

// The runs of four bytes at a time give what the byte-wise updates give, whatever the length and
// the starting value.
TEST(CrcRuns, MatchTheByteWiseUpdates) {
  QByteArray data;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 1100; ++i) data.append(char((seed = seed * 1103515245u + 12345u) >> 16));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
  for (const int length : {0, 1, 3, 4, 5, 7, 8, 1024, 1099}) {
    for (const std::uint16_t start : {std::uint16_t{0}, std::uint16_t{0xA5C3}}) {
      EXPECT_EQ(UpdCrc16Run(bytes, length, start), Crc16(data.left(length), start)) << length;
    }
    for (const std::uint32_t start : {0xFFFFFFFFu, 0x12345678u}) {
      EXPECT_EQ(UpdCrc32Run(bytes, length, start), Crc32(data.left(length), start)) << length;
    }
  }
}

TEST(Octal, IntToOctal) {
  EXPECT_EQ(IntToOctal(0), QString());
  EXPECT_EQ(IntToOctal(8), "10");
  EXPECT_EQ(IntToOctal(0xFFFFFFFFu), "37777777777");
  EXPECT_EQ(IntToOctal(0644), "644");
}

TEST(Octal, OctalToInt) {
  struct Case { const char* text; std::int32_t value; };
  const Case cases[] = {
      {"17", 15}, {"19", 0}, {" 17", 0}, {"", 0}, {"37777777777", -1},
      {"777777777777", static_cast<std::int32_t>(0xFFFFFFFFu & 0777777777777ull)},  // wraps
  };
  for (const Case& c : cases) EXPECT_EQ(OctalToInt(c.text), c.value) << c.text;
}

TEST(UnixTime, FromDateTime) {
  EXPECT_EQ(DateTimeToUnixTime(QDateTime(QDate(1970, 1, 2), QTime(0, 0, 1, 999), Qt::UTC)), 86401);
  EXPECT_EQ(DateTimeToUnixTime(QDateTime(QDate(1969, 12, 31), QTime(12, 0), Qt::UTC)), -43200);
  EXPECT_EQ(DateTimeToUnixTime(QDateTime(QDate(2024, 2, 29), QTime(13, 14, 15), Qt::UTC)), 1709212455);
}

TEST(UnixTime, ToDateTime) {
  EXPECT_EQ(UnixTimeToDateTime(86401), QDateTime(QDate(1970, 1, 2), QTime(0, 0, 1), Qt::UTC));
  EXPECT_EQ(UnixTimeToDateTime(-1), QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59), Qt::UTC));
  EXPECT_EQ(UnixTimeToDateTime(1709212455).toSecsSinceEpoch(), 1709212455);
  for (const std::int32_t s : {0, 1, -86400, -86401, 2147483647, -2147483647 - 1})
    EXPECT_EQ(DateTimeToUnixTime(UnixTimeToDateTime(s)), s) << s;
}

}  // namespace
