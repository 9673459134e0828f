// Calls between virtual modems of one process, as the line component sees them: rings with caller
// ID, offering again after deallocation, answer, the data path with its modem lines, the ends of
// a call, and digits on a voice call.
#include "support/commio.h"
#include "support/linetest.h"
#include "support/testfiles.h"

#include "platform/modemconfig.h"

#include <QThread>

namespace {

DWORD Lines(HANDLE handle) {
  DWORD lines = 0;
  GetCommModemStatus(handle, &lines);
  return lines;
}

}  // namespace

class LineCalls : public LineServiceTest {
protected:
  // Device 0 calls device 1 (number 102), which answers at ring `answerAt`; both CONNECTED.
  void Connect(LineApp& app, int answerAt = 1) {
    callee = app.Open(1, LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, 2);
    caller = app.Open(0, LINECALLPRIVILEGE_NONE, 1);
    answerer = std::make_unique<Answerer>(tapi, recorder, answerAt);
    dialRequest = tapi.lineMakeCall(caller, &outgoing, "t 1-0-2", 0, nullptr);
    ASSERT_GT(dialRequest, 0);
    ASSERT_TRUE(recorder.WaitForState(outgoing, LINECALLSTATE_CONNECTED));
    ASSERT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
      return e.message == LINE_CALLSTATE && e.device == answerer->answered && e.p1 == LINECALLSTATE_CONNECTED;
    }));
    incoming = answerer->answered;
  }

  HLINE caller = 0, callee = 0;
  HCALL outgoing = 0, incoming = 0;
  LONG dialRequest = 0;
  std::unique_ptr<Answerer> answerer;
};

TEST_F(LineCalls, AnsweredAtTheThirdRingWithCallerIdAndTheLowerRate) {
  LineApp app(tapi);
  app.ChangeConfig(1, [](QByteArray& b) { SetFieldAt<DWORD>(b, 48, 57600); });
  Connect(app, 3);

  ASSERT_EQ(answerer->offered.size(), 3u) << "one offering per ring until answered";
  EXPECT_NE(answerer->offered[0], answerer->offered[1]) << "a deallocated offering comes back with a new handle";
  EXPECT_NE(answerer->offered[1], answerer->offered[2]);
  EXPECT_EQ(answerer->callerId, QByteArray("101", 4)) << "the caller's number, its terminating zero counted";
  EXPECT_EQ(answerer->callerName, QByteArray("Virtual Modem 1", 16));
  EXPECT_EQ(answerer->calledId, QByteArray("102", 4));

  EXPECT_EQ(recorder.StatesOf(outgoing),
            (std::vector<DWORD>{LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK, LINECALLSTATE_CONNECTED}));
  EXPECT_EQ(recorder.StatesOf(incoming), (std::vector<DWORD>{LINECALLSTATE_OFFERING, LINECALLSTATE_CONNECTED}));
  // The owner learns of the caller ID with LINE_CALLINFO, and the answer's reply comes before CONNECTED.
  const auto events = recorder.Events();
  const auto at = [&](const std::function<bool(const LineEvent&)>& match) {
    return std::find_if(events.begin(), events.end(), match) - events.begin();
  };
  const auto firstOffer = at([&](const LineEvent& e) { return e.message == LINE_CALLSTATE && e.device == answerer->offered[0]; });
  EXPECT_EQ(events[firstOffer].p3, LINECALLPRIVILEGE_OWNER) << "a new call's first state says who owns it";
  EXPECT_LT(firstOffer, at([&](const LineEvent& e) {
    return e.message == LINE_CALLINFO && e.device == answerer->offered[0] && (e.p1 & LINECALLINFOSTATE_CALLERID);
  }));
  const auto reply = at([&](const LineEvent& e) { return e.message == LINE_REPLY && LONG(e.p1) == answerer->answerRequest; });
  ASSERT_LT(reply, long(events.size()));
  EXPECT_EQ(events[reply].p2, 0u);
  EXPECT_EQ(events[reply].instance, 2u);
  EXPECT_LT(reply, at([&](const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.device == incoming && e.p1 == LINECALLSTATE_CONNECTED;
  }));

  for (DWORD device : {0u, 1u})
    EXPECT_EQ(FieldAt<DWORD>(app.Config(device), 124), 57600u) << "both sides connect at the lower maximum rate";
  QByteArray info(2392, '\0');
  reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = DWORD(info.size());
  ASSERT_EQ(tapi.lineGetCallInfo(outgoing, reinterpret_cast<LINECALLINFO*>(info.data())), 0);
  EXPECT_EQ(FieldAt<DWORD>(info, offsetof(LINECALLINFO, dwRate)), 57600u);
  EXPECT_EQ(FieldAt<DWORD>(info, offsetof(LINECALLINFO, dwOrigin)), LINECALLORIGIN_OUTBOUND);
  QByteArray small(100, '\0');
  reinterpret_cast<LINECALLINFO*>(small.data())->dwTotalSize = 100;
  EXPECT_EQ(tapi.lineGetCallInfo(outgoing, reinterpret_cast<LINECALLINFO*>(small.data())), LINEERR_STRUCTURETOOSMALL);
  EXPECT_EQ(FieldAt<DWORD>(small, 4), FieldAt<DWORD>(info, 4)) << "dwNeededSize is told";
}

