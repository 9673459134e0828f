// TqxBaseIO with real Qt widgets: the terminal, references that die, loading, devices, the notify
// list, the fatal-error path and the base worker thread.
#include "framework/exception.h"
#include "platform/kernelobject.h"
#include "platform/winapi.h"
#include "qx/qxclasses.h"
#include "support/fakeio.h"
#include "support/messagerecorder.h"
#include "support/qtwait.h"
#include "support/recordinglog.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

// Types a character into a widget the way the keyboard does.
void Type(QWidget* widget, QChar ch, int key = Qt::Key_unknown) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(ch));
  QCoreApplication::sendEvent(widget, &press);
}

void Receive(TqxBaseIO& io, const QByteArray& bytes) { io.DataReceived(bytes.constData(), static_cast<int>(bytes.size())); }

// A processor that marks every chunk consumed and remembers it.
class ConsumingProcessor : public TqxCustomDataProcessor {
public:
  using TqxCustomDataProcessor::DataReceived;
  using TqxCustomDataProcessor::TqxCustomDataProcessor;
  void DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags) override {
    seen.append(QByteArray(Buffer, Count));
    if (consume) Flags.Include(pfConsumed);
    TqxCustomDataProcessor::DataReceived(Buffer, Count, Flags);
  }
  bool consume = true;
  QList<QByteArray> seen;
};

struct TerminalCase {
  TTerminalUsage usage;
  bool echo;
  bool sends;  // a typed key goes to the device
  bool shows;  // a typed key appears in the control
};

class TerminalTyping : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalTyping, SendsAndShowsTypedKeysByUsageAndEcho) {
  const TerminalCase c = GetParam();
  QPlainTextEdit edit;
  FakeIO io;
  io.SetTerminal(&edit);
  io.SetTerminalUsage(c.usage);
  io.SetTerminalEcho(c.echo);
  Type(&edit, 'x', Qt::Key_X);
  EXPECT_EQ(io.sent, c.sends ? QByteArray("x") : QByteArray());
  EXPECT_EQ(edit.toPlainText(), c.shows ? QStringLiteral("x") : QString());
}

INSTANTIATE_TEST_SUITE_P(Usage, TerminalTyping,
                         ::testing::Values(TerminalCase{tuNone, false, false, true},
                                           TerminalCase{tuReceive, false, false, true},
                                           TerminalCase{tuSend, false, true, false},
                                           TerminalCase{tuSend, true, true, true},
                                           TerminalCase{tuBoth, false, true, false},
                                           TerminalCase{tuBoth, true, true, true}));

TEST(Terminal, TypedControlCharactersAndLatin1AreSentAsTheirLowByte) {
  QPlainTextEdit edit;
  FakeIO io;
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuSend);
  Type(&edit, '\r', Qt::Key_Return);
  Type(&edit, '\b', Qt::Key_Backspace);
  Type(&edit, QChar(0xE9));
  // A key without text (an arrow) is the control's own business.
  QKeyEvent arrow(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
  QCoreApplication::sendEvent(&edit, &arrow);
  EXPECT_EQ(io.sent, QByteArray("\r\b\xE9"));
}

TEST(Terminal, OwnOutputIsNeverSentBack) {
  QPlainTextEdit edit;
  FakeIO io;
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuBoth);
  io.SetTerminalEcho(true);
  Receive(io, "a");
  Receive(io, "bc\r\nd");
  EXPECT_EQ(io.sent, QByteArray());
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("abc\nd"));
  Type(&edit, 'e', Qt::Key_E);
  EXPECT_EQ(io.sent, QByteArray("e"));
}

TEST(Terminal, OneByteChunksActAsTypedKeys) {
  QPlainTextEdit edit;
  FakeIO io;
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuReceive);
  for (const char ch : QByteArray("abc\bd\re")) Receive(io, QByteArray(1, ch));
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("abd\ne"));
  EXPECT_EQ(edit.blockCount(), 2);
}

TEST(Terminal, LongerChunksAreCutAtZeroBytesAndInsertedAtTheCursor) {
  QPlainTextEdit edit;
  edit.setPlainText(QStringLiteral("[]"));
  QTextCursor cursor = edit.textCursor();
  cursor.setPosition(1);
  edit.setTextCursor(cursor);
  FakeIO io;
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuBoth);
  Receive(io, QByteArray("\0ab\0\0c\xE9\0", 8));
  EXPECT_EQ(edit.toPlainText(), QString::fromLatin1("[abc\xE9]"));
  // Received text is not part of what the user can undo.
  EXPECT_FALSE(edit.document()->isUndoAvailable());
}

