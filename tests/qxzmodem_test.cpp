// The ZModem component: sessions byte for byte against scripted peers, naming rules, time-outs,
// aborts, the file queue, and transfers between two engines over a link with seeded noise.
#include "qx/qxzmodem.h"

#include "framework/exception.h"
#include "qx/qxcommhandle.h"
#include "qx/qxtimer.h"
#include "support/framebuilder.h"
#include "support/qtwait.h"
#include "support/recordinglog.h"

#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <climits>
#include <deque>
#include <functional>
#include <memory>
#include <random>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

QByteArray Bytes(std::initializer_list<int> values) {
  QByteArray out;
  for (const int v : values) out.append(char(v));
  return out;
}

// Decodes what an engine sent into a readable list of frames: "H<type>:<position>" for headers,
// "D<length><frame end>" for subpackets, "CAN" for the cancel sequence.
class WireDecoder : public TZModemFramingEvents {
public:
  QStringList Decode(const QByteArray& wire) {
    frames.clear();
    for (int i = 0; i < wire.size(); ++i) {
      if (wire.mid(i, 8) == QByteArray(8, 0x18)) {
        frames << "CAN";
        i += 15;
        continue;
      }
      framing.Feed(std::uint8_t(wire[i]), data);
    }
    return frames;
  }
  void HeaderReceived(const TZHeader& h) override {
    frames << QStringLiteral("H%1:%2").arg(h.Type).arg(h.Position());
    data = h.Type == ZFILE || h.Type == ZDATA || h.Type == ZSINIT;
    inStream = h.Type == ZDATA;
  }
  void HeaderInData(const TZHeader& h) override {
    frames << QStringLiteral("H%1:%2").arg(h.Type).arg(h.Position());
    data = h.Type == ZDATA;
  }
  void BlockReceived(const std::uint8_t* d, int length, std::uint8_t frameEnd) override {
    frames << QStringLiteral("D%1%2").arg(length).arg(QChar(frameEnd));
    lastBlock = QByteArray(reinterpret_cast<const char*>(d), length);
    if (!inStream) data = false;
  }
  void BadCrc() override { frames << "BADCRC"; }
  void FrameSend(const QByteArray&, bool) override {}
  void FrameLog(TDetailLevel, const QString&) override {}
  bool FrameLogs(TDetailLevel) const override { return false; }

  TZModemFraming framing{*this};
  QStringList frames;
  QByteArray lastBlock;
  bool data = false;
  bool inStream = false;
};

// One engine whose output is captured instead of sent.
struct Engine {
  Engine() {
    zm.SetActive(true);
    zm.Timer().SetInterval(1);
    zm.OnDataSend = [this](QObject*, const char* b, std::uint32_t n, bool, bool& handled) {
      wire.append(b, n);
      handled = true;
    };
    zm.OnAbort = [this](QObject*, TzAbortType reason) { aborts.push_back(reason); };
    zm.OnFatalError = [this](QObject*, std::uint32_t code, std::uint32_t detail, const QString& msg, bool& raise) {
      errors << QStringLiteral("%1,%2 %3").arg(code).arg(detail).arg(msg);
      raise = false;
    };
    zm.OnSuccessfulEnd = [this](QObject*) { ++successes; };
  }

  bool Feed(const QByteArray& bytes) {
    TProcessorFlags flags;
    zm.DataReceived(bytes.constData(), int(bytes.size()), flags);
    return flags.Contains(pfConsumed);
  }
  QStringList Sent() { return decoder.Decode(std::exchange(wire, QByteArray())); }
  // Back to headers, for a capture that ends inside a stream.
  void ResyncDecoder() {
    decoder.framing.ResetParser();
    decoder.data = false;
  }
  // Lets the processor timer deliver its transmit-empty calls until the output stops growing.
  void Drain() {
    for (int idle = 0; idle < 20;) {
      const auto before = wire.size();
      ProcessEventsFor(5);
      idle = wire.size() == before ? idle + 1 : 0;
    }
  }

  QByteArray wire;
  WireDecoder decoder;
  std::vector<TzAbortType> aborts;
  QStringList errors;
  int successes = 0;
  // Last, so that it is destroyed first: its destructor may still send and report.
  TqxZModem zm;
};

QByteArray FileInfo(const QByteArray& name, const QByteArray& rest) { return name + '\0' + rest + '\0'; }

class ZModemTest : public ::testing::Test {
protected:
  QString Path(const QString& name) const { return dir.filePath(name); }
  QTemporaryDir dir;
  FrameBuilder peer;
};

// --- Receiving ---

TEST_F(ZModemTest, SessionStartNeedsTheStartCommand) {
  Engine rx;
  EXPECT_FALSE(rx.Feed(peer.Hex(ZRQINIT, 0)));
  EXPECT_TRUE(rx.wire.isEmpty());
  EXPECT_FALSE(rx.Feed("rz"));
  EXPECT_TRUE(rx.Feed("\r")) << "the start command's last byte is the session's";
  EXPECT_TRUE(rx.Feed(peer.Hex(ZRQINIT, 0)));
  EXPECT_EQ(rx.wire, QByteArray("**\x18" "B0100000023" "be50\r\x8a\x11"));
  EXPECT_EQ(rx.zm.Role(), TqxZModem::zrReceiving);

  Engine without;
  without.zm.SetOptions({zoWithoutRZ});
  EXPECT_TRUE(without.Feed(peer.Hex(ZRQINIT, 0)));
  EXPECT_EQ(without.Sent(), QStringList{"H1:587202560"});  // ZRINIT, ZF0 = CANFDX | CANOVIO | CANFC32
}

TEST_F(ZModemTest, BeginReceiveAnnouncesTheReceiver) {
  Engine rx;
  ASSERT_TRUE(rx.zm.BeginReceive());
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  EXPECT_EQ(rx.zm.Role(), TqxZModem::zrReceiving);
  EXPECT_FALSE(rx.zm.BeginReceive()) << "a session runs";
  // A sender that starts only now is answered as usual, and its file is taken.
  EXPECT_TRUE(rx.Feed("rz\r" + peer.Hex(ZRQINIT, 0)));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  rx.zm.SetDefaultPath(dir.path());
  rx.Feed(peer.BinFlags(ZFILE, ZCBIN) + peer.Block(FileInfo("late.bin", "3 0 0 0 1 3"), ZCRCW));
  EXPECT_EQ(rx.Sent(), QStringList{"H9:0"});
  // Unanswered, it asks again and finally gives up.
  Engine lonely;
  lonely.zm.SetTimeOut(20);
  lonely.zm.SetTimeOutRetries(1);
  ASSERT_TRUE(lonely.zm.BeginReceive());
  ASSERT_TRUE(ProcessEventsUntil([&] { return !lonely.aborts.empty(); }, 5000));
  EXPECT_EQ(lonely.aborts, std::vector<TzAbortType>{zeByTimeOut});
  EXPECT_EQ(lonely.Sent().mid(0, 2), (QStringList{"H1:587202560", "H1:587202560"}));

  Engine inactive;
  inactive.zm.SetActive(false);
  EXPECT_FALSE(inactive.zm.BeginReceive());
  EXPECT_TRUE(inactive.wire.isEmpty());

  TqxZModem unopened;
  unopened.SetActive(true);
  TqxCommHandle line;
  line.SetDataProcessor(&unopened);
  EXPECT_FALSE(unopened.BeginReceive()) << "the line is closed";
  EXPECT_EQ(unopened.Role(), TqxZModem::zrIdle);
}

