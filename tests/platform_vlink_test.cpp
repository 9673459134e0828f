// The virtual serial link: data between its ends, modem lines, pacing by its own accounting, seeded
// faults, line errors, and one end closing under the other.
#include "platform/kernelobject.h"
#include "platform/virtuallink.h"
#include "platform/winapi.h"
#include "support/commio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::LinkFaults;
using platform::VirtualLink;
using platform::VirtualLinkOptions;

struct Link {
  std::shared_ptr<VirtualLink> link;
  HANDLE a = INVALID_HANDLE_VALUE, b = INVALID_HANDLE_VALUE;
  explicit Link(const VirtualLinkOptions& options = {}) {
    link = VirtualLink::Create(options);
    if (!link) return;
    a = link->End(0);
    b = link->End(1);
  }
  ~Link() {
    CloseHandle(a);
    CloseHandle(b);
  }
};

// Reads exactly count bytes (or what arrives within a generous bound).
std::string ReadAll(HANDLE handle, std::size_t count) {
  COMMTIMEOUTS timeouts{0, 0, 10000, 0, 0};
  SetCommTimeouts(handle, &timeouts);
  std::string data(count, '\0');
  Overlapped read;
  DWORD got = 0;
  if (!ReadFile(handle, data.data(), DWORD(count), &got, &read)) got = DWORD(std::max(0L, Finish(handle, &read, 20000)));
  data.resize(got);
  return data;
}

std::string Pattern(std::size_t count) {
  std::string data;
  for (std::size_t i = 0; i < count; ++i) data += char(i * 7 + 1);
  return data;
}

// What end b receives when end a writes `sent` through the given faults.
std::string Transfer(std::uint64_t seed, const LinkFaults& faults, const std::string& sent, std::size_t expect) {
  VirtualLinkOptions options;
  options.seed = seed;
  options.faults[0] = faults;
  Link l(options);
  Overlapped write;
  if (!WriteFile(l.a, sent.data(), DWORD(sent.size()), nullptr, &write)) Finish(l.a, &write);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  COMMTIMEOUTS timeouts{0, 0, 200, 0, 0};
  SetCommTimeouts(l.b, &timeouts);
  std::string data(expect + 64, '\0');
  Overlapped read;
  DWORD got = 0;
  if (!ReadFile(l.b, data.data(), DWORD(data.size()), &got, &read)) got = DWORD(std::max(0L, Finish(l.b, &read)));
  data.resize(got);
  return data;
}

TEST(VirtualLink, WhatOneEndWritesTheOtherReads) {
  Link l;
  ASSERT_TRUE(l.link);
  ASSERT_TRUE(SetCommMask(l.a, EV_TXEMPTY));
  ASSERT_TRUE(SetCommMask(l.b, EV_RXCHAR));
  const std::string sent = Pattern(3000);
  Overlapped write;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(l.a, sent.data(), DWORD(sent.size()), &written, &write)) << "unpaced: at once";
  EXPECT_EQ(written, 3000u);
  DWORD mask = 0;
  Overlapped wait;
  ASSERT_TRUE(WaitCommEvent(l.b, &mask, &wait));
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_EQ(ReadAll(l.b, sent.size()), sent);
  wait.Reset();
  ASSERT_TRUE(WaitCommEvent(l.a, &mask, &wait));
  EXPECT_EQ(mask, EV_TXEMPTY);
  // and the other way
  ASSERT_TRUE(WriteFile(l.b, "back", 4, &written, &write));
  EXPECT_EQ(ReadAll(l.a, 4), "back");
  EXPECT_EQ(l.link->BytesDelivered(0), 3000u);
  EXPECT_EQ(l.link->BytesDelivered(1), 4u);
}

