#include "platform/file.h"
#include "platform/filefind.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

class Files : public testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qxfiles.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_Dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(m_Dir, fs::perms::owner_all, ignored);
    fs::remove_all(m_Dir, ignored);
  }

  std::string Path(const std::string& name) const { return (m_Dir / name).string(); }

  void Put(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }

  std::string Content(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) const {
    return CreateFile(Path(name).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, 0);
  }

  fs::path m_Dir;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

TEST_F(Files, WriteSeekReadTruncate) {
  const HANDLE file = Open("data.bin", kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "hello world", 11, &done, nullptr));
  EXPECT_EQ(done, 11u);
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(file, &high), 11u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(file, 6, nullptr, FILE_BEGIN), 6u);
  char buffer[32] = {};
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "world");
  // At the end a read succeeds with nothing.
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(SetFilePointer(file, -6, nullptr, FILE_END), 5u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 5u);
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(GetFileSize(file, nullptr), 5u);
  EXPECT_TRUE(FlushFileBuffers(file));
  // Before the start, and past 32 bits without a high part, are refused and the position stays.
  EXPECT_EQ(SetFilePointer(file, -10, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  LONG moveHigh = 1;
  EXPECT_EQ(SetFilePointer(file, 0, &moveHigh, FILE_BEGIN), 0u);  // 4 GiB, sparse, never written
  EXPECT_EQ(moveHigh, 1);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  LONG none = 0;
  EXPECT_EQ(SetFilePointer(file, 0, &none, FILE_END), 5u);
  ASSERT_TRUE(CloseHandle(file));
  EXPECT_EQ(Content("data.bin"), "hello");
}

TEST_F(Files, OverlappedRecordOnAFileUsesItsOffset) {
  Put("offset.bin", "0123456789");
  const HANDLE file = Open("offset.bin", kReadWrite, 0);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED record{};
  record.Offset = 4;
  record.hEvent = event;
  char buffer[3] = {};
  DWORD done = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, &record));
  EXPECT_EQ(std::string(buffer, 3), "456");
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(file, &record, &done, FALSE));
  EXPECT_EQ(done, 3u);
  record.Offset = 8;
  ASSERT_TRUE(WriteFile(file, "AB", 2, &done, &record));
  CloseHandle(event);
  CloseHandle(file);
  EXPECT_EQ(Content("offset.bin"), "01234567AB");
}

struct DispositionCase {
  const char* name;
  bool exists;
  DWORD access;
  DWORD disposition;
  DWORD error;             // after the call: the failure, or ERROR_ALREADY_EXISTS / ERROR_SUCCESS
  const char* contentAfter;  // nullptr: no file afterwards
};

class Dispositions : public Files, public testing::WithParamInterface<DispositionCase> {};

