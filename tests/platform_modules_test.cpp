// Libraries by Windows name (LoadLibraryA, GetProcAddress, FreeLibrary, GetModuleHandleA) and the
// message tables they export (FormatMessageA), against the test library QxTestModule.dll.
#include "platform/module.h"
#include "platform/winapi.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string kBuiltModule = QX_TEST_MODULE_FILE;

std::string ModulePath(HMODULE module) {
  char path[4096];
  const DWORD length = GetModuleFileName(module, path, sizeof path);
  return std::string(path, length);
}

using LastErrorFunction = DWORD (*)();

TEST(Libraries, WindowsNamesBecomeHostNames) {
  const struct {
    const char* windows;
    const char* host;
  } cases[] = {
      {"tapi32.dll", "libtapi32.so"}, {"TAPIUI.DLL", "libtapiui.so"}, {"Kernel32", "libkernel32.so"},
      {"libc.so.6", "libc.so.6"},     {"./Local.dll", "./Local.dll"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::HostLibraryName(c.windows), c.host) << c.windows;
}

TEST(Libraries, FoundThroughLibraryPathFirst) {
  TempFolder folder;
  fs::copy_file(kBuiltModule, folder / "libqxtestmodule.so");
  ScopedVariable path("QX_LIBRARY_PATH", "/nonexistent/folder::" + folder.Path().string());

  const HMODULE module = LoadLibraryA("QxTestModule.DLL");
  ASSERT_NE(module, nullptr) << GetLastError();
  EXPECT_EQ(ModulePath(module), folder / "libqxtestmodule.so");

  // The library's own export, calling into the one platform layer of the process.
  const auto lastError = reinterpret_cast<LastErrorFunction>(GetProcAddress(module, "qxTestModuleLastError"));
  ASSERT_NE(lastError, nullptr);
  SetLastError(4242);
  EXPECT_EQ(lastError(), 4242u);
  // What it imports and what it does not have are not its exports.
  for (const char* missing : {"GetLastError", "qxNoSuchFunction"}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, missing), nullptr) << missing;
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND) << missing;
  }

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA((folder / "libqxtestmodule.so").c_str()), nullptr) << "still loaded";
}

TEST(Libraries, FolderWithoutTheLibraryHidesIt) {
  ASSERT_TRUE(fs::exists(kBuiltModule));
  TempFolder empty;
  ScopedVariable path("QX_LIBRARY_PATH", empty.Path().string());
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("qxtestmodule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Libraries, FoundInBuildTreeAndCountedPerLoad) {
  ScopedVariable path("QX_LIBRARY_PATH", nullptr);
  const HMODULE first = LoadLibraryA("qxtestmodule.dll");
  ASSERT_NE(first, nullptr) << GetLastError();
  EXPECT_TRUE(fs::equivalent(ModulePath(first), kBuiltModule));
  EXPECT_EQ(GetModuleHandleA("QXTESTMODULE.DLL"), first);
  const HMODULE second = LoadLibraryA("qxtestmodule");  // Windows adds ".dll" to a bare name
  EXPECT_EQ(second, first);

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(GetModuleHandleA("qxtestmodule.dll"), first) << "one reference is left";
  EXPECT_NE(GetProcAddress(first, "qxTestModuleLastError"), nullptr);
  EXPECT_TRUE(FreeLibrary(second));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("qxtestmodule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  // An unloaded library is refused, not read.
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(first, "qxTestModuleLastError"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Libraries, FailuresAndTheExecutable) {
  TempFolder folder;
  PutFile(folder / "libbroken.so", "not a library");
  ScopedVariable path("QX_LIBRARY_PATH", folder.Path().string());
  for (const char* name : {"broken.dll", "missing.dll", "/nonexistent/libqxtestmodule.so"}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(name), nullptr) << name;
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND) << name;
  }
  // A path is opened as it stands, whatever the search folders say.
  const HMODULE byPath = LoadLibraryA(kBuiltModule.c_str());
  ASSERT_NE(byPath, nullptr);
  EXPECT_TRUE(FreeLibrary(byPath));

  int notAModule = 0;
  EXPECT_FALSE(FreeLibrary(&notAModule));
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_FALSE(FreeLibrary(GetModuleHandleA(nullptr))) << "only LoadLibraryA's references are released";

  const HMODULE executable = GetModuleHandleA(nullptr);
  ASSERT_NE(executable, nullptr);
  EXPECT_EQ(ModulePath(executable), fs::read_symlink("/proc/self/exe").string());
  EXPECT_NE(GetModuleHandleA("libc.so.6"), nullptr) << "a host name is used as it is";
  EXPECT_EQ(GetProcAddress(nullptr, "qxTestModuleLastError"), nullptr);
}

class MessageTables : public testing::Test {
protected:
  void SetUp() override {
    m_Module = LoadLibraryA(kBuiltModule.c_str());
    ASSERT_NE(m_Module, nullptr);
  }
  void TearDown() override { FreeLibrary(m_Module); }
  HMODULE m_Module = nullptr;
};

TEST_F(MessageTables, TextsBySizeAndIdentifier) {
  constexpr DWORD kModule = FORMAT_MESSAGE_FROM_HMODULE;
  constexpr DWORD kModuleAsIs = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
  constexpr DWORD kModuleThenSystem = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
  const struct {
    DWORD flags;
    DWORD id;
    DWORD language;
    DWORD size;
    const char* text;  // what the buffer holds afterwards
    DWORD error;       // the last error when nothing is returned
  } cases[] = {
      {kModule, 1, 0, 1024, "The line is busy.", 0},
      {kModule, 0x8000001D, 0, 1024, "The operation failed because the device is in use.", 0},
      {kModule, 1, 0, 18, "The line is busy.", 0},  // exactly the text and its terminator
      {kModule, 1, 0, 17, "", ERROR_INSUFFICIENT_BUFFER},
      {kModule, 99, 0, 1024, "", ERROR_MR_MID_NOT_FOUND},
      {kModule, 1, 0x0409, 1024, "", ERROR_RESOURCE_LANG_NOT_FOUND},
      {kModuleAsIs, 7, 0, 1024, "Caf\xE9 100% full", 0},
      {kModule, 7, 0, 1024, "", ERROR_INVALID_PARAMETER},  // inserts are not expanded
      {kModuleThenSystem, ERROR_MORE_DATA, 0, 1024, "More data is available.", 0},
      {kModuleThenSystem, 0xDEAD, 0, 1024, "", ERROR_MR_MID_NOT_FOUND},
  };
  for (const auto& c : cases) {
    char buffer[1100];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    SetLastError(0);
    const DWORD length = FormatMessageA(c.flags, m_Module, c.id, c.language, buffer, c.size, nullptr);
    SCOPED_TRACE(testing::Message() << "id " << c.id << " size " << c.size);
    EXPECT_EQ(length, std::strlen(c.text));
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(buffer[c.size], '#') << "written past the size";
    if (length == 0) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

TEST_F(MessageTables, ModuleWithoutTableOrUnloaded) {
  char buffer[64] = "unchanged";
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleA(nullptr), 1, 0, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_STREQ(buffer, "");

  ASSERT_TRUE(FreeLibrary(m_Module));
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, m_Module, 1, 0, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  m_Module = LoadLibraryA(kBuiltModule.c_str());  // for TearDown
}

}  // namespace
