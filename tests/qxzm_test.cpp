// The qxzm program against lrzsz's sz and rz and against itself: two programs connected crosswise
// over a socket pair, as a terminal connects its external transfer program to the line.
#include "support/lrzsz.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

const QString kQxzm = QStringLiteral(QXZM_PATH);

struct Outcome {
  int first = -1;
  int second = -1;
  QString firstErrors;
  QString secondErrors;
};

class QxzmTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(QFileInfo(kQxzm).isExecutable()) << kQxzm.toStdString();
    QDir(m_Dir.path()).mkdir("out");
    QDir(m_Dir.path()).mkdir("in");
  }

  QString Out(const QString& name) const { return m_Dir.filePath("out/" + name); }
  QString In(const QString& name) const { return m_Dir.filePath("in/" + name); }

  // Runs the sending program in out/ and the receiving one in in/, connected to each other.
  // The receiver may run under a file size limit (ulimit -f, in bytes).
  Outcome Connect(const QStringList& sender, const QStringList& receiver, rlim_t receiverFileLimit = RLIM_INFINITY) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return {};
    const QString sendErrors = m_Dir.filePath("send.err"), receiveErrors = m_Dir.filePath("receive.err");
    ChildProgram a(sender, Out(""), fds[0], sendErrors);
    ChildProgram b(receiver, In(""), fds[1], receiveErrors, receiverFileLimit);
    ::close(fds[0]);
    ::close(fds[1]);
    Outcome outcome;
    outcome.first = a.Wait();
    outcome.second = b.Wait();
    outcome.firstErrors = QString::fromLocal8Bit(ReadAll(sendErrors));
    outcome.secondErrors = QString::fromLocal8Bit(ReadAll(receiveErrors));
    return outcome;
  }

  // Runs qxzm alone, its standard input and output on /dev/null or, with a silent line, on a
  // socket that stays open and says nothing; returns its exit status.
  int RunAlone(const QStringList& arguments, QString& errors, bool silentLine = false) {
    const QString errorFile = m_Dir.filePath("alone.err");
    int fds[2] = {-1, -1};
    if (silentLine && socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -2;
    ChildProgram p(QStringList{kQxzm} + arguments, Out(""), fds[0], errorFile);
    const int status = p.Wait();
    for (const int fd : fds)
      if (fd >= 0) ::close(fd);
    errors = QString::fromLocal8Bit(ReadAll(errorFile));
    return status;
  }

  // The master end of a new pty pair, and the path of its slave; -1 when none can be had.
  static int OpenPty(QString& slavePath) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return -1;
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
      ::close(master);
      return -1;
    }
    slavePath = QString::fromLocal8Bit(ptsname(master));
    return master;
  }

  QStringList Batch() { return WriteBatch(Out("")); }

  void ExpectReceived(const QStringList& names, const char* label) { ExpectSameFiles(names, Out(""), In(""), label); }

  QTemporaryDir m_Dir;
};

TEST_F(QxzmTest, SendsToRz) {
  if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
  const QStringList files = Batch();
  for (const SendCase& c : SendCases()) {
    RemoveFiles(In(""));
    const Outcome o = Connect(QStringList{kQxzm, "send"} + c.flags + files, QStringList{"rz", "-q"} + c.rzOptions);
    EXPECT_EQ(o.first, 0) << c.name << ": " << o.firstErrors.toStdString();
    EXPECT_EQ(o.second, 0) << c.name;
    ExpectReceived(files, c.name);
    EXPECT_TRUE(o.firstErrors.contains("sent every byte.bin")) << o.firstErrors.toStdString();
    EXPECT_TRUE(o.firstErrors.contains("session complete")) << o.firstErrors.toStdString();
  }
}

TEST_F(QxzmTest, ReceivesFromSz) {
  if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
  const QStringList files = Batch();
  for (const ReceiveCase& c : ReceiveCases()) {
    RemoveFiles(In(""));
    const Outcome o = Connect(QStringList{"sz", "-q"} + c.szOptions + files, {kQxzm, "receive"});
    EXPECT_EQ(o.first, 0) << c.name;
    EXPECT_EQ(o.second, 0) << c.name << ": " << o.secondErrors.toStdString();
    ExpectReceived(files, c.name);
    EXPECT_TRUE(o.secondErrors.contains("receiving every byte.bin")) << o.secondErrors.toStdString();
  }
}

