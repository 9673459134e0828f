// AT modems on serial ports, through the modem emulator (qxline emulate) on a pty, installed with
// qxline add-modem and driven as the line component drives a line device: calls both ways with the
// virtual modems, caller ID, the ends of a call, the escape sequence in data, the settings sent as
// AT commands, a port in use, a modem that stops answering, and Debian's chat as the program on
// the emulator's port.
#include "support/childprogram.h"
#include "support/commio.h"
#include "support/linetest.h"
#include "support/testfiles.h"

#include "platform/modemconfig.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>

namespace {

constexpr DWORD kAtDevice = 2;  // after the two default virtual modems
constexpr int kCallBound = 20000;

// qxline emulate on number 100, its pty behind a link in `folder`; its log in a file.
class Emulator {
public:
  Emulator(const std::string& folder, const QStringList& extra = {})
      : m_Link(QString::fromStdString(folder + "/modem")),
        m_Log(QString::fromStdString(folder + "/emulator.log")),
        m_Program(QStringList{QStringLiteral(QXLINE_PATH), QStringLiteral("emulate"), QStringLiteral("--number"),
                              QStringLiteral("100"), QStringLiteral("--link"), m_Link} + extra,
                  QString::fromStdString(folder), -1, m_Log) {
    EXPECT_TRUE(ProcessEventsUntil([&] { return QFileInfo(m_Link).isSymLink() && Said("number 100"); }));
  }
  const QString& Link() const { return m_Link; }
  QString Log() const { return QString::fromLocal8Bit(ReadAll(m_Log)); }
  bool Said(const QString& text, int boundMs = kCallBound) const {
    return ProcessEventsUntil([&] { return Log().contains(text); }, boundMs);
  }
  int Commands() const { return int(Log().count(QStringLiteral("emulate: command "))); }
  pid_t Pid() const { return m_Program.Pid(); }

private:
  QString m_Link, m_Log;
  ChildProgram m_Program;
};

// Standard error of this process into a file while it exists (the service's reasons).
class ErrorCapture {
public:
  explicit ErrorCapture(const std::string& path) : m_Path(path) {
    std::fflush(stderr);
    m_Saved = ::dup(2);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 2);
    ::close(file);
  }
  ~ErrorCapture() {
    std::fflush(stderr);
    ::dup2(m_Saved, 2);
    ::close(m_Saved);
  }
  QString Text() const {
    std::fflush(stderr);
    return QString::fromStdString(FileBytes(m_Path));
  }

private:
  std::string m_Path;
  int m_Saved = -1;
};

DWORD StateMode(LineRecorder& recorder, HCALL call, DWORD state) {
  const auto e = recorder.WaitForState(call, state, 0, kCallBound);
  return e ? DWORD(e->p2) : 0xFFFFFFFFu;
}

class AtModems : public LineServiceTest {
protected:
  void SetUp() override {
    LineServiceTest::SetUp();
    { LineApp install(tapi); }  // the two default virtual modems
    StartEmulator();
  }

  // A fresh emulator, installed as the store's AT modem (device 2) with a short guard time.
  void StartEmulator(const QStringList& extra = {}) {
    emulator.reset();
    emulator = std::make_unique<Emulator>(m_Folder.Path().string(), extra);
    if (installed) return;
    ChildProgram add({QStringLiteral(QXLINE_PATH), QStringLiteral("add-modem"), emulator->Link(),
                      QStringLiteral("--init"), QStringLiteral("S12=10")},
                     QString::fromStdString(m_Folder.Path().string()), -1,
                     QString::fromStdString(m_Folder / "add-modem.err"));
    ASSERT_EQ(add.Wait(), 0) << FileBytes(m_Folder / "add-modem.err");
    installed = true;
  }