TEST(VirtualLink, ModemLinesRaiseTheirEvents) {
  VirtualLinkOptions options;
  options.modemLines[1] = 0;
  Link l(options);
  DWORD status = 0xFF;
  ASSERT_TRUE(GetCommModemStatus(l.b, &status));
  EXPECT_EQ(status, 0u);
  ASSERT_TRUE(GetCommModemStatus(l.a, &status));
  EXPECT_EQ(status, DWORD(MS_CTS_ON | MS_DSR_ON));
  ASSERT_TRUE(SetCommMask(l.b, EV_CTS | EV_DSR | EV_RLSD | EV_RING));

  struct Step {
    DWORD lines;
    DWORD events;
  };
  const Step steps[] = {
      {MS_CTS_ON, EV_CTS},
      {MS_CTS_ON | MS_DSR_ON, EV_DSR},
      {MS_CTS_ON | MS_DSR_ON | MS_RING_ON, EV_RING},
      {MS_CTS_ON | MS_DSR_ON, 0},  // RI turning off is no ring
      {MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, EV_RLSD},
      {MS_RLSD_ON, EV_CTS | EV_DSR},
      {0, EV_RLSD},
  };
  for (const auto& step : steps) {
    Overlapped wait;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(l.b, &mask, &wait)) << "nothing left over from the step before";
    l.link->SetModemLines(1, step.lines);
    if (step.events == 0) {
      EXPECT_FALSE(wait.Signalled(20));
      ASSERT_TRUE(SetCommMask(l.b, EV_CTS | EV_DSR | EV_RLSD | EV_RING));  // release it
    } else {
      ASSERT_TRUE(wait.Signalled(10000));
      EXPECT_EQ(mask, step.events) << step.lines;
    }
    ASSERT_TRUE(GetCommModemStatus(l.b, &status));
    EXPECT_EQ(status, step.lines);
    EXPECT_EQ(l.link->ModemLines(1), step.lines);
  }
}

TEST(VirtualLink, PacingFollowsItsAccounting) {
  VirtualLinkOptions options;
  options.bitsPerSecond = 9600;  // 1.0417 ms a byte
  options.timingLog = 100;
  Link l(options);
  ASSERT_TRUE(SetCommMask(l.a, EV_TXEMPTY));
  const std::string first = Pattern(20), second = Pattern(10);
  Overlapped w1, w2;
  ASSERT_FALSE(WriteFile(l.a, first.data(), DWORD(first.size()), nullptr, &w1)) << "paced: pends";
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_FALSE(WriteFile(l.a, second.data(), DWORD(second.size()), nullptr, &w2));
  EXPECT_EQ(ReadAll(l.b, 30), first + second);
  EXPECT_EQ(Finish(l.a, &w1), 20);
  EXPECT_EQ(Finish(l.a, &w2), 10);
  Overlapped wait;
  DWORD mask = 0;
  if (!WaitCommEvent(l.a, &mask, &wait)) Finish(l.a, &wait);
  EXPECT_EQ(mask, EV_TXEMPTY);

  const auto timings = l.link->Timings(0);
  ASSERT_EQ(timings.size(), 30u);
  const auto period = std::chrono::nanoseconds(1041667);
  for (std::size_t i = 0; i < timings.size(); ++i) {
    const auto& t = timings[i];
    EXPECT_EQ(t.index, i);
    const auto start = i == 0 ? t.written : std::max(t.written, timings[i - 1].due);
    EXPECT_EQ(t.due - start, period) << i;
    EXPECT_GE(t.delivered, t.due) << i;
  }
  EXPECT_LE(timings[20].written, timings[19].due) << "the second write was issued while the first was paced";
}

TEST(VirtualLink, PacedTransmitEmptyComesWhileTheTransmitterHoldsTheLastBytes) {
  VirtualLinkOptions options;
  options.bitsPerSecond = 1200;  // 8.3 ms a byte: 16 bytes in the transmitter are 133 ms
  Link l(options);
  ASSERT_TRUE(SetCommMask(l.a, EV_TXEMPTY));
  const std::string sent = Pattern(40);
  Overlapped write, wait;
  if (!WriteFile(l.a, sent.data(), DWORD(sent.size()), nullptr, &write)) Finish(l.a, &write);
  DWORD mask = 0;
  if (!WaitCommEvent(l.a, &mask, &wait)) Finish(l.a, &wait);
  EXPECT_EQ(mask, EV_TXEMPTY);
  // The next write can follow before the line falls idle; nothing is lost or reordered.
  const auto delivered = l.link->BytesDelivered(0);
  EXPECT_GE(delivered, 24u);
  EXPECT_LT(delivered, 40u);
  EXPECT_EQ(ReadAll(l.b, sent.size()), sent);
}