TEST_F(QxzmTest, SendsOnASerialDevice) {
  if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
  const QStringList files = Batch();
  QString device;
  const int master = OpenPty(device);
  ASSERT_GE(master, 0);
  ChildProgram rz({"rz", "-q"}, In(""), master, m_Dir.filePath("receive.err"));
  QString errors;
  const int status = RunAlone(QStringList{"send", "--port", device} + files, errors);
  EXPECT_EQ(status, 0) << errors.toStdString();
  EXPECT_EQ(rz.Wait(), 0);
  ::close(master);
  ExpectReceived(files, "pty");
}

TEST_F(QxzmTest, ReceivesOnATerminalFromASenderThatStartedFirst) {
  if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
  const QStringList files = Batch();
  QString device;
  const int master = OpenPty(device);
  ASSERT_GE(master, 0);
  const int slave = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ChildProgram sz(QStringList{"sz", "-q"} + files, Out(""), master, m_Dir.filePath("send.err"));
  // The sender's "rz\r" and ZRQINIT wait on the terminal when the receiver takes it over.
  pollfd pending{slave, POLLIN, 0};
  ASSERT_EQ(poll(&pending, 1, 10000), 1);
  ChildProgram qxzm({kQxzm, "receive"}, In(""), slave, m_Dir.filePath("receive.err"));
  ::close(master);
  ::close(slave);
  EXPECT_EQ(sz.Wait(), 0);
  EXPECT_EQ(qxzm.Wait(), 0) << ReadAll(m_Dir.filePath("receive.err")).toStdString();
  ExpectReceived(files, "terminal");
}

TEST_F(QxzmTest, ReceiverAnnouncesItselfAndNeedsNoStartCommand) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ChildProgram qxzm({kQxzm, "receive", "--timeout", "2000", "--retries", "0"}, In(""), fds[1],
                    m_Dir.filePath("receive.err"));
  ::close(fds[1]);
  const QByteArray zrinit("**\x18" "B01");
  QByteArray heard;
  const auto listen = [&](int count) {
    pollfd readable{fds[0], POLLIN, 0};
    while (heard.count(zrinit) < count && poll(&readable, 1, 5000) == 1) {
      char buffer[256];
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      heard.append(buffer, n);
    }
    return heard.count(zrinit);
  };
  // Like rz, it announces itself to a sender that may be waiting already...
  EXPECT_EQ(listen(1), 1) << heard.toHex().toStdString();
  // ...and answers a bare hex ZRQINIT, as a sender whose "rz\r" a terminal has already shown.
  const QByteArray zrqinit("**\x18" "B00000000000000\r\x8a\x11");
  ASSERT_EQ(::write(fds[0], zrqinit.constData(), zrqinit.size()), zrqinit.size());
  EXPECT_EQ(listen(2), 2) << heard.toHex().toStdString();
  ::close(fds[0]);
  qxzm.Wait();
}

TEST_F(QxzmTest, TalksToItselfWithMasksAndDirectory) {
  const QStringList files = Batch();
  QDir(In("")).mkdir("sub");
  const Outcome o = Connect({kQxzm, "send", "*.bin"}, {kQxzm, "receive", "--log", "zm.log", "sub"});
  EXPECT_EQ(o.first, 0) << o.firstErrors.toStdString();
  EXPECT_EQ(o.second, 0) << o.secondErrors.toStdString();
  for (const QString& name : files) EXPECT_EQ(ReadAll(In("sub/" + name)), ReadAll(Out(name))) << name.toStdString();
  // The debug log is written where asked, and the received files stay in the directory given.
  EXPECT_FALSE(ReadAll(In("zm.log")).isEmpty());
  EXPECT_EQ(QDir(In("")).entryList(QDir::Files), QStringList{"zm.log"});
}

TEST_F(QxzmTest, ResumesAPartialFile) {
  const QByteArray data = Pattern(200000, 9);
  WriteTestFile(Out("resume.bin"), data);
  WriteTestFile(In("resume.bin"), data.left(70000));
  const Outcome o = Connect({kQxzm, "send", "--resume", "resume.bin"}, {kQxzm, "receive", "--resume"});
  EXPECT_EQ(o.first, 0) << o.firstErrors.toStdString();
  EXPECT_EQ(o.second, 0) << o.secondErrors.toStdString();
  EXPECT_EQ(ReadAll(In("resume.bin")), data);
}

