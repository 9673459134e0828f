// The telephony line component over the line service: two components of this process calling each
// other (caller ID, the events and their order, the data path with terminal, monitors and ZModem,
// hang-up from either side), busy, the repeats after a disconnection, ring counting, voice with
// digits, and a call to qxline in another process.
#include "support/telephonytest.h"
#include "support/testfiles.h"

#include "framework/exception.h"
#include "qx/qxzmodem.h"

#include <QCheckBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QTemporaryDir>

namespace {

QString StateEvent(DWORD state, DWORD mode) {
  return QStringLiteral("state %1/%2").arg(state, 0, 16).arg(mode, 0, 16);
}

// The start of every OnCallState entry for the state, whatever its mode.
QString StatePrefix(DWORD state) { return QStringLiteral("state %1/").arg(state, 0, 16); }

// Position of the first event at or after `from` that starts with `prefix`, or -1.
qsizetype EventAt(const QStringList& events, const QString& prefix, qsizetype from = 0) {
  for (qsizetype i = from; i < events.size(); ++i)
    if (events[i].startsWith(prefix)) return i;
  return -1;
}

// A ZModem engine as the data processor of a line component.
struct Transfers {
  explicit Transfers(TqxCommTAPI& com, const QString& folder) {
    zm.SetActive(true);
    zm.SetDefaultPath(folder);
    zm.OnSuccessfulEnd = [this](QObject*) { ++successes; };
    zm.OnAbort = [this](QObject*, TzAbortType reason) { aborts.push_back(reason); };
    com.SetDataProcessor(&zm);
    // The engine sends its next block when the port reports its output sent.
    com.SetTraceStates({tsTxEmpty});
  }
  TqxZModem zm;
  int successes = 0;
  std::vector<TzAbortType> aborts;
};

class TelephonyCalls : public TelephonyTest {};

TEST(TelephonyDialString, CountryAreaAndDialingMode) {
  const struct {
    int country;
    const char* area;
    bool pulse;
    const char* dialled;
  } rows[] = {
      {49, "30", false, "+49 (30) 1234567"}, {49, "", false, "+49 1234567"}, {49, "30", true, "+49 (30) 1234567"},
      {0, "30", false, "t1234567"},          {0, "", true, "p1234567"},     {1, " \t 212\r\n ", false, "+1 (212) 1234567"},
  };
  for (const auto& row : rows) {
    TqxCommTAPI com;
    com.SetCountryCode(row.country);
    com.SetAreaCode(row.area);
    com.SetPulse(row.pulse);
    com.SetPhone("1234567");
    EXPECT_EQ(com.BuildDialString(), row.dialled) << row.dialled;
  }
  TqxCommTAPI com;
  com.SetAreaCode(" \x01 0 40\x1f");
  EXPECT_EQ(com.AreaCode(), "0 40") << "blanks and control characters go from both ends";
}

TEST_F(TelephonyCalls, ConnectWithCallerIdTerminalAndMonitorsThenBothSidesHangUp) {
  Modem caller(0), callee(1);
  QPlainTextEdit callerTerminal, calleeTerminal;
  QCheckBox dsr, cts, dcd;
  caller.com.SetTerminal(&callerTerminal);
  caller.com.SetTerminalUsage(tuBoth);
  callee.com.SetTerminal(&calleeTerminal);
  callee.com.SetTerminalUsage(tuBoth);
  callee.com.SetMonitorDSR(&dsr);
  callee.com.SetMonitorCTS(&cts);
  callee.com.SetMonitorRLSD(&dcd);
  // Set before the call, applied to the port when it connects.
  callee.com.SetEventChar('\r');
  EXPECT_EQ(callee.com.GetEventChar(), '\r');
  callee.com.SetPauseOnRepeat(0);  // Retries 3: waits again after the caller hangs up

  callee.com.WaitForCall();
  EXPECT_EQ(callee.com.CallState(), csWaiting);
  EXPECT_EQ(callee.Logged("Device \\[Virtual Modem 2\\] wait for incoming call ..."), 1);
  caller.Dial("102");
  EXPECT_EQ(caller.Logged("qxCommTAPI: Dial: 102 Canonical:t102 Dialable:" + QRegularExpression::escape(caller.com.DialableAddress())), 1);
  EXPECT_EQ(caller.Logged("Make Call Out : 102 Device: Virtual Modem 1"), 1);
  ASSERT_TRUE(BothConnected(caller, callee)) << caller.events.join(", ").toStdString();

  // Caller ID, without the terminating zero the library counts.
  EXPECT_EQ(callee.com.CallerID(), "101");
  EXPECT_EQ(callee.com.CallerIDName(), "Virtual Modem 1");
  EXPECT_EQ(callee.com.CalledID(), "102");
  EXPECT_EQ(callee.com.RingCount(), 1);
  // The events, in their order on each side.
  const qsizetype proceeding = EventAt(caller.events, StatePrefix(LINECALLSTATE_PROCEEDING));
  ASSERT_GE(proceeding, 0) << caller.events.join(", ").toStdString();
  EXPECT_EQ(caller.events.value(proceeding + 1), "proceeding");
  const qsizetype ringback = EventAt(caller.events, StatePrefix(LINECALLSTATE_RINGBACK), proceeding);
  const qsizetype connected = EventAt(caller.events, StatePrefix(LINECALLSTATE_CONNECTED), proceeding);
  EXPECT_GT(ringback, proceeding);
  ASSERT_GT(connected, ringback);
  EXPECT_EQ(caller.events.value(connected + 1), "connected");
  EXPECT_EQ(EventAt(callee.events, StatePrefix(LINECALLSTATE_OFFERING)), 0) << callee.events.join(", ").toStdString();
  EXPECT_EQ(callee.events.value(callee.events.size() - 1), "connected");
  EXPECT_EQ(callee.Logged("qxCommTAPI: Answer"), 1);
  const quint32 rate = callee.com.DeviceModem()->BaudRateOfConnect();
  EXPECT_GT(rate, 0u);
  EXPECT_EQ(callee.Logged(QStringLiteral("qxCommTAPI: Connected \\[%1\\] hCom \\[%2\\] CallerID \\[101\\]")
                              .arg(rate)
                              .arg(callee.com.Handle())),
            1)
      << callee.log.entries.join("\n").toStdString();
  EXPECT_TRUE(caller.com.IsConnected());
  EXPECT_TRUE(callee.com.IsConnected());
  EXPECT_EQ(callee.Logged("qxCommTAPI: The port .* succesful opened"), 1);

  // The data path: the terminal both ways, the monitors following the modem lines.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(callee.com.Handle(), &dcb));
  EXPECT_EQ(dcb.EvtChar, '\r');
  EXPECT_EQ(dcb.fAbortOnError, 1u);
  caller.com.SendString("hello over the line\r");
  ASSERT_TRUE(ProcessEventsUntil([&] { return calleeTerminal.toPlainText().contains("hello over the line"); }));
  callee.com.SendString("and back\r");
  ASSERT_TRUE(ProcessEventsUntil([&] { return callerTerminal.toPlainText().contains("and back"); }));
  EXPECT_TRUE(ProcessEventsUntil([&] { return dsr.isChecked() && cts.isChecked() && dcd.isChecked(); }));

  // The caller hangs up: ended on its side, a remote disconnection on the other, which waits again.
  caller.com.HangUp();
  EXPECT_EQ(caller.events.last(), "disconnected local");
  EXPECT_EQ(caller.com.CallState(), csIdle);
  EXPECT_EQ(caller.com.LineApp(), 0u);
  EXPECT_EQ(caller.com.UsageCount(), 0);
  EXPECT_EQ(caller.Logged("qxCommTAPI: HangUp"), 1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return callee.remoteDisconnects == 1; }));
  EXPECT_FALSE(callee.com.IsOpen());
  EXPECT_FALSE(dsr.isChecked() || cts.isChecked() || dcd.isChecked()) << "the monitors follow the closed line";
  for (const char* line : {"qxCommTAPI: Begin Handle Disconnection", "qxCommTAPI: Call closed",
                           "qxCommTAPI: Line closed \\[Virtual Modem 2\\]", "qxCommTAPI: Done Disconnection"})
    EXPECT_EQ(callee.Logged(line), 1) << line;
  ASSERT_TRUE(ProcessEventsUntil([&] { return callee.com.CallState() == csWaiting; }));
  EXPECT_EQ(callee.com.RetryCount(), 1);

  // A second call; this time the callee hangs up.
  caller.Dial("102");
  ASSERT_TRUE(BothConnected(caller, callee));
  EXPECT_EQ(callee.com.RingCount(), 1) << "closing the line starts the ring count anew";
  callee.com.HangUp();
  EXPECT_EQ(callee.events.last(), "disconnected local");
  ASSERT_TRUE(ProcessEventsUntil([&] { return caller.remoteDisconnects == 1; }));
  EXPECT_EQ(caller.com.CallState(), csIdle) << "Retries 3, but PauseOnRepeat 3000: a repeat is scheduled";
  EXPECT_TRUE(caller.com.RepeatScheduled());
  caller.com.HangUp();
  EXPECT_TRUE(caller.faults.empty() && callee.faults.empty()) << (caller.faults.empty() ? callee : caller).faults[0].text.toStdString();
}