TEST_F(ZModemTest, ReceivesAFileAndSetsItsTime) {
  Engine rx;
  rx.zm.SetDefaultPath("  " + dir.path() + "  ");
  QStringList received;
  rx.zm.OnAfterFileReceived = [&](QObject*, const QString& name) { received << name; };
  rx.Feed("rz\r" + peer.Hex(ZRQINIT, 0) + peer.BinFlags(ZFILE, ZCBIN));
  rx.Sent();
  rx.Feed(peer.Block(FileInfo("dir\\sub\\test.txt", "120 " + QByteArray::number(1700000000, 8) + " 100644 0 1 120"),
                     ZCRCW));
  EXPECT_EQ(rx.zm.DefaultPath(), dir.path() + "/");
  EXPECT_EQ(rx.Sent(), QStringList{"H9:0"});  // ZRPOS 0
  const QByteArray data = Pattern(120);
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block(data.left(100), ZCRCG));
  EXPECT_TRUE(rx.wire.isEmpty());  // ZCRCG is not answered
  rx.Feed(peer.Block(data.mid(100), ZCRCW));
  EXPECT_EQ(rx.Sent(), QStringList{"H3:120"});  // ZACK with the new position
  rx.Feed(peer.Bin(ZEOF, 120));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  // The session's last header, line end included, and the sender's "OO" stay out of the
  // terminal; what follows is shown.
  EXPECT_TRUE(rx.Feed(peer.Hex(ZFIN, 0)));
  EXPECT_EQ(rx.Sent(), QStringList{"H8:0"});
  EXPECT_TRUE(rx.Feed("OO"));
  EXPECT_FALSE(rx.Feed("OK"));
  EXPECT_EQ(ReadAll(Path("test.txt")), data);
  EXPECT_EQ(QFileInfo(Path("test.txt")).lastModified().toSecsSinceEpoch(), 1700000000);
  EXPECT_EQ(received, QStringList{Path("test.txt")});
  EXPECT_EQ(rx.successes, 1);
  EXPECT_EQ(rx.zm.Role(), TqxZModem::zrIdle);
}

// Offers one file named `name` (announced size `size`) and returns what the engine answered.
QStringList Offer(Engine& rx, FrameBuilder& peer, const QByteArray& name, int size, std::uint8_t zf0 = ZCBIN) {
  rx.Feed("rz\r" + peer.Hex(ZRQINIT, 0) + peer.BinFlags(ZFILE, zf0));
  rx.Sent();
  rx.Feed(peer.Block(FileInfo(name, QByteArray::number(size) + " 0 0 0 1 0"), ZCRCW));
  return rx.Sent();
}

// Offers one more file in the session that Offer began.
QStringList NextOffer(Engine& rx, FrameBuilder& peer, const QByteArray& name, int size) {
  rx.Feed(peer.BinFlags(ZFILE, ZCBIN));
  rx.Feed(peer.Block(FileInfo(name, QByteArray::number(size) + " 0 0 0 1 0"), ZCRCW));
  return rx.Sent();
}

TEST_F(ZModemTest, NamingRules) {
  WriteTestFile(Path("a.txt"), "old");
  WriteTestFile(Path("a0.txt"), "old");
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  EXPECT_EQ(Offer(rx, peer, "a.txt", 3), QStringList{"H9:0"});
  EXPECT_EQ(rx.zm.FileName(), Path("a1.txt"));
  rx.zm.Abort();

  // Without renaming or overwriting the existing file is skipped; the batch goes on.
  Engine strict;
  strict.zm.SetDefaultPath(dir.path());
  strict.zm.SetOptions({});
  EXPECT_EQ(Offer(strict, peer, "a.txt", 3), QStringList{"H5:0"});
  ASSERT_EQ(strict.errors.size(), 1);
  EXPECT_TRUE(strict.errors[0].startsWith("3,1 The receiving file")) << strict.errors[0].toStdString();
  EXPECT_TRUE(strict.aborts.empty());
  EXPECT_EQ(ReadAll(Path("a.txt")), "old");
  EXPECT_EQ(NextOffer(strict, peer, "b.txt", 3), QStringList{"H9:0"});
  EXPECT_EQ(strict.zm.FileName(), Path("b.txt"));

  Engine overwrite;
  overwrite.zm.SetDefaultPath(dir.path());
  overwrite.zm.SetOptions({zoOverwrite});
  EXPECT_EQ(Offer(overwrite, peer, "a.txt", 3), QStringList{"H9:0"});
  EXPECT_EQ(overwrite.zm.FileName(), Path("a.txt"));
}

TEST_F(ZModemTest, RefusedNamesNeverLeaveTheFolder) {
  for (const QByteArray& name : {QByteArray(".."), QByteArray("x/.."), QByteArray("c:"), QByteArray("")}) {
    Engine rx;
    rx.zm.SetDefaultPath(dir.path());
    EXPECT_EQ(Offer(rx, peer, name, 3), QStringList{"H5:0"}) << name.constData();  // ZSKIP
  }
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  EXPECT_EQ(Offer(rx, peer, "../../escape.txt", 3), QStringList{"H9:0"});
  EXPECT_EQ(rx.zm.FileName(), Path("escape.txt"));
}

TEST_F(ZModemTest, SkipByHandler) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  rx.zm.OnBeforeReceived = [](QObject*, QString&, bool& skip) { skip = true; };
  EXPECT_EQ(Offer(rx, peer, "skipped.txt", 3), QStringList{"H5:0"});
  EXPECT_FALSE(QFile::exists(Path("skipped.txt")));
  EXPECT_EQ(rx.zm.State(), zsWaitFile);
}

TEST_F(ZModemTest, ResumesAShorterFile) {
  const QByteArray data = Pattern(250);
  WriteTestFile(Path("r.bin"), data.left(100));
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  EXPECT_EQ(Offer(rx, peer, "r.bin", 250, ZCRESUM), QStringList{"H9:100"});
  rx.Feed(peer.Bin(ZDATA, 100) + peer.Block(data.mid(100), ZCRCE) + peer.Bin(ZEOF, 250));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  EXPECT_EQ(ReadAll(Path("r.bin")), data);

  // A file as long as the announced size is not resumed: the naming rules apply.
  Engine again;
  again.zm.SetDefaultPath(dir.path());
  EXPECT_EQ(Offer(again, peer, "r.bin", 250, ZCRESUM), QStringList{"H9:0"});
  EXPECT_EQ(again.zm.FileName(), Path("r0.bin"));
}

