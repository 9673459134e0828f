// The data processor chain: linking, open/close notifications, the send path with its hook and
// one-shot timer, the fatal-error path, and the sequence detector.
#include "framework/exception.h"
#include "qx/qxclasses.h"
#include "support/fakeio.h"
#include "support/qtwait.h"
#include "support/recordinglog.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

// A processor that records what reaches it and, on request, consumes chunks.
class Probe : public TqxCustomDataProcessor {
public:
  using TqxCustomDataProcessor::DataReceived;
  explicit Probe(QString name, QStringList* trace = nullptr) : m_Name(std::move(name)), m_Trace(trace) {
    SetLogPrefix(m_Name + QStringLiteral(": "));
  }
  void DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags) override {
    if (m_Trace != nullptr)
      m_Trace->append(m_Name + QLatin1Char(' ') + QString::fromLatin1(Buffer, Count) +
                      (Flags.Contains(pfConsumed) ? QStringLiteral(" consumed") : QString()));
    if (consume) Flags.Include(pfConsumed);
    TqxCustomDataProcessor::DataReceived(Buffer, Count, Flags);
  }
  void TxEmpty(bool& Handled) override {
    ++txEmpty;
    Handled = true;
  }
  bool consume = false;
  int txEmpty = 0;

private:
  QString m_Name;
  QStringList* m_Trace;
};

TEST(Chain, AProcessorIsNeverChainedToItselfNorIntoACycle) {
  Probe a(QStringLiteral("a"));
  Probe b(QStringLiteral("b"));
  Probe c(QStringLiteral("c"));
  a.SetDataProcessor(&a);
  EXPECT_EQ(a.DataProcessor(), nullptr);
  a.SetDataProcessor(&b);
  b.SetDataProcessor(&c);
  c.SetDataProcessor(&a);
  b.SetDataProcessor(&b);
  EXPECT_EQ(c.DataProcessor(), nullptr);
  EXPECT_EQ(b.DataProcessor(), &c);
  a.DataReceived("x", 1);  // ends: no cycle
}

TEST(Chain, EveryProcessorSeesEachChunkInOrderWithTheSameFlags) {
  QStringList trace;
  FakeIO io;
  Probe first(QStringLiteral("first"), &trace);
  Probe second(QStringLiteral("second"), &trace);
  first.consume = true;
  io.SetDataProcessor(&first);
  first.SetDataProcessor(&second);
  io.DataReceived("ab", 2);
  EXPECT_EQ(trace, (QStringList{QStringLiteral("first ab"), QStringLiteral("second ab consumed")}));
}

TEST(Chain, TheSecondProcessorHearsOpenAndCloseOfTheFirstOnesIO) {
  RecordingLog log;
  FakeIO io;
  Probe first(QStringLiteral("first"));
  Probe second(QStringLiteral("second"));
  first.SetLog(&log);
  second.SetLog(&log);
  io.SetDataProcessor(&first);
  first.SetDataProcessor(&second);
  EXPECT_EQ(second.IO(), &io);
  io.NotifyClients(qxNotifyOpened);
  io.NotifyClients(qxNotifyDevicesChanged);
  io.NotifyClients(qxNotifyClosed);
  EXPECT_EQ(log.entries, (QStringList{QStringLiteral("first: Medium Opened"), QStringLiteral("second: Medium Opened"),
                                      QStringLiteral("first: Medium Closed"), QStringLiteral("second: Medium Closed")}));
}

TEST(Chain, DetachingFromTheIORemovesTheHandler) {
  RecordingLog log;
  FakeIO io;
  Probe processor(QStringLiteral("p"));
  processor.SetLog(&log);
  io.SetDataProcessor(&processor);
  io.SetDataProcessor(&processor);
  EXPECT_EQ(io.NotifyList().Count(), 1);
  io.SetDataProcessor(nullptr);
  EXPECT_EQ(processor.IO(), nullptr);
  EXPECT_EQ(io.NotifyList().Count(), 0);
  io.NotifyClients(qxNotifyOpened);
  EXPECT_TRUE(log.entries.isEmpty());
}

TEST(Chain, AssigningAnotherProcessorDetachesTheFormer) {
  FakeIO io;
  Probe former(QStringLiteral("former"));
  Probe latter(QStringLiteral("latter"));
  io.SetDataProcessor(&former);
  io.SetDataProcessor(&latter);
  EXPECT_EQ(former.IO(), nullptr);
  EXPECT_EQ(latter.IO(), &io);
  EXPECT_EQ(io.NotifyList().Count(), 1);
}