TEST_F(TelephonyCalls, ZModemFileBetweenTwoComponentsArrivesIdentical) {
  QTemporaryDir sendFolder, receiveFolder;
  const QByteArray content = Pattern(300000, 5);
  const QString source = sendFolder.filePath("call.bin");
  WriteTestFile(source, content);
  Modem caller(0), callee(1);
  Transfers sender(caller.com, sendFolder.path()), receiver(callee.com, receiveFolder.path());
  callee.com.WaitForCall();
  caller.Dial("102");
  ASSERT_TRUE(BothConnected(caller, callee));

  sender.zm.SendFile(source);
  ASSERT_TRUE(ProcessEventsUntil([&] { return sender.successes == 1 && receiver.successes == 1; }, 60000))
      << "aborts " << sender.aborts.size() << "/" << receiver.aborts.size();
  EXPECT_TRUE(ReadAll(receiveFolder.filePath("call.bin")) == content);

  // A hang-up during a transfer ends it for the medium's sake.
  sender.zm.SendFile(source);
  ASSERT_TRUE(ProcessEventsUntil([&] { return receiver.zm.Role() == TqxZModem::zrReceiving; }));
  caller.com.HangUp();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !receiver.aborts.empty(); }));
  EXPECT_EQ(receiver.aborts[0], zeByMedia);
}