  // The modem's call to the virtual modem 102, answered there at the first ring.
  void DialVirtual(LineApp& app) {
    callee = app.Open(1, LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, 2);
    caller = app.Open(kAtDevice, LINECALLPRIVILEGE_NONE, 1);
    answerer = std::make_unique<Answerer>(tapi, recorder, 1);
    dialRequest = tapi.lineMakeCall(caller, &outgoing, "T 102", 0, nullptr);
    ASSERT_GT(dialRequest, 0);
  }

  std::unique_ptr<Emulator> emulator;
  bool installed = false;
  HLINE caller = 0, callee = 0;
  HCALL outgoing = 0;
  LONG dialRequest = 0;
  std::unique_ptr<Answerer> answerer;
};

TEST_F(AtModems, TheModemCallsAVirtualModemDataPassesAndItHangsUpWithTheEscapeSequence) {
  LineApp app(tapi);
  ASSERT_EQ(app.devices, 3u);
  DialVirtual(app);
  ASSERT_TRUE(recorder.WaitForState(outgoing, LINECALLSTATE_CONNECTED, 0, kCallBound)) << emulator->Log().toStdString();
  ASSERT_TRUE(recorder.WaitFor([&] (const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.device == answerer->answered && e.p1 == LINECALLSTATE_CONNECTED;
  }));
  // The callbacks a line component sees on a virtual modem, less the ringback a modem cannot know.
  EXPECT_EQ(recorder.StatesOf(outgoing), (std::vector<DWORD>{LINECALLSTATE_PROCEEDING, LINECALLSTATE_CONNECTED}));
  const auto events = recorder.Events();
  const auto reply = std::find_if(events.begin(), events.end(),
                                  [&](const LineEvent& e) { return e.message == LINE_REPLY && LONG(e.p1) == dialRequest; });
  ASSERT_NE(reply, events.end());
  EXPECT_EQ(reply->p2, 0u);
  EXPECT_EQ(reply->instance, 1u);
  EXPECT_LT(reply - events.begin(), std::find_if(events.begin(), events.end(), [&](const LineEvent& e) {
              return e.message == LINE_CALLSTATE && e.device == outgoing;
            }) - events.begin()) << "the reply comes before the first call state";
  EXPECT_EQ(answerer->callerId, QByteArray("100", 4)) << "the emulator's number reaches the virtual modem";
  EXPECT_EQ(answerer->callerName, QByteArray("AT modem emulator", 18));
  EXPECT_TRUE(emulator->Said("command ATM1L1X4\\N3%C1&K3S7=60S30=1")) << "the default settings as AT commands";
  EXPECT_TRUE(emulator->Said("command ATS12=10")) << "the user's init string after them";

  // CONNECT 33600/LAPM/V42BIS: the rate and the options of the call.
  const QByteArray config = app.Config(kAtDevice);
  EXPECT_EQ(FieldAt<DWORD>(config, 124), 33600u);
  EXPECT_EQ(FieldAt<DWORD>(config, 120), DWORD(MDM_ERROR_CONTROL | MDM_COMPRESSION | MDM_FLOWCONTROL_HARD));
  EXPECT_EQ(FieldAt<DWORD>(config, 72), DWORD(PST_MODEM));

  // The comm handle is the port itself; escape characters without guard times are data.
  const HANDLE port = app.Comm(caller), far = app.Comm(callee);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD lines = 0;
  EXPECT_FALSE(GetCommModemStatus(port, &lines)) << "a pty has no modem lines";
  const QByteArray data("hello +++ a+++b +++");
  ASSERT_TRUE(WriteAll(port, data));
  EXPECT_EQ(ReadCount(far, data.size()), data);
  ASSERT_TRUE(WriteAll(far, "back"));
  EXPECT_EQ(ReadCount(port, 4), QByteArray("back"));
  ProcessEventsFor(300);
  EXPECT_EQ(recorder.StatesOf(outgoing).back(), DWORD(LINECALLSTATE_CONNECTED)) << "still on line";

  // As the line component does: the port is closed, then the call dropped; IDLE once the modem
  // has confirmed its hang-up.
  CloseHandle(port);
  const std::size_t from = recorder.Count();
  ASSERT_GT(tapi.lineDrop(outgoing, nullptr, 0), 0);
  ASSERT_TRUE(recorder.WaitForState(outgoing, LINECALLSTATE_IDLE, from, kCallBound)) << emulator->Log().toStdString();
  EXPECT_TRUE(emulator->Said("escape sequence: command state"));
  EXPECT_TRUE(emulator->Said("command ATH"));
  EXPECT_EQ(StateMode(recorder, answerer->answered, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NORMAL));
  CloseHandle(far);
  EXPECT_EQ(tapi.lineDeallocateCall(outgoing), 0);
  EXPECT_EQ(tapi.lineClose(caller), 0);
  EXPECT_TRUE(emulator->Said("the program closed the port")) << "the port is released with the call";
}

