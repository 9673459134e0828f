// The ZModem component against lrzsz's sz and rz, run as black boxes over a socket pair.
#include "qx/qxtimer.h"
#include "qx/qxzmodem.h"
#include "support/lrzsz.h"
#include "support/qtwait.h"
#include "support/recordinglog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

// A child process speaking on one end of a socket pair, and the component on the other end.
class Peer {
public:
  Peer(TqxZModem& zm, const QString& workDir, const QStringList& command) : m_Zm(zm) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    m_Child = std::make_unique<ChildProgram>(command, workDir, fds[1]);
    ::close(fds[1]);
    m_Fd = fds[0];
    fcntl(m_Fd, F_SETFL, fcntl(m_Fd, F_GETFL) | O_NONBLOCK);
    m_Read = std::make_unique<QSocketNotifier>(m_Fd, QSocketNotifier::Read);
    m_Write = std::make_unique<QSocketNotifier>(m_Fd, QSocketNotifier::Write);
    m_Write->setEnabled(false);
    QObject::connect(m_Read.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    QObject::connect(m_Write.get(), &QSocketNotifier::activated, [this] { Flush(); });
    // The transmit-empty calls come from this socket's drain, not from the processor's timer.
    zm.Timer().SetInterval(600000);
    zm.OnDataSend = [this](QObject*, const char* b, std::uint32_t n, bool synchro, bool& handled) {
      handled = true;
      m_Out.append(b, n);
      if (!synchro) m_BlockPending = true;
      Flush();
    };
  }

  ~Peer() {
    m_Zm.OnDataSend = nullptr;
    m_Read.reset();
    m_Write.reset();
    if (m_Fd >= 0) ::close(m_Fd);
  }

  bool Started() const { return m_Child && m_Child->Started(); }
  // Waits, running events, for the child to end; its exit status, or -1 when it did not end in time.
  int Wait(int boundMs = 60000) {
    if (!Started()) return -1;
    ProcessEventsUntil([this] { return m_Child->Exited(); }, boundMs);
    return m_Child->Status();
  }

private:
  void OnReadable() {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(m_Fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n == 0) m_Read->setEnabled(false);
        return;
      }
      m_Zm.DataReceived(buffer, static_cast<int>(n));
    }
  }

  void Flush() {
    while (!m_Out.isEmpty()) {
      const ssize_t n = ::send(m_Fd, m_Out.constData(), static_cast<size_t>(m_Out.size()), MSG_NOSIGNAL);
      if (n <= 0) break;
      m_Out.remove(0, n);
    }
    m_Write->setEnabled(!m_Out.isEmpty());
    if (m_Out.isEmpty() && m_BlockPending) {
      m_BlockPending = false;
      bool handled = false;
      m_Zm.TxEmpty(handled);
    }
  }

  TqxZModem& m_Zm;
  std::unique_ptr<ChildProgram> m_Child;
  int m_Fd = -1;
  std::unique_ptr<QSocketNotifier> m_Read, m_Write;
  QByteArray m_Out;
  bool m_BlockPending = false;
};

class LrzszTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz (sz, rz) is not installed";
    QDir(m_Dir.path()).mkdir("out");
    QDir(m_Dir.path()).mkdir("in");
    zm.SetActive(true);
    zm.SetLog(&log);
    zm.SetTimeOut(3000);
    zm.SetDefaultPath(In(""));
    zm.OnAbort = [this](QObject*, TzAbortType reason) { aborts.push_back(reason); };
    zm.OnSuccessfulEnd = [this](QObject*) { ++successes; };
    zm.OnFatalError = [this](QObject*, std::uint32_t, std::uint32_t, const QString& msg, bool& raise) {
      errors << msg;
      raise = false;
    };
  }

  void TearDown() override {
    // The engine's own account of a failed session.
    if (!HasFailure()) return;
    const qsizetype n = log.entries.size();
    for (qsizetype i = 0; i < n; ++i)
      if (i < 40 || i >= n - 40) std::cerr << log.entries[i].toStdString() << "\n";
  }

  QString Out(const QString& name) const { return m_Dir.filePath("out/" + name); }
  QString In(const QString& name) const { return m_Dir.filePath("in/" + name); }
  // The batch, written to out/, as full paths.
  QStringList Batch() {
    QStringList paths;
    for (const QString& name : WriteBatch(Out(""))) paths << Out(name);
    return paths;
  }
  void ExpectReceived(const QStringList& files, const char* label) {
    QStringList names;
    for (const QString& f : files) names << QFileInfo(f).fileName();
    ExpectSameFiles(names, Out(""), In(""), label);
  }
  bool Idle() const { return zm.Role() == TqxZModem::zrIdle; }

  QTemporaryDir m_Dir;
  std::vector<TzAbortType> aborts;
  QStringList errors;
  int successes = 0;
  RecordingLog log;
  TqxZModem zm;
};