class LineHangUp : public LineCalls, public ::testing::WithParamInterface<bool> {};

TEST_P(LineHangUp, EitherSideEndsTheCallAndTheOtherLosesCarrier) {
  const bool callerHangsUp = GetParam();
  LineApp app(tapi);
  Connect(app);
  const HANDLE callerComm = app.Comm(caller), calleeComm = app.Comm(callee);
  EXPECT_TRUE(Lines(callerComm) & MS_RLSD_ON);
  const HANDLE far = callerHangsUp ? calleeComm : callerComm;
  ASSERT_TRUE(SetCommMask(far, EV_RLSD));
  Overlapped wait;
  DWORD mask = 0;
  if (!WaitCommEvent(far, &mask, &wait)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  }

  // The last bytes before the hang-up still arrive.
  ASSERT_TRUE(WriteAll(callerHangsUp ? callerComm : calleeComm, "goodbye"));
  const HCALL near = callerHangsUp ? outgoing : incoming, other = callerHangsUp ? incoming : outgoing;
  const std::size_t from = recorder.Count();
  const LONG drop = tapi.lineDrop(near, nullptr, 0);
  ASSERT_GT(drop, 0);
  const auto disconnected = recorder.WaitForState(other, LINECALLSTATE_DISCONNECTED, from);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->p2, LINEDISCONNECTMODE_NORMAL);
  ASSERT_TRUE(recorder.WaitForState(near, LINECALLSTATE_IDLE, from));
  EXPECT_GE(Finish(far, &wait), 0);
  EXPECT_FALSE(Lines(far) & MS_RLSD_ON) << "carrier is gone on the far side's port";
  EXPECT_TRUE(Lines(far) & MS_DSR_ON) << "the line is still open";
  EXPECT_EQ(ReadCount(far, 7), QByteArray("goodbye"));
  CloseHandle(callerComm);
  CloseHandle(calleeComm);
}

INSTANTIATE_TEST_SUITE_P(Sides, LineHangUp, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "CallerHangsUp" : "CalleeHangsUp"; });

