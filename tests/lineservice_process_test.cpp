// Calls between two processes: this test's line and the qxline program, both ways; a far process
// killed mid-call; a number that waits in another process; qxline's argument errors.
#include "support/commio.h"
#include "support/linetest.h"

#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// qxline started with its standard input, output and error on pipes, in this test's folders.
// Started with fork and exec, which the thread sanitizer follows (QProcess's vfork it cannot).
class Qxline {
public:
  explicit Qxline(const QStringList& arguments) {
    std::vector<std::string> words{QXLINE_PATH};
    for (const QString& a : arguments) words.push_back(a.toStdString());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    m_Pid = ::fork();
    if (m_Pid == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_In = in[1];
    m_Out = out[0];
    m_Err = err[0];
    ::fcntl(m_Out, F_SETFL, O_NONBLOCK);
    ::fcntl(m_Err, F_SETFL, O_NONBLOCK);
  }
  ~Qxline() {
    if (m_Pid > 0 && !m_Exited) {
      ::kill(m_Pid, SIGKILL);
      ::waitpid(m_Pid, nullptr, 0);
    }
    for (int fd : {m_In, m_Out, m_Err})
      if (fd >= 0) ::close(fd);
  }
  Qxline(const Qxline&) = delete;
  Qxline& operator=(const Qxline&) = delete;

  pid_t Pid() const { return m_Pid; }
  void Write(const QByteArray& data) { EXPECT_EQ(::write(m_In, data.constData(), size_t(data.size())), data.size()); }
  void CloseInput() {
    ::close(m_In);
    m_In = -1;
  }
  // Waits (processing events) until its standard error has said `text`.
  bool Said(const QString& text, int boundMs = 10000) {
    return ProcessEventsUntil([&] { return Errors().contains(text); }, boundMs);
  }
  QByteArray ReadOutput(int count) {
    ProcessEventsUntil([&] {
      Drain(m_Out, m_Output);
      return m_Output.size() >= count;
    });
    return m_Output;
  }
  bool Ended(int boundMs = 10000) {
    return ProcessEventsUntil([&] {
      int status = 0;
      if (!m_Exited && ::waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
        m_Exited = true;
        m_ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      return m_Exited;
    }, boundMs);
  }
  int ExitCode() const { return m_ExitCode; }
  QByteArray Output() {
    Drain(m_Out, m_Output);
    return m_Output;
  }
  QString Errors() {
    Drain(m_Err, m_ErrorText);
    return QString::fromLocal8Bit(m_ErrorText);
  }

private:
  static void Drain(int fd, QByteArray& into) {
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, int(n));
  }

  pid_t m_Pid = -1;
  int m_In = -1, m_Out = -1, m_Err = -1;
  bool m_Exited = false;
  int m_ExitCode = -1;
  QByteArray m_Output, m_ErrorText;
};

QByteArray ReadSome(HANDLE handle, int count) {
  SetTimeouts(handle, 0xFFFFFFFF, 0xFFFFFFFF, 100);
  QByteArray data;
  char buffer[256];
  ProcessEventsUntil([&] {
    Overlapped read;
    DWORD got = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &got, &read)) got = DWORD(std::max(0L, Finish(handle, &read)));
    data.append(buffer, int(got));
    return data.size() >= count;
  });
  return data;
}

bool WriteText(HANDLE handle, const char* text) {
  Overlapped write;
  DWORD done = 0;
  const DWORD size = DWORD(strlen(text));
  return WriteFile(handle, text, size, &done, &write) ? done == size : Finish(handle, &write) == long(size);
}

}  // namespace

class LineProcesses : public LineServiceTest {
protected:
  // Calls `number` from device 0 of this process; the call and its comm handle once connected.
  bool DialAndConnect(LineApp& app, const char* number, HCALL& call, HANDLE& comm) {
    const HLINE line = app.Open(0);
    if (tapi.lineMakeCall(line, &call, number, 0, nullptr) <= 0 || !recorder.WaitForState(call, LINECALLSTATE_CONNECTED))
      return false;
    comm = app.Comm(line);
    return comm != INVALID_HANDLE_VALUE;
  }
};

