#include "framework/exception.h"
#include "platform/commdevices.h"
#include "platform/virtuallink.h"
#include "platform/winapi.h"
#include "qx/qxcomm.h"
#include "support/commdata.h"
#include "support/messagerecorder.h"
#include "support/qtwait.h"
#include "support/recordinglog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QStringList>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The far end: reads exactly count bytes once they have arrived (events run meanwhile); empty
// when they do not arrive in time.
QByteArray ReadExactly(HANDLE handle, int count) {
  if (!ProcessEventsUntil([&] { return InQueue(handle) != 0xFFFFFFFFu && InQueue(handle) >= DWORD(count); }))
    return {};
  QByteArray bytes(count, '\0');
  Overlapped overlapped;
  DWORD read = 0;
  if (ReadFile(handle, bytes.data(), DWORD(count), &read, &overlapped)) return bytes.left(int(read));
  if (GetLastError() != ERROR_IO_PENDING) return {};
  const long n = Finish(handle, &overlapped);
  return n < 0 ? QByteArray() : bytes.left(int(n));
}

// A processor that records the chunks it sees and the transmit-empty events.
class RecordingProcessor : public TqxCustomDataProcessor {
public:
  using TqxCustomDataProcessor::DataReceived;
  explicit RecordingProcessor(QStringList* trace) : m_Trace(trace) {}

  void DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags) override {
    m_Trace->append(QStringLiteral("processor"));
    received.append(Buffer, Count);
    if (consume) Flags.Include(pfConsumed);
    TqxCustomDataProcessor::DataReceived(Buffer, Count, Flags);
  }
  void TxEmpty(bool& Handled) override {
    ++txEmpty;
    Handled = handleTxEmpty;
  }

  QByteArray received;
  bool consume = false;
  bool handleTxEmpty = false;
  int txEmpty = 0;

private:
  QStringList* m_Trace;
};

// A monitor with the library's own published property name.
class Lamp : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool Checked READ Checked WRITE SetChecked)

public:
  bool Checked() const { return m_Checked; }
  void SetChecked(bool value) {
    m_Checked = value;
    ++writes;
  }
  int writes = 0;

private:
  bool m_Checked = false;
};

class CommOverLink : public ::testing::Test {
protected:
  void SetUp() override {
    link = platform::VirtualLink::Create(options);
    ASSERT_TRUE(link);
    far = link->End(1);
    comm.SetLog(&log);
    comm.SetCommHandle(link->End(0));
    comm.OnTraceState = [this](QObject*, TTraceStates states) { traces.append(states); };
  }
  void TearDown() override {
    comm.Close();
    CloseHandle(far);
  }
  void Open() {
    comm.Open();
    ASSERT_TRUE(comm.IsOpen());
  }
  // Raises a CTS change at the port and waits (running events) until OnTraceState reports it.
  // Events are handled in order, so every event raised before it has been handled then. Needs
  // tsCTS in TraceStates before Open.
  bool EarlierEventsHandled() {
    const qsizetype seen = traces.size();
    link->SetModemLines(0, link->ModemLines(0) ^ MS_CTS_ON);
    return ProcessEventsUntil([&] {
      for (qsizetype i = seen; i < traces.size(); ++i)
        if (traces[i].Contains(tsCTS)) return true;
      return false;
    });
  }
  // Waits (running events) until the log holds an entry starting with text.
  bool Logged(const QString& text) {
    return ProcessEventsUntil([&] {
      for (const QString& entry : log.entries)
        if (entry.startsWith(text)) return true;
      return false;
    });
  }

  platform::VirtualLinkOptions options;
  std::shared_ptr<platform::VirtualLink> link;
  HANDLE far = INVALID_HANDLE_VALUE;
  RecordingLog log;
  TqxCommHandle comm;
  QList<TTraceStates> traces;
  QStringList trace;
};