TEST_F(QxzmTest, ExistingFileIsRenamedOrRefused) {
  WriteTestFile(Out("same.bin"), Pattern(5000, 3));
  WriteTestFile(In("same.bin"), "old");
  Outcome o = Connect({kQxzm, "send", "same.bin"}, {kQxzm, "receive"});
  EXPECT_EQ(o.second, 0) << o.secondErrors.toStdString();
  EXPECT_EQ(ReadAll(In("same.bin")), "old");
  EXPECT_EQ(ReadAll(In("same0.bin")), ReadAll(Out("same.bin")));

  // Refused: the file is skipped with the reason, as rz does, and the rest of the batch arrives;
  // the file on disk is untouched.
  WriteTestFile(Out("other.bin"), Pattern(3000, 4));
  o = Connect({kQxzm, "send", "same.bin", "other.bin"}, {kQxzm, "receive", "--no-rename"});
  EXPECT_EQ(o.first, 0) << o.firstErrors.toStdString();
  EXPECT_EQ(o.second, 0) << o.secondErrors.toStdString();
  EXPECT_TRUE(o.secondErrors.contains("skipped: The receiving file")) << o.secondErrors.toStdString();
  EXPECT_TRUE(o.secondErrors.contains("already exists")) << o.secondErrors.toStdString();
  EXPECT_TRUE(o.firstErrors.contains("skipped same.bin")) << o.firstErrors.toStdString();
  EXPECT_EQ(ReadAll(In("same.bin")), "old");
  EXPECT_EQ(ReadAll(In("other.bin")), ReadAll(Out("other.bin")));

  o = Connect({kQxzm, "send", "same.bin"}, {kQxzm, "receive", "--overwrite"});
  EXPECT_EQ(o.second, 0) << o.secondErrors.toStdString();
  EXPECT_EQ(ReadAll(In("same.bin")), ReadAll(Out("same.bin")));
}

// A file size limit (ulimit -f) is a write error: the receiver cancels, says why and fails, and
// so does the sender.
TEST_F(QxzmTest, FileSizeLimitFailsBothSides) {
  WriteTestFile(Out("large.bin"), Pattern(300000, 6));
  const Outcome o = Connect({kQxzm, "send", "large.bin"}, {kQxzm, "receive"}, 100000);
  EXPECT_EQ(o.second, 1) << o.secondErrors.toStdString();
  EXPECT_TRUE(o.secondErrors.contains("Error write receiving file")) << o.secondErrors.toStdString();
  EXPECT_NE(o.first, 0) << o.firstErrors.toStdString();
  EXPECT_TRUE(o.firstErrors.contains("cancelled by the remote side")) << o.firstErrors.toStdString();
}

// A sender that answers the challenge wrongly ends the session: the tool says so and fails.
TEST_F(QxzmTest, WrongChallengeAnswerFailsTheSession) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ChildProgram qxzm({kQxzm, "receive", "--challenge"}, In(""), fds[1], m_Dir.filePath("receive.err"));
  ::close(fds[1]);
  const QByteArray challenge("**\x18" "B0e");
  QByteArray heard;
  pollfd readable{fds[0], POLLIN, 0};
  while (!heard.contains(challenge) && poll(&readable, 1, 10000) == 1) {
    char buffer[256];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    heard.append(buffer, n);
  }
  ASSERT_TRUE(heard.contains(challenge)) << heard.toHex().toStdString();
  // ZACK 0: never the value of a challenge.
  const QByteArray wrong("**\x18" "B0300000000eed2\r\x8a");
  ASSERT_EQ(::write(fds[0], wrong.constData(), wrong.size()), wrong.size());
  EXPECT_EQ(qxzm.Wait(20000), 1);
  ::close(fds[0]);
  const QString errors = QString::fromLocal8Bit(ReadAll(m_Dir.filePath("receive.err")));
  EXPECT_TRUE(errors.contains("session failed: protocol error")) << errors.toStdString();
}