TEST(VirtualLink, WriteTimeoutOnAPacedLinkReportsTheShortCount) {
  VirtualLinkOptions options;
  options.bitsPerSecond = 1000;  // 10 ms a byte
  Link l(options);
  SetTimeouts(l.a, 0, 0, 0, 0, 60);
  const std::string sent = Pattern(100);
  Overlapped write;
  ASSERT_FALSE(WriteFile(l.a, sent.data(), DWORD(sent.size()), nullptr, &write));
  const long written = Finish(l.a, &write);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 100);
  EXPECT_EQ(ReadAll(l.b, std::size_t(written)), sent.substr(0, std::size_t(written)));
  // The rest of a timed-out write is not sent: the next write's byte comes right after.
  Overlapped marker;
  if (!WriteFile(l.a, "M", 1, nullptr, &marker)) {
    ASSERT_EQ(Finish(l.a, &marker), 1);
  }
  EXPECT_EQ(ReadAll(l.b, 1), "M");
  EXPECT_EQ(InQueue(l.b), 0u);
}

TEST(VirtualLink, FaultsAreReproducibleFromTheSeed) {
  const std::string sent = Pattern(2000);
  LinkFaults rates;
  rates.corruptRate = 0.01;
  rates.dropRate = 0.01;
  rates.insertRate = 0.01;
  const std::string one = Transfer(42, rates, sent, sent.size());
  EXPECT_EQ(one, Transfer(42, rates, sent, sent.size()));
  EXPECT_NE(one, Transfer(43, rates, sent, sent.size()));
  EXPECT_NE(one, sent);
  EXPECT_NEAR(double(one.size()), double(sent.size()), 100.0);

  LinkFaults positions;
  positions.dropAt = {3};
  positions.corruptAt = {5};
  positions.insertAt = {7};
  const std::string got = Transfer(1, positions, "0123456789", 10);
  ASSERT_EQ(got.size(), 10u);
  EXPECT_EQ(got.substr(0, 3), "012");
  EXPECT_EQ(got[3], '4');
  EXPECT_NE(got[4], '5');
  EXPECT_EQ(got[5], '6');
  EXPECT_EQ(got.substr(7), "789");  // got[6] is the inserted byte

  EXPECT_EQ(Transfer(7, LinkFaults{}, sent, sent.size()), sent);
}

TEST(VirtualLink, LineErrorsAndBreak) {
  Link l;
  ASSERT_TRUE(SetCommMask(l.b, EV_ERR | EV_BREAK));
  struct Case {
    DWORD errors;
    DWORD events;
  };
  for (const Case c : {Case{CE_FRAME, EV_ERR}, Case{CE_OVERRUN | CE_RXPARITY, EV_ERR}, Case{CE_BREAK, EV_BREAK},
                       Case{CE_FRAME | CE_BREAK, EV_ERR | EV_BREAK}}) {
    Overlapped wait;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(l.b, &mask, &wait));
    l.link->RaiseLineError(1, c.errors);
    ASSERT_TRUE(wait.Signalled(10000));
    EXPECT_EQ(mask, c.events);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(l.b, &errors, nullptr));
    EXPECT_EQ(errors, c.errors);
    ASSERT_TRUE(ClearCommError(l.b, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "cleared by the call";
  }
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(l.a, &errors, nullptr));
  EXPECT_EQ(errors, 0u) << "only the named end sees them";
}

TEST(VirtualLink, ReaderQueueHoldsBackTheWriter) {
  Link l;
  ASSERT_TRUE(SetupComm(l.b, 8, 8));
  const std::string sent = Pattern(100);
  Overlapped write;
  ASSERT_FALSE(WriteFile(l.a, sent.data(), DWORD(sent.size()), nullptr, &write));
  ASSERT_TRUE(WaitUntil([&] { return InQueue(l.b) == 8; }));
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(l.a, nullptr, &stat));
  EXPECT_EQ(stat.cbOutQue, 92u);
  EXPECT_EQ(ReadAll(l.b, 100), sent);
  EXPECT_EQ(Finish(l.a, &write), 100);
}