TEST_F(CommOverLink, OpenAndCloseReportTxEmptyAndNotify) {
  QList<int> codes;
  struct Listener {
    QList<int>* codes;
    void Notify(TqxBaseIO*, int code) { codes->append(code); }
  } listener{&codes};
  comm.AddNotify(TqxNotifyHandler::Of<Listener, &Listener::Notify>(&listener));
  Open();
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(comm.Handle(), &mask));
  EXPECT_EQ(mask, EV_RXCHAR);  // empty TraceStates
  // Open begins with a Close of the closed port, which reports too.
  EXPECT_EQ(traces, (QList<TTraceStates>{{tsTxEmpty}, {tsTxEmpty}}));
  const QString name = QStringLiteral("Comm handle %1h").arg(QString::number(link->End(0), 16).toUpper());
  EXPECT_TRUE(log.entries.contains(QStringLiteral("The port %1 succesful opened").arg(name)));
  comm.Close();
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(traces.size(), 3);
  EXPECT_EQ(codes, (QList<int>{2, 1}));
  EXPECT_EQ(log.entries.last(), QStringLiteral("The port is succesful closed"));
  // Closing a closed port only reports the empty transmit queue.
  const int entries = log.entries.size();
  comm.Close();
  EXPECT_EQ(traces.size(), 4);
  EXPECT_EQ(codes.size(), 2);
  EXPECT_EQ(log.entries.size(), entries);
}

TEST_F(CommOverLink, TraceStatesBuildTheEventMask) {
  comm.SetTraceStates({tsRing, tsRx80Full, tsEvent2, tsTxEmpty});
  EXPECT_FALSE(comm.IsOpen());  // stored only
  Open();
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(comm.Handle(), &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_RING | EV_RX80FULL | EV_EVENT2 | EV_TXEMPTY);
  comm.SetTraceStates({tsCTS});
  ASSERT_TRUE(GetCommMask(comm.Handle(), &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_CTS);
}

TEST_F(CommOverLink, ReceivedChunkGoesToProcessorTerminalListThenAfterReceive) {
  RecordingProcessor processor(&trace);
  QPlainTextEdit terminal;
  QObject::connect(&terminal, &QPlainTextEdit::textChanged, [&] { trace.append(QStringLiteral("terminal")); });
  comm.SetDataProcessor(&processor);
  comm.SetTerminal(&terminal);
  comm.SetTerminalUsage(tuReceive);
  comm.SetTraceStates({tsRxChar});
  comm.SetEventListOnLine(true);
  comm.EventList().Add("RING");
  QByteArray listData;
  comm.OnListEvent = [&](QObject*, int EventNo, const char* Buffer, int Received, bool&) {
    trace.append(QStringLiteral("list %1").arg(EventNo));
    listData = QByteArray(Buffer, Received);
  };
  QByteArray received;
  comm.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) {
    trace.append(QStringLiteral("after"));
    received.append(Buffer, int(Received));
  };
  Open();
  // Held back until the whole chunk is in the driver's queue, so it arrives as one read.
  const QByteArray chunk("xxRING 12");
  ASSERT_TRUE(WriteAll(far, chunk));
  ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == chunk.size(); }));
  EXPECT_EQ(processor.received, chunk);
  EXPECT_EQ(terminal.toPlainText(), QString::fromLatin1(chunk));
  trace.removeAll(QStringLiteral("terminal"));  // one per insertion; keep the first
  EXPECT_EQ(trace.first(), QStringLiteral("processor"));
  EXPECT_EQ(trace.mid(1), (QStringList{QStringLiteral("list 0"), QStringLiteral("after")}));
  EXPECT_EQ(listData, QByteArray("RING 12"));
}

TEST_F(CommOverLink, ConsumedChunkIsNotShown) {
  RecordingProcessor processor(&trace);
  processor.consume = true;
  QPlainTextEdit terminal;
  comm.SetDataProcessor(&processor);
  comm.SetTerminal(&terminal);
  comm.SetTerminalUsage(tuBoth);
  Open();
  ASSERT_TRUE(WriteAll(far, "secret"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return processor.received.size() == 6; }));
  EXPECT_TRUE(terminal.toPlainText().isEmpty());
}