TEST_F(ZModemTest, DataOnTheWayToTheEnd) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  Offer(rx, peer, "q.bin", 300);
  const QByteArray data = Pattern(300);
  // ZCRCQ asks for an acknowledgement without a pause in the data.
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block(data.left(100), ZCRCQ));
  EXPECT_EQ(rx.Sent(), QStringList{"H3:100"});
  // A ZEOF beyond the data received is not the end: more data come.
  rx.Feed(peer.Block(data.mid(100, 100), ZCRCE) + peer.Bin(ZEOF, 300));
  EXPECT_TRUE(rx.wire.isEmpty());
  EXPECT_EQ(rx.zm.State(), zsReceiveData);
  rx.Feed(peer.Block(data.mid(200), ZCRCE) + peer.Bin(ZEOF, 300));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  EXPECT_EQ(ReadAll(Path("q.bin")), data);
}

TEST_F(ZModemTest, BadCrcAsksForTheDataAgainAndDropsTheChunk) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  int crcEvents = 0;
  rx.zm.OnCRCError = [&](QObject*) { ++crcEvents; };
  Offer(rx, peer, "c.bin", 200);
  const QByteArray data = Pattern(200);
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block(data.left(100), ZCRCG));
  QByteArray bad = peer.Block(data.mid(100), ZCRCG);
  bad[3] = char(bad[3] ^ 0x20);
  rx.Feed(bad + peer.Block("never written", ZCRCW));
  EXPECT_EQ(rx.Sent(), QStringList{"H9:100"});
  EXPECT_EQ(crcEvents, 1);
  rx.Feed(peer.Bin(ZDATA, 100) + peer.Block(data.mid(100), ZCRCE) + peer.Bin(ZEOF, 200));
  EXPECT_EQ(ReadAll(Path("c.bin")), data);
}

TEST_F(ZModemTest, ZDataAtAnotherOffsetIsAskedForAgain) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  Offer(rx, peer, "o.bin", 200);
  const QByteArray data = Pattern(200);
  rx.Feed(peer.Bin(ZDATA, 50) + peer.Block(data.mid(50), ZCRCE));
  EXPECT_EQ(rx.Sent(), QStringList{"H9:0"});
  EXPECT_TRUE(rx.aborts.empty());
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block(data, ZCRCE) + peer.Bin(ZEOF, 200));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  EXPECT_EQ(ReadAll(Path("o.bin")), data);
}

TEST_F(ZModemTest, CancelFromTheRemoteSide) {
  Engine rx;
  rx.Feed("rz\r" + peer.Hex(ZRQINIT, 0));
  rx.Feed(QByteArray(4, 0x18) + "x");
  EXPECT_TRUE(rx.aborts.empty());
  rx.Feed(QByteArray(5, 0x18));
  EXPECT_EQ(rx.aborts, std::vector<TzAbortType>{zeByRemote});
  EXPECT_EQ(rx.zm.Role(), TqxZModem::zrIdle);
}

TEST_F(ZModemTest, Challenge) {
  Engine rx;
  rx.zm.SetOptions({zoChallenge});
  rx.Feed("rz\r" + peer.Hex(ZRQINIT, 0));
  const QStringList sent = rx.Sent();
  ASSERT_EQ(sent.size(), 1);
  ASSERT_TRUE(sent[0].startsWith("H14:"));
  const std::uint32_t value = sent[0].mid(4).toUInt();
  EXPECT_NE(value, 0u);
  rx.Feed(peer.Hex(ZACK, value));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});

  Engine wrong;
  wrong.zm.SetOptions({zoChallenge});
  wrong.Feed("rz\r" + peer.Hex(ZRQINIT, 0));
  wrong.Sent();
  wrong.Feed(peer.Hex(ZACK, 12345));
  EXPECT_EQ(wrong.Sent(), QStringList{"CAN"});
  // The end of the session is told like any other abort.
  EXPECT_EQ(wrong.aborts, std::vector<TzAbortType>{zeByUnknown});
  EXPECT_EQ(wrong.zm.Role(), TqxZModem::zrIdle);
}

// No received byte lands outside the folder: a name that stands for a symbolic link (dangling
// or not), or for a file with other names, is renamed by the naming rules or skipped, never
// written through.
TEST_F(ZModemTest, LinksInTheFolderAreNeverWrittenThrough) {
  struct Case {
    const char* name;
    TzModemOptions options;
    std::uint8_t zf0;
    const char* answer;
    const char* receivedAs;  // nullptr: skipped
  };
  const Case cases[] = {
      {"link, overwrite", {zoOverwrite}, ZCBIN, "H5:0", nullptr},
      {"link, resume", {zoResuming}, ZCRESUM, "H5:0", nullptr},
      {"link, renamed", {zoCreateWithNewName, zoOverwrite}, ZCBIN, "H9:0", "a0.txt"},
      {"dangling link, overwrite", {zoOverwrite}, ZCBIN, "H5:0", nullptr},
      {"dangling link as the new name", {zoCreateWithNewName}, ZCBIN, "H9:0", "a1.txt"},
      {"hard link, overwrite", {zoOverwrite}, ZCBIN, "H5:0", nullptr},
      {"hard link, resume", {zoResuming}, ZCRESUM, "H5:0", nullptr},
  };
  for (const Case& c : cases) {
    const QString label = QString::fromLatin1(c.name);
    const QString in = dir.filePath(label);
    ASSERT_TRUE(QDir().mkpath(in));
    const QString outside = dir.filePath(label + ".outside");
    WriteTestFile(outside, "secret");
    const QString missing = dir.filePath(label + ".missing");
    if (label.startsWith("link")) {
      ASSERT_TRUE(QFile::link(outside, in + "/a.txt"));
    } else if (label.startsWith("hard")) {
      ASSERT_EQ(::link(outside.toLocal8Bit(), (in + "/a.txt").toLocal8Bit()), 0);
    } else if (label == "dangling link, overwrite") {
      ASSERT_TRUE(QFile::link(missing, in + "/a.txt"));
    }
    if (label == "dangling link as the new name") {
      WriteTestFile(in + "/a.txt", "old");
      ASSERT_TRUE(QFile::link(missing, in + "/a0.txt"));
    }
    Engine rx;
    rx.zm.SetDefaultPath(in);
    rx.zm.SetOptions(c.options);
    EXPECT_EQ(Offer(rx, peer, "a.txt", 100, c.zf0), QStringList{c.answer}) << c.name;
    if (c.receivedAs != nullptr) {
      EXPECT_EQ(rx.zm.FileName(), in + "/" + c.receivedAs) << c.name;
      rx.Feed(peer.Bin(ZDATA, 0) + peer.Block("new data", ZCRCE) + peer.Bin(ZEOF, 8));
      EXPECT_EQ(ReadAll(in + "/" + c.receivedAs), "new data") << c.name;
    } else {
      EXPECT_TRUE(rx.aborts.empty()) << c.name;
      EXPECT_EQ(rx.zm.State(), zsWaitFile) << c.name;
    }
    EXPECT_EQ(ReadAll(outside), "secret") << c.name;
    EXPECT_FALSE(QFileInfo::exists(missing)) << c.name;
  }
}