TEST(Chain, DestroyedPartnersAreForgotten) {
  auto io = std::make_unique<FakeIO>();
  auto next = std::make_unique<Probe>(QStringLiteral("next"));
  auto log = std::make_unique<RecordingLog>();
  Probe processor(QStringLiteral("p"));
  io->SetDataProcessor(&processor);
  processor.SetDataProcessor(next.get());
  processor.SetLog(log.get());
  next.reset();
  EXPECT_EQ(processor.DataProcessor(), nullptr);
  EXPECT_EQ(io->NotifyList().Count(), 1);  // the next one took only its own handler
  log.reset();
  EXPECT_EQ(processor.Log(), nullptr);
  io.reset();
  EXPECT_EQ(processor.IO(), nullptr);
  processor.SendString("nowhere");
  processor.LogMessage(dlSimple, QStringLiteral("nobody listens"));
}

TEST(Chain, DestroyingAProcessorRemovesItFromTheIO) {
  FakeIO io;
  {
    Probe processor(QStringLiteral("p"));
    io.SetDataProcessor(&processor);
  }
  EXPECT_EQ(io.DataProcessor(), nullptr);
  EXPECT_EQ(io.NotifyList().Count(), 0);
  io.Open();
  io.NotifyClients(qxNotifyOpened);
}

TEST(Sending, UnhandledDataAndStringsGoToTheIO) {
  FakeIO io;
  Probe processor(QStringLiteral("p"));
  io.SetDataProcessor(&processor);
  QStringList seen;
  processor.OnDataSend = [&](QObject* sender, const char* buffer, std::uint32_t len, bool synchro, bool&) {
    EXPECT_EQ(sender, &processor);
    seen.append(QString::fromLatin1(buffer, len) + (synchro ? QStringLiteral(" sync") : QStringLiteral(" async")));
  };
  processor.SendData("block", 5);
  processor.SendString("rz\r");
  EXPECT_EQ(seen, (QStringList{QStringLiteral("block async"), QStringLiteral("rz\r sync")}));
  EXPECT_EQ(io.sends, (QStringList{QStringLiteral("data"), QStringLiteral("string")}));
  EXPECT_EQ(io.sent, QByteArray("blockrz\r"));
}

TEST(Sending, NothingToSendCallsNobody) {
  FakeIO io;
  Probe processor(QStringLiteral("p"));
  io.SetDataProcessor(&processor);
  int hooks = 0;
  processor.OnDataSend = [&](QObject*, const char*, std::uint32_t, bool, bool&) { ++hooks; };
  processor.SendData("x", 0);
  processor.SendData(nullptr, 3);
  processor.SendString(QByteArray());
  EXPECT_EQ(hooks, 0);
  EXPECT_TRUE(io.sends.isEmpty());
}

TEST(Sending, FailuresOnTheWayAreDropped) {
  Probe detached(QStringLiteral("d"));
  detached.SendData("x", 1);
  detached.SendString("x");

  FakeIO io;
  Probe processor(QStringLiteral("p"));
  io.SetDataProcessor(&processor);
  processor.OnDataSend = [](QObject*, const char*, std::uint32_t, bool, bool&) { throw std::runtime_error("hook"); };
  processor.SendData("x", 1);
  processor.SendString("y");
  EXPECT_TRUE(io.sends.isEmpty());
}

TEST(Sending, AHandledBufferIsFollowedByOneTxEmptyAfterTheTimerInterval) {
  FakeIO io;
  Probe processor(QStringLiteral("p"));
  io.SetDataProcessor(&processor);
  EXPECT_EQ(processor.Timer().Interval(), 1000u);
  processor.Timer().SetInterval(30);
  processor.OnDataSend = [](QObject*, const char*, std::uint32_t, bool, bool& handled) { handled = true; };
  processor.SendData("block", 5);
  EXPECT_TRUE(io.sends.isEmpty());
  EXPECT_EQ(processor.txEmpty, 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return processor.txEmpty > 0; }));
  ProcessEventsFor(300);
  EXPECT_EQ(processor.txEmpty, 1);
  EXPECT_FALSE(processor.Timer().IsRunning());
}

TEST(Sending, AHandledStringIsFollowedByNothing) {
  FakeIO io;
  Probe processor(QStringLiteral("p"));
  io.SetDataProcessor(&processor);
  processor.Timer().SetInterval(20);
  processor.OnDataSend = [](QObject*, const char*, std::uint32_t, bool, bool& handled) { handled = true; };
  processor.SendString("header");
  EXPECT_FALSE(processor.Timer().IsRunning());
  ProcessEventsFor(200);
  EXPECT_EQ(processor.txEmpty, 0);
  EXPECT_TRUE(io.sends.isEmpty());
}

