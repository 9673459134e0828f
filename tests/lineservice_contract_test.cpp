// The line service's contract as the binding uses it, through the library loaded at run time:
// result codes on bad input, structure sizes, when callbacks come and on which thread, loading
// and unloading, the devices and their answers, address translation and the message table.
#include "support/linetest.h"

#include "platform/kernelobject.h"
#include "platform/messagetable.h"
#include "platform/modemconfig.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QThread>

#include <dirent.h>

#include <future>

namespace {

constexpr HLINEAPP kBogus = 0x7777;

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

QByteArray VarBuffer(DWORD total, int room = 64) {
  QByteArray buffer(int(total) + room, char(0xA5));  // the bytes past dwTotalSize must stay as they are
  std::memset(buffer.data(), 0, std::min<std::size_t>(total, buffer.size()));
  SetFieldAt<DWORD>(buffer, 0, total);
  return buffer;
}

bool UntouchedFrom(const QByteArray& buffer, int from) {
  for (int i = from; i < buffer.size(); ++i)
    if (buffer[i] != char(0xA5)) return false;
  return true;
}

}  // namespace

class LineContract : public LineServiceTest {};

TEST_F(LineContract, BadInputGetsTheMatchingCodeAtOnce) {
  LineApp a(tapi);
  ASSERT_EQ(a.devices, 2u) << "a new store has the two virtual modems";
  const HLINE line = a.Open(0);
  HLINEAPP app = 0;
  HLINE out = 0;
  HCALL call = 0;
  DWORD number = 0, version = 0;
  LINEEXTENSIONID ext{};
  QByteArray id = VarBuffer(512);
  auto* var = reinterpret_cast<VARSTRING*>(id.data());
  QByteArray caps = VarBuffer(sizeof(LINEDEVCAPS) + 512);
  auto* devcaps = reinterpret_cast<LINEDEVCAPS*>(caps.data());
  LINETRANSLATEOUTPUT translated{};
  translated.dwTotalSize = sizeof translated;
  LINECALLPARAMS small{};
  small.dwTotalSize = 20;
  LINECALLPARAMS fax{};
  fax.dwTotalSize = sizeof fax;
  fax.dwMediaMode = 0x20;  // LINEMEDIAMODE_G3FAX
  QByteArray config = a.Config(0);
  QByteArray notModem = config;
  SetFieldAt<DWORD>(notModem, 72, PST_RS232);
  QByteArray badVersion = config;
  SetFieldAt<DWORD>(badVersion, 28, 0x12345678);
  const HCALL noCall = 0x4321;

  struct Row {
    const char* what;
    std::function<LONG()> request;
    LONG expected;
  };
  const Row rows[] = {
      {"initialize without a handle", [&] { return tapi.lineInitialize(nullptr, nullptr, &LineRecorder::Callback, nullptr, &number); }, LINEERR_INVALPOINTER},
      {"initialize without a callback", [&] { return tapi.lineInitialize(&app, nullptr, nullptr, nullptr, &number); }, LINEERR_INVALPOINTER},
      {"initialize without a count", [&] { return tapi.lineInitialize(&app, nullptr, &LineRecorder::Callback, nullptr, nullptr); }, LINEERR_INVALPOINTER},
      {"shutdown of no usage", [&] { return tapi.lineShutdown(kBogus); }, LINEERR_INVALAPPHANDLE},
      {"negotiate on no usage", [&] { return tapi.lineNegotiateAPIVersion(kBogus, 0, 0x10000, 0x90000, &version, &ext); }, LINEERR_INVALAPPHANDLE},
      {"negotiate on no device", [&] { return tapi.lineNegotiateAPIVersion(a.app, 9, 0x10000, 0x90000, &version, &ext); }, LINEERR_BADDEVICEID},
      {"negotiate without a result", [&] { return tapi.lineNegotiateAPIVersion(a.app, 0, 0x10000, 0x90000, nullptr, &ext); }, LINEERR_INVALPOINTER},
      {"negotiate a range above ours", [&] { return tapi.lineNegotiateAPIVersion(a.app, 0, 0x40000, 0x90000, &version, &ext); }, LINEERR_INCOMPATIBLEAPIVERSION},
      {"negotiate an empty range", [&] { return tapi.lineNegotiateAPIVersion(a.app, 0, 0x20000, 0x10004, &version, &ext); }, LINEERR_INCOMPATIBLEAPIVERSION},
      {"open on no usage", [&] { return tapi.lineOpen(kBogus, 0, &out, a.version, 0, 1, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_INVALAPPHANDLE},
      {"open no device", [&] { return tapi.lineOpen(a.app, 2, &out, a.version, 0, 1, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_BADDEVICEID},
      {"open without a handle", [&] { return tapi.lineOpen(a.app, 0, nullptr, a.version, 0, 1, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_INVALPOINTER},
      {"open with an unknown version", [&] { return tapi.lineOpen(a.app, 0, &out, 0x00090000, 0, 1, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_INCOMPATIBLEAPIVERSION},
      {"open with an extension", [&] { return tapi.lineOpen(a.app, 0, &out, a.version, 1, 1, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_INCOMPATIBLEEXTVERSION},
      {"open with no privilege", [&] { return tapi.lineOpen(a.app, 0, &out, a.version, 0, 1, 0, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_INVALPRIVSELECT},
      {"open with none and owner", [&] { return tapi.lineOpen(a.app, 0, &out, a.version, 0, 1, LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, nullptr); }, LINEERR_INVALPRIVSELECT},
      {"own without a media mode", [&] { return tapi.lineOpen(a.app, 0, &out, a.version, 0, 1, LINECALLPRIVILEGE_OWNER, 0, nullptr); }, LINEERR_INVALMEDIAMODE},
      {"own interactive voice", [&] { return tapi.lineOpen(a.app, 0, &out, a.version, 0, 1, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr); }, LINEERR_INVALMEDIAMODE},
      {"close no line", [&] { return tapi.lineClose(0x1234); }, LINEERR_INVALLINEHANDLE},
      {"id of no line", [&] { return tapi.lineGetID(0x1234, 0, 0, LINECALLSELECT_LINE, var, "comm/datamodem"); }, LINEERR_INVALLINEHANDLE},
      {"id of no call", [&] { return tapi.lineGetID(line, 0, noCall, LINECALLSELECT_CALL, var, "comm/datamodem"); }, LINEERR_INVALCALLHANDLE},
      {"id of address 1", [&] { return tapi.lineGetID(line, 1, 0, LINECALLSELECT_ADDRESS, var, "comm/datamodem"); }, LINEERR_INVALADDRESSID},
      {"id with a bad selection", [&] { return tapi.lineGetID(line, 0, 0, 8, var, "comm/datamodem"); }, LINEERR_INVALCALLSELECT},
      {"id of an unknown class", [&] { return tapi.lineGetID(line, 0, 0, LINECALLSELECT_LINE, var, "ndis"); }, LINEERR_INVALDEVICECLASS},
      {"id without an answer", [&] { return tapi.lineGetID(line, 0, 0, LINECALLSELECT_LINE, nullptr, "comm/datamodem"); }, LINEERR_INVALPOINTER},
      {"caps of no device", [&] { return tapi.lineGetDevCaps(a.app, 5, a.version, 0, devcaps); }, LINEERR_BADDEVICEID},
      {"caps without an answer", [&] { return tapi.lineGetDevCaps(a.app, 0, a.version, 0, nullptr); }, LINEERR_INVALPOINTER},
      {"config of no device", [&] { return tapi.lineGetDevConfig(7, var, "comm/datamodem"); }, LINEERR_BADDEVICEID},
      {"config of another class", [&] { return tapi.lineGetDevConfig(0, var, "wave/in"); }, LINEERR_INVALDEVICECLASS},
      {"set a block too short", [&] { return tapi.lineSetDevConfig(0, config.constData() + 24, 40, "comm/datamodem"); }, LINEERR_INVALPARAM},
      {"set a block not a modem's", [&] { return tapi.lineSetDevConfig(0, notModem.constData() + 24, 104, "comm/datamodem"); }, LINEERR_INVALPARAM},
      {"set a block of another version", [&] { return tapi.lineSetDevConfig(0, badVersion.constData() + 24, 104, "comm/datamodem"); }, LINEERR_INVALPARAM},
      {"set without a block", [&] { return tapi.lineSetDevConfig(0, nullptr, 104, "comm/datamodem"); }, LINEERR_INVALPOINTER},
      {"call on no line", [&] { return tapi.lineMakeCall(0x1234, &call, "102", 0, nullptr); }, LINEERR_INVALLINEHANDLE},
      {"call without a handle", [&] { return tapi.lineMakeCall(line, nullptr, "102", 0, nullptr); }, LINEERR_INVALPOINTER},
      {"call a number with letters", [&] { return tapi.lineMakeCall(line, &call, "10x2", 0, nullptr); }, LINEERR_INVALADDRESS},
      {"call no number", [&] { return tapi.lineMakeCall(line, &call, "", 0, nullptr); }, LINEERR_INVALADDRESS},
      {"call with short parameters", [&] { return tapi.lineMakeCall(line, &call, "102", 0, &small); }, LINEERR_STRUCTURETOOSMALL},
      {"call as a fax", [&] { return tapi.lineMakeCall(line, &call, "102", 0, &fax); }, LINEERR_INVALMEDIAMODE},
      {"answer no call", [&] { return tapi.lineAnswer(noCall, nullptr, 0); }, LINEERR_INVALCALLHANDLE},
      {"drop no call", [&] { return tapi.lineDrop(noCall, nullptr, 0); }, LINEERR_INVALCALLHANDLE},
      {"deallocate no call", [&] { return tapi.lineDeallocateCall(noCall); }, LINEERR_INVALCALLHANDLE},
      {"status of no call", [&] { LINECALLSTATUS s{}; s.dwTotalSize = sizeof s; return tapi.lineGetCallStatus(noCall, &s); }, LINEERR_INVALCALLHANDLE},
      {"info of no call", [&] { return tapi.lineGetCallInfo(noCall, reinterpret_cast<LINECALLINFO*>(caps.data())); }, LINEERR_INVALCALLHANDLE},
      {"parameters of no call", [&] { return tapi.lineSetCallParams(noCall, LINEBEARERMODE_VOICE, 0, 0, nullptr); }, LINEERR_INVALCALLHANDLE},
      {"digits watched on no call", [&] { return tapi.lineMonitorDigits(noCall, LINEDIGITMODE_DTMF); }, LINEERR_INVALCALLHANDLE},
      {"digits sent on no call", [&] { return tapi.lineGenerateDigits(noCall, LINEDIGITMODE_DTMF, "1", 0); }, LINEERR_INVALCALLHANDLE},
      {"translate a broken address", [&] { return tapi.lineTranslateAddress(a.app, 0, a.version, "+49 (30 1234", 0, 0, &translated); }, LINEERR_INVALADDRESS},
      {"translate with unknown options", [&] { return tapi.lineTranslateAddress(a.app, 0, a.version, "+49 1234", 0, 0x100, &translated); }, LINEERR_INVALPARAM},
      {"translate without an answer", [&] { return tapi.lineTranslateAddress(a.app, 0, a.version, "+49 1234", 0, 0, nullptr); }, LINEERR_INVALPOINTER},
      {"address of another mode", [&] { DWORD id = 9; return tapi.lineGetAddressID(line, &id, LINEADDRESSMODE_ADDRESSID, "101", 3); }, LINEERR_INVALADDRESSMODE},
      {"address of another line", [&] { DWORD id = 9; return tapi.lineGetAddressID(line, &id, LINEADDRESSMODE_DIALABLEADDR, "102", 3); }, LINEERR_INVALADDRESS},
      {"uncomplete what was never completed", [&] { return tapi.lineUncompleteCall(line, 1); }, LINEERR_INVALCOMPLETIONID},
  };
  for (const Row& row : rows) EXPECT_EQ(row.request(), row.expected) << row.what;
  DWORD address = 9;
  EXPECT_EQ(tapi.lineGetAddressID(line, &address, LINEADDRESSMODE_DIALABLEADDR, "t 101", 5), 0);
  EXPECT_EQ(address, 0u);
  ProcessEventsFor(50);
  EXPECT_EQ(recorder.Count(), 0u) << "a refused request causes no callback";
}

TEST_F(LineContract, NothingWorksBeforeInitialiseOrAfterTheLastShutdown) {
  QByteArray buffer = VarBuffer(2048);
  EXPECT_EQ(tapi.lineGetDevConfig(0, reinterpret_cast<VARSTRING*>(buffer.data()), "comm/datamodem"), LINEERR_UNINITIALIZED);
  { LineApp a(tapi); }
  EXPECT_EQ(tapi.lineGetDevConfig(0, reinterpret_cast<VARSTRING*>(buffer.data()), "comm/datamodem"), LINEERR_UNINITIALIZED);
  EXPECT_EQ(tapi.lineShutdown(kBogus), LINEERR_UNINITIALIZED);
}

TEST_F(LineContract, ACorruptStoreIsReportedAndLeftAlone) {
  QDir().mkpath(QString::fromStdString(m_Folder / "registry"));
  const QString path = QString::fromStdString(m_Folder / "registry/HKEY_LOCAL_MACHINE.reg");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("this is { not a store\n");
  file.close();
  HLINEAPP app = 0;
  DWORD devices = 7;
  EXPECT_EQ(tapi.lineInitialize(&app, nullptr, &LineRecorder::Callback, "test", &devices), LINEERR_INIFILECORRUPT);
  EXPECT_EQ(devices, 7u);
  QFile again(path);
  ASSERT_TRUE(again.open(QIODevice::ReadOnly));
  EXPECT_EQ(again.readAll(), QByteArray("this is { not a store\n")) << "no default modems were written over it";
  QByteArray buffer = VarBuffer(2048);
  EXPECT_EQ(tapi.lineGetDevConfig(0, reinterpret_cast<VARSTRING*>(buffer.data()), "comm/datamodem"), LINEERR_UNINITIALIZED)
      << "the service did not start";
}

TEST_F(LineContract, StructuresObeyTheirTotalSize) {
  LineApp a(tapi);
  const HLINE line = a.Open(0);
  const std::size_t handles = platform::OpenHandleCount();

  // Room for the header only: the answer's size is told, no handle is made, nothing is written past.
  QByteArray id = VarBuffer(sizeof(VARSTRING));
  ASSERT_EQ(tapi.lineGetID(line, 0, 0, LINECALLSELECT_LINE, reinterpret_cast<VARSTRING*>(id.data()), "comm/datamodem"), 0);
  EXPECT_EQ(FieldAt<DWORD>(id, 4), 24u + 4 + sizeof("Virtual Modem 1")) << "dwNeededSize";
  EXPECT_EQ(FieldAt<DWORD>(id, 8), 24u) << "dwUsedSize";
  EXPECT_EQ(FieldAt<DWORD>(id, 16), 0u) << "no string in the answer";
  EXPECT_TRUE(UntouchedFrom(id, sizeof(VARSTRING)));
  EXPECT_EQ(platform::OpenHandleCount(), handles) << "no comm handle for an answer that did not fit";

  // Less than the fixed part: refused; dwNeededSize is still told when it fits.
  QByteArray tiny = VarBuffer(8);
  EXPECT_EQ(tapi.lineGetID(line, 0, 0, LINECALLSELECT_LINE, reinterpret_cast<VARSTRING*>(tiny.data()), "comm/datamodem"),
            LINEERR_STRUCTURETOOSMALL);
  EXPECT_EQ(FieldAt<DWORD>(tiny, 4), 24u + 4 + sizeof("Virtual Modem 1"));
  EXPECT_TRUE(UntouchedFrom(tiny, 8));

  // Each structure: the fixed part alone, then the size it asked for.
  struct Row {
    const char* what;
    DWORD fixed;
    std::function<LONG(QByteArray&)> request;
  };
  const Row rows[] = {
      {"LINEDEVCAPS", sizeof(LINEDEVCAPS),
       [&](QByteArray& b) { return tapi.lineGetDevCaps(a.app, 0, a.version, 0, reinterpret_cast<LINEDEVCAPS*>(b.data())); }},
      {"LINETRANSLATEOUTPUT", sizeof(LINETRANSLATEOUTPUT),
       [&](QByteArray& b) {
         return tapi.lineTranslateAddress(a.app, 0, a.version, "+1 (212) 5550100", 0, 0,
                                          reinterpret_cast<LINETRANSLATEOUTPUT*>(b.data()));
       }},
      {"device configuration", sizeof(VARSTRING),
       [&](QByteArray& b) { return tapi.lineGetDevConfig(0, reinterpret_cast<VARSTRING*>(b.data()), "comm/datamodem"); }},
  };
  for (const Row& row : rows) {
    QByteArray tooSmall = VarBuffer(row.fixed - 4);
    EXPECT_EQ(row.request(tooSmall), LINEERR_STRUCTURETOOSMALL) << row.what;
    EXPECT_TRUE(UntouchedFrom(tooSmall, int(row.fixed - 4))) << row.what;
    QByteArray fixedOnly = VarBuffer(row.fixed);
    ASSERT_EQ(row.request(fixedOnly), 0) << row.what;
    const DWORD needed = FieldAt<DWORD>(fixedOnly, 4);
    EXPECT_GT(needed, row.fixed) << row.what;
    EXPECT_EQ(FieldAt<DWORD>(fixedOnly, 8), row.fixed) << row.what << ": only the fixed part is used";
    EXPECT_TRUE(UntouchedFrom(fixedOnly, int(row.fixed))) << row.what;
    QByteArray enough = VarBuffer(needed);
    ASSERT_EQ(row.request(enough), 0) << row.what;
    EXPECT_EQ(FieldAt<DWORD>(enough, 4), needed) << row.what;
    EXPECT_EQ(FieldAt<DWORD>(enough, 8), needed) << row.what << ": everything is used";
    EXPECT_TRUE(UntouchedFrom(enough, int(needed))) << row.what;
  }
}

TEST_F(LineContract, RepliesAndCallStatesComeOnlyWhileEventsAreProcessed) {
  LineApp a(tapi);
  const HLINE line = a.Open(0, LINECALLPRIVILEGE_NONE, 0x5150);
  HCALL call = 0;
  const LONG request = tapi.lineMakeCall(line, &call, "555", 0, nullptr);
  ASSERT_GT(request, 0) << "an asynchronous request answers with its identifier";
  ASSERT_NE(call, 0u);
  EXPECT_EQ(recorder.Count(), 0u) << "nothing is delivered inside the request";
  QThread::msleep(100);
  EXPECT_EQ(recorder.Count(), 0u) << "nothing is delivered while the thread does not process events";

  const auto disconnected = recorder.WaitForState(call, LINECALLSTATE_DISCONNECTED);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->p2, LINEDISCONNECTMODE_BADADDRESS) << "no modem has the number 555";
  const auto events = recorder.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].message, LINE_REPLY) << "the reply comes first";
  EXPECT_EQ(events[0].p1, DWORD_PTR(request));
  EXPECT_EQ(events[0].p2, 0u);
  for (const LineEvent& e : events) EXPECT_EQ(e.instance, 0x5150u) << "every message carries the line's instance";
  EXPECT_EQ(events.back().p3, LINECALLPRIVILEGE_OWNER) << "the first state of a new call names its privilege";
  EXPECT_EQ(recorder.StatesOf(call).front(), LINECALLSTATE_DISCONNECTED);

  LINECALLSTATUS status{};
  status.dwTotalSize = sizeof status;
  ASSERT_EQ(tapi.lineGetCallStatus(call, &status), 0);
  EXPECT_EQ(status.dwCallState, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(status.dwNeededSize, sizeof status);
  const LONG drop = tapi.lineDrop(call, nullptr, 0);
  ASSERT_GT(drop, 0);
  ASSERT_TRUE(recorder.WaitForState(call, LINECALLSTATE_IDLE));
  EXPECT_EQ(tapi.lineDrop(call, nullptr, 0), LINEERR_INVALCALLSTATE) << "an idle call cannot be dropped again";
  EXPECT_EQ(tapi.lineDeallocateCall(call), 0);
  EXPECT_EQ(tapi.lineDeallocateCall(call), LINEERR_INVALCALLHANDLE);
}

TEST_F(LineContract, CallbacksRunOnTheThreadThatInitialised) {
  // A usage handle made on a thread of its own, which processes its events until told to stop.
  std::promise<HLINEAPP> made;
  std::atomic<bool> stop{false};
  std::thread::id workerId;
  std::thread worker([&] {
    workerId = std::this_thread::get_id();
    HLINEAPP app = 0;
    DWORD devices = 0;
    EXPECT_EQ(tapi.lineInitialize(&app, nullptr, &LineRecorder::Callback, "worker", &devices), 0);
    made.set_value(app);
    while (!stop.load()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(tapi.lineShutdown(app), 0);
  });
  const HLINEAPP app = made.get_future().get();
  ASSERT_NE(app, 0u);

  // Requests from this thread; their messages go to the worker, never here.
  HLINE line = 0;
  ASSERT_EQ(tapi.lineOpen(app, 0, &line, TAPI_VERSION2_0, 0, 7, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr), 0);
  HCALL call = 0;
  EXPECT_GT(tapi.lineMakeCall(line, &call, "555", 0, nullptr), 0);
  EXPECT_TRUE(ProcessEventsUntil([&] { return recorder.Count() >= 2; }));
  for (const LineEvent& e : recorder.Events()) EXPECT_EQ(e.thread, workerId);
  stop.store(true);
  worker.join();
}

TEST_F(LineContract, UnloadsCleanlyAndStartsAfreshManyTimes) {
  FreeLibrary(tapi.module);  // each round below loads and unloads the library itself
  tapi.module = nullptr;
  int threads = 0;
  std::size_t handles = 0;
  for (int round = 0; round < 10; ++round) {
    if (round == 1) {  // after one round, whatever Qt starts once is there
      threads = ThreadCount();
      handles = platform::OpenHandleCount();
    }
    TapiLibrary library;
    ASSERT_NE(library.module, nullptr);
    LineApp first(library), second(library);
    HLINE owner = first.Open(1, LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR);
    ASSERT_NE(owner, 0u);
    EXPECT_TRUE(QFile::exists(RuntimePath("102.sock"))) << "an owner line waits on its number";
    const HANDLE comm = second.Comm(second.Open(0));
    ASSERT_NE(comm, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(comm));
    ASSERT_EQ(library.lineShutdown(first.app), 0);
    first.app = 0;
    EXPECT_FALSE(QFile::exists(RuntimePath("102.sock"))) << "closing the owner line stops waiting";
    ASSERT_EQ(library.lineShutdown(second.app), 0);
    second.app = 0;
  }
  EXPECT_EQ(GetModuleHandleA("tapi32.dll"), nullptr) << "the library really was unloaded";
  EXPECT_EQ(ThreadCount(), threads) << "the last shutdown ends every thread of the service";
  EXPECT_EQ(platform::OpenHandleCount(), handles);
}

TEST_F(LineContract, AnOpenUsageKeepsTheLibraryLoadedWhenTheProgramFreesIt) {
  FreeLibrary(tapi.module);
  tapi.module = nullptr;
  auto library = std::make_unique<TapiLibrary>();
  ASSERT_NE(library->module, nullptr);
  LineApp kept(*library);
  const HLINE owner = kept.Open(1, LINECALLPRIVILEGE_OWNER);
  ASSERT_NE(owner, 0u);
  FreeLibrary(library->module);  // another part of the program lets go of the library
  library->module = nullptr;
  EXPECT_NE(GetModuleHandleA("tapi32.dll"), nullptr) << "the open usage holds it";
  // The service runs on: a call from a second usage reaches the owner line.
  TapiLibrary again;
  LineApp caller(again);
  HCALL call = 0;
  ASSERT_GT(again.lineMakeCall(caller.Open(0), &call, "102", 0, nullptr), 0);
  EXPECT_TRUE(recorder.WaitFor([](const LineEvent& e) { return e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING; }));
  ASSERT_EQ(again.lineShutdown(caller.app), 0);
  caller.app = 0;
  ASSERT_EQ(again.lineShutdown(kept.app), 0);
  kept.app = 0;
  FreeLibrary(again.module);
  again.module = nullptr;
  EXPECT_EQ(GetModuleHandleA("tapi32.dll"), nullptr) << "the last shutdown let the library go";
}

TEST_F(LineContract, DevicesAnswerTheirIdentifiersAndCapabilities) {
  LineApp a(tapi);
  const HLINE line = a.Open(0);

  QByteArray caps = VarBuffer(1024);
  ASSERT_EQ(tapi.lineGetDevCaps(a.app, 1, a.version, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data())), 0);
  const auto* c = reinterpret_cast<const LINEDEVCAPS*>(caps.constData());
  EXPECT_STREQ(caps.constData() + c->dwLineNameOffset, "Virtual Modem 2");
  EXPECT_EQ(c->dwBearerModes, LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH);
  EXPECT_EQ(c->dwMediaModes, LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_AUTOMATEDVOICE);
  EXPECT_EQ(c->dwMaxRate, 115200u);
  EXPECT_NE(QByteArray(caps.constData() + c->dwDeviceClassesOffset, int(c->dwDeviceClassesSize)).indexOf("comm/datamodem"), -1);

  // Each "comm/datamodem" answer is a new handle of the modem's port, the name at byte 28.
  const QByteArray first = a.Id(line, "comm/datamodem"), second = a.Id(line, "COMM/DataModem");
  ASSERT_FALSE(first.isEmpty());
  ASSERT_FALSE(second.isEmpty());
  EXPECT_EQ(FieldAt<DWORD>(first, 12), STRINGFORMAT_BINARY);
  EXPECT_EQ(FieldAt<DWORD>(first, 20), 24u);
  EXPECT_STREQ(first.constData() + 28, "Virtual Modem 1");
  const HANDLE h1 = FieldAt<HANDLE>(first, 24), h2 = FieldAt<HANDLE>(second, 24);
  EXPECT_NE(h1, h2);
  DWORD lines = 0;
  ASSERT_TRUE(GetCommModemStatus(h1, &lines));
  EXPECT_EQ(lines, DWORD(MS_CTS_ON | MS_DSR_ON)) << "an idle line: DSR and CTS, no carrier, no ring";
  EXPECT_TRUE(CloseHandle(h1));
  EXPECT_TRUE(CloseHandle(h2));

  const QByteArray port = a.Id(line, "comm/datamodem/portname");
  EXPECT_STREQ(port.constData() + FieldAt<DWORD>(port, 20), "virtual:101");
  const QByteArray waveIn = a.Id(line, "wave/in"), waveOut = a.Id(line, "wave/out"), both = a.Id(line, "wave/in/out");
  const DWORD in = FieldAt<DWORD>(waveIn, 24), out = FieldAt<DWORD>(waveOut, 24);
  EXPECT_NE(in, 0u);
  EXPECT_NE(out, 0u);
  EXPECT_EQ(FieldAt<DWORD>(both, 16), 8u);
  EXPECT_EQ(FieldAt<DWORD>(both, 24), in);
  EXPECT_EQ(FieldAt<DWORD>(both, 28), out);
}

TEST_F(LineContract, ConfigurationBlockHasItsDefaultsAndKeepsWhatIsSet) {
  {
    LineApp a(tapi);
    const QByteArray config = a.Config(0);
    // The positions the line component reads.
    EXPECT_EQ(FieldAt<DWORD>(config, 16), 104u) << "the block's length";
    EXPECT_EQ(FieldAt<DWORD>(config, 24), 104u) << "DEVCFGHDR dwSize";
    EXPECT_EQ(FieldAt<DWORD>(config, 28), DEVCFG_VERSION);
    EXPECT_EQ(FieldAt<DWORD>(config, 48), 115200u) << "DCB BaudRate";
    EXPECT_EQ(FieldAt<DWORD>(config, 72), PST_MODEM);
    EXPECT_EQ(FieldAt<DWORD>(config, 100), 60u) << "call set-up fail timer";
    EXPECT_EQ(FieldAt<DWORD>(config, 104), 10u) << "inactivity time-out";
    EXPECT_EQ(FieldAt<DWORD>(config, 108), MDMVOL_LOW);
    EXPECT_EQ(FieldAt<DWORD>(config, 112), MDMSPKR_DIAL);
    const DWORD preferred = FieldAt<DWORD>(config, 116);
    EXPECT_EQ(preferred & (MDM_ERROR_CONTROL | MDM_COMPRESSION | MDM_FLOWCONTROL_HARD | MDM_BLIND_DIAL),
              MDM_ERROR_CONTROL | MDM_COMPRESSION | MDM_FLOWCONTROL_HARD);
    EXPECT_EQ(FieldAt<DWORD>(config, 52) & 0x3304u, 0x2004u) << "DCB: CTS output flow and RTS handshake";
    EXPECT_EQ(FieldAt<DWORD>(config, 124), 0u) << "no call has been connected";
    a.ChangeConfig(1, [](QByteArray& b) {
      SetFieldAt<DWORD>(b, 48, 57600);
      SetFieldAt<DWORD>(b, 100, 45);
    });
  }
  LineApp again(tapi);  // a new start reads the store again
  const QByteArray kept = again.Config(1);
  EXPECT_EQ(FieldAt<DWORD>(kept, 48), 57600u);
  EXPECT_EQ(FieldAt<DWORD>(kept, 100), 45u);
  EXPECT_EQ(FieldAt<DWORD>(again.Config(0), 48), 115200u) << "each device has its own block";
}

TEST_F(LineContract, AddressesTranslateByTheCurrentLocation) {
  LineApp a(tapi);
  const auto translate = [&](const char* address, DWORD options, QString& dialable, DWORD& dest, DWORD& results) {
    QByteArray out = VarBuffer(202);
    const LONG r = tapi.lineTranslateAddress(a.app, 0, a.version, address, 0, options,
                                             reinterpret_cast<LINETRANSLATEOUTPUT*>(out.data()));
    dialable = QString::fromLatin1(out.constData() + FieldAt<DWORD>(out, offsetof(LINETRANSLATEOUTPUT, dwDialableStringOffset)));
    dest = FieldAt<DWORD>(out, offsetof(LINETRANSLATEOUTPUT, dwDestCountry));
    results = FieldAt<DWORD>(out, offsetof(LINETRANSLATEOUTPUT, dwTranslateResults));
    return r;
  };
  QString dialable;
  DWORD dest = 0, results = 0;
  ASSERT_EQ(translate("+49 (30) 1234567", 0, dialable, dest, results), 0);
  EXPECT_EQ(dialable, QStringLiteral("0301234567")) << "the default location: country 49, no area code";

  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\qxComm\\Telephony\\Location", 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr), LONG(ERROR_SUCCESS));
  const DWORD country = 49;
  RegSetValueExA(key, "CountryCode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&country), sizeof country);
  RegSetValueExA(key, "AreaCode", 0, REG_SZ, reinterpret_cast<const BYTE*>("30"), 3);
  RegCloseKey(key);

  struct Row {
    const char* address;
    DWORD options;
    const char* dialable;
    DWORD dest;
    DWORD results;
  };
  const Row rows[] = {
      {"+49 (30) 1234567", 0, "1234567", 49, LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_LOCAL},
      {"+49 (40) 123-45", 0, "04012345", 49, LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_LONGDISTANCE},
      {"+49 (30) 1234567", 0x8, "0301234567", 49, LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_LONGDISTANCE},
      {"+1 (212) 5550100", 0, "0012125550100", 1, LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_INTERNATIONAL},
      {"+49 102", 0, "102", 49, LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_LOCAL},
      {"t102", 0, "t102", 49, LINETRANSLATERESULT_NOTRANSLATION},
      {"p 1 (02)", 0, "p 1 (02)", 49, LINETRANSLATERESULT_NOTRANSLATION},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(translate(row.address, row.options, dialable, dest, results), 0) << row.address;
    EXPECT_EQ(dialable, QString::fromLatin1(row.dialable)) << row.address;
    EXPECT_EQ(dest, row.dest) << row.address;
    EXPECT_EQ(results, row.results) << row.address;
  }
}

TEST_F(LineContract, MessageTableHasATextForEveryLineError) {
  HMODULE ui = LoadLibraryA("tapiui.dll");
  ASSERT_NE(ui, nullptr);
  const auto text = [&](DWORD id) {
    char buffer[1024] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, ui, id, 0, buffer, sizeof buffer, nullptr);
    return QString::fromLatin1(buffer, int(n));
  };
  QStringList texts;
#define QX_CHECK_TEXT(name, value)                                                          \
  texts << text(DWORD(value) - 0x80000000u + 0xE000u);                                        \
  EXPECT_FALSE(texts.back().isEmpty()) << "LINEERR_" #name;
  TAPI_LINE_ERRORS(QX_CHECK_TEXT)
#undef QX_CHECK_TEXT
  EXPECT_EQ(texts.size(), QSet<QString>(texts.begin(), texts.end()).size()) << "each code has its own text";
  EXPECT_EQ(text(0xE04D), QStringLiteral("The structure given is too small for the answer."));
  EXPECT_TRUE(text(0xFFFF0000u).contains(QStringLiteral("not available")));
  EXPECT_TRUE(text(0xE0FE).isEmpty()) << "no text for a code that does not exist";
  FreeLibrary(ui);
}
