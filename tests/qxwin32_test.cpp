#include "qx/qxwin32.h"

#include "platform/commdevice.h"
#include "platform/commdevices.h"
#include "platform/kernelobject.h"
#include "support/commio.h"

#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace {

// A device whose requests end as the test says: at once (success or failure) or pending until
// Complete. It records what the record held when the request arrived.
class FakeDevice : public platform::KernelObject {
public:
  enum class Mode { AtOnce, FailAtOnce, Pending };
  Mode mode = Mode::AtOnce;
  DWORD failure = ERROR_BROKEN_PIPE;
  OVERLAPPED seen{};
  std::atomic<OVERLAPPED*> pending{nullptr};  // published to the thread that completes it
  std::atomic<int> requests{0};

  BOOL Write(HANDLE, const void*, DWORD count, DWORD* done, OVERLAPPED* overlapped) override { return Request(count, done, overlapped); }
  BOOL Read(HANDLE, void*, DWORD count, DWORD* done, OVERLAPPED* overlapped) override { return Request(count, done, overlapped); }

  // Ends the pending request as a device would: result in the record, then its event.
  void Complete(DWORD error, DWORD transferred) {
    OVERLAPPED* const record = pending.load();
    std::atomic_ref<ULONG_PTR>(record->InternalHigh).store(transferred, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(record->Internal).store(error, std::memory_order_release);
    SetEvent(record->hEvent);
  }

private:
  BOOL Request(DWORD count, DWORD* done, OVERLAPPED* overlapped) {
    seen = *overlapped;
    switch (mode) {
      case Mode::AtOnce:
        // The status is left pending on purpose: a caller that waited here anyway would fail.
        overlapped->Internal = platform::kIoPending;
        if (done) *done = count;
        ++requests;
        return TRUE;
      case Mode::FailAtOnce: ++requests; return platform::Fail(failure);
      case Mode::Pending:
        overlapped->Internal = platform::kIoPending;
        pending = overlapped;
        ++requests;
        return platform::Fail(ERROR_IO_PENDING);
    }
    return FALSE;
  }
};

class OverlappedHelpers : public testing::Test {
protected:
  void SetUp() override {
    m_Device = std::make_shared<FakeDevice>();
    m_Handle = platform::RegisterHandle(m_Device);
    ASSERT_NE(m_Handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { CloseHandle(m_Handle); }

  std::shared_ptr<FakeDevice> m_Device;
  HANDLE m_Handle = INVALID_HANDLE_VALUE;
};

TEST_F(OverlappedHelpers, ClearOnlyTheStatusPartOfTheRecord) {
  OVERLAPPED record;
  std::memset(&record, 0xA5, sizeof record);
  record.hEvent = 0;
  const char data[4] = {};
  char buffer[4];
  for (int call = 0; call < 3; ++call) {
    std::memset(&record, 0xA5, offsetof(OVERLAPPED, hEvent));
    record.hEvent = 0x1234;
    if (call == 0) WriteOverlapped(m_Handle, data, 4, &record);
    if (call == 1) WriteOverlappedAsync(m_Handle, data, 4, &record);
    if (call == 2) ReadOverlapped(m_Handle, buffer, 4, &record);
    EXPECT_EQ(m_Device->seen.Internal, 0u) << call;
    EXPECT_EQ(m_Device->seen.InternalHigh, 0u) << call;
    EXPECT_EQ(m_Device->seen.Offset, 0u) << call;
    EXPECT_EQ(m_Device->seen.OffsetHigh, 0u) << call;
    EXPECT_EQ(m_Device->seen.hEvent, 0x1234u) << call;
  }
}

TEST_F(OverlappedHelpers, RequestThatCompletesAtOnceReturnsTrueWithoutWaiting) {
  OVERLAPPED record{};  // no event: a wait would fail
  const char data[3] = {1, 2, 3};
  char buffer[3];
  EXPECT_TRUE(WriteOverlapped(m_Handle, data, 3, &record));
  EXPECT_TRUE(WriteOverlappedAsync(m_Handle, data, 3, &record));
  EXPECT_TRUE(ReadOverlapped(m_Handle, buffer, 3, &record));
  EXPECT_EQ(m_Device->requests, 3);
}

TEST_F(OverlappedHelpers, ImmediateFailureIsFalseEverywhere) {
  m_Device->mode = FakeDevice::Mode::FailAtOnce;
  OVERLAPPED record{};
  char buffer[2] = {};
  EXPECT_FALSE(WriteOverlapped(m_Handle, buffer, 2, &record));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(WriteOverlappedAsync(m_Handle, buffer, 2, &record));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(ReadOverlapped(m_Handle, buffer, 2, &record));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  // WaitOverlappedResult does not wait for a request that never started.
  DWORD transferred = 77, error = 0;
  SetLastError(ERROR_BROKEN_PIPE);
  EXPECT_FALSE(WaitOverlappedResult(m_Handle, &record, transferred, error));
  EXPECT_EQ(error, ERROR_BROKEN_PIPE);
  EXPECT_EQ(transferred, 77u);
  // A closed handle is an immediate failure too, for every helper, without waiting.
  const HANDLE closed = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  EXPECT_FALSE(WriteOverlappedAsync(closed, buffer, 2, &record));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteOverlapped(closed, buffer, 2, &record));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReadOverlapped(closed, buffer, 2, &record));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CancelPendingIo(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

struct PendingCase {
  const char* name;
  int operation;  // 0 WriteOverlapped, 1 ReadOverlapped
  DWORD completion;
};

class PendingRequests : public OverlappedHelpers, public testing::WithParamInterface<PendingCase> {};

TEST_P(PendingRequests, WaitForTheRequestsOwnResult) {
  const PendingCase& c = GetParam();
  m_Device->mode = FakeDevice::Mode::Pending;
  Overlapped record;
  std::atomic<bool> completed{false};
  std::thread device([&] {
    WaitUntil([&] { return m_Device->requests == 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    completed = true;
    m_Device->Complete(c.completion, 5);
  });
  char buffer[5] = {};
  const bool result =
      c.operation == 0 ? WriteOverlapped(m_Handle, buffer, 5, &record) : ReadOverlapped(m_Handle, buffer, 5, &record);
  const DWORD error = GetLastError();
  const bool completedBeforeReturn = completed;
  device.join();
  EXPECT_TRUE(completedBeforeReturn);
  EXPECT_EQ(result, c.completion == ERROR_SUCCESS);
  if (!result) {
    EXPECT_EQ(error, c.completion);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Qxwin32, PendingRequests,
    testing::Values(PendingCase{"WriteSucceeds", 0, ERROR_SUCCESS}, PendingCase{"WriteAborted", 0, ERROR_OPERATION_ABORTED},
                    PendingCase{"ReadSucceeds", 1, ERROR_SUCCESS}, PendingCase{"ReadFails", 1, ERROR_GEN_FAILURE}),
    [](const testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

TEST_F(OverlappedHelpers, WaitOverlappedResultReportsTransferAndError) {
  m_Device->mode = FakeDevice::Mode::Pending;
  Overlapped record;
  char buffer[8] = {};
  EXPECT_TRUE(WriteOverlappedAsync(m_Handle, buffer, 8, &record));  // pending counts as success
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  m_Device->Complete(ERROR_SUCCESS, 6);
  DWORD transferred = 0, error = 0;
  EXPECT_TRUE(WaitOverlappedResult(m_Handle, &record, transferred, error));
  EXPECT_EQ(error, ERROR_IO_PENDING);
  EXPECT_EQ(transferred, 6u);

  record.Reset();
  EXPECT_TRUE(WriteOverlappedAsync(m_Handle, buffer, 8, &record));
  m_Device->Complete(ERROR_DEVICE_NOT_CONNECTED, 2);
  EXPECT_FALSE(WaitOverlappedResult(m_Handle, &record, transferred, error));
  EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
}

// The same helpers on a real comm device: one end of a socket pair.
class SocketHelpers : public testing::Test {
protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    m_Peer = fds[1];
    m_Handle = platform::CreateFdDevice(fds[0], fds[0], true);
    ASSERT_NE(m_Handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (m_Handle != INVALID_HANDLE_VALUE) CloseHandle(m_Handle);
    close(m_Peer);
  }

  int m_Peer = -1;
  HANDLE m_Handle = INVALID_HANDLE_VALUE;
};

TEST_F(SocketHelpers, LargeAsyncWritePendsAndCompletesWhenRead) {
  const std::string data(1 << 20, 'z');  // far more than the socket buffers hold
  Overlapped record;
  ASSERT_TRUE(WriteOverlappedAsync(m_Handle, data.data(), static_cast<DWORD>(data.size()), &record));
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(m_Handle, &record, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  std::size_t received = 0;
  std::thread reader([&] {
    char chunk[65536];
    while (received < data.size()) {
      const ssize_t got = read(m_Peer, chunk, sizeof chunk);
      if (got <= 0) break;
      received += static_cast<std::size_t>(got);
    }
  });
  SetLastError(ERROR_IO_PENDING);
  DWORD error = 0;
  EXPECT_TRUE(WaitOverlappedResult(m_Handle, &record, transferred, error));
  reader.join();
  EXPECT_EQ(transferred, data.size());
  EXPECT_EQ(received, data.size());
}

TEST_F(SocketHelpers, ReadWaitsForDataAndCancelAbortsAPendingRead) {
  Overlapped record;
  char buffer[5] = {};
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(write(m_Peer, "hello", 5), 5);
  });
  EXPECT_TRUE(ReadOverlapped(m_Handle, buffer, 5, &record));
  sender.join();
  // The read may end with the first bytes that arrived.
  const std::size_t got = record.record.InternalHigh;
  ASSERT_GT(got, 0u);
  EXPECT_EQ(std::string(buffer, got), std::string("hello", got));

  record.Reset();
  DWORD read = 0;
  ASSERT_FALSE(ReadFile(m_Handle, buffer, 5, &read, &record));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_TRUE(CancelPendingIo(m_Handle));
  DWORD transferred = 0, error = 0;
  EXPECT_FALSE(WaitOverlappedResult(m_Handle, &record, transferred, error));
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);

  CloseHandle(m_Handle);
  EXPECT_FALSE(CancelPendingIo(m_Handle));
  m_Handle = INVALID_HANDLE_VALUE;
}

TEST(SystemErrorText, GivesTheTextOfTheLastErrorAndKeepsIt) {
  SetLastError(ERROR_INVALID_HANDLE);
  EXPECT_EQ(SystemErrorText(), QStringLiteral("The handle is invalid."));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(SystemErrorText(), QStringLiteral("The operation completed successfully."));
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(SystemErrorText(),
            QStringLiteral("The process cannot access the file because it is being used by another process."));
  SetLastError(54321);
  const QString unknown = SystemErrorText();
  EXPECT_TRUE(unknown.contains(QStringLiteral("54321"))) << unknown.toStdString();
  // Every code the platform sets has its own text.
  for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DISK_FULL,
                           ERROR_IO_PENDING, ERROR_OPERATION_ABORTED, ERROR_INVALID_THREAD_ID, ERROR_NO_MORE_FILES,
                           ERROR_INSUFFICIENT_BUFFER, ERROR_GEN_FAILURE, ERROR_NOT_SUPPORTED, ERROR_BROKEN_PIPE}) {
    SetLastError(code);
    const QString text = SystemErrorText();
    EXPECT_FALSE(text.contains(QStringLiteral("Unknown"))) << code;
    EXPECT_TRUE(text.endsWith(QLatin1Char('.'))) << code;
  }
}

TEST(FormatSystemMessage, NeedsRoomForTheWholeText) {
  char small[10];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(FormatSystemMessage(ERROR_INVALID_HANDLE, small, sizeof small), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small[0], '\0');
  char exact[23];  // "The handle is invalid." and its terminator
  EXPECT_EQ(FormatSystemMessage(ERROR_INVALID_HANDLE, exact, sizeof exact), 22u);
  EXPECT_STREQ(exact, "The handle is invalid.");
}

struct VersionCase {
  DWORD major, minor, build, platform;
  const char* servicePack;
  const char* text;
};

TEST(WindowsVersionText, NameTable) {
  const DWORD nt = VER_PLATFORM_WIN32_NT, win = VER_PLATFORM_WIN32_WINDOWS;
  for (const VersionCase& c : {
           VersionCase{3, 51, 1057, nt, "Service Pack 5", "Windows NT 3.51 [3.51.1057] Service Pack 5"},
           VersionCase{3, 10, 528, win, "", "Windows NT 3.51 [3.10.528] "},
           VersionCase{4, 10, 1998, win, " A ", "Windows 98 [4.10.1998]  A "},
           VersionCase{4, 90, 3000, win, "", "Windows Me [4.90.3000] "},
           VersionCase{4, 0, 1381, nt, "Service Pack 6", "Windows NT 4 [4.0.1381] Service Pack 6"},
           VersionCase{4, 0, 950, win, "", "Windows 95 [4.0.950] "},
           VersionCase{4, 10, 1381, nt, "", "Windows 98 [4.10.1381] "},
           VersionCase{5, 0, 2195, nt, "", "Windows 2000 [5.0.2195] "},
           VersionCase{5, 1, 2600, nt, "Service Pack 2", "Windows XP [5.1.2600] Service Pack 2"},
           VersionCase{5, 2, 3790, nt, "", "Windows 2003 [5.2.3790] "},
           VersionCase{5, 3, 1, nt, "", "Windows  [5.3.1] "},
           VersionCase{6, 0, 6000, nt, "", "Windows Vista [6.0.6000] "},
           VersionCase{6, 1, 7601, nt, "Service Pack 1", "Windows Longhorn [6.1.7601] Service Pack 1"},
           VersionCase{6, 3, 9600, nt, "", "Windows Longhorn [6.3.9600] "},
           VersionCase{10, 0, 19045, nt, "", "Windows  [10.0.19045] "},
           VersionCase{2, 0, 0, 0, "", "Windows  [2.0.0] "},
       }) {
    EXPECT_EQ(WindowsVersionText(c.major, c.minor, c.build, c.platform, QString::fromLatin1(c.servicePack)),
              QString::fromLatin1(c.text))
        << c.major << "." << c.minor;
  }
  EXPECT_TRUE(WindowsVersionText(5, 3, 0, nt, {}).startsWith(QStringLiteral("Windows  [")));
}

TEST(HostVersionText, TakesTheLeadingNumbersOfTheRelease) {
  struct Case {
    const char *name, *release, *build, *text;
  };
  for (const Case& c : {Case{"Linux", "6.1.0-18-amd64", "#1 SMP Debian", "Linux 6.1.0-18-amd64 [6.1.0] #1 SMP Debian"},
                        Case{"Linux", "5.10", "#7", "Linux 5.10 [5.10.0] #7"},
                        Case{"Linux", "4.19.0.5-rt", "", "Linux 4.19.0.5-rt [4.19.0] "},
                        Case{"Odd", "rolling", "x", "Odd rolling [0.0.0] x"}}) {
    EXPECT_EQ(HostVersionText(QString::fromLatin1(c.name), QString::fromLatin1(c.release), QString::fromLatin1(c.build)),
              QString::fromLatin1(c.text));
  }
}

TEST(VersionText, HostTextForNoFileAndEmptyForFiles) {
  utsname host{};
  ASSERT_EQ(uname(&host), 0);
  QString text = QStringLiteral("stale");
  VersionText(QString(), QString(), text);
  EXPECT_EQ(text, HostVersionText(QString::fromLocal8Bit(host.sysname), QString::fromLocal8Bit(host.release),
                                  QString::fromLocal8Bit(host.version)));
  EXPECT_TRUE(text.startsWith(QString::fromLocal8Bit(host.sysname) + QLatin1Char(' ')));
  // ELF files have no version resource: empty, whatever the format; a missing file too.
  for (const QString& format : {QString(), QStringLiteral("%u.%u")}) {
    text = QStringLiteral("stale");
    VersionText(QStringLiteral("/proc/self/exe"), format, text);
    EXPECT_TRUE(text.isEmpty());
    text = QStringLiteral("stale");
    VersionText(QStringLiteral("/nonexistent/file.exe"), format, text);
    EXPECT_TRUE(text.isEmpty());
  }
}

TEST(ForegroundWindow, NoneHeadlessThenTheActiveWindow) {
  EXPECT_EQ(ForegroundWindow(), nullptr);  // no application object yet
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "qxwin32_test";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  EXPECT_EQ(ForegroundWindow(), nullptr);  // no window yet
  QWidget window;
  window.show();
  window.activateWindow();
  EXPECT_TRUE(WaitUntil([&] {
    QApplication::processEvents();
    return QApplication::activeWindow() == &window;
  }));
  EXPECT_EQ(ForegroundWindow(), static_cast<HWND>(&window));
}

}  // namespace
