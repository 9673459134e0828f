// Comm devices over real descriptors (socket pair, pipe pair, pty) and the overlapped-I/O and
// comm-event semantics every device kind shares.
#include "platform/commdevices.h"
#include "platform/kernelobject.h"
#include "platform/winapi.h"
#include "support/commio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using platform::CreateFdDevice;
using platform::OpenTtyDevice;

std::string ReadRaw(int fd, std::size_t count) {
  std::string out;
  char chunk[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (out.size() < count && std::chrono::steady_clock::now() < end) {
    const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, count - out.size()));
    if (got > 0) out.append(chunk, std::size_t(got));
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return out;
}

// A comm handle on one end of a socket pair; the test talks to the other end directly.
struct SocketDevice : ::testing::Test {
  int peer = -1;
  HANDLE handle = INVALID_HANDLE_VALUE;
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = fds[1];
    ::fcntl(peer, F_SETFL, O_NONBLOCK);
    handle = CreateFdDevice(fds[0], fds[0], true);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    ::close(peer);
  }
  void Send(const std::string& bytes) { ASSERT_EQ(::write(peer, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  void Close() {
    ASSERT_TRUE(CloseHandle(handle));
    handle = INVALID_HANDLE_VALUE;
  }
};

TEST(CommHandles, EveryCallRefusesInvalidAndNonCommHandles) {
  const HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  for (const HANDLE handle : {INVALID_HANDLE_VALUE, HANDLE(0), HANDLE(0x12345678), event}) {
    DWORD value = 0;
    DCB dcb{};
    COMSTAT stat{};
    COMMTIMEOUTS timeouts{};
    COMMPROP prop{};
    COMMCONFIG config{};
    DWORD size = sizeof config;
    OVERLAPPED ov{};
    char buffer[4];
    const std::vector<std::pair<const char*, BOOL>> calls = {
        {"ClearCommError", ClearCommError(handle, &value, &stat)},
        {"GetCommState", GetCommState(handle, &dcb)},
        {"SetCommState", SetCommState(handle, &dcb)},
        {"GetCommConfig", GetCommConfig(handle, &config, &size)},
        {"GetCommModemStatus", GetCommModemStatus(handle, &value)},
        {"GetCommProperties", GetCommProperties(handle, &prop)},
        {"GetCommTimeouts", GetCommTimeouts(handle, &timeouts)},
        {"SetCommTimeouts", SetCommTimeouts(handle, &timeouts)},
        {"PurgeComm", PurgeComm(handle, PURGE_RXCLEAR)},
        {"SetCommMask", SetCommMask(handle, EV_RXCHAR)},
        {"GetCommMask", GetCommMask(handle, &value)},
        {"SetupComm", SetupComm(handle, 1024, 1024)},
        {"WaitCommEvent", WaitCommEvent(handle, &value, &ov)},
        {"ReadFile", ReadFile(handle, buffer, 4, &value, &ov)},
        {"WriteFile", WriteFile(handle, buffer, 4, &value, &ov)},
    };
    for (const auto& [name, result] : calls) EXPECT_FALSE(result) << name << " on " << handle;
    EXPECT_FALSE(ClearCommError(handle, &value, &stat));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  CloseHandle(event);
}

TEST_F(SocketDevice, WriteCompletesAtOnceAndRaisesTxEmpty) {
  ASSERT_TRUE(SetCommMask(handle, EV_TXEMPTY));
  Overlapped write;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(handle, "hello", 5, &written, &write));
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(write.Signalled());
  EXPECT_EQ(ReadRaw(peer, 5), "hello");
  Overlapped wait;
  DWORD mask = 0;
  ASSERT_TRUE(WaitCommEvent(handle, &mask, &wait));  // happened before the wait: kept in the history
  EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(SocketDevice, PendingReadCompletesWhenTheCountIsThere) {
  Overlapped read;
  char buffer[6] = {};
  DWORD got = 99;
  ASSERT_FALSE(ReadFile(handle, buffer, 6, &got, &read));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(handle, &read, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  Send("abc");
  EXPECT_TRUE(WaitUntil([&] { return InQueue(handle) == 0; }));
  EXPECT_FALSE(read.Signalled(20));  // three of six: still pending
  Send("def");
  ASSERT_TRUE(GetOverlappedResult(handle, &read, &transferred, TRUE));
  EXPECT_EQ(transferred, 6u);
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
  EXPECT_TRUE(read.Signalled());
}

TEST_F(SocketDevice, GetOverlappedResultWaitsOnTheRequestWhenTheRecordHasNoEvent) {
  OVERLAPPED read{};
  char buffer[3];
  ASSERT_FALSE(ReadFile(handle, buffer, 3, nullptr, &read));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Send("xyz");
  });
  DWORD transferred = 0;
  EXPECT_TRUE(GetOverlappedResult(handle, &read, &transferred, TRUE));
  EXPECT_EQ(transferred, 3u);
  sender.join();
}

TEST_F(SocketDevice, ReadTimeoutRules) {
  struct Case {
    const char* name;
    COMMTIMEOUTS timeouts;
    DWORD request;
    std::string queued;
    DWORD expected;
  };
  const Case cases[] = {
      {"MAXDWORD interval returns at once with nothing", {0xFFFFFFFFu, 0, 0, 0, 0}, 10, "", 0},
      {"MAXDWORD interval returns what is there", {0xFFFFFFFFu, 0, 0, 0, 0}, 10, "1234", 4},
      {"total time-out completes short", {0, 0, 30, 0, 0}, 10, "12", 2},
      {"multiplier counts per byte", {0, 5, 0, 0, 0}, 4, "1", 1},
      {"interval time-out after the first byte", {20, 0, 0, 0, 0}, 10, "123", 3},
      {"MAXDWORD/MAXDWORD returns on the first byte", {0xFFFFFFFFu, 0xFFFFFFFFu, 1000, 0, 0}, 10, "7", 1},
      {"MAXDWORD/MAXDWORD times out with nothing", {0xFFFFFFFFu, 0xFFFFFFFFu, 20, 0, 0}, 10, "", 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetCommTimeouts(handle, &c.timeouts));
    if (!c.queued.empty()) {
      Send(c.queued);
      ASSERT_TRUE(WaitUntil([&] { return InQueue(handle) == c.queued.size(); })) << c.name;
    }
    Overlapped read;
    char buffer[16];
    DWORD got = 0;
    if (!ReadFile(handle, buffer, c.request, &got, &read)) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING) << c.name;
      ASSERT_TRUE(GetOverlappedResult(handle, &read, &got, TRUE)) << c.name;
    }
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(std::string(buffer, got), c.queued.substr(0, got)) << c.name;
  }
}

