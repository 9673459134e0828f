#include "framework/exception.h"
#include "framework/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

namespace {

struct FormatCase {
  const char* format;
  std::vector<FormatArg> args;
  QString expected;
};

class FormatTable : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatTable, Formats) {
  const FormatCase& c = GetParam();
  EXPECT_EQ(Format(QString::fromUtf8(c.format), c.args), c.expected) << c.format;
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, FormatTable,
    testing::Values(
        FormatCase{"Fatal Error: %u, %u, %s", {3u, 7u, "gone"}, "Fatal Error: 3, 7, gone"},
        FormatCase{"%d|%i|%5d|%-5d|%05d|%+d", {-42, 7, 42, 42, -42, 3}, "-42|7|   42|42   |-0042|+3"},
        FormatCase{"%x|%X|%08X|%#x|%o", {255, 255, 0xBEEFu, 16, 8}, "ff|FF|0000BEEF|0x10|10"},
        // Negative values keep the width they were passed with.
        FormatCase{"%x|%u", {-1, -1}, "ffffffff|4294967295"},
        FormatCase{"%x", {std::int64_t{-1}}, "ffffffffffffffff"},
        FormatCase{"%d|%i", {4000000000u, ULLONG_MAX}, "4000000000|18446744073709551615"},
        FormatCase{"%d|%d", {LLONG_MIN, std::int8_t{-5}}, "-9223372036854775808|-5"},
        FormatCase{"%s|%8s|%-8s|%.3s", {"a", "right", "left", "truncate"}, "a|   right|left    |tru"},
        FormatCase{"%*d|%-*d|%.*s", {4, 1, 3, 2, 2, "abc"}, "   1|2  |ab"},
        FormatCase{"%ld %lu %lld %hd %zu", {1L, 2UL, 3LL, 4, std::size_t{5}}, "1 2 3 4 5"},
        FormatCase{"%.2f|%8.3f|%e|%g", {3.14159, 2.5, 1500.0, 0.5}, "3.14|   2.500|1.500000e+03|0.5"},
        FormatCase{"100%% of %d", {1}, "100% of 1"},
        FormatCase{"%c%c|%3c", {'O', 'K', 'x'}, "OK|  x"},
        FormatCase{"no conversions", {}, "no conversions"},
        FormatCase{"{} {0} %s {", {"}{"}, "{} {0} }{ {"},
        FormatCase{"extra %d", {1, 2, 3}, "extra 1"}));

TEST(Format, TextPassesThroughUnchanged) {
  // Latin-1 bytes from the wire and non-ASCII text in format and argument survive intact.
  const QByteArray wire("\x80\xE9\xFF", 3);
  EXPECT_EQ(Format(QStringLiteral("[%s]"), {wire}), QStringLiteral("[\u0080\u00E9\u00FF]"));
  EXPECT_EQ(Format(QStringLiteral("\u00C4 %s \u20AC"), {QStringLiteral("\u00F6\u4E2D")}),
            QStringLiteral("\u00C4 \u00F6\u4E2D \u20AC"));
  // Precision counts characters, not UTF-8 bytes.
  EXPECT_EQ(Format(QStringLiteral("%.2s"), {QStringLiteral("\u00E9\u00E8\u00EA")}), QStringLiteral("\u00E9\u00E8"));
  EXPECT_EQ(Format(QStringLiteral("%c"), {0x20AC}), QStringLiteral("\u20AC"));
  EXPECT_EQ(Format(QStringLiteral("%s"), {QLatin1StringView("latin")}), QStringLiteral("latin"));
}

TEST(Format, PointerPrintsItsAddress) {
  int value = 0;
  const QString text = Format(QStringLiteral("%p"), {static_cast<const void*>(&value)});
  EXPECT_EQ(text.toULongLong(nullptr, 16), reinterpret_cast<std::uintptr_t>(&value));
}

TEST(Format, VectorAndListOverloadsAgree) {
  const std::vector<FormatArg> args{12, QStringLiteral("x")};
  EXPECT_EQ(Format(QStringLiteral("%d %s"), args), Format(QStringLiteral("%d %s"), {12, "x"}));
}

struct BadCase {
  const char* format;
  std::vector<FormatArg> args;
  const char* messagePart;
};

class FormatMismatch : public testing::TestWithParam<BadCase> {};

TEST_P(FormatMismatch, RaisesException) {
  const BadCase& c = GetParam();
  try {
    Format(QString::fromUtf8(c.format), c.args);
    FAIL() << "no exception for " << c.format;
  } catch (const Exception& error) {
    EXPECT_TRUE(error.Message().contains(QString::fromUtf8(c.format))) << error.what();
    EXPECT_TRUE(error.Message().contains(QString::fromUtf8(c.messagePart))) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FormatMismatch,
    testing::Values(BadCase{"%d", {"text"}, "'%d' needs an integer but argument 1 is a string"},
                    BadCase{"%s %s", {"a", 5}, "needs a string but argument 2 is an integer"},
                    BadCase{"%x", {1.5}, "floating-point"},
                    BadCase{"%f", {1}, "needs a floating-point number"},
                    BadCase{"%u, %u, %s", {1u, 2u}, "no argument (2 given)"},
                    BadCase{"%d", {}, "no argument (0 given)"},
                    BadCase{"%*d", {"w", 1}, "needs an integer"},
                    BadCase{"%q", {1}, "unknown conversion '%q'"},
                    BadCase{"50%", {}, "ends inside a conversion"},
                    BadCase{"%5", {1}, "ends inside a conversion"},
                    BadCase{"%c", {-1}, "character code"},
                    BadCase{"%p", {1}, "needs a pointer"}));

TEST(Exception, CarriesMessageAsTextAndUtf8) {
  const Exception error(QStringLiteral("Port COM\u00E9 not found"));
  EXPECT_EQ(error.Message(), QStringLiteral("Port COM\u00E9 not found"));
  EXPECT_STREQ(error.what(), "Port COM\xC3\xA9 not found");
  const std::exception& base = error;
  EXPECT_STREQ(base.what(), error.what());
}

}  // namespace