// A name with control characters reaches neither side's terminal as such.
TEST_F(QxzmTest, NamesReachTheTerminalWithoutControlCharacters) {
  const QString name = QStringLiteral("evil\x1b[2J\x07.bin");
  WriteTestFile(Out(name), "payload");
  const Outcome o = Connect({kQxzm, "send", name}, {kQxzm, "receive"});
  EXPECT_EQ(o.second, 0) << o.secondErrors.toStdString();
  EXPECT_EQ(ReadAll(In(name)), "payload");
  for (const QString& errors : {o.firstErrors, o.secondErrors}) {
    EXPECT_FALSE(errors.contains(QChar(0x1b))) << errors.toStdString();
    EXPECT_FALSE(errors.contains(QChar(0x07))) << errors.toStdString();
  }
  EXPECT_TRUE(o.secondErrors.contains("receiving evil?[2J?.bin")) << o.secondErrors.toStdString();
}

TEST_F(QxzmTest, PeerThatVanishesFailsTheSession) {
  if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
  WriteTestFile(Out("big.bin"), Pattern(4000000, 2));
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ChildProgram qxzm({kQxzm, "send", "--timeout", "2000", "big.bin"}, Out(""), fds[0], m_Dir.filePath("send.err"));
  {
    ChildProgram rz({"rz", "-q"}, In(""), fds[1], m_Dir.filePath("receive.err"));
    ::close(fds[0]);
    ::close(fds[1]);
    // Killed once data are arriving.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (QFileInfo(In("big.bin")).size() == 0 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    rz.Kill();
    rz.Wait();
  }
  EXPECT_EQ(qxzm.Wait(), 1);
  const QString errors = QString::fromLocal8Bit(ReadAll(m_Dir.filePath("send.err")));
  EXPECT_TRUE(errors.contains("session failed")) << errors.toStdString();
  EXPECT_FALSE(errors.contains("session complete")) << errors.toStdString();
}

TEST_F(QxzmTest, ReceiverWithoutSenderGivesUp) {
  QString errors;
  EXPECT_EQ(RunAlone({"receive", "--timeout", "200", "--retries", "1"}, errors, true), 1);
  EXPECT_TRUE(errors.contains("no sender began a session")) << errors.toStdString();
  // A line that ends says so.
  EXPECT_EQ(RunAlone({"receive"}, errors), 1);
  EXPECT_TRUE(errors.contains("the connection was closed")) << errors.toStdString();
}

TEST_F(QxzmTest, SenderWithoutReceiverTimesOut) {
  WriteTestFile(Out("lonely.bin"), "data");
  QString errors;
  EXPECT_EQ(RunAlone({"send", "--timeout", "200", "--retries", "1", "lonely.bin"}, errors, true), 1);
  EXPECT_TRUE(errors.contains("session failed")) << errors.toStdString();
}

TEST_F(QxzmTest, BadCommandLinesAreUsageErrors) {
  const QStringList bad[] = {
      {},
      {"bogus"},
      {"send"},
      {"send", "--frobnicate", "x"},
      {"send", "--timeout", "soon", "x"},
      {"send", "--timeout", "0", "x"},
      {"send", "x", "--retries"},
      {"receive", "--retries", "-1"},
      {"receive", "a", "b"},
      {"receive", "--segmented=yes"},
      {"receive", "--port"},
  };
  for (const QStringList& arguments : bad) {
    QString errors;
    EXPECT_EQ(RunAlone(arguments, errors), 2) << arguments.join(' ').toStdString();
    EXPECT_TRUE(errors.contains("Usage: qxzm send")) << errors.toStdString();
  }
  QString errors;
  EXPECT_EQ(RunAlone({"--help"}, errors), 0);
  EXPECT_TRUE(errors.contains("--no-wait-final"));
}

TEST_F(QxzmTest, UnusableArgumentsFailBeforeAnySession) {
  WriteTestFile(Out("a;b.bin"), "x");
  QDir(Out("")).mkdir("folder");
  struct Case { QStringList arguments; const char* message; };
  const Case cases[] = {
      {{"send", "missing.bin"}, "missing.bin: no such file"},
      {{"send", "--", "--help"}, "--help: no such file"},
      {{"send", "folder"}, "not a regular file"},
      {{"send", "a;b.bin"}, "cannot be sent"},
      {{"send", "*.nothing"}, "NO files"},
      {{"receive", "missing-dir"}, "not a directory"},
      {{"receive", "--port", "/dev/qxzm-no-such-tty"}, "Open Error"},
  };
  for (const Case& c : cases) {
    QString errors;
    EXPECT_EQ(RunAlone(c.arguments, errors), 1) << c.arguments.join(' ').toStdString();
    EXPECT_TRUE(errors.contains(c.message)) << errors.toStdString();
  }
}

}  // namespace