TEST_F(SocketDevice, WaitCommEventRules) {
  Overlapped wait;
  DWORD mask = 0;
  EXPECT_FALSE(WaitCommEvent(handle, &mask, &wait));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "no mask set yet";

  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR | EV_RXFLAG));
  DWORD mask2 = 0;
  ASSERT_FALSE(WaitCommEvent(handle, &mask, &wait));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  Overlapped second;
  EXPECT_FALSE(WaitCommEvent(handle, &mask2, &second));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "a second wait while one is pending";

  Send("a");
  ASSERT_TRUE(wait.Signalled(10000));
  EXPECT_EQ(mask, EV_RXCHAR);  // written through the pointer given to the wait

  // The next request on the record resets its event: a wait on it sees this request only.
  const HANDLE event = wait.record.hEvent;
  wait.record = OVERLAPPED{};
  wait.record.hEvent = event;
  ASSERT_FALSE(WaitCommEvent(handle, &mask, &wait));
  EXPECT_FALSE(wait.Signalled());
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR | EV_RXFLAG));
  ASSERT_TRUE(wait.Signalled());

  // Data arriving while nobody waits is not lost: the next wait completes at once.
  Send("b");
  ASSERT_TRUE(WaitUntil([&] { return InQueue(handle) == 2; }));
  wait.Reset();
  mask = 0;
  ASSERT_TRUE(WaitCommEvent(handle, &mask, &wait));
  EXPECT_EQ(mask, EV_RXCHAR);

  // SetCommMask releases a pending wait with an empty mask.
  wait.Reset();
  mask = 0xFFFF;
  ASSERT_FALSE(WaitCommEvent(handle, &mask, &wait));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR));
  DWORD transferred;
  EXPECT_TRUE(GetOverlappedResult(handle, &wait, &transferred, TRUE));
  EXPECT_EQ(mask, 0u);
}