TEST(Timer, StartTimerRunsOnceAndZeroOnlyStops) {
  Probe processor(QStringLiteral("p"));
  processor.StartTimer(20);
  EXPECT_EQ(processor.Timer().Interval(), 20u);
  ASSERT_TRUE(ProcessEventsUntil([&] { return processor.txEmpty == 1; }));
  processor.StartTimer(100000);
  EXPECT_TRUE(processor.Timer().IsRunning());
  processor.StartTimer(0);
  EXPECT_FALSE(processor.Timer().IsRunning());
  EXPECT_EQ(processor.Timer().Interval(), 100000u);
}

TEST(Processor, TxEmptyFromTheIOReachesTheFirstProcessor) {
  FakeIO io;
  EXPECT_FALSE(io.ProcessorTxEmpty());
  Probe processor(QStringLiteral("p"));
  io.SetDataProcessor(&processor);
  EXPECT_TRUE(io.ProcessorTxEmpty());
  EXPECT_EQ(processor.txEmpty, 1);
}

TEST(Processor, FatalErrorLogsWithoutPrefixAndRaisesUnlessDeclined) {
  for (const bool declined : {false, true}) {
    RecordingLog log;
    Probe processor(QStringLiteral("p"));
    processor.SetLog(&log);
    processor.OnFatalError = [&](QObject*, std::uint32_t, std::uint32_t, const QString&, bool& raise) {
      raise = !declined;
    };
    bool raised = false;
    try {
      processor.FatalError(3, 9, QStringLiteral("zmodem broke"));
    } catch (const Exception& error) {
      raised = true;
      EXPECT_EQ(error.Message(), QStringLiteral("zmodem broke"));
    }
    EXPECT_EQ(raised, !declined);
    EXPECT_EQ(log.entries, QStringList{QStringLiteral("Fatal Error: 3, 9, zmodem broke")});
  }
}

TEST(Processor, LogMessageKeepsAnEmptyText) {
  RecordingLog log;
  Probe processor(QStringLiteral("p"));
  processor.SetLog(&log);
  processor.LogMessage(dlSimple, QString());
  processor.LogFormat(dlDetail, QStringLiteral("%d bytes"), {12});
  EXPECT_EQ(log.entries, (QStringList{QStringLiteral("p: "), QStringLiteral("p: 12 bytes")}));
}

TEST(LogSink, InheritedFatalErrorRaisesUnlessTheHandlerDeclines) {
  RecordingLog log;
  EXPECT_THROW(log.FatalError(0, 5, QStringLiteral("disk full")), Exception);
  log.OnFatalError = [&](QObject* sender, std::uint32_t, std::uint32_t detail, const QString&, bool& raise) {
    EXPECT_EQ(sender, &log);
    EXPECT_EQ(detail, 5u);
    raise = false;
  };
  EXPECT_NO_THROW(log.FatalError(0, 5, QStringLiteral("disk full")));
  EXPECT_TRUE(log.entries.isEmpty());
}

struct DetectorCase {
  QByteArray pattern;
  QByteArray input;
  QList<int> matchesAt;  // input positions where Feed reports true
};

class Detector : public ::testing::TestWithParam<DetectorCase> {};

TEST_P(Detector, ReportsCompletedPatternsWithNaiveRestart) {
  const DetectorCase& c = GetParam();
  SequenceDetector detector{0, static_cast<std::uint32_t>(c.pattern.size()),
                            reinterpret_cast<const std::uint8_t*>(c.pattern.constData())};
  QList<int> matches;
  for (int i = 0; i < c.input.size(); ++i)
    if (detector.Feed(static_cast<std::uint8_t>(c.input[i]))) matches.append(i);
  EXPECT_EQ(matches, c.matchesAt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Detector,
    ::testing::Values(DetectorCase{"XYZ", "XYXYZ", {4}},
                      DetectorCase{"XYZ", "XYZXYZ", {2, 5}},
                      // the restart does not look back: the second A of AAB is lost
                      DetectorCase{"AAB", "AAAB", {}}, DetectorCase{"AAB", "AAB", {2}},
                      DetectorCase{"\x18\x18", "\x18x\x18\x18\x18", {3}}, DetectorCase{"", "abc", {}},
                      DetectorCase{"Z", "ZaZ", {0, 2}}));

}  // namespace