TEST(VirtualLink, CtsFlowControlHoldsOutput) {
  Link l;
  DCB dcb{};
  ASSERT_TRUE(GetCommState(l.a, &dcb));
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(SetCommState(l.a, &dcb));
  l.link->SetModemLines(0, MS_DSR_ON);
  Overlapped write;
  ASSERT_FALSE(WriteFile(l.a, "held", 4, nullptr, &write));
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(l.a, nullptr, &stat));
  EXPECT_TRUE(stat.fCtsHold);
  EXPECT_EQ(stat.cbOutQue, 4u);
  EXPECT_FALSE(write.Signalled(20));
  l.link->SetModemLines(0, MS_DSR_ON | MS_CTS_ON);
  EXPECT_EQ(Finish(l.a, &write), 4);
  EXPECT_EQ(ReadAll(l.b, 4), "held");
}

TEST(VirtualLink, ClosingOneEndLeavesTheOtherOnADeadLine) {
  auto link = VirtualLink::Create();
  const HANDLE a = link->End(0), b = link->End(1);
  EXPECT_TRUE(link->EndOpen(0) && link->EndOpen(1));
  ASSERT_TRUE(SetCommMask(b, EV_RXCHAR));
  Overlapped wait;
  DWORD mask = 0xFF;
  ASSERT_FALSE(WaitCommEvent(b, &mask, &wait));
  std::thread closer([&] { CloseHandle(b); });
  ASSERT_TRUE(wait.Signalled(10000)) << "CloseHandle on another thread releases the wait";
  closer.join();
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(link->EndOpen(1)) << "the owner sees that end 1 was closed";
  EXPECT_TRUE(link->EndOpen(0));

  Overlapped write;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(a, "into the void", 13, &written, &write) || Finish(a, &write) == 13);
  SetTimeouts(a, 0, 0, 30);
  char buffer[4];
  Overlapped read;
  DWORD got = 0;
  if (!ReadFile(a, buffer, 4, &got, &read)) got = DWORD(Finish(a, &read));
  EXPECT_EQ(got, 0u);
  link.reset();  // the link object may go before its last end
  EXPECT_TRUE(SetCommMask(a, EV_RXCHAR));
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_FALSE(CloseHandle(a));
}

TEST(VirtualLink, ClosingBothEndsWhileBusyIsSafe) {
  const auto before = platform::OpenHandleCount();
  for (int round = 0; round < 20; ++round) {
    VirtualLinkOptions options;
    options.bitsPerSecond = round % 2 ? 0 : 115200;
    auto link = VirtualLink::Create(options);
    const HANDLE a = link->End(0), b = link->End(1);
    SetCommMask(b, EV_RXCHAR);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      const std::string data = Pattern(500);
      Overlapped write;
      while (!stop) {
        write.Reset();
        DWORD n;
        if (!WriteFile(a, data.data(), DWORD(data.size()), &n, &write) && GetLastError() == ERROR_IO_PENDING)
          GetOverlappedResult(a, &write, &n, TRUE);
      }
    });
    std::thread reader([&] {
      Overlapped wait, read;
      char buffer[256];
      while (!stop) {
        wait.Reset();
        DWORD mask, n;
        if (!WaitCommEvent(b, &mask, &wait) && GetLastError() == ERROR_IO_PENDING)
          GetOverlappedResult(b, &wait, &n, TRUE);
        read.Reset();
        if (!ReadFile(b, buffer, sizeof buffer, &n, &read) && GetLastError() == ERROR_IO_PENDING)
          GetOverlappedResult(b, &read, &n, TRUE);
        link->SetModemLines(1, round & 1 ? MS_CTS_ON : 0);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::thread closeA([&] { CloseHandle(a); });
    CloseHandle(b);
    closeA.join();
    stop = true;
    writer.join();
    reader.join();
  }
  EXPECT_EQ(platform::OpenHandleCount(), before);
}

}  // namespace