TEST_F(AtModems, AVirtualModemCallsTheWaitingModemAnsweredAtTheSecondRingWithCallerId) {
  LineApp app(tapi);
  const HLINE owner = app.Open(kAtDevice, LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, 2);
  ASSERT_NE(owner, 0u);
  EXPECT_TRUE(emulator->Said("command AT+VCID=1")) << "caller ID is switched on";
  Answerer answering(tapi, recorder, 2);
  const HLINE line = app.Open(0, LINECALLPRIVILEGE_NONE, 1);
  HCALL call = 0;
  ASSERT_GT(tapi.lineMakeCall(line, &call, "100", 0, nullptr), 0);
  ASSERT_TRUE(recorder.WaitForState(call, LINECALLSTATE_CONNECTED, 0, kCallBound)) << emulator->Log().toStdString();
  ASSERT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.device == answering.answered && e.p1 == LINECALLSTATE_CONNECTED;
  }, 0, kCallBound));
  ASSERT_EQ(answering.offered.size(), 2u) << "one offering per RING until answered";
  EXPECT_EQ(answering.callerId, QByteArray("101", 4)) << "NMBR of the caller-ID lines";
  EXPECT_EQ(answering.callerName, QByteArray("Virtual Modem 1", 16));
  EXPECT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
    return e.message == LINE_CALLINFO && e.device == answering.offered[0] && (e.p1 & LINECALLINFOSTATE_CALLERID);
  })) << "the caller ID is announced when its lines arrive";
  EXPECT_EQ(recorder.StatesOf(answering.answered), (std::vector<DWORD>{LINECALLSTATE_OFFERING, LINECALLSTATE_CONNECTED}));
  EXPECT_EQ(FieldAt<DWORD>(app.Config(kAtDevice), 124), 33600u);
  EXPECT_EQ(FieldAt<DWORD>(app.Config(0), 124), 33600u) << "both ends at the emulator's rate";

  // The far end hangs up: NO CARRIER on the port ends the call; the drop brings the modem back.
  const std::size_t from = recorder.Count();
  ASSERT_GT(tapi.lineDrop(call, nullptr, 0), 0);
  EXPECT_EQ(StateMode(recorder, answering.answered, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NORMAL));
  ASSERT_GT(tapi.lineDrop(answering.answered, nullptr, 0), 0);
  EXPECT_TRUE(recorder.WaitForState(answering.answered, LINECALLSTATE_IDLE, from, kCallBound));
  EXPECT_EQ(tapi.lineDeallocateCall(answering.answered), 0);
  // The line waits on for the next call.
  HCALL again = 0;
  const std::size_t next = recorder.Count();
  ASSERT_GT(tapi.lineMakeCall(line, &again, "100", 0, nullptr), 0);
  EXPECT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_CONNECTED && e.device != again;
  }, next, kCallBound));
}

// The ends of an unanswered call, as the virtual modem's calls report them.
struct FailedCall {
  const char* name;
  QStringList emulatorOptions;
  const char* number;
  std::vector<DWORD> states;
  DWORD mode;
};

class AtModemFailures : public AtModems, public ::testing::WithParamInterface<FailedCall> {};