// A file this side cannot take (a name the file system refuses, one that exists without
// renaming) is skipped with a reason; the session goes on with the next file.
TEST_F(ZModemTest, RefusedFileIsSkippedAndTheBatchGoesOn) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  RecordingLog log;
  rx.zm.SetLog(&log);
  EXPECT_EQ(Offer(rx, peer, QByteArray(300, 'n'), 10), QStringList{"H5:0"});
  ASSERT_EQ(rx.errors.size(), 1);
  EXPECT_TRUE(rx.errors[0].startsWith("3,3 Error create receiving file")) << rx.errors[0].toStdString();
  EXPECT_TRUE(log.entries.filter("too long").size() == 1) << log.entries.join('\n').toStdString();
  EXPECT_EQ(NextOffer(rx, peer, "fits.txt", 4), QStringList{"H9:0"});
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block("data", ZCRCE) + peer.Bin(ZEOF, 4));
  rx.Feed(peer.Hex(ZFIN, 0));
  EXPECT_EQ(rx.Sent(), (QStringList{"H1:587202560", "H8:0"}));
  EXPECT_EQ(ReadAll(Path("fits.txt")), "data");
  EXPECT_EQ(rx.successes, 1);
  EXPECT_TRUE(rx.aborts.empty());
}

// A sender that missed our ZRINIT after its end of file repeats ZEOF: it is answered again, and
// the rest of the batch still arrives.
TEST_F(ZModemTest, RepeatedEndOfFileIsAnsweredAgain) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  Offer(rx, peer, "first.bin", 5);
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block("12345", ZCRCE) + peer.Bin(ZEOF, 5));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  rx.Feed(peer.Bin(ZEOF, 5));
  EXPECT_EQ(rx.Sent(), QStringList{"H1:587202560"});
  EXPECT_EQ(rx.zm.Role(), TqxZModem::zrReceiving);
  EXPECT_EQ(rx.successes, 0);
  EXPECT_EQ(NextOffer(rx, peer, "second.bin", 3), QStringList{"H9:0"});
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block("abc", ZCRCE) + peer.Bin(ZEOF, 3) + peer.Hex(ZFIN, 0));
  EXPECT_EQ(ReadAll(Path("second.bin")), "abc");
  EXPECT_EQ(rx.successes, 1);
}

// ErrorLimit bounds the CRC errors since the file last moved on, not those of the whole session.
TEST_F(ZModemTest, CrcErrorsCountSinceTheFileLastMoved) {
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  rx.zm.SetErrorLimit(2);
  Offer(rx, peer, "long.bin", 1000);
  const QByteArray data = Pattern(1000);
  rx.Feed(peer.Bin(ZDATA, 0));
  for (int at = 0; at < 1000; at += 100) {
    // Two bad copies of each block, then the good one: six errors in all, never three in a row.
    for (int bad = 0; bad < 2; ++bad) {
      QByteArray spoilt = peer.Block(data.mid(at, 100), ZCRCG);
      spoilt[10] = char(spoilt[10] ^ 0x04);
      rx.Feed(spoilt);
      rx.Feed(peer.Bin(ZDATA, std::uint32_t(at)));
    }
    rx.Feed(peer.Block(data.mid(at, 100), ZCRCG));
  }
  rx.Feed(peer.Bin(ZEOF, 1000));
  EXPECT_TRUE(rx.aborts.empty());
  EXPECT_EQ(ReadAll(Path("long.bin")), data);

  // A line that makes no progress still ends the session.
  Engine stuck;
  stuck.zm.SetDefaultPath(dir.path());
  stuck.zm.SetErrorLimit(2);
  Offer(stuck, peer, "stuck.bin", 100);
  stuck.Feed(peer.Bin(ZDATA, 0));
  for (int bad = 0; bad < 3 && stuck.aborts.empty(); ++bad) {
    QByteArray spoilt = peer.Block(data.left(100), ZCRCG);
    spoilt[10] = char(spoilt[10] ^ 0x04);
    stuck.Feed(spoilt);
    stuck.Feed(peer.Bin(ZDATA, 0));
  }
  EXPECT_EQ(stuck.aborts, std::vector<TzAbortType>{zeByBadCRC});
}

// Received names reach the log and the messages with their control characters replaced.
TEST_F(ZModemTest, NamesAreShownWithoutControlCharacters) {
  struct Case { QString text; QString shown; };
  const Case cases[] = {
      {QStringLiteral("plain.txt"), QStringLiteral("plain.txt")},
      {QStringLiteral("a\x1b[2Jb"), QStringLiteral("a?[2Jb")},
      {QStringLiteral("bell\a\r\n"), QStringLiteral("bell???")},
      {QString(QChar(0x9B)) + "31m", QStringLiteral("?31m")},
      {QStringLiteral("caf\u00e9 d\u00e9j\u00e0"), QStringLiteral("caf\u00e9 d\u00e9j\u00e0")},
  };
  for (const Case& c : cases) EXPECT_EQ(PrintableText(c.text), c.shown) << c.text.toStdString();

  WriteTestFile(Path("x\x1b]0;owned\x07.txt"), "old");
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  rx.zm.SetOptions({});
  RecordingLog log;
  rx.zm.SetLog(&log);
  EXPECT_EQ(Offer(rx, peer, "x\x1b]0;owned\x07.txt", 3), QStringList{"H5:0"});
  ASSERT_EQ(rx.errors.size(), 1);
  for (const QString& text : log.entries + rx.errors) {
    EXPECT_FALSE(text.contains(QChar(0x1b))) << text.toStdString();
    EXPECT_FALSE(text.contains(QChar(0x07))) << text.toStdString();
  }
  EXPECT_TRUE(rx.errors[0].contains("x?]0;owned?.txt")) << rx.errors[0].toStdString();
}

// The size field: its decimal digits, as the protocol gives them; without any, the size is unknown.
TEST_F(ZModemTest, SizeFieldIsReadAsDigits) {
  struct Case { QByteArray field; int size; };
  const Case cases[] = {
      {"120", 120}, {"120abc", 120}, {"", 0}, {"abc", 0}, {"-5", 0}, {"99999999999", 0}, {"4294967295", INT_MAX},
  };
  for (const Case& c : cases) {
    Engine rx;
    rx.zm.SetDefaultPath(dir.path());
    QProgressBar bar;
    rx.zm.SetProgressBar(&bar);
    rx.Feed("rz\r" + peer.Hex(ZRQINIT, 0) + peer.BinFlags(ZFILE, ZCBIN));
    rx.Feed(peer.Block(FileInfo("size" + QByteArray::number(&c - cases) + ".bin", c.field + " 0 0 0 1 0"), ZCRCW));
    EXPECT_EQ(bar.maximum(), c.size) << c.field.constData();
    rx.zm.Abort();
  }
}