TEST_F(TelephonyCalls, BusyFiresOnLineBusyBeforeTheDisconnection) {
  Modem first(0), owner(1), late(2);
  owner.com.WaitForCall();
  first.Dial("102");
  ASSERT_TRUE(BothConnected(first, owner));
  late.com.SetRetries(0);
  late.Dial("102");
  ASSERT_TRUE(ProcessEventsUntil([&] { return late.remoteDisconnects == 1; }));
  const QStringList& events = late.events;
  const qsizetype busy = EventAt(events, StatePrefix(LINECALLSTATE_BUSY));
  const qsizetype end = events.indexOf(StateEvent(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY));
  ASSERT_GE(end, 0) << events.join(", ").toStdString();
  // The call states of the closing (idle) may come between; the events keep this order.
  QStringList ending = events.mid(end);
  ending.removeIf([](const QString& e) { return e.startsWith(StatePrefix(LINECALLSTATE_IDLE)); });
  EXPECT_EQ(ending, (QStringList{StateEvent(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY), "busy",
                                 "disconnected remote"}));
  ASSERT_GE(busy, 0) << events.join(", ").toStdString();
  EXPECT_EQ(events.value(busy + 1), "busy") << "OnLineBusy follows the busy state as well";
  EXPECT_LT(busy, end);
  EXPECT_EQ(late.com.CallState(), csIdle);
  EXPECT_TRUE(first.Connected() && owner.Connected()) << "the call in progress goes on";
}

