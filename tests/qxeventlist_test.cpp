#include "qx/qxeventlist.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>

#include <utility>

namespace {

struct Found {
  int index;
  int position;  // in the chunk it completed in
  bool operator==(const Found&) const = default;
};

// Feeds each chunk byte by byte and records every completion.
QList<Found> Feed(TEventList& list, const QList<QByteArray>& chunks) {
  QList<Found> found;
  for (const QByteArray& chunk : chunks)
    for (int i = 0; i < chunk.size(); ++i) {
      const int k = list.Match(static_cast<std::uint8_t>(chunk[i]));
      if (k >= 0) found.append({k, i});
    }
  return found;
}

struct MatchCase {
  const char* name;
  QList<QByteArray> patterns;
  QList<QByteArray> chunks;
  QList<Found> expected;
};

class EventListMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(EventListMatch, ReportsCompletions) {
  const MatchCase& c = GetParam();
  TEventList list;
  for (const QByteArray& pattern : c.patterns) list.Add(pattern);
  EXPECT_EQ(Feed(list, c.chunks), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, EventListMatch,
    ::testing::Values(
        MatchCase{"Plain", {"RING"}, {"xxRINGyy"}, {{0, 5}}},
        MatchCase{"SplitAcrossChunks", {"CONNECT"}, {"..CON", "NE", "CT\r\n"}, {{0, 1}}},
        // The restart only retries the current byte, so an overlapping prefix is lost.
        MatchCase{"NaiveRestartMissesOverlap", {"AAB"}, {"AAAB"}, {}},
        MatchCase{"RestartOnFirstByte", {"AB"}, {"AAB"}, {{0, 2}}},
        MatchCase{"RepeatedMatches", {"OK"}, {"OK OK", "O", "K"}, {{0, 1}, {0, 4}, {0, 0}}},
        // Both complete on the same byte: the lower index wins and the other does not see it.
        MatchCase{"LowerIndexWinsAndOtherDoesNotAdvance", {"XB", "B"}, {"XB", "B"}, {{0, 1}, {1, 0}}},
        MatchCase{"SecondPatternAfterFirstMismatch", {"NO CARRIER", "BUSY"}, {"NO BUSY"}, {{1, 6}}},
        MatchCase{"BytesAbove127", {QByteArray("\xFF\x80", 2)}, {QByteArray("\x01\xFF\x80", 3)}, {{0, 2}}}),
    [](const ::testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

TEST(EventList, LosingLowerPatternDoesNotAdvanceLater) {
  // "B" would complete on the same byte as "AB"; "BC" must not take that B as its start.
  TEventList list;
  list.Add("AB");
  list.Add("BC");
  EXPECT_EQ(Feed(list, {"ABC"}), (QList<Found>{{0, 1}}));
}

TEST(EventList, MatchSetsMatchedAtAndResets) {
  TEventList list;
  list.Add("ab");
  list.Match('a');
  EXPECT_EQ(list.Get(0).MatchPos, 1u);
  EXPECT_EQ(list.Match('b'), 0);
  EXPECT_EQ(list.Get(0).MatchPos, 0u);
  EXPECT_EQ(list.Get(0).MatchedAt, 2u);
}

TEST(EventList, BuildEventDataIsPatternThenRestZeroTerminated) {
  TEventList list;
  list.Add("RING");
  list.EnsureBuffer(16);
  const QByteArray rest("\r\nNMBR=5", 8);
  const int n = list.BuildEventData(0, rest.constData(), rest.size());
  EXPECT_EQ(n, 4 + rest.size());
  EXPECT_EQ(QByteArray(list.EventBuffer(), n), QByteArray("RING") + rest);
  EXPECT_EQ(list.EventBuffer()[n], '\0');
  EXPECT_EQ(list.BuildEventData(0, nullptr, 0), 4);
  EXPECT_STREQ(list.EventBuffer(), "RING");
}

TEST(EventList, BufferKeepsRoomForTheLongestPattern) {
  TEventList list;
  list.EnsureBuffer(100);
  EXPECT_EQ(list.EventBufferSize(), 104u);
  list.Add("0123456789");
  EXPECT_EQ(list.MaxPatternLength(), 10u);
  EXPECT_EQ(list.EventBufferSize(), 114u);
  // A full chunk after the longest pattern still fits, with its zero.
  const QByteArray data(100, 'x');
  EXPECT_EQ(list.BuildEventData(0, data.constData(), data.size()), 110);
  EXPECT_EQ(list.EventBuffer()[110], '\0');
}

TEST(EventList, AddDeleteClear) {
  TEventList list;
  EXPECT_EQ(list.Add(QByteArray()), -1);
  EXPECT_EQ(list.Add("abc"), 0);
  EXPECT_EQ(list.Add("abcdef"), 1);
  EXPECT_EQ(list.MaxPatternLength(), 6u);
  list.Delete(1);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.MaxPatternLength(), 3u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Match('a'), -1);
}

}  // namespace