TEST(Terminal, WorksWithOtherTextControls) {
  QTextEdit rich;
  QLineEdit line;
  FakeIO io;
  io.SetTerminalUsage(tuBoth);
  io.SetTerminal(&rich);
  Receive(io, "ab");
  Receive(io, "c");
  EXPECT_EQ(rich.toPlainText(), QStringLiteral("abc"));
  io.SetTerminal(&line);
  Receive(io, "xy");
  EXPECT_EQ(line.text(), QStringLiteral("xy"));
  // The former control is no longer watched.
  Type(&rich, 'q', Qt::Key_Q);
  EXPECT_EQ(io.sent, QByteArray());
}

TEST(Terminal, ReceivedDataIsShownOnlyWhenUsageShowsIt) {
  for (const TTerminalUsage usage : {tuNone, tuSend, tuReceive, tuBoth}) {
    QPlainTextEdit edit;
    FakeIO io;
    io.SetTerminal(&edit);
    io.SetTerminalUsage(usage);
    Receive(io, "hello");
    Receive(io, "!");
    const bool shows = usage == tuReceive || usage == tuBoth;
    EXPECT_EQ(edit.toPlainText(), shows ? QStringLiteral("hello!") : QString()) << usage;
    EXPECT_EQ(io.TerminalWindow() != nullptr, shows) << usage;
  }
}

TEST(Terminal, AConsumingProcessorHidesTheChunk) {
  QPlainTextEdit edit;
  FakeIO io;
  ConsumingProcessor processor;
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuReceive);
  io.SetDataProcessor(&processor);
  Receive(io, "hidden");
  processor.consume = false;
  Receive(io, "shown");
  EXPECT_EQ(processor.seen, (QList<QByteArray>{"hidden", "shown"}));
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("shown"));
}

TEST(Terminal, DesignTimeAssignmentSwitchesUsageFromNoneToBoth) {
  QPlainTextEdit edit;
  FakeIO running;
  running.SetTerminal(&edit);
  EXPECT_EQ(running.TerminalUsage(), tuNone);

  FakeIO designed;
  designed.SetDesigning(true);
  designed.SetTerminal(&edit);
  EXPECT_EQ(designed.TerminalUsage(), tuBoth);

  FakeIO sendOnly;
  sendOnly.SetDesigning(true);
  sendOnly.SetTerminalUsage(tuSend);
  sendOnly.SetTerminal(&edit);
  EXPECT_EQ(sendOnly.TerminalUsage(), tuSend);
}

TEST(References, DestroyedTerminalLogAndProcessorAreCleared) {
  FakeIO io;
  auto edit = std::make_unique<QPlainTextEdit>();
  auto log = std::make_unique<RecordingLog>();
  auto processor = std::make_unique<ConsumingProcessor>();
  io.SetTerminal(edit.get());
  io.SetTerminalUsage(tuBoth);
  io.SetLog(log.get());
  io.SetDataProcessor(processor.get());
  EXPECT_EQ(io.NotifyList().Count(), 1);

  edit.reset();
  EXPECT_EQ(io.Terminal(), nullptr);
  EXPECT_EQ(io.TerminalWindow(), nullptr);
  log.reset();
  EXPECT_EQ(io.Log(), nullptr);
  processor.reset();
  EXPECT_EQ(io.DataProcessor(), nullptr);
  // The processor took its handler with it.
  EXPECT_EQ(io.NotifyList().Count(), 0);

  Receive(io, "still fine");
  io.LogMessage(dlSimple, QStringLiteral("nobody listens"));
  io.Open();
  io.Close();
  EXPECT_FALSE(io.HasDataConsumer());
}

TEST(References, ReassignedTerminalIsReleased) {
  QPlainTextEdit first;
  FakeIO io;
  io.SetTerminal(&first);
  io.SetTerminalUsage(tuBoth);
  {
    QPlainTextEdit second;
    io.SetTerminal(&second);
    io.SetTerminal(nullptr);
    io.SetTerminal(&second);
  }
  EXPECT_EQ(io.Terminal(), nullptr);
  Type(&first, 'z', Qt::Key_Z);
  EXPECT_EQ(io.sent, QByteArray());
  EXPECT_EQ(first.toPlainText(), QStringLiteral("z"));
}