TEST_F(LineCalls, BusyNoAnswerAndBadAddressEndTheCall) {
  { LineApp first(tapi); }  // installs the two default modems
  AddVirtualModemKey("0002", "Virtual Modem 3", "103");
  LineApp app(tapi);
  ASSERT_EQ(app.devices, 3u);
  app.ChangeConfig(2, [](QByteArray& b) { SetFieldAt<DWORD>(b, 100, 1); });  // gives up after a second
  const HLINE owner = app.Open(1, LINECALLPRIVILEGE_OWNER, 2);
  const HLINE first = app.Open(0, LINECALLPRIVILEGE_NONE, 1), second = app.Open(2, LINECALLPRIVILEGE_NONE, 3);
  // A call to 102 that rings unanswered keeps it busy.
  HCALL ringing = 0;
  ASSERT_GT(tapi.lineMakeCall(first, &ringing, "102", 0, nullptr), 0);
  ASSERT_TRUE(recorder.WaitFor([](const LineEvent& e) { return e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING; }));
  HCALL another = 0;
  EXPECT_EQ(tapi.lineMakeCall(first, &another, "103", 0, nullptr), LINEERR_CALLUNAVAIL) << "one call per modem";

  struct Row {
    const char* what;
    const char* number;
    bool ownerLeavesFirst;
    std::vector<DWORD> states;
    DWORD mode;
  };
  const Row rows[] = {
      {"a number with an unanswered call", "102", false,
       {LINECALLSTATE_PROCEEDING, LINECALLSTATE_BUSY, LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_BUSY},
      {"a number nobody waits on", "102", true,
       {LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK, LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_NOANSWER},
      {"a number no modem has", "555", false, {LINECALLSTATE_DISCONNECTED}, LINEDISCONNECTMODE_BADADDRESS},
  };
  for (const Row& row : rows) {
    if (row.ownerLeavesFirst) {
      EXPECT_EQ(tapi.lineClose(first), 0) << "closing the line hangs up its call";
      EXPECT_EQ(tapi.lineClose(owner), 0);
    }
    HCALL call = 0;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_GT(tapi.lineMakeCall(second, &call, row.number, 0, nullptr), 0) << row.what;
    const auto end = recorder.WaitForState(call, LINECALLSTATE_DISCONNECTED);
    ASSERT_TRUE(end) << row.what;
    EXPECT_EQ(end->p2, row.mode) << row.what;
    EXPECT_EQ(recorder.StatesOf(call), row.states) << row.what;
    if (row.mode == LINEDISCONNECTMODE_NOANSWER) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900)) << "the set-up timer ran out";
    }
    EXPECT_EQ(tapi.lineDeallocateCall(call), 0);
  }
}