TEST_F(LrzszTest, ReceiveFromSz) {
  const QStringList files = Batch();
  for (const ReceiveCase& c : ReceiveCases()) {
    RemoveFiles(In(""));
    successes = 0;
    aborts.clear();
    Peer sz(zm, m_Dir.path(), QStringList{"sz", "-q"} + c.szOptions + files);
    ASSERT_TRUE(sz.Started());
    EXPECT_EQ(sz.Wait(), 0) << c.name;
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle(); })) << c.name;
    EXPECT_EQ(successes, 1) << c.name;
    EXPECT_TRUE(aborts.empty()) << c.name;
    ExpectReceived(files, c.name);
  }
}

TEST_F(LrzszTest, ResumeFromSz) {
  const QByteArray data = Pattern(200000, 9);
  WriteTestFile(Out("resume.bin"), data);
  WriteTestFile(In("resume.bin"), data.left(70000));
  Peer sz(zm, m_Dir.path(), {"sz", "-q", "-r", Out("resume.bin")});
  EXPECT_EQ(sz.Wait(), 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Idle(); }));
  EXPECT_EQ(ReadAll(In("resume.bin")), data);
}

TEST_F(LrzszTest, SendToRz) {
  const QStringList files = Batch();
  for (const SendCase& c : SendCases()) {
    RemoveFiles(In(""));
    successes = 0;
    aborts.clear();
    zm.SetOptions(c.options);
    Peer rz(zm, In(""), QStringList{"rz", "-q"} + c.rzOptions);
    ASSERT_TRUE(rz.Started());
    zm.SendFile(files.join(';'));
    EXPECT_EQ(rz.Wait(), 0) << c.name;
    ASSERT_TRUE(ProcessEventsUntil([&] { return Idle(); })) << c.name;
    EXPECT_EQ(successes, 1) << c.name;
    EXPECT_TRUE(aborts.empty()) << c.name;
    EXPECT_TRUE(errors.isEmpty()) << c.name << " " << errors.join("; ").toStdString();
    ExpectReceived(files, c.name);
  }
}

TEST_F(LrzszTest, ResumeToRz) {
  const QByteArray data = Pattern(200000, 11);
  WriteTestFile(Out("resume.bin"), data);
  WriteTestFile(In("resume.bin"), data.left(90000));
  zm.SetOptions({zoResuming});
  Peer rz(zm, In(""), {"rz", "-q", "-r"});
  zm.SendFile(Out("resume.bin"));
  EXPECT_EQ(rz.Wait(), 0);
  EXPECT_EQ(ReadAll(In("resume.bin")), data);
}

TEST_F(LrzszTest, AbortedSessionIsNotASuccess) {
  WriteTestFile(Out("big.bin"), Pattern(2000000, 2));
  // Aborted from the first progress report, while data are on the way.
  zm.OnProgress = [this](QObject*) {
    if (zm.Role() != TqxZModem::zrIdle) zm.Abort();
  };
  Peer sz(zm, m_Dir.path(), {"sz", "-q", Out("big.bin")});
  EXPECT_NE(sz.Wait(), 0);
  EXPECT_EQ(successes, 0);
  EXPECT_EQ(aborts, std::vector<TzAbortType>{zeByMe});
}

}  // namespace