TEST(Loading, ActiveIsRecordedAndAppliedAfterTerminalAndUsage) {
  QPlainTextEdit edit;
  FakeIO io;
  bool terminalReadyAtOpen = false;
  io.OnDeviceOpened = [&](QObject*) { terminalReadyAtOpen = io.TerminalWindow() == &edit; };
  io.BeginLoading();
  io.SetActive(true);
  io.SetTerminalUsage(tuReceive);
  io.SetTerminal(&edit);
  EXPECT_TRUE(io.GetActive());
  EXPECT_EQ(io.openDeviceCalls, 0);
  EXPECT_FALSE(io.IsOpen());
  io.Loaded();
  EXPECT_FALSE(io.IsLoading());
  EXPECT_TRUE(io.IsOpen());
  EXPECT_TRUE(terminalReadyAtOpen);
  io.SetActive(false);
  EXPECT_FALSE(io.GetActive());
}

TEST(Loading, FailureWhileApplyingActiveIsShownAndLoadingEnds) {
  MessageRecorder recorder;
  FakeIO io;
  io.OnDeviceOpened = [](QObject*) { throw Exception(QStringLiteral("dropped")); };
  io.BeginLoading();
  io.SetActive(true);
  io.Loaded();  // a handler's exception is dropped by Open
  EXPECT_TRUE(recorder.messages.isEmpty());
  io.Close();

  // A component whose open raises.
  class RaisingIO : public FakeIO {
  public:
    void Open() override { FatalError(1, 0, false, QStringLiteral("Device \"x\" Open Error !!!")); }
  } raising;
  raising.BeginLoading();
  raising.SetActive(true);
  raising.Loaded();
  ASSERT_EQ(recorder.messages.size(), 1);
  EXPECT_TRUE(recorder.messages[0].text.startsWith(QStringLiteral("error")));
  EXPECT_TRUE(recorder.messages[0].text.contains(QStringLiteral("Open Error")));
  EXPECT_EQ(recorder.messages[0].caption, QStringLiteral("Error"));
  EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Error);
  EXPECT_FALSE(raising.IsLoading());
}

TEST(Active, DesignTimeOpenIsATestThatLeavesTheDeviceClosed) {
  for (const bool fails : {false, true}) {
    FakeIO io;
    io.openFails = fails;
    int opened = 0;
    int closed = 0;
    io.OnDeviceOpened = [&](QObject*) { ++opened; };
    io.OnDeviceClosed = [&](QObject*) { ++closed; };
    io.SetDesigning(true);
    io.SetActive(true);
    EXPECT_FALSE(io.IsOpen());
    EXPECT_EQ(io.GetActive(), !fails);
    EXPECT_EQ(opened, fails ? 0 : 1);
    EXPECT_EQ(closed, fails ? 0 : 1);
  }
}

TEST(Active, RunTimeOpensAndClosesOnlyOnChange) {
  FakeIO io;
  const std::size_t handles = platform::OpenHandleCount();
  int opened = 0;
  int closed = 0;
  io.OnDeviceOpened = [&](QObject* sender) {
    EXPECT_EQ(sender, &io);
    ++opened;
    throw std::runtime_error("dropped");
  };
  io.OnDeviceClosed = [&](QObject*) {
    ++closed;
    throw Exception(QStringLiteral("dropped"));
  };
  io.SetActive(true);
  io.SetActive(true);
  EXPECT_EQ(io.openDeviceCalls, 1);
  EXPECT_TRUE(io.GetActive());
  io.SetActive(false);
  io.SetActive(false);
  io.Close();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(io.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform::OpenHandleCount(), handles);

  io.openFails = true;
  io.Open();
  EXPECT_FALSE(io.IsOpen());
  EXPECT_EQ(opened, 1);
}

TEST(NotifyList, AddNotifyKeepsOneEntryPerHandler) {
  struct Listener {
    void Heard(TqxBaseIO*, int code) { codes.append(code); }
    QList<int> codes;
  } a, b;
  FakeIO io;
  const auto ha = TqxNotifyHandler::Of<Listener, &Listener::Heard>(&a);
  const auto hb = TqxNotifyHandler::Of<Listener, &Listener::Heard>(&b);
  EXPECT_EQ(io.AddNotify(ha), 0);
  EXPECT_EQ(io.AddNotify(hb), 1);
  EXPECT_EQ(io.AddNotify(ha), 0);
  EXPECT_EQ(io.NotifyList().Count(), 2);
  io.DevicesChanged();
  io.SetDeviceIndex(4);
  io.NotifyClients(7);
  EXPECT_EQ(a.codes, (QList<int>{3, 3, 7}));
  io.RemoveNotify(ha);
  io.RemoveNotify(ha);
  io.NotifyClients(2);
  EXPECT_EQ(a.codes.size(), 3);
  EXPECT_EQ(b.codes, (QList<int>{3, 3, 7, 2}));
}