TEST_F(LineCalls, RingsQueuedBehindAnAnswerAreNotOfferedAgain) {
  LineApp app(tapi);
  const HLINE owner = app.Open(1, LINECALLPRIVILEGE_OWNER, 2);
  const HANDLE tap = app.Comm(owner);
  ASSERT_NE(tap, INVALID_HANDLE_VALUE);
  // Every OFFERING is answered, as an application that keeps the handle does.
  std::vector<LONG> answers;
  recorder.onEvent = [&](const LineEvent& e) {
    if (e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING) answers.push_back(tapi.lineAnswer(e.device, nullptr, 0));
  };
  HCALL call = 0;
  ASSERT_GT(tapi.lineMakeCall(app.Open(0), &call, "102", 0, nullptr), 0);
  // Three rings while this thread handles no events: their OFFERINGs wait in its queue.
  int rings = 0;
  bool ringing = false;
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (rings < 3 && std::chrono::steady_clock::now() < bound) {
    DWORD lines = 0;
    GetCommModemStatus(tap, &lines);
    if ((lines & MS_RING_ON) && !ringing) ++rings;
    ringing = lines & MS_RING_ON;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(rings, 3);
  ASSERT_TRUE(recorder.WaitForState(call, LINECALLSTATE_CONNECTED));
  ASSERT_EQ(answers.size(), 1u) << "one OFFERING, one answer";
  EXPECT_GT(answers.front(), 0);
  CloseHandle(tap);
}

TEST_F(LineCalls, ANumberHasOneOwnerLineInAProcessAsAcrossProcesses) {
  { LineApp first(tapi); }
  AddVirtualModemKey("0002", "Twin of 102", "102");
  LineApp app(tapi);
  ASSERT_EQ(app.devices, 3u);
  const HLINE owner = app.Open(1, LINECALLPRIVILEGE_OWNER, 1);
  for (const DWORD device : {1u, 2u}) {
    HLINE line = 0;
    EXPECT_EQ(tapi.lineOpen(app.app, device, &line, app.version, 0, 2, LINECALLPRIVILEGE_OWNER,
                            LINEMEDIAMODE_DATAMODEM, nullptr),
              LINEERR_RESOURCEUNAVAIL) << "device " << device;
  }
  const HLINE monitor = app.Open(1, LINECALLPRIVILEGE_MONITOR, 3);
  EXPECT_NE(monitor, 0u) << "watching is no second owner";
  // Once the owner has gone, the twin may wait on the number, and alone gets its calls.
  EXPECT_EQ(tapi.lineClose(owner), 0);
  const HLINE twin = app.Open(2, LINECALLPRIVILEGE_OWNER, 4);
  ASSERT_NE(twin, 0u);
  const HLINE caller = app.Open(0);
  HCALL call = 0;
  ASSERT_GT(tapi.lineMakeCall(caller, &call, "102", 0, nullptr), 0);
  const auto offering = recorder.WaitFor([](const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING;
  });
  ASSERT_TRUE(offering);
  EXPECT_EQ(offering->instance, 4u);
  EXPECT_GT(tapi.lineDrop(call, nullptr, 0), 0);
}

TEST_F(LineCalls, DataPathShowsModemLinesAndCarriesAMegabyteEachWay) {
  LineApp app(tapi);
  callee = app.Open(1, LINECALLPRIVILEGE_OWNER, 2);
  const HANDLE calleeComm = app.Comm(callee);  // the port, held while waiting, as an answering app does
  ASSERT_TRUE(SetCommMask(calleeComm, EV_RING | EV_RLSD));
  Overlapped ring;
  DWORD mask = 0;
  if (!WaitCommEvent(calleeComm, &mask, &ring)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  }
  EXPECT_EQ(Lines(calleeComm), DWORD(MS_DSR_ON | MS_CTS_ON));

  // Rings raise RI; the answer comes at the second ring.
  caller = app.Open(0, LINECALLPRIVILEGE_NONE, 1);
  DWORD linesAtOffer = 0;
  answerer = std::make_unique<Answerer>(tapi, recorder, 2);
  auto answer = std::move(recorder.onEvent);
  recorder.onEvent = [&](const LineEvent& e) {
    if (e.message == LINE_CALLSTATE && e.p1 == LINECALLSTATE_OFFERING) linesAtOffer |= Lines(calleeComm);
    answer(e);
  };
  ASSERT_GT(tapi.lineMakeCall(caller, &outgoing, "102", 0, nullptr), 0);
  ASSERT_GE(Finish(calleeComm, &ring), 0);
  EXPECT_EQ(mask, DWORD(EV_RING));
  ASSERT_TRUE(recorder.WaitForState(outgoing, LINECALLSTATE_CONNECTED));
  EXPECT_TRUE(linesAtOffer & MS_RING_ON) << "RI is on while it rings";
  const HANDLE callerComm = app.Comm(caller);
  ASSERT_TRUE(WaitUntil([&] { return (Lines(calleeComm) & (MS_RLSD_ON | MS_RING_ON)) == MS_RLSD_ON; }));
  EXPECT_EQ(Lines(callerComm), DWORD(MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON));

  const QByteArray there = Pattern(1 << 20, 7), back = Pattern(1 << 20, 8);
  bool sentThere = false, sentBack = false;
  QByteArray gotThere, gotBack;
  std::thread writer1([&] { sentThere = WriteAll(callerComm, there); });
  std::thread writer2([&] { sentBack = WriteAll(calleeComm, back); });
  std::thread reader1([&] { gotThere = ReadCount(calleeComm, there.size()); });
  gotBack = ReadCount(callerComm, back.size());
  reader1.join();
  writer1.join();
  writer2.join();
  EXPECT_TRUE(sentThere && sentBack);
  EXPECT_EQ(gotThere.size(), there.size());
  EXPECT_TRUE(gotThere == there) << "the caller's megabyte arrived in order, nothing lost";
  EXPECT_EQ(gotBack.size(), back.size());
  EXPECT_TRUE(gotBack == back) << "the callee's megabyte arrived in order, nothing lost";
  CloseHandle(callerComm);
  CloseHandle(calleeComm);
}

TEST_F(LineCalls, DigitsReachAVoiceCallThatWatchesForThem) {
  LineApp app(tapi);
  callee = app.Open(1, LINECALLPRIVILEGE_OWNER, 2, LINEMEDIAMODE_AUTOMATEDVOICE);
  caller = app.Open(0, LINECALLPRIVILEGE_NONE, 1);
  answerer = std::make_unique<Answerer>(tapi, recorder, 1);
  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwBearerMode = LINEBEARERMODE_VOICE;
  params.dwMediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
  params.dwAddressMode = LINEADDRESSMODE_DIALABLEADDR;
  ASSERT_GT(tapi.lineMakeCall(caller, &outgoing, "102", 0, &params), 0);
  ASSERT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
    return e.message == LINE_CALLSTATE && e.device == answerer->answered && e.p1 == LINECALLSTATE_CONNECTED;
  }));
  incoming = answerer->answered;
  ASSERT_TRUE(recorder.WaitForState(outgoing, LINECALLSTATE_CONNECTED));
  EXPECT_EQ(tapi.lineGenerateDigits(outgoing, LINEDIGITMODE_DTMF, "12X", 0), LINEERR_INVALDIGITS);
  EXPECT_EQ(tapi.lineMonitorDigits(incoming, 0x80), LINEERR_INVALDIGITMODE);
  ASSERT_EQ(tapi.lineMonitorDigits(incoming, LINEDIGITMODE_DTMF), 0);
  EXPECT_EQ(tapi.lineSetCallParams(incoming, LINEBEARERMODE_PASSTHROUGH, 0, 0, nullptr), 0);
  const std::size_t from = recorder.Count();
  ASSERT_EQ(tapi.lineGenerateDigits(outgoing, LINEDIGITMODE_DTMF, "4#7", 0), 0);
  QByteArray digits;
  ASSERT_TRUE(ProcessEventsUntil([&] {
    digits.clear();
    for (const LineEvent& e : recorder.Events())
      if (e.message == LINE_MONITORDIGITS && e.device == incoming) {
        EXPECT_EQ(e.p2, LINEDIGITMODE_DTMF);
        digits.append(char(e.p1 & 0xFF));
      }
    return digits.size() >= 3;
  }));
  EXPECT_EQ(digits, QByteArray("4#7"));
  EXPECT_TRUE(recorder.WaitFor([&](const LineEvent& e) {
    return e.message == LINE_GENERATE && e.device == outgoing && e.p1 == LINEGENERATETERM_DONE;
  }, from));
  LINECALLSTATUS status{};
  status.dwTotalSize = sizeof status;
  ASSERT_EQ(tapi.lineGetCallStatus(incoming, &status), 0);
  EXPECT_TRUE(status.dwCallFeatures & LINECALLFEATURE_MONITORDIGITS);
}