TEST_F(CommOverLink, BytesWaitingAtOpenAreDelivered) {
  RecordingProcessor processor(&trace);
  comm.SetDataProcessor(&processor);
  ASSERT_TRUE(WriteAll(far, "early"));
  Open();
  ASSERT_TRUE(ProcessEventsUntil([&] { return processor.received.size() == 5; }));
  EXPECT_EQ(processor.received, QByteArray("early"));
}

TEST_F(CommOverLink, BytesStayQueuedWhenNobodyTakesThem) {
  bool fired = false;
  comm.OnAfterReceive = [&](QObject*, const char*, std::uint32_t) { fired = true; };  // without tsRxChar
  comm.SetTraceStates({tsCTS});
  Open();
  // OnAfterReceive alone makes the handler read: the bytes leave the queue without firing it.
  ASSERT_TRUE(WriteAll(far, "abc"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return InQueue(comm.Handle()) == 0; }));
  EXPECT_FALSE(fired);

  comm.OnAfterReceive = nullptr;
  ASSERT_TRUE(WriteAll(far, "def"));
  ASSERT_TRUE(WaitUntil([&] { return InQueue(comm.Handle()) == 3; }));
  ASSERT_TRUE(EarlierEventsHandled());
  EXPECT_EQ(InQueue(comm.Handle()), 3u);
  // A pattern list, even without EventListOnLine, makes the data read.
  comm.EventList().Add("zz");
  ASSERT_TRUE(WriteAll(far, "g"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return InQueue(comm.Handle()) == 0; }));
}

TEST_F(CommOverLink, PatternsAreNotReportedWithoutEventListOnLine) {
  comm.EventList().Add("OK");
  int events = 0;
  comm.OnListEvent = [&](QObject*, int, const char*, int, bool&) { ++events; };
  QByteArray received;
  comm.SetTraceStates({tsRxChar});
  comm.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) { received.append(Buffer, int(Received)); };
  Open();
  ASSERT_TRUE(WriteAll(far, "OK\r\n"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == 4; }));
  EXPECT_EQ(events, 0);
}

TEST_F(CommOverLink, HandledListEventSuppressesAfterReceive) {
  comm.SetEventListOnLine(true);
  comm.EventList().Add("NO CARRIER");
  comm.SetTraceStates({tsRxChar});
  int afters = 0;
  QList<int> positions;
  comm.OnListEvent = [&](QObject*, int EventNo, const char*, int, bool& flHandled) {
    positions.append(int(comm.EventList().Get(EventNo).MatchedAt));
    flHandled = true;
  };
  comm.OnAfterReceive = [&](QObject*, const char*, std::uint32_t) { ++afters; };
  Open();
  // Split across two chunks: the match survives from one to the next.
  ASSERT_TRUE(WriteAll(far, "NO CA"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return afters == 1; }));
  ASSERT_TRUE(WriteAll(far, "RRIER\r\n"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return positions.size() == 1; }));
  EXPECT_EQ(positions, QList<int>{4});
  ProcessEventsFor(100);
  EXPECT_EQ(afters, 1);
}

TEST_F(CommOverLink, ReadsNeverExceedTheReceiveBuffer) {
  comm.SetTraceStates({tsRxChar});
  QList<int> sizes;
  QByteArray received;
  comm.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) {
    sizes.append(int(Received));
    received.append(Buffer, int(Received));
  };
  Open();
  const int buffer = comm.GetBufferInSize();
  // The driver's queue grows; the receive buffer keeps the size it had at Open.
  comm.SetBufferInSize(quint16(buffer * 4));
  ASSERT_EQ(comm.GetBufferInSize(), buffer * 4);
  QByteArray data(buffer * 3 + 17, '\0');
  for (int i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 256);
  // The main thread is busy while the whole burst reaches the driver's queue.
  ASSERT_TRUE(WriteAll(far, data));
  ASSERT_TRUE(WaitUntil([&] { return InQueue(comm.Handle()) == DWORD(data.size()); }));
  ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == data.size(); }));
  EXPECT_EQ(received, data);
  for (const int size : sizes) EXPECT_LE(size, buffer);
  EXPECT_GE(sizes.size(), 4);
}