// A write beyond the file size limit (ulimit -f) is a write error: abort, cancel sent, message.
TEST_F(ZModemTest, WriteFailureAbortsWithAnError) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  Engine rx;
  rx.zm.SetDefaultPath(dir.path());
  Offer(rx, peer, "limited.bin", 100);
  rx.Sent();
  const rlimit limit{50, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  rx.Feed(peer.Bin(ZDATA, 0) + peer.Block(Pattern(100), ZCRCW));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(rx.aborts, std::vector<TzAbortType>{zeByMe});
  EXPECT_EQ(rx.Sent(), QStringList{"CAN"});
  ASSERT_EQ(rx.errors.size(), 1);
  EXPECT_TRUE(rx.errors[0].startsWith("3,6 ")) << rx.errors[0].toStdString();
  EXPECT_EQ(rx.successes, 0);
}

// --- Sending ---

TEST_F(ZModemTest, SessionStartAndFileInformation) {
  WriteTestFile(Path("Report.TXT"), QByteArray(1000, 'r'));
  QFile report(Path("Report.TXT"));
  ASSERT_TRUE(report.open(QIODevice::ReadWrite));
  ASSERT_TRUE(report.setFileTime(QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC), QFileDevice::FileModificationTime));
  report.close();
  Engine tx;
  tx.zm.SendFile(Path("Report.TXT"));
  ASSERT_TRUE(tx.wire.startsWith("rz\r**\x18" "B00000000000000\r\x8a\x11")) << tx.wire.toStdString();
  tx.wire.clear();
  tx.Feed(peer.HexFlags(ZRINIT, CANFDX | CANOVIO));
  const QByteArray info = FileInfo("Report.TXT", "1000 " + QByteArray::number(1700000000, 8) + " 0 0 1 1000");
  EXPECT_EQ(tx.Sent(), (QStringList{QStringLiteral("H4:%1").arg(ZCRESUM << 24), QStringLiteral("D%1k").arg(info.size())}));
  EXPECT_EQ(tx.decoder.lastBlock, info);

  Engine without;
  without.zm.SetOptions({zoWithoutRZ});
  without.zm.SendFile(Path("Report.TXT"));
  EXPECT_TRUE(without.wire.startsWith("**\x18" "B0000"));
}

TEST_F(ZModemTest, StreamOfA3000ByteFile) {
  WriteTestFile(Path("s.bin"), Pattern(3000));
  Engine tx;
  tx.zm.SendFile(Path("s.bin"));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  tx.Sent();
  tx.Feed(peer.Hex(ZRPOS, 0));
  tx.Drain();
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:0", "D1024i", "D1024i", "D952h", "D0h", "H11:3000"}));
  EXPECT_TRUE(tx.zm.QueuedFiles().isEmpty());
  EXPECT_EQ(tx.zm.State(), zsWaitEofAnswer);
}

TEST_F(ZModemTest, SegmentModeWaitsForEachAck) {
  WriteTestFile(Path("s.bin"), Pattern(3000));
  Engine tx;
  tx.zm.SetOptions({zoSegmentTransfer});
  tx.zm.SendFile(Path("s.bin"));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  tx.Sent();
  tx.Feed(peer.Hex(ZRPOS, 0));
  tx.Drain();
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:0", "D1024k"}));
  tx.Feed(peer.Hex(ZACK, 1024));
  tx.Drain();
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:1024", "D1024k"}));
  tx.Feed(peer.Hex(ZACK, 2048));
  tx.Drain();
  // The last block needs no acknowledgement: the end of file follows.
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:2048", "D952h", "D0h", "H11:3000"}));
}

// A receiver that announces a buffer gets no more than that before it has answered: the frame
// ends with ZCRCW where the buffer is full, and the sender waits for the ZACK. One that cannot
// talk while it receives (no CANFDX) gets its turn after every block here, where there is no
// transmit queue to measure a window by.
TEST_F(ZModemTest, ReceiverBufferAndHalfDuplexGetWindows) {
  struct Case {
    const char* name;
    std::uint32_t zrinit;  // P0..P3 of the receiver's ZRINIT: buffer size, then ZF0
    std::vector<std::pair<std::uint32_t, QStringList>> exchange;  // ZACK position, what follows
  };
  const Case cases[] = {
      {"buffer of 2048", 0x03000800u,
       {{0, {"H10:0", "D1024i", "D1024k"}},
        {2048, {"H10:2048", "D1024i", "D1024k"}},
        {4096, {"H10:4096", "D904h", "D0h", "H11:5000"}}}},
      {"buffer of 600", 0x03000258u,
       {{0, {"H10:0", "D600k"}}, {600, {"H10:600", "D600k"}}}},
      {"half duplex", 0x02000000u,
       {{0, {"H10:0", "D1024k"}}, {1024, {"H10:1024", "D1024k"}}}},
  };
  WriteTestFile(Path("w.bin"), Pattern(5000));
  for (const Case& c : cases) {
    Engine tx;
    tx.zm.SendFile(Path("w.bin"));
    tx.Feed(peer.Hex(ZRINIT, c.zrinit));
    tx.Sent();
    for (const auto& [ack, expected] : c.exchange) {
      tx.ResyncDecoder();
      tx.Feed(ack == 0 ? peer.Hex(ZRPOS, 0) : peer.Hex(ZACK, ack));
      tx.Drain();
      EXPECT_EQ(tx.Sent(), expected) << c.name << " after " << ack;
    }
    EXPECT_TRUE(tx.aborts.empty()) << c.name;
  }
}

// The block after a ZRPOS waits for its ZACK; when the answer is lost, the time-out sends the
// block again rather than ending the session. Both repeats are bounded by TimeOutRetries.
TEST_F(ZModemTest, RepositionInMidStream) {
  WriteTestFile(Path("s.bin"), Pattern(3000));
  Engine tx;
  tx.zm.SetTimeOut(40);
  tx.zm.SendFile(Path("s.bin"));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  tx.Feed(peer.Hex(ZRPOS, 0));
  tx.Sent();
  tx.ResyncDecoder();
  tx.Feed(peer.Hex(ZRPOS, 1024));
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:1024", "D1024k"}));
  EXPECT_EQ(tx.zm.State(), zsWaitAck);
  tx.ResyncDecoder();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !tx.wire.isEmpty(); }, 2000));
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:1024", "D1024k"}));
  EXPECT_TRUE(tx.aborts.empty());
  tx.ResyncDecoder();
  tx.Feed(peer.Hex(ZACK, 2048));
  // The end of file is repeated at each time-out, as often as TimeOutRetries allows (3), and a
  // receiver that answers none ends the session.
  ASSERT_TRUE(ProcessEventsUntil([&] { return !tx.aborts.empty(); }, 5000));
  const QStringList sent = tx.Sent();
  EXPECT_EQ(sent.mid(0, 4), (QStringList{"H10:2048", "D952h", "D0h", "H11:3000"}));
  EXPECT_EQ(sent.count("H11:3000"), 4);
  EXPECT_EQ(tx.aborts, std::vector<TzAbortType>{zeByTimeOut});
}