TEST_F(LineProcesses, QxlineAnswersAfterTwoRingsAndHangsUpAtTheEndOfItsInput) {
  { LineApp install(tapi); }
  Qxline far({"answer", "--number", "102", "--rings", "2", "--once"});
  ASSERT_TRUE(far.Said("waiting for calls")) << far.Errors().toStdString();
  LineApp app(tapi);
  HCALL call = 0;
  HANDLE comm = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(DialAndConnect(app, "102", call, comm));
  ASSERT_TRUE(far.Said("ring 2 from 101 (Virtual Modem 1)"));
  EXPECT_FALSE(far.Errors().contains("ring 3"));

  ASSERT_TRUE(WriteText(comm, "hello over there\n"));
  EXPECT_EQ(far.ReadOutput(17), QByteArray("hello over there\n"));
  far.Write("and back again\n");
  EXPECT_EQ(ReadSome(comm, 15), QByteArray("and back again\n"));

  far.CloseInput();  // its end of input hangs up
  const auto end = recorder.WaitForState(call, LINECALLSTATE_DISCONNECTED);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->p2, LINEDISCONNECTMODE_NORMAL);
  ASSERT_TRUE(far.Ended());
  EXPECT_EQ(far.ExitCode(), 0) << far.Errors().toStdString();
  CloseHandle(comm);
}

TEST_F(LineProcesses, QxlineDialsInAndReportsTheFarHangUp) {
  LineApp app(tapi);
  const HLINE owner = app.Open(0, LINECALLPRIVILEGE_OWNER, 9);
  recorder.onEvent = [&](const LineEvent& e) {
    if (e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING) tapi.lineAnswer(e.device, nullptr, 0);
  };
  Qxline far({"dial", "101", "--device", "1"});
  const auto connected = recorder.WaitFor([](const LineEvent& e) { return e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_CONNECTED; });
  ASSERT_TRUE(connected) << far.Errors().toStdString();
  const HANDLE comm = app.Comm(owner);
  ASSERT_TRUE(far.Said("connected"));
  far.Write("typed at the far end\n");
  EXPECT_EQ(ReadSome(comm, 21), QByteArray("typed at the far end\n"));
  ASSERT_TRUE(WriteText(comm, "last words"));
  ASSERT_GT(tapi.lineDrop(HCALL(connected->device), nullptr, 0), 0);
  ASSERT_TRUE(far.Ended());
  EXPECT_TRUE(far.Errors().contains("hung up by the far end"));
  EXPECT_EQ(far.ReadOutput(10), QByteArray("last words"));
  EXPECT_EQ(far.ExitCode(), 0) << "a call that connected and ended";
  CloseHandle(comm);

  Qxline nobody({"dial", "555"});
  ASSERT_TRUE(nobody.Ended());
  EXPECT_TRUE(nobody.Errors().contains("BAD ADDRESS"));
  EXPECT_NE(nobody.ExitCode(), 0);
}