TEST_F(CommOverLink, LineErrorGoesToCommErrorAndDataWaitsForTheNextEvent) {
  comm.SetTraceStates({tsRxChar, tsErr});
  QByteArray received;
  comm.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) { received.append(Buffer, int(Received)); };
  QList<std::uint32_t> codes;
  QByteArray receivedAtError;
  comm.OnCommError = [&](QObject*, std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags, bool&) {
    codes.append(CommCode);
    EXPECT_EQ(SysError, 0u);
    receivedAtError = received;
  };
  Open();
  // Data and a framing error wait together in the driver until the main thread looks.
  ASSERT_TRUE(WriteAll(far, "abc"));
  link->RaiseLineError(0, CE_FRAME);
  // (Not asked through ClearCommError, which would take the error.)
  ASSERT_TRUE(WaitUntil([&] { return link->BytesDelivered(1) == 3; }));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !codes.isEmpty(); }));
  EXPECT_EQ(codes, QList<std::uint32_t>{CE_FRAME});
  EXPECT_TRUE(receivedAtError.isEmpty());
  EXPECT_TRUE(log.entries.contains(QStringLiteral("Communication Error %1:0").arg(CE_FRAME)));
  // The next byte's event reads everything.
  ASSERT_TRUE(WriteAll(far, "d"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return received == "abcd"; }));
}

TEST_F(CommOverLink, FlashBuffersPurgesBothQueues) {
  link->SetBitsPerSecond(1200);  // 8 ms a byte: what is sent stays queued for seconds
  comm.SetTraceStates({tsErr});
  bool handled = false;
  comm.OnCommError = [&](QObject*, std::uint32_t, std::uint32_t, TComStateFlags, bool& flFlashBuffers) {
    flFlashBuffers = true;
    handled = true;
  };
  Open();
  // Every byte of the far end has arrived before the purge, so none can arrive after it.
  const QByteArray waiting("waiting");
  ASSERT_TRUE(WriteAll(far, waiting));
  ASSERT_TRUE(WaitUntil([&] { return InQueue(comm.Handle()) == DWORD(waiting.size()); }));
  const QByteArray unsent(2000, 'x');
  comm.SendData(unsent.constData(), int(unsent.size()));
  link->RaiseLineError(0, CE_OVERRUN);
  ASSERT_TRUE(ProcessEventsUntil([&] { return handled; }));
  EXPECT_EQ(InQueue(comm.Handle()), 0u);
  EXPECT_EQ(comm.OutputQueueCount(), 0u);
  EXPECT_LT(link->BytesDelivered(0), std::uint64_t(unsent.size()));
}

TEST_F(CommOverLink, AfterSendOnlyWithTxEmptyInTraceStates) {
  RecordingProcessor processor(&trace);
  comm.SetDataProcessor(&processor);
  int sent = 0;
  comm.OnAfterSend = [&](QObject*) { ++sent; };
  Open();
  comm.SendData("abc", 3);
  ASSERT_EQ(ReadExactly(far, 3), QByteArray("abc"));
  ProcessEventsFor(200);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(processor.txEmpty, 0);  // EV_TXEMPTY is not even asked for

  comm.SetTraceStates({tsTxEmpty});
  comm.SendData("def", 3);
  ASSERT_EQ(ReadExactly(far, 3), QByteArray("def"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return sent == 1; }));
  EXPECT_EQ(processor.txEmpty, 1);
  // A processor that handles the event keeps it from OnAfterSend.
  processor.handleTxEmpty = true;
  comm.SendData("g", 1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return processor.txEmpty == 2; }));
  ProcessEventsFor(100);
  EXPECT_EQ(sent, 1);
}

TEST_F(CommOverLink, SecondSendDataWhileTheFirstIsPendingKeepsBoth) {
  link->SetBitsPerSecond(38400);
  Open();
  QByteArray buffer(300, 'a');
  comm.SendData(buffer.constData(), buffer.size());
  buffer.fill('b');  // the caller reuses its buffer at once
  comm.SendData(buffer.constData(), buffer.size());
  comm.SendData("end", 3);
  EXPECT_EQ(ReadExactly(far, 603), QByteArray(300, 'a') + QByteArray(300, 'b') + "end");
}