TEST(NotifyList, CallsInOrderAndSkipsHandlersRemovedMeanwhile) {
  TqxNotifyList list;
  QList<int> calls;
  struct Entry {
    void Heard(TqxBaseIO*, int) {
      calls->append(id);
      if (toRemove != nullptr) list->Delete(list->IndexOf(*toRemove));
    }
    int id;
    QList<int>* calls;
    TqxNotifyList* list;
    TqxNotifyHandler* toRemove = nullptr;
  };
  Entry first{1, &calls, &list};
  Entry second{2, &calls, &list};
  Entry third{3, &calls, &list};
  auto h2 = TqxNotifyHandler::Of<Entry, &Entry::Heard>(&second);
  auto h3 = TqxNotifyHandler::Of<Entry, &Entry::Heard>(&third);
  list.Add(TqxNotifyHandler::Of<Entry, &Entry::Heard>(&first));
  list.Add(h2);
  list.Add(h3);
  EXPECT_EQ(list.IndexOf(h3), 2);
  EXPECT_EQ(list.Get(1), h2);
  second.toRemove = &h3;
  list.Notify(nullptr, 1);
  EXPECT_EQ(calls, (QList<int>{1, 2}));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_THROW(list.Delete(5), Exception);
  EXPECT_THROW(list.Get(-1), Exception);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.IndexOf(h2), -1);
}

TEST(Devices, ListIsEnumeratedOnceAndOwnedEntriesAreFreed) {
  static int destroyed = 0;
  struct CountedDevice : TqxDevice {
    ~CountedDevice() override { ++destroyed; }
  };
  destroyed = 0;
  {
    FakeIO io;
    io.deviceNames = {QStringLiteral("COM1"), QStringLiteral("Modem")};
    TqxDeviceList list{{QStringLiteral("stale"), nullptr}};
    io.GetDeviceList(&list);
    io.GetDeviceList(nullptr);
    EXPECT_EQ(io.enumCalls, 1);
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[1].first, QStringLiteral("Modem"));
    EXPECT_EQ(list[1].second, io.Device(1));
    EXPECT_EQ(io.Device(1)->Index, 1);
    EXPECT_EQ(io.Device(1)->Owner, &io);
    EXPECT_THROW(io.Device(2), Exception);

    auto* counted = new CountedDevice;
    counted->Name = QStringLiteral("extra");
    io.AddDevice(counted);
    EXPECT_EQ(counted->Index, 2);
    io.ClearDevices();
    EXPECT_EQ(io.DeviceCount(), 0);
    EXPECT_EQ(destroyed, 1);

    io.AddDevice(new CountedDevice);
  }
  EXPECT_EQ(destroyed, 2);

  CountedDevice kept;
  {
    FakeIO io;
    io.SetOwnsDevices(false);
    io.AddDevice(&kept);
  }
  EXPECT_EQ(destroyed, 2);
}

TEST(Devices, HandleDeviceChangeActsOnPortsAndNodeChanges) {
  struct Case {
    UINT message;
    WPARAM wParam;
    DWORD deviceType;
    bool withHeader;
    bool acts;
  };
  const Case cases[] = {
      {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, false, true},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, true, true},
      {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, true, true},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 5, true, false},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, false, false},
      {WM_DEVICECHANGE, 0x8001, DBT_DEVTYP_PORT, true, false},
      {WM_CHAR, DBT_DEVNODES_CHANGED, 0, false, false},
  };
  for (const Case& c : cases) {
    struct Listener {
      void Heard(TqxBaseIO*, int code) { codes.append(code); }
      QList<int> codes;
    } listener;
    FakeIO io;
    io.AddNotify(TqxNotifyHandler::Of<Listener, &Listener::Heard>(&listener));
    DEV_BROADCAST_HDR header{sizeof(DEV_BROADCAST_HDR), c.deviceType, 0};
    MSG message{};
    message.message = c.message;
    message.wParam = c.wParam;
    message.lParam = c.withHeader ? reinterpret_cast<LPARAM>(&header) : 0;
    EXPECT_EQ(io.HandleDeviceChange(message), c.acts) << c.wParam << " " << c.deviceType;
    EXPECT_EQ(listener.codes, c.acts ? QList<int>{3} : QList<int>{});
  }
}