// Retries counts the first attempt; a number no modem has ends every attempt at once.
TEST_F(TelephonyCalls, RetriesAndPauseOnRepeat) {
  const struct {
    int retries;
    int pause;
    int attempts;  // -1: without end
  } rows[] = {{0, 0, 1}, {1, 0, 1}, {3, 0, 3}, {3, 40, 3}, {-1, 0, -1}, {-1, 20, -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "Retries " << row.retries << ", PauseOnRepeat " << row.pause);
    Modem caller(0);
    caller.com.SetRetries(row.retries);
    caller.com.SetPauseOnRepeat(row.pause);
    caller.Dial("555");
    if (row.pause > 0 && row.retries != 0) {
      ASSERT_TRUE(ProcessEventsUntil([&] { return caller.remoteDisconnects == 1; }));
      EXPECT_TRUE(caller.com.RepeatScheduled()) << "the repeat waits for its pause";
      EXPECT_EQ(caller.Logged("qxCommTAPI: Dial: 555 .*"), 1);
    }
    if (row.attempts < 0) {
      ASSERT_TRUE(ProcessEventsUntil([&] { return caller.remoteDisconnects >= 6; }));
      caller.com.HangUp();
      const int ended = caller.remoteDisconnects;
      ProcessEventsFor(150);
      EXPECT_EQ(caller.remoteDisconnects, ended) << "HangUp ends the repeats";
    } else {
      ASSERT_TRUE(ProcessEventsUntil([&] { return caller.remoteDisconnects == row.attempts && !caller.com.RepeatScheduled(); }))
          << caller.remoteDisconnects << " " << caller.com.RepeatScheduled() << "\n" << caller.events.join(", ").toStdString() << "\n" << caller.log.entries.join("\n").toStdString();
      ProcessEventsFor(150);
      EXPECT_EQ(caller.remoteDisconnects, row.attempts);
      EXPECT_EQ(caller.Logged("qxCommTAPI: Dial: 555 .*"), row.attempts);
    }
    EXPECT_EQ(caller.com.CallState(), csIdle);
    EXPECT_TRUE(caller.faults.empty());
  }
}

TEST_F(TelephonyCalls, HangUpWhileARepeatIsScheduled) {
  Modem caller(0);
  caller.com.SetPauseOnRepeat(150);
  caller.Dial("555");
  ASSERT_TRUE(ProcessEventsUntil([&] { return caller.remoteDisconnects == 1; }));
  ASSERT_TRUE(caller.com.RepeatScheduled());
  caller.com.HangUp();
  EXPECT_EQ(caller.events.last(), "disconnected local");
  ProcessEventsFor(400);
  EXPECT_EQ(caller.Logged("qxCommTAPI: Dial: 555 .*"), 1) << "the timer fired and found nothing to repeat";
  EXPECT_EQ(caller.com.LineApp(), 0u);
}

TEST_F(TelephonyCalls, RingsBeforeAnswerAndOnRing) {
  enum Decision { kCount, kAnswer, kRefuse };
  const struct {
    int rings;
    Decision onRing;
    int answeredAt;  // 0: never
  } rows[] = {{0, kCount, 1}, {1, kCount, 1}, {3, kCount, 3}, {5, kAnswer, 1}, {0, kRefuse, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "RingsBeforeAnswer " << row.rings << ", OnRing " << row.onRing);
    int rings = 0;
    bool counted = false;
    Modem caller(0), callee(1);
    callee.com.SetRingsBeforeAnswer(row.rings);
    if (row.onRing != kCount)
      callee.com.OnRing = [&](QObject*, bool& answer) {
        ++rings;
        answer = row.onRing == kAnswer;
      };
    else
      callee.com.OnRing = [&](QObject*, bool& answer) {
        ++rings;
        counted = answer;
      };
    callee.com.WaitForCall();
    caller.Dial("102");
    if (row.answeredAt > 0) {
      ASSERT_TRUE(BothConnected(caller, callee));
      EXPECT_EQ(rings, row.answeredAt);
      EXPECT_EQ(callee.com.RingCount(), row.answeredAt);
      if (row.onRing == kCount) {
        EXPECT_TRUE(counted) << "the handler sees the decision to answer";
      }
    } else {
      ASSERT_TRUE(ProcessEventsUntil([&] { return rings >= 4; }));
      EXPECT_EQ(callee.com.CallState(), csWaiting);
      EXPECT_EQ(callee.connects + caller.connects, 0);
    }
    caller.com.HangUp();
    callee.com.HangUp();
  }
}