TEST_F(LineCalls, BytesSentBeforeTheFarPortIsFetchedWaitForItAndAHangUpBehindThemIsSeen) {
  struct Row {
    const char* what;
    int size;
    bool callerHangsUp;  // before the callee has fetched its port
  };
  const Row rows[] = {
      {"a few bytes", 10, false},
      {"more than the call keeps: the far writer is held back", 300 * 1024, false},
      {"a few bytes, then the caller hangs up", 10, true},
  };
  LineApp app(tapi);
  for (const Row& row : rows) {
    Connect(app);
    const HANDLE callerComm = app.Comm(caller);
    const QByteArray sent = Pattern(row.size, 3);
    bool written = false;
    std::thread writer([&] { written = WriteAll(callerComm, sent); });
    if (row.callerHangsUp) {
      writer.join();
      ProcessEventsFor(100);  // the bytes reach the callee, which holds no port
      const std::size_t from = recorder.Count();
      EXPECT_GT(tapi.lineDrop(outgoing, nullptr, 0), 0) << row.what;
      const auto disconnected = recorder.WaitForState(incoming, LINECALLSTATE_DISCONNECTED, from);
      EXPECT_TRUE(disconnected) << row.what << ": the hang-up behind the bytes reaches the callee";
      if (disconnected) {
        EXPECT_EQ(disconnected->p2, LINEDISCONNECTMODE_NORMAL) << row.what;
      }
    } else {
      ProcessEventsFor(100);  // the callee has not fetched its port yet
    }
    // Fetched now, after a hang-up too: a modem's port holds what came before the carrier dropped.
    const HANDLE calleeComm = app.Comm(callee);
    const QByteArray got = ReadCount(calleeComm, row.size);
    if (writer.joinable()) writer.join();
    EXPECT_EQ(got.size(), sent.size()) << row.what;
    EXPECT_TRUE(got == sent) << row.what << ": every byte, in order";
    CloseHandle(calleeComm);
    EXPECT_TRUE(written) << row.what;
    CloseHandle(callerComm);
    EXPECT_EQ(tapi.lineClose(caller), 0);
    EXPECT_EQ(tapi.lineClose(callee), 0);
  }
}