TEST_F(ZModemTest, EmptyFileDoesNotStall) {
  WriteTestFile(Path("empty"), QByteArray());
  Engine tx;
  tx.zm.SendFile(Path("empty"));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  tx.Sent();
  tx.Feed(peer.Hex(ZRPOS, 0));
  EXPECT_EQ(tx.Sent(), (QStringList{"H10:0", "D0h", "H11:0"}));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  EXPECT_EQ(tx.Sent(), QStringList{"H8:0"});
  EXPECT_EQ(tx.successes, 1);
}

TEST_F(ZModemTest, SkipAndNotWaitFinal) {
  WriteTestFile(Path("a.bin"), "a");
  Engine tx;
  tx.zm.SetOptions({zoNotWaitFinal});
  std::vector<std::pair<QString, bool>> sentEvents;
  tx.zm.OnAfterFileSent = [&](QObject*, const QString& name, bool complete) { sentEvents.emplace_back(name, complete); };
  tx.zm.SendFile(Path("a.bin"));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  tx.Sent();
  tx.Feed(peer.Hex(ZSKIP, 0));
  ASSERT_EQ(sentEvents.size(), 1u);
  EXPECT_FALSE(sentEvents[0].second);
  EXPECT_EQ(tx.Sent(), QStringList{"H8:0"});
  // A ZSKIP without a file on offer changes nothing.
  Engine idle;
  idle.Feed(peer.Hex(ZSKIP, 0));
  EXPECT_TRUE(idle.wire.isEmpty());
}

TEST_F(ZModemTest, ReceiverAskingForEscapedControls) {
  WriteTestFile(Path("ctl.bin"), Bytes({0x01, 0x0D, 0x10, 0x90, 0xFF}));
  Engine tx;
  tx.zm.SendFile(Path("ctl.bin"));
  tx.Sent();
  tx.Feed(peer.HexFlags(ZRINIT, CANFDX | CANOVIO | ESCCTL));
  // ZSINIT first, saying that control characters come escaped (TESCCTL).
  EXPECT_EQ(tx.Sent(), (QStringList{QStringLiteral("H2:%1").arg(TESCCTL << 24), "D32k"}));
  tx.Feed(peer.Hex(ZACK, 0));
  tx.Sent();
  tx.Feed(peer.Hex(ZRPOS, 0));
  const QByteArray wire = tx.wire;
  for (const int raw : {0x01, 0x0D, 0x10, 0x90}) EXPECT_FALSE(wire.contains(char(raw))) << raw;
  EXPECT_TRUE(wire.contains(Bytes({0x18, 0x6D})));
}

TEST_F(ZModemTest, SendFileQueue) {
  WriteTestFile(Path("a.txt"), "aa");
  WriteTestFile(Path("b.txt"), "bbb");
  QDir(dir.path()).mkdir("sub");
  Engine tx;
  tx.zm.SendFile(Path("a.txt") + ";" + Path("b.txt"));
  EXPECT_EQ(tx.zm.QueuedFiles(), (QStringList{Path("a.txt"), Path("b.txt")}));
  EXPECT_EQ(tx.zm.TotalBytes(), 5u);
  tx.zm.SendFile(Path("a.txt") + ", " + Path("b.txt"));
  EXPECT_EQ(tx.zm.QueuedFiles(), QStringList{Path("a.txt")});
  tx.zm.SendFile(Path("none/*.x") + "\n" + Path("*.*"));
  QStringList queued = tx.zm.QueuedFiles();
  queued.sort();
  EXPECT_EQ(queued, (QStringList{Path("a.txt"), Path("b.txt")}));  // no directories
}

TEST_F(ZModemTest, SendFileRefusals) {
  WriteTestFile(Path("a.txt"), "a");
  Engine inactive;
  inactive.zm.SetActive(false);
  inactive.zm.SendFile(Path("a.txt"));
  Engine noDevice;
  noDevice.zm.OnDataSend = nullptr;
  noDevice.zm.SendFile(Path("a.txt"));
  Engine nothing;
  nothing.zm.SendFile(Path("missing*"));
  Engine receiving;
  receiving.Feed("rz\r");
  receiving.zm.SendFile(Path("a.txt"));
  EXPECT_EQ(inactive.errors, QStringList{"3,4 The TqxZmodem service is not active."});
  EXPECT_EQ(noDevice.errors, QStringList{"3,9 The TqxZmodem has not a communication device."});
  EXPECT_EQ(nothing.errors, QStringList{"3,5 There are NO files for transmission!!!"});
  ASSERT_EQ(receiving.errors.size(), 1);
  EXPECT_TRUE(receiving.errors[0].startsWith("3,5 TqxZModem is receiving"));
  // A refused SendFile starts no session and sends nothing; the receiving one goes on as it was.
  for (Engine* e : {&inactive, &noDevice, &nothing}) {
    EXPECT_EQ(e->zm.Role(), TqxZModem::zrIdle);
    EXPECT_TRUE(e->zm.QueuedFiles().isEmpty());
    EXPECT_TRUE(e->wire.isEmpty());
  }
  EXPECT_EQ(receiving.zm.Role(), TqxZModem::zrReceiving);
  EXPECT_TRUE(receiving.wire.isEmpty());

  // Without a handler that declines it the error is raised.
  Engine raising;
  raising.zm.OnFatalError = nullptr;
  EXPECT_THROW(raising.zm.SendFile(Path("missing*")), Exception);
}

// --- Time-outs, aborts, the medium ---

TEST_F(ZModemTest, TimeOutsRepeatThenAbort) {
  WriteTestFile(Path("a.txt"), "a");
  Engine tx;
  tx.zm.SetTimeOut(20);
  int timeOuts = 0;
  tx.zm.OnTimeOut = [&](QObject*) { ++timeOuts; };
  tx.zm.SendFile(Path("a.txt"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !tx.aborts.empty(); }));
  EXPECT_EQ(tx.aborts, std::vector<TzAbortType>{zeByTimeOut});
  EXPECT_EQ(timeOuts, 3);
  EXPECT_EQ(tx.wire.count("rz\r"), 4);

  Engine zero;
  zero.zm.SetTimeOut(20);
  zero.zm.SetTimeOutRetries(0);
  zero.zm.SendFile(Path("a.txt"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !zero.aborts.empty(); }));
  EXPECT_EQ(zero.wire.count("rz\r"), 1);
}