TEST(Logging, PrefixBannerLevelsAndAbsentSink) {
  FakeIO io;
  io.LogMessage(dlSimple, QStringLiteral("nobody"));
  io.LogFormat(dlSimple, QStringLiteral("%d"), {1});

  RecordingLog log;
  log.detailLevel = dlDetail;
  io.SetLog(&log);
  io.SetLogPrefix(QStringLiteral("qxTest: "));
  io.LogMessage(dlSimple, QString());
  io.LogMessage(dlDetail, QStringLiteral("text"));
  io.LogMessage(dlDebug, QStringLiteral("too detailed"));
  io.LogFormat(dlSimple, QStringLiteral("port %s rate %u"), {QStringLiteral("COM1"), 9600u});
  io.LogFormat(dlDebug, QStringLiteral("%d"), {2});
  EXPECT_EQ(log.entries, (QStringList{QStringLiteral("<header>"), QStringLiteral("qxTest: text"),
                                      QStringLiteral("qxTest: port COM1 rate 9600")}));

  // The prefix is part of the format: a '%' in it is a conversion.
  io.SetLogPrefix(QStringLiteral("%d: "));
  io.LogFormat(dlSimple, QStringLiteral("x"), {5});
  EXPECT_EQ(log.entries.last(), QStringLiteral("5: x"));
}

struct FatalCase {
  bool handlerClears;
  bool showOnly;
  bool loading;
  bool raises;
  bool shows;
};

class FatalErrorPaths : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalErrorPaths, EventLogThenRaiseShowOrNothing) {
  const FatalCase c = GetParam();
  MessageRecorder recorder;
  RecordingLog log;
  FakeIO io;
  io.SetLog(&log);
  io.SetLogPrefix(QStringLiteral("qxTest: "));
  QStringList order;
  io.OnFatalError = [&](QObject* sender, std::uint32_t code, std::uint32_t detail, const QString& msg, bool& raise) {
    EXPECT_EQ(sender, &io);
    EXPECT_TRUE(raise);
    order.append(Format("event %u %u %s", {code, detail, msg}));
    EXPECT_TRUE(log.entries.isEmpty());
    if (c.handlerClears) raise = false;
  };
  if (c.loading) io.BeginLoading();
  bool raised = false;
  try {
    io.FatalError(2, 7, c.showOnly, QStringLiteral("line lost"));
  } catch (const Exception& error) {
    raised = true;
    EXPECT_EQ(error.Message(), QStringLiteral("line lost"));
  }
  EXPECT_EQ(order, QStringList{QStringLiteral("event 2 7 line lost")});
  EXPECT_EQ(log.entries, QStringList{QStringLiteral("Fatal Error: 2, 7, line lost")});
  EXPECT_EQ(raised, c.raises);
  ASSERT_EQ(recorder.messages.size(), c.shows ? 1 : 0);
  if (c.shows) {
    EXPECT_EQ(recorder.messages[0].text, QStringLiteral("line lost"));
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Error);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, FatalErrorPaths,
                         ::testing::Values(FatalCase{false, false, false, true, false},
                                           FatalCase{false, true, false, false, true},
                                           FatalCase{true, false, false, false, false},
                                           FatalCase{true, true, false, false, false},
                                           FatalCase{false, false, true, false, false},
                                           FatalCase{false, true, true, false, false}));

TEST(FatalError, ShowOnlyFromAWorkerThreadIsShownOnTheMainThread) {
  MessageRecorder recorder;
  FakeIO io;
  std::thread worker([&] { io.FatalError(1, 0, true, QStringLiteral("from the event thread")); });
  worker.join();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !recorder.messages.isEmpty(); }));
  EXPECT_EQ(recorder.messages[0].text, QStringLiteral("from the event thread"));
}

class ThreadedIO : public FakeIO {
public:
  ThreadedIO() { SetUseThread(true); }
  ~ThreadedIO() override { StopThread(); }
  void ThreadExecute(TqxThreadIO* thread) override {
    onOtherThread = std::this_thread::get_id() != mainThread;
    running = true;
    while (!thread->Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++runs;
    if (raise) throw std::runtime_error("dropped by the thread");
  }
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> onOtherThread{false};
  std::atomic<bool> running{false};
  std::atomic<int> runs{0};
  bool raise = true;
};

TEST(Thread, OpenStartsTheBodyAndCloseWaitsForItsEnd) {
  ThreadedIO io;
  io.Open();
  ASSERT_NE(io.Thread(), nullptr);
  ASSERT_TRUE(ProcessEventsUntil([&] { return io.running.load(); }));
  EXPECT_TRUE(io.onOtherThread);
  io.Close();
  EXPECT_EQ(io.runs, 1);
  EXPECT_EQ(io.Thread(), nullptr);
  io.StopThread();

  io.running = false;
  io.Open();
  ASSERT_TRUE(ProcessEventsUntil([&] { return io.running.load(); }));
}  // the destructor stops the second run

}  // namespace