TEST_F(CommOverLink, SendOperationsAndTheirLogLines) {
  Open();
  log.entries.clear();
  comm.SendChar('A');
  comm.SendString(QByteArray());
  comm.SendString("BC");
  comm.SendData("", 0);
  EXPECT_EQ(ReadExactly(far, 3), QByteArray("ABC"));
  EXPECT_EQ(log.entries, (QStringList{QStringLiteral("Try to send char 41h ..."),
                                      QStringLiteral("Try to send string BC ..."),
                                      QStringLiteral("Try to send the data with 0 length ..."),
                                      QStringLiteral("... the data transmittion is OK!")}));
  comm.Close();
  comm.SendChar('X');  // closed: nothing, no error
  EXPECT_EQ(log.entries.size(), 4 + 1);
}

TEST_F(CommOverLink, MonitorsFollowModemLines) {
  Lamp cts, ring, plain;
  QCheckBox dsr, rlsd;
  QWidget noProperty;
  comm.SetMonitorCTS(&cts);
  comm.SetMonitorDSR(&dsr);
  comm.SetMonitorRLSD(&rlsd);
  comm.SetMonitorRing(&ring);
  comm.SetTraceStates({tsCTS, tsDSR, tsRLSD, tsRing});
  Open();
  EXPECT_TRUE(cts.Checked());
  EXPECT_TRUE(dsr.isChecked());
  EXPECT_FALSE(rlsd.isChecked());
  EXPECT_FALSE(ring.Checked());
  EXPECT_EQ(comm.GetModemSignals(), (TModemSignals{msCTS, msDSR}));

  link->SetModemLines(0, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON);
  ASSERT_TRUE(ProcessEventsUntil([&] { return ring.Checked(); }));
  ASSERT_TRUE(ProcessEventsUntil([&] { return rlsd.isChecked() && !cts.Checked(); }));
  EXPECT_TRUE(dsr.isChecked());
  // Ring off does not clear the ring monitor.
  link->SetModemLines(0, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(ProcessEventsUntil([&] { return cts.Checked(); }));
  EXPECT_EQ(traces.last(), TTraceStates{tsCTS});
  EXPECT_TRUE(ring.Checked());
  // A control without such a property is left alone: it gets no property of that name, and the
  // other monitors are still set.
  comm.SetMonitorCTS(&noProperty);
  link->SetModemLines(0, MS_CTS_ON | MS_RLSD_ON);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !dsr.isChecked(); }));
  EXPECT_TRUE(noProperty.dynamicPropertyNames().isEmpty());
  EXPECT_FALSE(noProperty.property("Checked").isValid());
  // A destroyed monitor is forgotten: a ring afterwards reaches OnTraceState and no dead control.
  const int ringWrites = ring.writes;
  {
    auto gone = std::make_unique<Lamp>();
    comm.SetMonitorRing(gone.get());
  }
  EXPECT_EQ(comm.MonitorRing(), nullptr);
  comm.TraceNotify({tsRing});
  EXPECT_EQ(traces.last(), TTraceStates{tsRing});
  EXPECT_EQ(ring.writes, ringWrites);
}

TEST_F(CommOverLink, EventCharSetWhileClosedRaisesRxFlag) {
  comm.SetEventChar('\x7E');
  comm.SetTraceStates({tsRxFlag});
  Open();
  EXPECT_EQ(comm.GetEventChar(), '\x7E');
  ASSERT_TRUE(WriteAll(far, "a~b"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return !traces.isEmpty() && traces.last() == TTraceStates{tsRxFlag}; }));
}

TEST_F(CommOverLink, QueueSizesAndTimeouts) {
  EXPECT_EQ(comm.TimeoutWrite(), 100u);
  EXPECT_EQ(comm.TimeoutRead(), 0u);
  comm.SetBufferInSize(2048);
  comm.SetBufferOutSize(1024);
  EXPECT_EQ(comm.GetBufferInSize(), 2048);
  comm.SetTimeoutRead(5);
  Open();
  // The receive buffer is sized from the driver's current queue, which then reaches SetupComm;
  // the stored output size reaches it unchanged.
  EXPECT_EQ(comm.GetBufferInSize(), 4096);
  EXPECT_EQ(comm.GetBufferOutSize(), 1024);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(comm.Handle(), &timeouts));
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 5u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  comm.SetTimeoutWrite(7);
  ASSERT_TRUE(GetCommTimeouts(comm.Handle(), &timeouts));
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 7u);
}