TEST_P(AtModemFailures, EndTheCallWithTheirMode) {
  const FailedCall& c = GetParam();
  if (!c.emulatorOptions.isEmpty()) StartEmulator(c.emulatorOptions);
  LineApp app(tapi);
  app.ChangeConfig(kAtDevice, [](QByteArray& b) { SetFieldAt<DWORD>(b, 100, 1); });  // S7=1
  // 102 waits and rings with another call: it is busy.
  const HLINE owner = app.Open(1, LINECALLPRIVILEGE_OWNER, 2);
  const HLINE other = app.Open(0, LINECALLPRIVILEGE_NONE, 3);
  HCALL ringing = 0;
  ASSERT_GT(tapi.lineMakeCall(other, &ringing, "102", 0, nullptr), 0);
  ASSERT_TRUE(recorder.WaitFor([](const LineEvent& e) { return e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING; }));
  const HLINE line = app.Open(kAtDevice, LINECALLPRIVILEGE_NONE, 1);
  HCALL call = 0;
  ASSERT_GT(tapi.lineMakeCall(line, &call, c.number, 0, nullptr), 0);
  EXPECT_EQ(StateMode(recorder, call, LINECALLSTATE_DISCONNECTED), c.mode) << emulator->Log().toStdString();
  EXPECT_EQ(recorder.StatesOf(call), c.states);
  const std::size_t from = recorder.Count();
  ASSERT_GT(tapi.lineDrop(call, nullptr, 0), 0);
  EXPECT_TRUE(recorder.WaitForState(call, LINECALLSTATE_IDLE, from, kCallBound));
  EXPECT_EQ(tapi.lineDeallocateCall(call), 0);
  (void)owner;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtModemFailures,
    ::testing::Values(
        FailedCall{"Busy", {}, "102",
                   {LINECALLSTATE_PROCEEDING, LINECALLSTATE_BUSY, LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_BUSY},
        FailedCall{"NoAnswer", {}, "101", {LINECALLSTATE_PROCEEDING, LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_NOANSWER},
        FailedCall{"NoDialtone", {QStringLiteral("--no-dialtone")}, "102",
                   {LINECALLSTATE_PROCEEDING, LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_NODIALTONE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AtModems, SettingsOfTheConfigurationAreTheCommandsSent) {
  LineApp app(tapi);
  app.ChangeConfig(kAtDevice, [](QByteArray& b) {
    SetFieldAt<DWORD>(b, 100, 45);  // call set-up fail timer
    SetFieldAt<DWORD>(b, 104, 0);   // no inactivity time-out
    SetFieldAt<DWORD>(b, 108, MDMVOL_HIGH);
    SetFieldAt<DWORD>(b, 112, MDMSPKR_OFF);
    SetFieldAt<DWORD>(b, 116, MDM_BLIND_DIAL | MDM_FLOWCONTROL_SOFT);
  });
  ASSERT_NE(app.Open(kAtDevice, LINECALLPRIVILEGE_OWNER, 2), 0u);
  EXPECT_TRUE(emulator->Said("command ATM0L3X3\\N0%C0&K4S7=45S30=0")) << emulator->Log().toStdString();
}

TEST_F(AtModems, AHeldPortIsNeitherTakenNorTouchedAndListingLeavesItAlone) {
  // Another program holds the port.
  const int tty = ::open(emulator->Link().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  ChildProgram holder({QStringLiteral("sleep"), QStringLiteral("60")}, QString::fromStdString(m_Folder.Path().string()), tty);
  ::close(tty);
  ASSERT_TRUE(emulator->Said("a program opened the port"));
  const int before = emulator->Commands();
  LineApp app(tapi);
  {
    ErrorCapture errors(m_Folder / "stderr.txt");
    HLINE line = 0;
    EXPECT_EQ(tapi.lineOpen(app.app, kAtDevice, &line, app.version, 0, 1, LINECALLPRIVILEGE_OWNER,
                            LINEMEDIAMODE_DATAMODEM, nullptr),
              LINEERR_RESOURCEUNAVAIL);
    EXPECT_TRUE(errors.Text().contains(QStringLiteral("in use by sleep (process %1)").arg(holder.Pid())))
        << errors.Text().toStdString();
  }
  // Listing as the line component does: the name with a handle that is no port.
  const HLINE line = app.Open(kAtDevice);
  const QByteArray id = app.Id(line, "comm/datamodem");
  ASSERT_FALSE(id.isEmpty());
  EXPECT_EQ(QByteArray(id.constData() + 28), QByteArray("qxComm AT modem emulator"));
  const HANDLE handle = app.Comm(line);
  DWORD lines = 0xFF;
  EXPECT_TRUE(GetCommModemStatus(handle, &lines));
  EXPECT_EQ(lines, 0u) << "a line with nothing on it";
  EXPECT_TRUE(CloseHandle(handle));
  const QByteArray portName = app.Id(line, "comm/datamodem/portname");
  EXPECT_EQ(QByteArray(portName.constData() + FieldAt<DWORD>(portName, 20)), emulator->Link().toLocal8Bit());
  EXPECT_TRUE(app.Id(line, "wave/in/out").isEmpty()) << "no wave devices: Voice cannot be set";
  ProcessEventsFor(200);
  EXPECT_EQ(emulator->Commands(), before) << "nothing was sent to the modem";
}

TEST_F(AtModems, AModemThatStopsAnsweringFailsTheOpenWithAReason) {
  ::kill(emulator->Pid(), SIGSTOP);
  LineApp app(tapi);
  ErrorCapture errors(m_Folder / "stderr.txt");
  HLINE line = 0;
  EXPECT_EQ(tapi.lineOpen(app.app, kAtDevice, &line, app.version, 0, 1, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr),
            LINEERR_OPERATIONFAILED);
  EXPECT_TRUE(errors.Text().contains(QStringLiteral("does not answer ATZ with OK"))) << errors.Text().toStdString();
  ::kill(emulator->Pid(), SIGCONT);
}

// Debian's chat, as a dialer would run it, on the emulator's port.
TEST_F(AtModems, ChatDialsAVirtualModemThroughTheEmulator) {
  const QString chat = QStandardPaths::findExecutable(QStringLiteral("chat"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
  if (chat.isEmpty()) GTEST_SKIP() << "chat (Debian's ppp) is not installed";
  LineApp app(tapi);
  const HLINE owner = app.Open(1, LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, 2);
  Answerer answering(tapi, recorder, 1);
  const int tty = ::open(emulator->Link().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  ChildProgram dialer({chat, QStringLiteral("-v"), QStringLiteral("-t"), QStringLiteral("15"), QStringLiteral("ABORT"),
                       QStringLiteral("BUSY"), QStringLiteral("ABORT"), QStringLiteral("NO CARRIER"), QString(),
                       QStringLiteral("ATZ"), QStringLiteral("OK"), QStringLiteral("ATDT102"), QStringLiteral("CONNECT"),
                       QString()},
                      QString::fromStdString(m_Folder.Path().string()), tty, QString::fromStdString(m_Folder / "chat.err"));
  ::close(tty);
  ASSERT_TRUE(ProcessEventsUntil([&] { return dialer.Exited(); }, kCallBound));
  EXPECT_EQ(dialer.Status(), 0) << FileBytes(m_Folder / "chat.err");
  ASSERT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.device == answering.answered && e.p1 == LINECALLSTATE_CONNECTED;
  }, 0, kCallBound));
  EXPECT_EQ(answering.callerId, QByteArray("100", 4));
  // chat has ended and closed the port: as a DTR drop, the emulator hangs up.
  EXPECT_EQ(StateMode(recorder, answering.answered, LINECALLSTATE_DISCONNECTED), DWORD(LINEDISCONNECTMODE_NORMAL));
  (void)owner;
}

}  // namespace