TEST_F(SocketDevice, EventCharacterRaisesRxFlag) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(handle, &dcb));
  dcb.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(handle, &dcb));
  ASSERT_TRUE(SetCommMask(handle, EV_RXFLAG));
  Overlapped wait;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(handle, &mask, &wait));
  Send("no flag here");
  EXPECT_FALSE(wait.Signalled(30));
  Send("line\n");
  ASSERT_TRUE(wait.Signalled(10000));
  EXPECT_EQ(mask, EV_RXFLAG);
}

TEST_F(SocketDevice, CancelIoAndCloseAbortPendingRequests) {
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR));
  Overlapped wait, read;
  DWORD mask = 0xFF;
  char buffer[4];
  ASSERT_FALSE(WaitCommEvent(handle, &mask, &wait));
  ASSERT_FALSE(ReadFile(handle, buffer, 4, nullptr, &read));
  ASSERT_TRUE(CancelIo(handle));
  DWORD transferred;
  EXPECT_FALSE(GetOverlappedResult(handle, &wait, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(GetOverlappedResult(handle, &read, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  // A wait pending on another thread is released by CloseHandle; the handle is dead afterwards.
  wait.Reset();
  std::atomic<DWORD> result{0xFFFF};
  std::thread waiter([&] {
    DWORD m = 0xFF;
    OVERLAPPED* record = &wait;
    if (!WaitCommEvent(handle, &m, record) && GetLastError() == ERROR_IO_PENDING &&
        WaitForSingleObject(record->hEvent, 10000) == WAIT_OBJECT_0)
      result = m;
  });
  ASSERT_TRUE(WaitUntil([&] { return std::atomic_ref<ULONG_PTR>(wait.record.Internal).load() == 0x103; }));
  const HANDLE closed = handle;
  Close();
  waiter.join();
  EXPECT_EQ(result.load(), 0u);
  EXPECT_FALSE(SetCommMask(closed, EV_RXCHAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SocketDevice, InputQueueStopsAtItsSizeAndLosesNothing) {
  ASSERT_TRUE(SetupComm(handle, 16, 16));
  COMMPROP prop{};
  ASSERT_TRUE(GetCommProperties(handle, &prop));
  EXPECT_EQ(prop.dwCurrentRxQueue, 16u);
  EXPECT_EQ(prop.dwCurrentTxQueue, 16u);
  std::string sent;
  for (int i = 0; i < 1000; ++i) sent += char('A' + i % 26);
  Send(sent);
  ASSERT_TRUE(WaitUntil([&] { return InQueue(handle) == 16; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(InQueue(handle), 16u);
  SetTimeouts(handle, 0xFFFFFFFFu, 0, 0);
  std::string received;
  ASSERT_TRUE(WaitUntil([&] {
    char buffer[64];
    Overlapped read;
    DWORD got = 0;
    if (ReadFile(handle, buffer, sizeof buffer, &got, &read)) received.append(buffer, got);
    EXPECT_LE(InQueue(handle), 16u);
    return received.size() >= sent.size();
  }));
  EXPECT_EQ(received, sent);
}

TEST_F(SocketDevice, PurgeAbortsAndClears) {
  Send("stale");
  ASSERT_TRUE(WaitUntil([&] { return InQueue(handle) == 5; }));
  ASSERT_TRUE(PurgeComm(handle, PURGE_RXCLEAR));
  EXPECT_EQ(InQueue(handle), 0u);
  Overlapped read;
  char buffer[4];
  ASSERT_FALSE(ReadFile(handle, buffer, 4, nullptr, &read));
  ASSERT_TRUE(PurgeComm(handle, PURGE_RXABORT));
  EXPECT_EQ(Finish(handle, &read), -1);
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(PurgeComm(handle, 0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SocketDevice, SettingsAreKeptAndValidated) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(handle, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  dcb.BaudRate = 57600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  ASSERT_TRUE(SetCommState(handle, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(handle, &back));
  EXPECT_EQ(back.BaudRate, 57600u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, EVENPARITY);

  struct Bad {
    const char* name;
    void (*change)(DCB&);
  };
  const Bad bad[] = {
      {"byte size 4", [](DCB& d) { d.ByteSize = 4; }},
      {"byte size 9", [](DCB& d) { d.ByteSize = 9; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
      {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
      {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
      {"rate 0", [](DCB& d) { d.BaudRate = 0; }},
      {"XON equal to XOFF", [](DCB& d) { d.fOutX = 1; d.XoffChar = d.XonChar; }},
  };
  for (const auto& b : bad) {
    DCB changed = back;
    changed.ByteSize = 8;
    b.change(changed);
    EXPECT_FALSE(SetCommState(handle, &changed)) << b.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << b.name;
  }

  COMMCONFIG config{};
  DWORD size = 10;
  EXPECT_FALSE(GetCommConfig(handle, &config, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, sizeof(COMMCONFIG));
  ASSERT_TRUE(GetCommConfig(handle, &config, &size));
  EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG));
  EXPECT_EQ(config.dcb.BaudRate, 57600u);

  COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
  ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
  COMMTIMEOUTS read{};
  ASSERT_TRUE(GetCommTimeouts(handle, &read));
  EXPECT_EQ(std::memcmp(&read, &timeouts, sizeof timeouts), 0);

  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(handle, &status));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(SetupComm(handle, 0, 0));
}

TEST_F(SocketDevice, CallsRacingWithCloseHandleAreSafe) {
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const HANDLE target = handle;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      Overlapped ov;
      char buffer[8];
      while (!stop) {
        DWORD value = 0;
        ov.Reset();
        if (t == 0 && !ReadFile(target, buffer, sizeof buffer, &value, &ov) && GetLastError() == ERROR_IO_PENDING)
          GetOverlappedResult(target, &ov, &value, TRUE);
        if (t == 1 && !WaitCommEvent(target, &value, &ov) && GetLastError() == ERROR_IO_PENDING)
          GetOverlappedResult(target, &ov, &value, TRUE);
        if (t == 2) {
          if (!WriteFile(target, "x", 1, &value, &ov) && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(target, &ov, &value, TRUE);
          ClearCommError(target, &value, nullptr);
          PurgeComm(target, PURGE_RXCLEAR);
        }
      }
    });
  }
  Send("racing");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(ReadFile(target, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A pipe pair: what the device writes goes into `out`, what it reads comes from `in`.
struct PipeDevice : ::testing::Test {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  HANDLE handle = INVALID_HANDLE_VALUE;
  void SetUp() override {
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    handle = CreateFdDevice(in[0], out[1], true);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (in[1] >= 0) ::close(in[1]);
    ::close(out[0]);
  }
};

TEST_F(PipeDevice, WriteTimeoutReportsTheShortCount) {
  // Nobody reads the pipe: the write stops where the pipe is full and its time-out ends it.
  const int capacity = ::fcntl(out[1], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  SetTimeouts(handle, 0, 0, 0, 0, 100);
  std::vector<BYTE> data(std::size_t(capacity) * 2, 'p');
  Overlapped write;
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(handle, data.data(), DWORD(data.size()), &written, &write));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD transferred = 0;
  ASSERT_TRUE(GetOverlappedResult(handle, &write, &transferred, TRUE)) << "a timed-out write still succeeds";
  EXPECT_EQ(transferred, DWORD(capacity));
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  EXPECT_EQ(ReadRaw(out[0], std::size_t(capacity)).size(), std::size_t(capacity));
}

TEST_F(PipeDevice, QueuedWritesGoOutInOrderAndCopyTheCallersBytes) {
  const int capacity = ::fcntl(out[1], F_GETPIPE_SZ);
  std::vector<BYTE> first(std::size_t(capacity) + 100, '1');
  Overlapped a, b;
  ASSERT_FALSE(WriteFile(handle, first.data(), DWORD(first.size()), nullptr, &a));
  char second[] = "second";
  ASSERT_FALSE(WriteFile(handle, second, 6, nullptr, &b));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::memset(second, 'X', 6);  // the device keeps its own copy
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(handle, nullptr, &stat));
  EXPECT_EQ(stat.cbOutQue, 106u);
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  const std::string got = ReadRaw(out[0], first.size() + 6);
  EXPECT_EQ(got, std::string(first.begin(), first.end()) + "second");
  EXPECT_EQ(Finish(handle, &a), long(first.size()));
  EXPECT_EQ(Finish(handle, &b), 6);
}

TEST_F(PipeDevice, EndOfInputFailsTheWaitOnceTheQueueIsRead) {
  ASSERT_TRUE(SetCommMask(handle, EV_RXCHAR));
  ASSERT_EQ(::write(in[1], "last", 4), 4);
  ::close(in[1]);
  in[1] = -1;
  Overlapped wait;
  DWORD mask = 0;
  if (!WaitCommEvent(handle, &mask, &wait)) {
    ASSERT_GE(Finish(handle, &wait), 0);
  }
  EXPECT_EQ(mask, EV_RXCHAR);
  // A wait while the bytes are still queued stays pending; reading them fails it.
  wait.Reset();
  ASSERT_FALSE(WaitCommEvent(handle, &mask, &wait));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  char buffer[8];
  Overlapped read;
  DWORD got = 0;
  if (!ReadFile(handle, buffer, 8, &got, &read)) got = DWORD(Finish(handle, &read));
  EXPECT_EQ(std::string(buffer, got), "last") << "a read at the end gets what is left";
  EXPECT_EQ(Finish(handle, &wait), -1);
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  wait.Reset();
  EXPECT_FALSE(WaitCommEvent(handle, &mask, &wait));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  read.Reset();
  EXPECT_TRUE(ReadFile(handle, buffer, 8, &got, &read));
  EXPECT_EQ(got, 0u);
}

TEST_F(PipeDevice, WriteToAVanishedReaderFails) {
  ::close(out[0]);
  out[0] = ::open("/dev/null", O_RDONLY);  // keep TearDown's close harmless
  Overlapped write;
  EXPECT_FALSE(WriteFile(handle, "x", 1, nullptr, &write));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
}

// A pty: the slave through OpenTtyDevice, the master through CreateFdDevice.
struct PtyDevices : ::testing::Test {
  int master = -1, slave = -1;
  std::string path;
  void SetUp() override {
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  void TearDown() override {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

TEST_F(PtyDevices, DataFlowsBothWaysAndTxEmptyFollowsTheWrite) {
  const HANDLE tty = OpenTtyDevice(path.c_str());
  ASSERT_NE(tty, INVALID_HANDLE_VALUE);
  const HANDLE fd = CreateFdDevice(master, master, false);
  ASSERT_NE(fd, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(tty, EV_TXEMPTY));
  ASSERT_TRUE(SetCommMask(fd, EV_RXCHAR));
  Overlapped waitTx, waitRx;
  DWORD txMask = 0, rxMask = 0;
  ASSERT_FALSE(WaitCommEvent(tty, &txMask, &waitTx));
  ASSERT_FALSE(WaitCommEvent(fd, &rxMask, &waitRx));

  std::string sent;
  for (int i = 0; i < 3000; ++i) sent += char(i & 0xFF);  // raw mode: every byte value passes
  Overlapped write;
  if (!WriteFile(tty, sent.data(), DWORD(sent.size()), nullptr, &write)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  ASSERT_TRUE(waitRx.Signalled(10000));
  EXPECT_EQ(rxMask, EV_RXCHAR);
  SetTimeouts(fd, 0, 0, 5000);
  std::vector<char> buffer(sent.size());
  Overlapped read;
  DWORD got = 0;
  if (!ReadFile(fd, buffer.data(), DWORD(buffer.size()), &got, &read)) got = DWORD(Finish(fd, &read));
  ASSERT_EQ(got, sent.size());
  EXPECT_EQ(std::string(buffer.data(), got), sent);
  EXPECT_EQ(Finish(tty, &write), long(sent.size()));
  ASSERT_TRUE(waitTx.Signalled(10000));
  EXPECT_EQ(txMask, EV_TXEMPTY);

  // And back, from the master to the tty.
  Overlapped back, readBack;
  ASSERT_TRUE(WriteFile(fd, "pong", 4, nullptr, &back) || GetLastError() == ERROR_IO_PENDING);
  SetTimeouts(tty, 0, 0, 5000);
  char four[4];
  if (!ReadFile(tty, four, 4, &got, &readBack)) got = DWORD(Finish(tty, &readBack));
  EXPECT_EQ(std::string(four, got), "pong");

  // A pty has no modem lines: only the status call fails.
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(tty, &status));
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(ClearCommError(tty, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(fd));
  EXPECT_TRUE(CloseHandle(tty));
}

TEST_F(PtyDevices, StateGoesThroughTermiosAndIsRestoredAtClose) {
  termios before{};
  ASSERT_EQ(::tcgetattr(slave, &before), 0);
  const HANDLE tty = OpenTtyDevice(path.c_str());
  ASSERT_NE(tty, INVALID_HANDLE_VALUE);

  termios raw{};
  ASSERT_EQ(::tcgetattr(slave, &raw), 0);
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);

  // A pty keeps the rate, stop bits and flow control; it forces eight data bits without parity,
  // and GetCommState reports what the device really has.
  struct Case {
    DWORD rate;
    BYTE stop;
    bool cts, xon;
    tcflag_t cflagOn;
    tcflag_t iflagOn;
  };
  const Case cases[] = {
      {19200, TWOSTOPBITS, true, false, CSTOPB | CRTSCTS, 0},
      {115200, ONESTOPBIT, false, true, 0, IXON | IXOFF},
      {2400, ONESTOPBIT, false, false, 0, 0},
  };
  for (const auto& c : cases) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(tty, &dcb));
    dcb.BaudRate = c.rate;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = c.stop;
    dcb.fOutxCtsFlow = c.cts;
    dcb.fRtsControl = c.cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = c.xon;
    ASSERT_TRUE(SetCommState(tty, &dcb)) << c.rate;
    termios t{};
    ASSERT_EQ(::tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.rate == 19200 ? B19200 : c.rate == 115200 ? B115200 : B2400);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), c.cflagOn) << c.rate;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflagOn) << c.rate;
    DCB back{};
    ASSERT_TRUE(GetCommState(tty, &back));
    EXPECT_EQ(back.BaudRate, c.rate);
    EXPECT_EQ(back.StopBits, c.stop);
    EXPECT_EQ(bool(back.fOutxCtsFlow), c.cts);
    EXPECT_EQ(back.fRtsControl, c.cts ? DWORD(RTS_CONTROL_HANDSHAKE) : DWORD(RTS_CONTROL_ENABLE));
    EXPECT_EQ(bool(back.fOutX), c.xon);
    EXPECT_EQ(back.ByteSize, (t.c_cflag & CSIZE) == CS8 ? 8 : 7);
    EXPECT_EQ(back.Parity, (t.c_cflag & PARENB) ? EVENPARITY : NOPARITY);
  }
  DCB odd{};
  ASSERT_TRUE(GetCommState(tty, &odd));
  odd.BaudRate = 12345;
  EXPECT_FALSE(SetCommState(tty, &odd));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(CloseHandle(tty));
  termios after{};
  ASSERT_EQ(::tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(PtyDevices, OpenFailuresAreMapped) {
  const HANDLE tty = OpenTtyDevice(path.c_str());
  ASSERT_NE(tty, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenTtyDevice(path.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(tty);
  const HANDLE again = OpenTtyDevice(path.c_str());
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing releases the port";
  CloseHandle(again);

  EXPECT_EQ(OpenTtyDevice("/dev/no-such-port"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenTtyDevice("/dev/null"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(CreateFdDevice(-1, -1, false), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFdDevice(1000, 1000, false), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PtyDevices, HangUpOfTheMasterEndsTheTty) {
  const HANDLE tty = OpenTtyDevice(path.c_str());
  ASSERT_NE(tty, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(tty, EV_RXCHAR));
  Overlapped wait;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(tty, &mask, &wait));
  ::close(slave);
  slave = -1;
  ::close(master);
  master = -1;
  EXPECT_EQ(Finish(tty, &wait), -1);
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_TRUE(CloseHandle(tty));
}

// DuplicateHandle: two handles on one open port. Each handle's requests are its own: cancelling
// or closing one never touches the other's, and the port stays held until the last handle goes.
TEST_F(PtyDevices, DuplicatesShareThePortAndEachEndsOnlyItsOwnRequests) {
  const HANDLE first = OpenTtyDevice(path.c_str());
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE second = 0;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), first, GetCurrentProcess(), &second, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  ASSERT_NE(second, first);
  SetTimeouts(first, 0, 0, 0);
  ASSERT_TRUE(SetCommMask(second, EV_RXCHAR));
  std::string seen;
  ASSERT_TRUE(platform::WatchCommInput(second, [&](const BYTE* data, std::size_t count) {
    seen.append(reinterpret_cast<const char*>(data), count);
  }));

  Overlapped readFirst, readSecond, wait;
  char a[4], b[4];
  DWORD mask = 0;
  ASSERT_FALSE(ReadFile(first, a, 4, nullptr, &readFirst));
  ASSERT_FALSE(ReadFile(second, b, 1, nullptr, &readSecond));
  ASSERT_FALSE(WaitCommEvent(second, &mask, &wait));
  ASSERT_TRUE(CancelIo(first));
  EXPECT_EQ(Finish(first, &readFirst), -1);
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(readSecond.Signalled()) << "cancelling one handle leaves the other's requests alone";
  EXPECT_FALSE(CancelIoEx(first, &readSecond)) << "a record is cancelled only through its own handle";
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

  // Closing the first handle ends its pending read; the port and the second handle's requests go on.
  readFirst.Reset();
  ASSERT_FALSE(ReadFile(first, a, 4, nullptr, &readFirst));
  ASSERT_TRUE(CloseHandle(first));
  EXPECT_TRUE(readFirst.Signalled(1000));
  EXPECT_EQ(std::atomic_ref<ULONG_PTR>(readFirst.record.Internal).load(), ULONG_PTR(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(OpenTtyDevice(path.c_str()), INVALID_HANDLE_VALUE) << "the port is still held";
  ASSERT_EQ(::write(master, "xy", 2), 2);
  EXPECT_EQ(Finish(second, &readSecond), 1);
  EXPECT_EQ(b[0], 'x');
  EXPECT_GE(Finish(second, &wait), 0);
  EXPECT_EQ(mask, DWORD(EV_RXCHAR));
  ASSERT_TRUE(platform::WatchCommInput(second, nullptr));  // ends the watch under the device's lock
  EXPECT_EQ(seen, "xy") << "the watcher sees every byte as it arrives, read or not";
  EXPECT_EQ(InQueue(second), 1u) << "watching takes nothing";

  // The last handle releases the port.
  ASSERT_TRUE(CloseHandle(second));
  const HANDLE again = OpenTtyDevice(path.c_str());
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST(CommHandles, DuplicateHandleRules) {
  const HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE copy = 0;
  EXPECT_FALSE(DuplicateHandle(0x1234, event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "only this process's handles";
  EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), 0x1234, GetCurrentProcess(), &copy, 0, FALSE, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // Moving a handle: the copy works, the source is gone, the object lives on.
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_TRUE(SetEvent(copy));
  EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(copy));
  EXPECT_FALSE(CloseHandle(copy));
}

TEST(CommHandles, NoHandleLeaksAcrossDevices) {
  const auto before = platform::OpenHandleCount();
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const HANDLE a = CreateFdDevice(fds[0], fds[0], true);
  const HANDLE b = CreateFdDevice(fds[1], fds[1], true);
  EXPECT_EQ(platform::OpenHandleCount(), before + 2);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(platform::OpenHandleCount(), before);
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "an owned fd is closed with its handle";
}

}  // namespace