TEST_F(CommOverLink, HandlerExceptionIsShownAndReceptionGoesOn) {
  MessageRecorder messages;
  comm.SetTraceStates({tsRxChar});
  int calls = 0;
  comm.OnAfterReceive = [&](QObject*, const char*, std::uint32_t) {
    if (++calls == 1) throw Exception(QStringLiteral("handler failed"));
  };
  Open();
  ASSERT_TRUE(WriteAll(far, "1"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !messages.messages.isEmpty(); }));
  EXPECT_EQ(messages.messages.first().text, QStringLiteral("handler failed"));
  EXPECT_TRUE(comm.IsOpen());
  ASSERT_TRUE(WriteAll(far, "2"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return calls == 2; }));
}

TEST_F(CommOverLink, CloseWhileHandOversWait) {
  comm.SetTraceStates({tsRxChar});
  int chunks = 0;
  comm.OnAfterReceive = [&](QObject*, const char*, std::uint32_t) { ++chunks; };
  for (int round = 0; round < 10; ++round) {
    if (round > 0) {
      auto next = platform::VirtualLink::Create(options);
      CloseHandle(far);
      link = next;
      far = link->End(1);
      comm.SetCommHandle(link->End(0));
    }
    Open();
    // The main thread does not run events, so the message thread waits in its hand-over.
    ASSERT_TRUE(WriteAll(far, "x"));
    ASSERT_TRUE(WaitUntil([&] { return InQueue(comm.Handle()) == 1; }));
    comm.Close();
    EXPECT_FALSE(comm.IsOpen());
  }
  // Abandoned hand-overs never run later.
  const int seen = chunks;
  ProcessEventsFor(100);
  EXPECT_EQ(chunks, seen);
}

TEST_F(CommOverLink, CloseFromInsideAHandler) {
  comm.SetTraceStates({tsRxChar});
  bool closedInside = false;
  comm.OnAfterReceive = [&](QObject*, const char*, std::uint32_t) {
    comm.Close();
    closedInside = !comm.IsOpen();
  };
  Open();
  ASSERT_TRUE(WriteAll(far, "bye"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return closedInside; }));
}

// The event thread's wait is cancelled before the thread goes, so none is left pending on the
// device (it would complete into freed memory) and new threads receive again.
TEST_F(CommOverLink, ThreadsStoppedAndStartedWhileOpen) {
  comm.SetTraceStates({tsRxChar});
  QByteArray received;
  comm.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) { received.append(Buffer, int(Received)); };
  Open();
  comm.StopThread();
  Overlapped wait;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(comm.Handle(), &mask, &wait));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << "a wait is still pending on the device";
  ASSERT_TRUE(CancelIoEx(comm.Handle(), &wait));
  EXPECT_EQ(Finish(comm.Handle(), &wait), -1);
  ASSERT_TRUE(WriteAll(far, "early"));
  comm.StartThread();
  ASSERT_TRUE(WriteAll(far, "late"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return received == "earlylate"; })) << received.constData();
}

// A write the line does not take (CTS held, no write time-out) is given up after the stall bound
// and reported; it does not go out later.
TEST_F(CommOverLink, WaitingWriteUnderHeldFlowControlIsBounded) {
  Open();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(comm.Handle(), &dcb));
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(SetCommState(comm.Handle(), &dcb));
  comm.SetTimeoutWrite(0);
  link->SetModemLines(0, MS_DSR_ON);
  QList<std::uint32_t> errors;
  comm.OnCommError = [&](QObject*, std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags, bool&) {
    EXPECT_EQ(CommCode, 0u);
    errors.append(SysError);
  };
  comm.SendChar('x');
  EXPECT_EQ(errors, QList<std::uint32_t>{ERROR_TIMEOUT});
  link->SetModemLines(0, MS_CTS_ON | MS_DSR_ON);
  comm.SendChar('y');
  EXPECT_EQ(ReadExactly(far, 1), QByteArray("y"));
  EXPECT_EQ(InQueue(far), 0u);
  EXPECT_EQ(errors.size(), 1);
}