TEST_F(LineProcesses, AFarProcessKilledMidCallDisconnectsWithinASecond) {
  { LineApp install(tapi); }
  Qxline far({"answer", "--number", "102"});
  ASSERT_TRUE(far.Said("waiting for calls"));
  {
    LineApp taken(tapi);
    HLINE line = 0;
    EXPECT_EQ(tapi.lineOpen(taken.app, 1, &line, taken.version, 0, 1, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, nullptr),
              LINEERR_RESOURCEUNAVAIL) << "102 waits in the other process";
  }
  LineApp app(tapi);
  HCALL call = 0;
  HANDLE comm = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(DialAndConnect(app, "102", call, comm));
  ASSERT_TRUE(SetCommMask(comm, EV_RLSD));
  ::kill(far.Pid(), SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  const auto end = recorder.WaitForState(call, LINECALLSTATE_DISCONNECTED);
  ASSERT_TRUE(end);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  EXPECT_TRUE(WaitUntil([&] {
    DWORD lines = 0;
    return GetCommModemStatus(comm, &lines) && !(lines & MS_RLSD_ON);
  }));
  CloseHandle(comm);
  ASSERT_TRUE(far.Ended());

  // The dead process's socket is still there; the next owner replaces it.
  EXPECT_TRUE(QFile::exists(RuntimePath("102.sock")));
  EXPECT_NE(app.Open(1, LINECALLPRIVILEGE_OWNER), 0u);
}

TEST_F(LineProcesses, QxlineRunsACommandOnTheAnsweredCall) {
  { LineApp install(tapi); }
  Qxline far({"answer", "--number", "102", "--once", "--exec", "sed -u s/this/that/"});
  ASSERT_TRUE(far.Said("waiting for calls"));
  LineApp app(tapi);
  HCALL call = 0;
  HANDLE comm = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(DialAndConnect(app, "102", call, comm));
  ASSERT_TRUE(WriteText(comm, "shout this\n"));
  EXPECT_EQ(ReadSome(comm, 11), QByteArray("shout that\n"));
  // The command gets end of input with the hang-up, exits, and qxline ends with it.
  ASSERT_GT(tapi.lineDrop(call, nullptr, 0), 0);
  ASSERT_TRUE(far.Ended());
  EXPECT_EQ(far.ExitCode(), 0) << far.Errors().toStdString();
  CloseHandle(comm);
}

TEST_F(LineProcesses, QxlineRefusesBadArgumentsClearly) {
  struct Row {
    QStringList arguments;
    const char* says;
  };
  const Row rows[] = {
      {{}, "missing command"},
      {{"call", "102"}, "unknown command \"call\""},
      {{"dial"}, "dial needs one number"},
      {{"dial", "102", "--rings", "2"}, "--rings is not an option of dial"},
      {{"answer", "--rings", "0"}, "--rings needs a count from 1 to 1000"},
      {{"answer", "--device", "1", "--number", "102"}, "not both"},
      {{"answer", "--exec"}, "--exec needs a value"},
      {{"remove", "first"}, "remove needs a device index"},
      {{"add-virtual", "Only a name"}, "add-virtual needs a name and a number"},
  };
  for (const Row& row : rows) {
    Qxline run(row.arguments);
    ASSERT_TRUE(run.Ended()) << row.says;
    EXPECT_EQ(run.ExitCode(), 2) << row.says;
    EXPECT_TRUE(run.Errors().contains(QString::fromLatin1(row.says))) << run.Errors().toStdString();
    EXPECT_TRUE(run.Errors().contains("Usage:")) << row.says;
  }
  Qxline badNumber({"add-virtual", "Modem", "12ab"});
  ASSERT_TRUE(badNumber.Ended());
  EXPECT_EQ(badNumber.ExitCode(), 1);
  EXPECT_TRUE(badNumber.Errors().contains("is not a number"));
}

TEST_F(LineProcesses, QxlineListsAddsAndRemovesModems) {
  const auto run = [](const QStringList& arguments, QByteArray& output) {
    Qxline tool(arguments);
    if (!tool.Ended()) return -1;
    output = tool.Output();
    return tool.ExitCode();
  };
  QByteArray out;
  ASSERT_EQ(run({"list"}, out), 0);
  EXPECT_TRUE(out.contains("Virtual Modem 1")) << out.toStdString();
  ASSERT_EQ(run({"add-virtual", "Fax Line", "*31#"}, out), 0);
  ASSERT_EQ(run({"list"}, out), 0);
  EXPECT_TRUE(out.contains("Fax Line")) << out.toStdString();
  LineApp app(tapi);
  EXPECT_EQ(app.devices, 3u);
  ASSERT_EQ(run({"remove", "0"}, out), 0);
  EXPECT_TRUE(out.contains("removed \"Virtual Modem 1\""));
  ASSERT_EQ(run({"list"}, out), 0);
  EXPECT_FALSE(out.contains("Virtual Modem 1"));
  EXPECT_EQ(run({"remove", "7"}, out), 1);
}