TEST_P(Dispositions, OpenCreateOrTruncate) {
  const DispositionCase& c = GetParam();
  if (c.exists) Put("f", "old");
  const HANDLE file = Open("f", c.access, 0, c.disposition);
  const DWORD error = GetLastError();
  const bool fails = c.error != ERROR_SUCCESS && c.error != ERROR_ALREADY_EXISTS;
  EXPECT_EQ(file == INVALID_HANDLE_VALUE, fails);
  EXPECT_EQ(error, c.error);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (c.contentAfter == nullptr) EXPECT_FALSE(fs::exists(Path("f")));
  else EXPECT_EQ(Content("f"), c.contentAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Dispositions,
    testing::Values(DispositionCase{"CreateNewFresh", false, kReadWrite, CREATE_NEW, ERROR_SUCCESS, ""},
                    DispositionCase{"CreateNewExisting", true, kReadWrite, CREATE_NEW, ERROR_FILE_EXISTS, "old"},
                    DispositionCase{"CreateAlwaysExisting", true, kReadWrite, CREATE_ALWAYS, ERROR_ALREADY_EXISTS, ""},
                    DispositionCase{"CreateAlwaysFresh", false, GENERIC_WRITE, CREATE_ALWAYS, ERROR_SUCCESS, ""},
                    DispositionCase{"OpenExistingMissing", false, GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, nullptr},
                    DispositionCase{"OpenExisting", true, GENERIC_READ, OPEN_EXISTING, ERROR_SUCCESS, "old"},
                    DispositionCase{"OpenAlwaysExisting", true, kReadWrite, OPEN_ALWAYS, ERROR_ALREADY_EXISTS, "old"},
                    DispositionCase{"OpenAlwaysFresh", false, kReadWrite, OPEN_ALWAYS, ERROR_SUCCESS, ""},
                    DispositionCase{"TruncateExisting", true, GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_SUCCESS, ""},
                    DispositionCase{"TruncateNeedsWrite", true, GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER, "old"},
                    DispositionCase{"TruncateMissing", false, GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND, nullptr},
                    DispositionCase{"BadDisposition", true, GENERIC_READ, 9, ERROR_INVALID_PARAMETER, "old"}),
    [](const testing::TestParamInfo<DispositionCase>& info) { return std::string(info.param.name); });

TEST_F(Files, OpenFailuresNameTheirCause) {
  SetLastError(0);
  EXPECT_EQ(Open("missing/f", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("missing/f", kReadWrite, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  fs::create_directory(Path("folder"));
  EXPECT_EQ(Open("folder", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFile("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

struct ShareCase {
  const char* name;
  DWORD firstAccess, firstShare, secondAccess, secondShare;
  bool secondOpens;
};

class ShareModes : public Files, public testing::WithParamInterface<ShareCase> {};

TEST_P(ShareModes, SecondOpenSeesTheFirst) {
  const ShareCase& c = GetParam();
  Put("shared", "content");
  const HANDLE first = Open("shared", c.firstAccess, c.firstShare);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  const HANDLE second = Open("shared", c.secondAccess, c.secondShare);
  EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens);
  if (second == INVALID_HANDLE_VALUE) EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  else CloseHandle(second);
  // Once the first is closed, the second open always works.
  CloseHandle(first);
  const HANDLE again = Open("shared", c.secondAccess, c.secondShare);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShareModes,
    testing::Values(ShareCase{"ExclusiveBlocksReader", kReadWrite, 0, GENERIC_READ, FILE_SHARE_READ, false},
                    ShareCase{"ExclusiveBlocksExclusive", kReadWrite, 0, kReadWrite, 0, false},
                    ShareCase{"ReaderBlocksExclusive", GENERIC_READ, FILE_SHARE_READ, kReadWrite, 0, false},
                    ShareCase{"ReadersShare", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
                    ShareCase{"SharedWriterBlocksWriter", kReadWrite, FILE_SHARE_READ, kReadWrite, FILE_SHARE_READ, false},
                    ShareCase{"SharedWriterBlocksPlainReader", kReadWrite, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},
                    ShareCase{"FullySharedWriters", kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, kReadWrite,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, true},
                    ShareCase{"QueryOnlyIgnoresSharing", kReadWrite, 0, 0, 0, true}),
    [](const testing::TestParamInfo<ShareCase>& info) { return std::string(info.param.name); });

TEST_F(Files, RefusedCreateAlwaysLeavesTheHoldersDataIntact) {
  Put("held", "precious");
  const HANDLE holder = Open("held", kReadWrite, 0);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("held", kReadWrite, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open("held", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  CloseHandle(holder);
  EXPECT_EQ(Content("held"), "precious");
}

// Runs `child` in a forked process and returns its exit code.
int InChild(const std::function<int()>& child, const std::function<void()>& whileRunning = {}) {
  const pid_t pid = fork();
  if (pid == 0) _exit(child());
  if (whileRunning) whileRunning();
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Files, ShareModesHoldBetweenProcesses) {
  Put("between", "x");
  const std::string path = Path("between");
  const auto tryOpen = [path](DWORD access, DWORD share) {
    const HANDLE file = CreateFile(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? 10 : 11;
    CloseHandle(file);
    return 0;
  };
  const HANDLE exclusive = Open("between", kReadWrite, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(InChild([&] { return tryOpen(GENERIC_READ, FILE_SHARE_READ); }), 10);
  CloseHandle(exclusive);
  EXPECT_EQ(InChild([&] { return tryOpen(kReadWrite, 0); }), 0);

  // The other way round: the child holds a read-shared open while the parent tries.
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  int parentExclusive = -1, parentReader = -1;
  const int child = InChild(
      [&] {
        const HANDLE reader = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0);
        const char mark = reader != INVALID_HANDLE_VALUE ? 'y' : 'n';
        if (write(ready[1], &mark, 1) != 1) return 2;
        char go = 0;
        if (read(done[0], &go, 1) != 1) return 3;
        return mark == 'y' ? 0 : 1;
      },
      [&] {
        char mark = 0;
        if (read(ready[0], &mark, 1) != 1 || mark != 'y') return;
        parentExclusive = tryOpen(kReadWrite, 0);
        parentReader = tryOpen(GENERIC_READ, FILE_SHARE_READ);
        const char go = 'g';
        if (write(done[1], &go, 1) != 1) return;
      });
  for (const int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  EXPECT_EQ(child, 0);
  EXPECT_EQ(parentExclusive, 10);
  EXPECT_EQ(parentReader, 0);
}

TEST_F(Files, FailedWritesAreReported) {
  // A full device: nothing fits.
  const HANDLE full = CreateFile("/dev/full", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
  ASSERT_NE(full, INVALID_HANDLE_VALUE);
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(full, "data", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  CloseHandle(full);
  // A handle opened for reading only refuses writes, and one for writing only refuses reads.
  Put("ro", "abc");
  const HANDLE reader = Open("ro", GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(reader);
  const HANDLE writer = Open("ro", GENERIC_WRITE, 0);
  char buffer[4];
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(writer, buffer, 4, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(writer);
  EXPECT_EQ(Content("ro"), "abc");
}

// Symbolic links: an open ends in a bounded number of tries whatever the link points at; with
// FILE_FLAG_OPEN_REPARSE_POINT no link is followed. Each open runs in a child that a hang would
// let the alarm end.
TEST_F(Files, SymbolicLinksEndEveryOpen) {
  struct Case {
    const char* name;
    const char* link;  // what the link "l" points at, inside the folder
    DWORD disposition;
    DWORD flags;
    bool targetBefore;   // "t" holds "old" before the open
    DWORD error;
    const char* target;  // the target's content afterwards; nullptr: it does not exist
  };
  const Case cases[] = {
      {"dangling, create always", "t", CREATE_ALWAYS, 0, false, ERROR_SUCCESS, ""},
      {"dangling, open always", "t", OPEN_ALWAYS, 0, false, ERROR_SUCCESS, ""},
      {"dangling, create new", "t", CREATE_NEW, 0, false, ERROR_FILE_EXISTS, nullptr},
      {"dangling, not followed", "t", CREATE_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, false, ERROR_CANT_RESOLVE_FILENAME,
       nullptr},
      {"to a file, not followed", "t", OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, true, ERROR_CANT_RESOLVE_FILENAME,
       "old"},
      {"to a file, followed", "t", CREATE_ALWAYS, 0, true, ERROR_ALREADY_EXISTS, ""},
      {"to itself", "l", CREATE_ALWAYS, 0, false, ERROR_CANT_RESOLVE_FILENAME, nullptr},
  };
  for (const Case& c : cases) {
    fs::remove(Path("l"));
    fs::remove(Path("t"));
    if (c.targetBefore) Put("t", "old");
    fs::create_symlink(c.link, Path("l"));
    const std::string link = Path("l");
    const int result = InChild([&] {
      alarm(10);
      const HANDLE file = CreateFile(link.c_str(), kReadWrite, 0, nullptr, c.disposition, c.flags, 0);
      const DWORD error = GetLastError();
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      return error == c.error ? 0 : 1;
    });
    EXPECT_EQ(result, 0) << c.name << (result < 0 ? ": no end" : ": another result");
    EXPECT_EQ(fs::exists(Path("t")), c.target != nullptr) << c.name;
    if (c.target != nullptr) {
      EXPECT_EQ(Content("t"), c.target) << c.name;
    }
  }
}

TEST_F(Files, InformationByHandleTellsKindAndLinks) {
  Put("one", "abc");
  const HANDLE file = Open("one", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(info.nFileSizeLow, 3u);
  EXPECT_EQ(info.nNumberOfLinks, 1u);
  fs::create_hard_link(Path("one"), Path("two"));
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  EXPECT_EQ(info.nNumberOfLinks, 2u);
  CloseHandle(file);
  const HANDLE device = CreateFile("/dev/null", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetFileInformationByHandle(device, &info));
  EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_DEVICE);
  CloseHandle(device);
  EXPECT_FALSE(GetFileInformationByHandle(file, &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A write past the file size limit (ulimit -f) fails with its reason; the process lives on.
TEST_F(Files, FileSizeLimitIsAWriteError) {
  const std::string path = Path("limited");
  const int result = InChild([&] {
    const rlimit limit{1000, 1000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    const HANDLE file = CreateFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return 3;
    const std::string data(1500, 'x');
    DWORD written = 0;
    const BOOL ok = WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
    const DWORD error = GetLastError();
    // Still alive, and a second write fails the same way.
    const BOOL again = WriteFile(file, "y", 1, nullptr, nullptr);
    CloseHandle(file);
    return !ok && error == ERROR_FILE_TOO_LARGE && written == 1000 && !again ? 0 : 1;
  });
  EXPECT_EQ(result, 0) << (result < 0 ? "killed by a signal" : "another result");
  EXPECT_EQ(fs::file_size(path), 1000u);
}

TEST_F(Files, ReadOnlyFolderRefusesCreation) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fs::create_directory(Path("locked"));
  fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(Open("locked/new", kReadWrite, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  fs::permissions(Path("locked"), fs::perms::owner_all);
}

TEST_F(Files, InvalidHandlesAreRefused) {
  char buffer[4];
  DWORD count = 0;
  WIN32_FIND_DATA data{};
  for (const HANDLE bad : {INVALID_HANDLE_VALUE, HANDLE{0}, HANDLE{0x7FFFFFF0}}) {
    EXPECT_FALSE(ReadFile(bad, buffer, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
    EXPECT_FALSE(FindNextFile(bad, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  // A file is not a search, and an event is not a file.
  const HANDLE file = Open("kind", kReadWrite, 0, CREATE_NEW);
  EXPECT_FALSE(FindNextFile(file, &data));
  EXPECT_FALSE(FindClose(file));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(file);
  const HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  EXPECT_FALSE(SetEndOfFile(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(event);
}

TEST_F(Files, DeleteFile) {
  Put("gone", "x");
  EXPECT_TRUE(DeleteFile(Path("gone").c_str()));
  EXPECT_FALSE(fs::exists(Path("gone")));
  EXPECT_FALSE(DeleteFile(Path("gone").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  fs::create_directory(Path("dir"));
  EXPECT_FALSE(DeleteFile(Path("dir").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(FileTime, ConvertsBetweenEpochs) {
  struct Case {
    std::int64_t unixNanoseconds;
    std::uint64_t fileTime;
  };
  for (const Case& c : {Case{0, 116444736000000000ULL}, Case{1'000'000'000, 116444736010000000ULL},
                        Case{-2'208'988'800LL * 1'000'000'000, 94354848000000000ULL}, Case{-100, 116444735999999999ULL},
                        Case{1'700'000'000'123'456'700LL, 133444736001234567ULL}}) {
    const FILETIME time = platform::FileTimeFromUnixNanoseconds(c.unixNanoseconds);
    EXPECT_EQ((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime, c.fileTime) << c.unixNanoseconds;
    EXPECT_EQ(platform::UnixNanosecondsFromFileTime(time), c.unixNanoseconds);
  }
  // Beyond what 64-bit nanoseconds hold: clamped, not wrapped into the past.
  EXPECT_GT(platform::UnixNanosecondsFromFileTime(FILETIME{0xFFFFFFFEu, 0xFFFFFFFFu}), 0);
}

TEST_F(Files, FileTimesRoundTrip) {
  Put("timed", "abc");
  const HANDLE file = Open("timed", GENERIC_WRITE, 0);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  // 2001-09-09 01:46:40.1234567 UTC
  const std::uint64_t ticks = 116444736000000000ULL + 1'000'000'000ULL * 10'000'000ULL + 1'234'567ULL;
  const FILETIME write{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &write));
  CloseHandle(file);
  struct stat info {};
  ASSERT_EQ(stat(Path("timed").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1'000'000'000);
  EXPECT_EQ(info.st_mtim.tv_nsec, 123'456'700);
  WIN32_FIND_DATA data{};
  const HANDLE find = FindFirstFile(Path("timed").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, write.dwLowDateTime);
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, write.dwHighDateTime);
  FindClose(find);
  // A null time, or 0, leaves the time alone.
  const HANDLE again = Open("timed", GENERIC_WRITE, 0);
  const FILETIME zero{0, 0};
  ASSERT_TRUE(SetFileTime(again, nullptr, &zero, nullptr));
  CloseHandle(again);
  ASSERT_EQ(stat(Path("timed").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1'000'000'000);
}

struct MaskCase {
  const char* mask;
  const char* name;
  bool matches;
};

TEST(ShellMask, Matches) {
  for (const MaskCase& c : {MaskCase{"*.*", "a.txt", true}, MaskCase{"*.*", "noext", true}, MaskCase{"*.*", ".", true},
                            MaskCase{"*.*", "..", true}, MaskCase{"*", ".hidden", true}, MaskCase{"*.txt", "a.txt", true},
                            MaskCase{"*.txt", "a.txt.bak", false}, MaskCase{"*.txt", "txt", false},
                            MaskCase{"?.dat", "b.dat", true}, MaskCase{"?.dat", "bb.dat", false},
                            MaskCase{"?.dat", ".dat", false}, MaskCase{"a*b*c", "axxbyyc", true},
                            MaskCase{"a*b*c", "axxbyy", false}, MaskCase{"noext.*", "noext", true},
                            MaskCase{"noext.*", "noext.1", true}, MaskCase{"*.TXT", "a.txt", false},
                            MaskCase{"exact", "exact", true}, MaskCase{"exact", "exactly", false},
                            MaskCase{"**?", "x", true}, MaskCase{"*?", "", false}}) {
    EXPECT_EQ(platform::MatchesShellMask(c.mask, c.name), c.matches) << c.mask << " ~ " << c.name;
  }
}

class FindByMask : public Files {
protected:
  void SetUp() override {
    Files::SetUp();
    Put("a.txt", "12345");
    Put("b.dat", "");
    Put("noext", "x");
    fs::create_directory(Path("sub"));
  }

  // Names found for the mask, or the error when nothing is found.
  std::set<std::string> Find(const std::string& mask, DWORD* error = nullptr) {
    std::set<std::string> names;
    WIN32_FIND_DATA data{};
    const HANDLE find = FindFirstFile(Path(mask).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
      if (error) *error = GetLastError();
      return names;
    }
    do {
      names.insert(data.cFileName);
      m_Found[data.cFileName] = data;
    } while (FindNextFile(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    return names;
  }

  std::map<std::string, WIN32_FIND_DATA> m_Found;
};

TEST_F(FindByMask, MasksSelectEntries) {
  using Names = std::set<std::string>;
  EXPECT_EQ(Find("*.*"), (Names{".", "..", "a.txt", "b.dat", "noext", "sub"}));
  EXPECT_EQ(Find("*"), (Names{".", "..", "a.txt", "b.dat", "noext", "sub"}));
  EXPECT_EQ(Find("*.txt"), (Names{"a.txt"}));
  EXPECT_EQ(Find("?.dat"), (Names{"b.dat"}));
  EXPECT_EQ(Find("noext"), (Names{"noext"}));
  EXPECT_EQ(Find("s?b"), (Names{"sub"}));
}

TEST_F(FindByMask, EntriesCarrySizeTimeAndKind) {
  Find("*.*");
  ASSERT_EQ(m_Found.count("a.txt"), 1u);
  EXPECT_EQ(m_Found["a.txt"].nFileSizeLow, 5u);
  EXPECT_EQ(m_Found["a.txt"].nFileSizeHigh, 0u);
  EXPECT_EQ(m_Found["a.txt"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(m_Found["sub"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(m_Found["."].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(m_Found[".."].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  struct stat info {};
  ASSERT_EQ(stat(Path("a.txt").c_str(), &info), 0);
  const FILETIME expected =
      platform::FileTimeFromUnixNanoseconds(info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec);
  EXPECT_EQ(m_Found["a.txt"].ftLastWriteTime.dwLowDateTime, expected.dwLowDateTime);
  EXPECT_EQ(m_Found["a.txt"].ftLastWriteTime.dwHighDateTime, expected.dwHighDateTime);
}

TEST_F(FindByMask, NothingFound) {
  DWORD error = 0;
  EXPECT_TRUE(Find("zzz*", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Find("absent", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Find("nowhere/*.*", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(Find("sub/", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(Host, ModuleFileNameIsTheExecutable) {
  char path[4096];
  const DWORD length = GetModuleFileName(nullptr, path, sizeof path);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::strlen(path), length);
  EXPECT_EQ(fs::path(path).filename(), "platform_files_test");
  EXPECT_TRUE(fs::exists(path));
  // Too small: cut, terminated, reported.
  char small[8];
  EXPECT_EQ(GetModuleFileName(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), std::string(path, 7));
}

}  // namespace