// A receiver that stops reading stops the stream: that is a time-out like any other. A stream
// that keeps moving never times out, however long it runs.
TEST_F(ZModemTest, StreamThatStopsMovingTimesOut) {
  WriteTestFile(Path("big.bin"), Pattern(60 * 1024));
  Engine tx;
  tx.zm.SetTimeOut(100);
  tx.zm.SetTimeOutRetries(1);
  int timeOuts = 0;
  tx.zm.OnTimeOut = [&](QObject*) { ++timeOuts; };
  tx.zm.Timer().SetInterval(5);  // the line takes a block every 5 ms
  tx.zm.SendFile(Path("big.bin"));
  tx.Feed(peer.HexFlags(ZRINIT, 3));
  tx.Feed(peer.Hex(ZRPOS, 0));
  ASSERT_TRUE(ProcessEventsUntil([&] { return tx.zm.State() == zsWaitEofAnswer || !tx.aborts.empty(); }));
  EXPECT_TRUE(tx.aborts.empty());
  EXPECT_EQ(timeOuts, 0);

  Engine stalled;
  stalled.zm.SetTimeOut(20);
  stalled.zm.SetTimeOutRetries(2);
  int stalledTimeOuts = 0;
  stalled.zm.OnTimeOut = [&](QObject*) { ++stalledTimeOuts; };
  stalled.zm.Timer().SetInterval(600000);  // the line takes nothing after the first block
  stalled.zm.SendFile(Path("big.bin"));
  stalled.Feed(peer.HexFlags(ZRINIT, 3));
  stalled.Feed(peer.Hex(ZRPOS, 0));
  ASSERT_EQ(stalled.zm.State(), zsStreaming);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !stalled.aborts.empty(); }));
  EXPECT_EQ(stalled.aborts, std::vector<TzAbortType>{zeByTimeOut});
  EXPECT_EQ(stalledTimeOuts, 2);
  EXPECT_TRUE(stalled.Sent().endsWith("CAN"));
}

// Waiting for the ZACK to ZSINIT, for the answer to a challenge or for the ZSINIT subpacket, a
// time-out repeats what was asked and counts, as everywhere else; then the session ends.
TEST_F(ZModemTest, TimeOutsAfterZSInitAndChallengeRepeatThenAbort) {
  WriteTestFile(Path("a.txt"), "a");
  struct Case { const char* name; QString repeated; };
  const Case cases[] = {
      {"sender waiting for the ZACK to ZSINIT", QStringLiteral("H2:%1").arg(TESCCTL << 24)},
      {"receiver waiting for the answer to its challenge", QStringLiteral("H14:")},
      {"receiver waiting for the ZSINIT subpacket", QStringLiteral("H1:587202560")},
  };
  for (const Case& c : cases) {
    Engine e;
    e.zm.SetTimeOut(20);
    e.zm.SetTimeOutRetries(2);
    int timeOuts = 0;
    e.zm.OnTimeOut = [&](QObject*) { ++timeOuts; };
    const QString name = QString::fromLatin1(c.name);
    if (name.startsWith("sender")) {
      e.zm.SetOptions({zoEscCtrls});
      e.zm.SendFile(Path("a.txt"));
      e.Feed(peer.HexFlags(ZRINIT, 3));
      ASSERT_EQ(e.zm.State(), zsWaitSInitAck) << c.name;
    } else if (name.contains("challenge")) {
      e.zm.SetOptions({zoChallenge});
      e.Feed("rz\r" + peer.Hex(ZRQINIT, 0));
      ASSERT_EQ(e.zm.State(), zsWaitAck) << c.name;
    } else {
      e.Feed("rz\r" + peer.Hex(ZRQINIT, 0) + peer.HexFlags(ZSINIT, 0));
      ASSERT_EQ(e.zm.State(), zsWaitAttention) << c.name;
    }
    const QStringList first = e.Sent();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !e.aborts.empty(); })) << c.name;
    EXPECT_EQ(e.aborts, std::vector<TzAbortType>{zeByTimeOut}) << c.name;
    EXPECT_EQ(timeOuts, 2) << c.name;
    const QStringList later = e.Sent();
    EXPECT_GE(later.filter(c.repeated).size(), 2) << c.name << ": " << later.join(' ').toStdString();
    if (name.contains("challenge")) {
      // The same value each time, so a late answer is still right.
      EXPECT_EQ(later.first(), first.last()) << c.name;
    }
  }
}

// The first reason of a session stands: the remote side's echo of our own cancel fires nothing.
TEST_F(ZModemTest, FirstAbortReasonStands) {
  Engine rx;
  rx.zm.SetOptions({zoWithoutRZ});
  rx.zm.SetErrorLimit(0);
  rx.zm.SetDefaultPath(dir.path());
  rx.Feed(peer.Hex(ZRQINIT, 0) + peer.BinFlags(ZFILE, ZCBIN));
  QByteArray spoilt = peer.Block(FileInfo("x.bin", "1 0 0 0 1 1"), ZCRCW);
  spoilt[2] = char(spoilt[2] ^ 0x01);
  rx.Feed(spoilt);
  ASSERT_EQ(rx.aborts, std::vector<TzAbortType>{zeByBadCRC});
  rx.Feed(QByteArray(8, 0x18) + QByteArray(8, 0x08));
  EXPECT_EQ(rx.aborts, std::vector<TzAbortType>{zeByBadCRC});
  rx.zm.Abort();
  EXPECT_EQ(rx.aborts.size(), 1u);
}

TEST_F(ZModemTest, StartCommandFollowedBySilence) {
  Engine rx;
  rx.zm.SetTimeOut(20);
  rx.Feed("rz\r");
  ASSERT_TRUE(ProcessEventsUntil([&] { return rx.zm.Role() == TqxZModem::zrIdle; }));
  ProcessEventsFor(100);
  EXPECT_TRUE(rx.aborts.empty());
  EXPECT_TRUE(rx.wire.isEmpty());
}

TEST_F(ZModemTest, AbortPaths) {
  // Without a session there is nothing to abort.
  Engine idle;
  idle.zm.Abort();
  EXPECT_TRUE(idle.aborts.empty());
  EXPECT_TRUE(idle.wire.isEmpty());

  Engine busy;
  busy.Feed("rz\r");
  busy.zm.Abort();
  EXPECT_EQ(busy.wire, QByteArray(8, 0x18) + QByteArray(8, 0x08));

  Engine medium;
  medium.Feed("rz\r");
  medium.zm.MediumClosed();
  medium.zm.MediumClosed();
  EXPECT_EQ(medium.aborts, std::vector<TzAbortType>{zeByMedia});
  EXPECT_TRUE(medium.wire.isEmpty());

  QByteArray wire;
  std::vector<TzAbortType> aborts;
  {
    TqxZModem doomed;
    doomed.SetActive(true);
    doomed.OnDataSend = [&](QObject*, const char* b, std::uint32_t n, bool, bool& handled) {
      wire.append(b, n);
      handled = true;
    };
    doomed.OnAbort = [&](QObject*, TzAbortType reason) { aborts.push_back(reason); };
    const QByteArray start("rz\r");
    doomed.DataReceived(start.constData(), 3);
  }
  EXPECT_EQ(aborts, std::vector<TzAbortType>{zeByMe});
  EXPECT_EQ(wire, QByteArray(8, 0x18) + QByteArray(8, 0x08));
}

// --- Two engines ---