// Last in this program: the library stays loaded from here on.
TEST_F(LineCalls, ShutdownAndUnloadFromInsideACallbackIsSafe) {
  // As the binding does when a handler hangs up: lineShutdown, then FreeLibrary, inside the
  // callback that reported the end of the call.
  HMODULE module = LoadLibraryA("tapi32.dll");
  FreeLibrary(tapi.module);
  tapi.module = nullptr;
  HLINEAPP app = 0;
  DWORD devices = 0;
  auto initialize = reinterpret_cast<decltype(&::lineInitialize)>(GetProcAddress(module, "lineInitialize"));
  auto shutdown = reinterpret_cast<decltype(&::lineShutdown)>(GetProcAddress(module, "lineShutdown"));
  auto open = reinterpret_cast<decltype(&::lineOpen)>(GetProcAddress(module, "lineOpen"));
  auto makeCall = reinterpret_cast<decltype(&::lineMakeCall)>(GetProcAddress(module, "lineMakeCall"));
  ASSERT_EQ(initialize(&app, nullptr, &LineRecorder::Callback, "test", &devices), 0);
  bool unloaded = false;
  recorder.onEvent = [&](const LineEvent& e) {
    if (e.message != LINE_CALLSTATE || e.p1 != LINECALLSTATE_DISCONNECTED || unloaded) return;
    EXPECT_EQ(shutdown(app), 0);
    EXPECT_TRUE(FreeLibrary(module));
    unloaded = true;
  };
  HLINE line = 0;
  ASSERT_EQ(open(app, 0, &line, TAPI_VERSION2_0, 0, 1, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr), 0);
  HCALL call = 0;
  ASSERT_GT(makeCall(line, &call, "555", 0, nullptr), 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return unloaded; }));
  ProcessEventsFor(50);  // whatever was still queued for the usage handle is dropped, not run
  TapiLibrary again;  // and the library starts afresh
  LineApp fresh(again);
  EXPECT_EQ(fresh.devices, 2u);
}
