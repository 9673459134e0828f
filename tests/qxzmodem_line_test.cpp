// The ZModem component over the serial engine: two engines on the ends of a paced virtual link,
// the sender keeping the transmit queue filled, and the receiver asking for data again (ZRPOS)
// while that queue is full of subpackets beyond the position it asks for.
#include "platform/virtuallink.h"
#include "qx/qxcommhandle.h"
#include "qx/qxzmodem.h"
#include "support/qtwait.h"
#include "support/recordinglog.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace {

// The sender's log, noting how many bytes waited in the transmit queue when the first ZRPOS came in
// the middle of the stream.
class RepositionLog : public RecordingLog {
public:
  explicit RepositionLog(TqxCustomComm& comm) : m_Comm(comm) {}
  void Write(const QString& Text) override {
    if (!repositioned && Text.contains(QStringLiteral("Interrupt RPOS"))) {
      repositioned = true;
      queuedAtReposition = m_Comm.OutputQueueCount();
    }
    RecordingLog::Write(Text);
  }

  bool repositioned = false;
  std::uint32_t queuedAtReposition = 0;

private:
  TqxCustomComm& m_Comm;
};

// Faults on what the sender writes, by byte index.
struct LineCase {
  const char* name;
  std::vector<std::uint64_t> corruptAt;
  std::vector<std::uint64_t> dropAt;
};

TEST(ZModemOverTheSerialEngine, RepositionInAFullTransmitQueueEndsInAnIdenticalFile) {
  const std::vector<LineCase> cases = {
      {"one spoilt byte", {30000}, {}},
      {"a lost byte", {}, {45000}},
      {"errors in a row and near the end", {20000, 20600, 95000}, {}},
  };
  const QByteArray data = Pattern(100000, 4);
  for (const LineCase& c : cases) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("in"));
    WriteTestFile(dir.filePath("sent.bin"), data);
    platform::VirtualLinkOptions options;
    options.bitsPerSecond = 460800;  // the line takes less than the sender could give it
    options.faults[0].corruptAt = c.corruptAt;
    options.faults[0].dropAt = c.dropAt;
    const auto link = platform::VirtualLink::Create(options);
    ASSERT_TRUE(link);

    TqxCommHandle sendLine, receiveLine;
    RepositionLog log(sendLine);
    log.detailLevel = dlDetail;
    TqxZModem sender, receiver;
    sendLine.SetCommHandle(link->End(0));
    receiveLine.SetCommHandle(link->End(1));
    for (TqxCommHandle* line : {&sendLine, &receiveLine}) line->SetTraceStates({tsTxEmpty});
    sendLine.SetDataProcessor(&sender);
    receiveLine.SetDataProcessor(&receiver);
    sender.SetLog(&log);
    receiver.SetDefaultPath(dir.filePath("in"));
    RecordingLog receiverLog;
    receiverLog.detailLevel = dlDetail;
    receiver.SetLog(&receiverLog);
    std::vector<TzAbortType> aborts;
    int crcErrors = 0, received = 0;
    for (TqxZModem* zm : {&sender, &receiver}) {
      zm->SetActive(true);
      zm->OnAbort = [&](QObject*, TzAbortType reason) { aborts.push_back(reason); };
    }
    receiver.OnCRCError = [&](QObject*) { ++crcErrors; };
    receiver.OnSuccessfulEnd = [&](QObject*) { ++received; };
    sendLine.Open();
    receiveLine.Open();
    ASSERT_TRUE(sendLine.IsOpen() && receiveLine.IsOpen());
    // A queue of 16 KiB, filled again at half: 8 KiB or more wait while the stream runs.
    sendLine.SetBufferOutSize(16384);

    sender.SendFile(dir.filePath("sent.bin"));
    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return (received > 0 && sender.Role() == TqxZModem::zrIdle) || !aborts.empty(); }, 60000))
        << c.name;
    EXPECT_TRUE(aborts.empty()) << c.name;
    EXPECT_EQ(received, 1) << c.name;
    EXPECT_EQ(ReadAll(dir.filePath("in/sent.bin")), data) << c.name;
    EXPECT_GE(crcErrors, 1) << c.name << ": the fault reached the receiver";
    ASSERT_TRUE(log.repositioned) << c.name;
    // Several subpackets were on their way when the receiver asked for data again.
    EXPECT_GT(log.queuedAtReposition, std::uint32_t(2 * kMaxTxBlock)) << c.name;
    // Neither side had to wait for a time-out: the end of file never stood behind a full queue.
    for (const QStringList* entries : {&log.entries, &receiverLog.entries})
      EXPECT_FALSE(entries->join(u'\n').contains(QStringLiteral("Timeout"))) << c.name;
    sendLine.Close();
    receiveLine.Close();
  }
}

}  // namespace