// Carries each engine's output to the other on the event loop, optionally spoiling bytes; Fault
// may change what a sends.
class Link {
public:
  using Fault = std::function<void(QByteArray&)>;
  Link(TqxZModem& a, TqxZModem& b, double noise, unsigned seed, Fault fault = {})
      : m_Noise(noise), m_Rng(seed) {
    Connect(a, b, std::move(fault));
    Connect(b, a, {});
  }

private:
  void Connect(TqxZModem& from, TqxZModem& to, Fault fault) {
    from.Timer().SetInterval(1);
    from.OnDataSend = [this, &to, fault](QObject*, const char* b, std::uint32_t n, bool, bool& handled) {
      handled = true;
      QByteArray bytes = Spoil(QByteArray(b, n));
      if (fault) fault(bytes);
      QTimer::singleShot(0, &to, [&to, bytes] { to.DataReceived(bytes.constData(), int(bytes.size())); });
    };
  }
  QByteArray Spoil(QByteArray bytes) {
    if (m_Noise <= 0) return bytes;
    std::uniform_real_distribution<double> chance(0, 1);
    QByteArray out;
    for (const char c : bytes) {
      const double r = chance(m_Rng);
      if (r < m_Noise / 3) continue;                                     // dropped
      if (r < 2 * m_Noise / 3) out.append(char(m_Rng()));               // inserted
      out.append(r < m_Noise ? char(c ^ (1 << (m_Rng() % 8))) : c);     // corrupted
    }
    return out;
  }

  double m_Noise;
  std::mt19937 m_Rng;
};

struct Transfer {
  std::vector<TzAbortType> txAborts, rxAborts;
  int txEnds = 0, rxEnds = 0;
  TqxZModem tx, rx;
  Transfer(const QString& folder, TzModemOptions txOptions, TzModemOptions rxOptions) {
    for (TqxZModem* zm : {&tx, &rx}) {
      zm->SetActive(true);
      zm->SetTimeOut(300);
      zm->SetTimeOutRetries(10);
      zm->OnFatalError = [](QObject*, std::uint32_t, std::uint32_t, const QString&, bool& raise) { raise = false; };
    }
    tx.SetOptions(txOptions);
    rx.SetOptions(rxOptions);
    rx.SetDefaultPath(folder);
    tx.OnAbort = [this](QObject*, TzAbortType r) { txAborts.push_back(r); };
    rx.OnAbort = [this](QObject*, TzAbortType r) { rxAborts.push_back(r); };
    tx.OnSuccessfulEnd = [this](QObject*) { ++txEnds; };
    rx.OnSuccessfulEnd = [this](QObject*) { ++rxEnds; };
  }
  bool Done() const {
    return (tx.Role() == TqxZModem::zrIdle && rx.Role() == TqxZModem::zrIdle && (txEnds > 0 || !txAborts.empty())) ||
           !rxAborts.empty() || !txAborts.empty();
  }
};

TEST_F(ZModemTest, TwoEnginesTransferBatches) {
  QDir(dir.path()).mkdir("out");
  QDir(dir.path()).mkdir("in");
  const std::vector<std::pair<QString, QByteArray>> files = {
      {"random.bin", Pattern(70000, 7)}, {"empty.bin", {}}, {"with space.txt", "hello\r\nworld\x18\x11\x13\xff"}};
  QByteArray every;
  for (int i = 0; i < 256 * 8; ++i) every.append(char(i));
  QStringList names;
  for (const auto& [name, data] : files) {
    WriteTestFile(dir.filePath("out/" + name), data);
    names << dir.filePath("out/" + name);
  }
  WriteTestFile(dir.filePath("out/every.bin"), every);
  names << dir.filePath("out/every.bin");

  const TzModemOptions variants[] = {
      {zoResuming}, {zoSegmentTransfer}, {zoEscCtrls}, {zoWithoutRZ, zoNotWaitFinal}};
  int run = 0;
  for (const TzModemOptions options : variants) {
    const QString in = dir.filePath(QStringLiteral("in/%1").arg(run++));
    QDir().mkpath(in);
    TzModemOptions rxOptions{zoCreateWithNewName};
    if (options.Contains(zoWithoutRZ)) rxOptions.Include(zoWithoutRZ);
    Transfer t(in, options, rxOptions);
    Link link(t.tx, t.rx, 0, 1);
    t.tx.SendFile(names.join(';'));
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.Done(); }, 60000)) << run;
    EXPECT_TRUE(t.txAborts.empty() && t.rxAborts.empty()) << run;
    EXPECT_EQ(t.rxEnds, 1) << run;
    for (const QString& name : names) {
      const QString received = in + "/" + QFileInfo(name).fileName();
      EXPECT_EQ(ReadAll(received), ReadAll(name)) << received.toStdString();
      EXPECT_TRUE(QFile::exists(received)) << received.toStdString();
    }
  }
}

// One lost ZDLE before a frame end joins the subpackets on either side of it into one, holding
// the frame end and the CRC as data. That must fail its check, not land in the file.
TEST_F(ZModemTest, TwoSubpacketsJoinedByALostFrameEndAreRefused) {
  QDir(dir.path()).mkdir("out");
  QDir(dir.path()).mkdir("in");
  const QByteArray data = Pattern(5000, 9);
  WriteTestFile(dir.filePath("out/joined.bin"), data);
  for (const QByteArray& frameEnd : {QByteArray("\x18i", 2), QByteArray("\x18h", 2)}) {
    const QString in = dir.filePath("in/" + QString::number(frameEnd[1]));
    QDir().mkpath(in);
    Transfer t(in, {}, {zoCreateWithNewName});
    bool dropped = false;
    // ZDLE followed by a frame-end letter stands only for a frame end: no escaped byte reads so.
    Link link(t.tx, t.rx, 0, 1, [&](QByteArray& bytes) {
      const int at = dropped ? -1 : int(bytes.indexOf(frameEnd));
      if (at < 0) return;
      bytes.remove(at, 1);
      dropped = true;
    });
    t.tx.SendFile(dir.filePath("out/joined.bin"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.Done(); }, 60000)) << frameEnd[1];
    EXPECT_TRUE(dropped);
    EXPECT_EQ(t.rxEnds, 1) << frameEnd[1];
    EXPECT_EQ(ReadAll(in + "/joined.bin"), data) << frameEnd[1];
  }
}

TEST_F(ZModemTest, TwoEnginesOverNoise) {
  QDir(dir.path()).mkdir("out");
  const QByteArray data = Pattern(40000, 3);
  WriteTestFile(dir.filePath("out/noisy.bin"), data);
  int succeeded = 0;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const QString in = dir.filePath(QStringLiteral("in%1").arg(seed));
    QDir().mkpath(in);
    Transfer t(in, {zoResuming}, {zoCreateWithNewName});
    Link link(t.tx, t.rx, 0.0001 * seed, seed);
    t.tx.SendFile(dir.filePath("out/noisy.bin"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.Done(); }, 120000)) << seed;
    // Every file that is reported received is identical; otherwise the session aborted.
    if (t.rxEnds > 0 && t.rxAborts.empty()) {
      EXPECT_EQ(ReadAll(in + "/noisy.bin"), data) << seed;
      ++succeeded;
    } else {
      EXPECT_FALSE(t.rxAborts.empty() && t.txAborts.empty()) << seed;
    }
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