TEST_F(CommOverLink, OpenWithoutDeviceIsAFatalError) {
  TqxCommHandle none;
  std::uint32_t code = 0;
  none.OnFatalError = [&](QObject*, std::uint32_t ErrorCode, std::uint32_t, const QString&, bool&) { code = ErrorCode; };
  EXPECT_THROW(none.Open(), Exception);
  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(none.OpenErrorText().startsWith(QStringLiteral("Device \"Unknown\" Open Error !!!\r")));
  EXPECT_FALSE(none.IsOpen());
}

// A port whose device fails for good: the event thread closes it, and a later Open works again.
TEST(CommEventThread, ClosesOnWaitErrorAndReopens) {
  TqxCommHandle comm;
  QList<int> codes;
  struct Listener {
    QList<int>* codes;
    void Notify(TqxBaseIO*, int code) { codes->append(code); }
  } listener{&codes};
  comm.AddNotify(TqxNotifyHandler::Of<Listener, &Listener::Notify>(&listener));
  int closedEvents = 0;
  comm.OnDeviceClosed = [&](QObject*) { ++closedEvents; };
  comm.SetTraceStates({tsRxChar});
  QByteArray received;
  comm.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) { received.append(Buffer, int(Received)); };

  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  comm.SetCommHandle(platform::CreateFdDevice(fds[0], fds[0], true));
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  ::close(fds[1]);  // end of input: the event wait fails with a broken pipe
  ASSERT_TRUE(ProcessEventsUntil([&] { return !comm.IsOpen() && closedEvents == 1; }));
  EXPECT_EQ(codes, (QList<int>{2, 1}));

  const auto link = platform::VirtualLink::Create();
  const HANDLE far = link->End(1);
  comm.SetCommHandle(link->End(0));
  comm.Open();
  ASSERT_TRUE(comm.IsOpen());
  ASSERT_TRUE(WriteAll(far, "again"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return received == "again"; }));
  comm.Close();
  EXPECT_EQ(closedEvents, 2);
  EXPECT_EQ(codes, (QList<int>{2, 1, 2, 1}));
  CloseHandle(far);
}

// OnDeviceClosed of a port that the event thread closed has fired once Close returns, however
// closely Close follows the event thread's close.
TEST(CommEventThread, CloseAfterTheEventThreadsCloseFinishesIt) {
  for (int round = 0; round < 200; ++round) {
    TqxCommHandle comm;
    int closedEvents = 0;
    comm.OnDeviceClosed = [&](QObject*) { ++closedEvents; };
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    comm.SetCommHandle(platform::CreateFdDevice(fds[0], fds[0], true));
    comm.Open();
    ASSERT_TRUE(comm.IsOpen());
    ::close(fds[1]);
    // Spinning, not sleeping: Close follows the event thread's close as closely as it can.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (comm.IsOpen() && std::chrono::steady_clock::now() < end) {
    }
    ASSERT_FALSE(comm.IsOpen());
    comm.Close();
    ASSERT_EQ(closedEvents, 1) << "round " << round;
    QCoreApplication::processEvents();
    ASSERT_EQ(closedEvents, 1) << "round " << round;
  }
}

// The message thread's id is published only once its queue takes posts.
TEST(CommThreads, MessageThreadTakesAPostAsSoonAsItsIdIsOut) {
  TqxCommHandle comm;
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    TMsgThread thread(&comm, INVALID_HANDLE_VALUE);
    // Spinning, not sleeping: the post follows the id as closely as it can.
    DWORD id = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((id = thread.ThreadId()) == 0 && std::chrono::steady_clock::now() < end) {
    }
    ASSERT_NE(id, 0u);
    if (!PostThreadMessage(id, qxCommMsgQuitComEvent(), 0, 0)) ++refused;
  }
  EXPECT_EQ(refused, 0);
}

}  // namespace

#include "qxcomm_test.moc"