TEST_F(TelephonyCalls, VoiceCallReportsDigitsWithoutADataPath) {
  QByteArray digits;
  Modem caller(0), callee(1);
  callee.com.SetVoice(true);
  caller.com.SetVoice(true);
  ASSERT_TRUE(callee.com.Voice() && caller.com.Voice()) << "virtual modems have wave devices";
  callee.com.OnDTMF = [&](QObject*, char digit) { digits.append(digit); };
  callee.com.WaitForCall();
  caller.Dial("102");
  ASSERT_TRUE(BothConnected(caller, callee));
  EXPECT_FALSE(callee.com.IsOpen()) << "no modem lines are traced, so no data path is opened";
  ASSERT_EQ(tapi.lineGenerateDigits(caller.com.CallHandle(), LINEDIGITMODE_DTMF, "4#7*", 0), 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return digits.size() >= 4; }));
  EXPECT_EQ(digits, QByteArray("4#7*"));
  caller.com.HangUp();

  // Tracing the modem lines opens the data path of a voice call.
  callee.com.SetTraceStates({tsRLSD});
  ASSERT_TRUE(ProcessEventsUntil([&] { return callee.com.CallState() == csIdle || callee.com.CallState() == csWaiting; }));
  callee.com.WaitForCall();
  caller.Dial("102");
  ASSERT_TRUE(BothConnected(caller, callee));
  EXPECT_TRUE(callee.com.IsOpen());
  caller.com.HangUp();
  callee.com.HangUp();
  EXPECT_TRUE(callee.faults.empty());
}

// A late reply to another request does not end a wait: only its own reply does.
class ReplyProbe : public TqxCommTAPI {
public:
  using TqxCommTAPI::WaitReply;
};

TEST_F(TelephonyCalls, AReplyToAnotherRequestDoesNotEndTheWait) {
  RecordingLog log;
  ReplyProbe callee;
  callee.SetLog(&log);
  callee.SetRetries(0);
  callee.GetDeviceList(nullptr);
  callee.SetDeviceIndex(1);
  Modem caller(0);
  callee.WaitForCall();
  caller.Dial("102");
  ASSERT_TRUE(ProcessEventsUntil([&] { return caller.Connected() && callee.CallState() == csConnected; }));
  const LONG drop = qxtapi::lineDrop(callee.CallHandle(), nullptr, 0);
  ASSERT_GT(drop, 0);
  EXPECT_EQ(callee.WaitReply(drop + 1000, 500), -1) << "the reply to the drop ended a wait for another request";
  EXPECT_TRUE(log.entries.contains(QStringLiteral("qxCommTAPI: Reply [%1] to an earlier request ignored").arg(drop)))
      << log.entries.join("\n").toStdString();
  callee.HangUp();
}

TEST_F(TelephonyCalls, QxlineInAnotherProcessReceivesAFileOverTheCall) {
  QTemporaryDir sendFolder, receiveFolder;
  const QByteArray content = Pattern(100000, 9);
  const QString source = sendFolder.filePath("far.bin");
  WriteTestFile(source, content);
  FarLine far({"answer", "--number", "103", "--once", "--exec",
               QStringLiteral("'%1' receive '%2'").arg(QStringLiteral(QXZM_PATH), receiveFolder.path())});
  ASSERT_TRUE(far.Waiting()) << far.Errors().toStdString();

  Modem caller(0);
  Transfers sender(caller.com, sendFolder.path());
  caller.com.SetRetries(0);
  caller.Dial("103");
  ASSERT_TRUE(ProcessEventsUntil([&] { return caller.Connected(); })) << caller.events.join(", ").toStdString();
  sender.zm.SendFile(source);
  ASSERT_TRUE(ProcessEventsUntil([&] { return sender.successes == 1; }, 60000)) << far.Errors().toStdString();
  // The far program ends with its command, which hangs up.
  ASSERT_TRUE(ProcessEventsUntil([&] { return caller.remoteDisconnects == 1; }));
  ASSERT_TRUE(ProcessEventsUntil([&] { return far.Ended(); }));
  EXPECT_EQ(far.Status(), 0) << far.Errors().toStdString();
  EXPECT_TRUE(ReadAll(receiveFolder.filePath("far.bin")) == content);
}

}  // namespace
