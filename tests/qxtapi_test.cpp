// The telephony binding: run-time lookup of every line function, -1 when the library or the
// function is absent, the lineShutdown handle rule with unloading and reloading, and the error
// texts from the message table. MissingLibrary.* run in a ctest entry of their own (no library may
// have been loaded before them in the process).
#include "platform/winapi.h"
#include "qx/qxtapi.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

void IgnoreMessage(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Every wrapper, called with output arguments that must come back untouched; true when they did.
struct WrapperCall {
  const char* name;
  std::function<LONG(bool& untouched)> call;
};

std::vector<WrapperCall> EveryWrapper() {
  constexpr DWORD kMark = 0xA5A5A5A5u;
  return {
      {"lineInitialize",
       [](bool& untouched) {
         HLINEAPP app = kMark;
         DWORD count = kMark;
         const LONG r = qxtapi::lineInitialize(&app, nullptr, &IgnoreMessage, nullptr, &count);
         untouched = app == kMark && count == kMark;
         return r;
       }},
      {"lineShutdown",
       [](bool& untouched) {
         HLINEAPP app = kMark;
         const LONG r = qxtapi::lineShutdown(app);
         untouched = app == kMark;
         return r;
       }},
      {"lineNegotiateAPIVersion",
       [](bool& untouched) {
         DWORD version = kMark;
         LINEEXTENSIONID extension{kMark, kMark, kMark, kMark};
         const LONG r = qxtapi::lineNegotiateAPIVersion(1, 0, 0x10000, 0x90000, &version, &extension);
         untouched = version == kMark && extension.dwExtensionID0 == kMark;
         return r;
       }},
      {"lineGetID",
       [](bool& untouched) {
         VARSTRING id{kMark, kMark, kMark, kMark, kMark, kMark};
         const LONG r = qxtapi::lineGetID(1, 0, 0, LINECALLSELECT_LINE, &id, "comm/datamodem");
         untouched = id.dwTotalSize == kMark && id.dwUsedSize == kMark;
         return r;
       }},
      {"lineOpen",
       [](bool& untouched) {
         HLINE line = kMark;
         const LONG r = qxtapi::lineOpen(1, 0, &line, 0x20000, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM,
                                         nullptr);
         untouched = line == kMark;
         return r;
       }},
      {"lineGetCallStatus",
       [](bool& untouched) {
         LINECALLSTATUS status{};
         status.dwCallState = kMark;
         const LONG r = qxtapi::lineGetCallStatus(1, &status);
         untouched = status.dwCallState == kMark;
         return r;
       }},
      {"lineDrop", [](bool&) { return qxtapi::lineDrop(1, nullptr, 0); }},
      {"lineDeallocateCall", [](bool&) { return qxtapi::lineDeallocateCall(1); }},
      {"lineClose", [](bool&) { return qxtapi::lineClose(1); }},
      {"lineMakeCall",
       [](bool& untouched) {
         HCALL call = kMark;
         const LONG r = qxtapi::lineMakeCall(1, &call, "101", 0, nullptr);
         untouched = call == kMark;
         return r;
       }},
      {"lineAnswer", [](bool&) { return qxtapi::lineAnswer(1, nullptr, 0); }},
      {"lineConfigDialog", [](bool&) { return qxtapi::lineConfigDialog(0, nullptr, "comm/datamodem"); }},
      {"lineGetDevConfig",
       [](bool& untouched) {
         VARSTRING config{kMark, kMark, kMark, kMark, kMark, kMark};
         const LONG r = qxtapi::lineGetDevConfig(0, &config, "comm/datamodem");
         untouched = config.dwNeededSize == kMark;
         return r;
       }},
      {"lineSetDevConfig",
       [](bool&) {
         const char block[8] = {};
         return qxtapi::lineSetDevConfig(0, block, sizeof block, "comm/datamodem");
       }},
      {"lineGetDevCaps",
       [](bool& untouched) {
         LINEDEVCAPS caps{};
         caps.dwTotalSize = sizeof caps;
         caps.dwNeededSize = kMark;
         const LONG r = qxtapi::lineGetDevCaps(1, 0, 0x20000, 0, &caps);
         untouched = caps.dwNeededSize == kMark;
         return r;
       }},
      {"lineTranslateAddress",
       [](bool& untouched) {
         LINETRANSLATEOUTPUT output{};
         output.dwTotalSize = sizeof output;
         output.dwNeededSize = kMark;
         const LONG r = qxtapi::lineTranslateAddress(1, 0, 0x20000, "t101", 0, 0, &output);
         untouched = output.dwNeededSize == kMark;
         return r;
       }},
      {"lineGetAddressID",
       [](bool& untouched) {
         DWORD address = kMark;
         const LONG r = qxtapi::lineGetAddressID(1, &address, LINEADDRESSMODE_DIALABLEADDR, "101", 4);
         untouched = address == kMark;
         return r;
       }},
      {"lineUncompleteCall", [](bool&) { return qxtapi::lineUncompleteCall(1, 1); }},
      {"lineMonitorDigits", [](bool&) { return qxtapi::lineMonitorDigits(1, LINEDIGITMODE_DTMF); }},
      {"lineGetCallInfo",
       [](bool& untouched) {
         LINECALLINFO info{};
         info.dwTotalSize = sizeof info;
         info.dwNeededSize = kMark;
         const LONG r = qxtapi::lineGetCallInfo(1, &info);
         untouched = info.dwNeededSize == kMark;
         return r;
       }},
      {"lineSetCallParams", [](bool&) { return qxtapi::lineSetCallParams(1, LINEBEARERMODE_VOICE, 0, 0, nullptr); }},
  };
}

void ExpectEveryWrapperRefuses() {
  for (const WrapperCall& wrapper : EveryWrapper()) {
    bool untouched = true;
    EXPECT_EQ(wrapper.call(untouched), -1) << wrapper.name;
    EXPECT_TRUE(untouched) << wrapper.name << " wrote its output";
  }
}

TEST(MissingLibrary, EveryWrapperReturnsMinusOneAndLeavesItsOutputs) {
  TempFolder empty;
  ScopedVariable path("QX_LIBRARY_PATH", empty.Path().string());
  qxtapi::UnloadTapi();
  EXPECT_FALSE(qxtapi::TapiLoaded());
  ExpectEveryWrapperRefuses();
  EXPECT_EQ(qxtapi::TapiErrorText(static_cast<DWORD>(-1)), "Unknown error. Can't load libtapiui.so");
}

TEST(MissingLibrary, ALibraryWithoutTheFunctionsIsLoadedButRefusesEveryCall) {
  TempFolder folder;
  // Another library of the build under the telephony library's name: loadable, without the functions.
  fs::copy_file(QX_TEST_MODULE_FILE, folder / "libtapi32.so");
  ScopedVariable path("QX_LIBRARY_PATH", folder.Path().string());
  qxtapi::UnloadTapi();
  ASSERT_TRUE(qxtapi::TapiLoaded());
  ExpectEveryWrapperRefuses();
  // The failed lineShutdown did not unload it.
  EXPECT_NE(GetModuleHandleA("tapi32.dll"), nullptr);
  qxtapi::UnloadTapi();
  EXPECT_EQ(GetModuleHandleA("tapi32.dll"), nullptr);
}

TEST(TapiBinding, MessageIdentifiers) {
  const struct {
    DWORD code;
    DWORD id;
  } cases[] = {
      {0x80000001, 0xE001},         {0x8000004D, 0xE04D},     {0x80000048, 0xE048}, {0x90000001, 0xF001},
      {0x9000000F, 0xF00F},         {0x00010005, 0x00010000}, {0, 0},               {0xFFFFFFFF, 0xFFFF0000},
      {0x7FFF1234, 0x7FFF0000},     {0xA0000001, 0xA0000000},
  };
  for (const auto& c : cases) EXPECT_EQ(qxtapi::TapiMessageID(c.code), c.id) << std::hex << c.code;
}

// The text the UI library's table holds under id, read directly.
std::string TableText(DWORD id) {
  const HMODULE ui = LoadLibraryA("tapiui.dll");
  EXPECT_NE(ui, nullptr);
  char text[1024] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, ui, id, 0, text, sizeof text, nullptr);
  FreeLibrary(ui);
  return std::string(text, length);
}

TEST(TapiBinding, ErrorTextsComeFromTheMessageTable) {
  const std::string operationFailed = TableText(0xE048);
  ASSERT_FALSE(operationFailed.empty());
  EXPECT_EQ(qxtapi::TapiErrorText(0x80000048).toStdString(), operationFailed);
  // The binding's own -1 has a text of its own.
  const std::string unavailable = TableText(0xFFFF0000);
  EXPECT_FALSE(unavailable.empty());
  EXPECT_EQ(qxtapi::TapiErrorText(static_cast<DWORD>(-1)).toStdString(), unavailable);
  EXPECT_NE(unavailable, operationFailed);
  // No message for the identifier: an empty text.
  EXPECT_EQ(qxtapi::TapiErrorText(0x00010005), QString());
}

TEST(TapiBinding, ShutdownZeroesTheHandleUnloadsAndTheNextCallLoadsAgain) {
  TempFolder store;
  TempFolder runtime;
  ScopedVariable registry("QX_REGISTRY_DIR", store.Path().string());
  ScopedVariable lines("QX_LINE_RUNTIME_DIR", runtime.Path().string());
  for (int round = 0; round < 2; ++round) {
    HLINEAPP app = 0;
    DWORD devices = 0;
    ASSERT_EQ(qxtapi::lineInitialize(&app, GetModuleHandleA(nullptr), &IgnoreMessage, nullptr, &devices), 0)
        << "round " << round;
    EXPECT_NE(app, 0u);
    EXPECT_EQ(devices, 2u) << "the two virtual modems of a new store";
    EXPECT_NE(GetModuleHandleA("tapi32.dll"), nullptr);
    EXPECT_EQ(qxtapi::lineShutdown(app), 0);
    EXPECT_EQ(app, 0u);
    EXPECT_EQ(GetModuleHandleA("tapi32.dll"), nullptr) << "round " << round << ": still loaded after shutdown";
  }
  // With two usage handles in the process, the first shutdown leaves the library to the second.
  HLINEAPP first = 0, second = 0;
  DWORD devices = 0;
  ASSERT_EQ(qxtapi::lineInitialize(&first, nullptr, &IgnoreMessage, nullptr, &devices), 0);
  ASSERT_EQ(qxtapi::lineInitialize(&second, nullptr, &IgnoreMessage, nullptr, &devices), 0);
  EXPECT_EQ(qxtapi::lineShutdown(first), 0);
  EXPECT_NE(GetModuleHandleA("tapi32.dll"), nullptr) << "unloaded under a usage that is still open";
  DWORD version = 0;
  LINEEXTENSIONID extension{};
  EXPECT_EQ(qxtapi::lineNegotiateAPIVersion(second, 0, 0x10000, 0x90000, &version, &extension), 0);
  EXPECT_EQ(qxtapi::lineShutdown(second), 0);
  EXPECT_EQ(GetModuleHandleA("tapi32.dll"), nullptr);
  // A refused shutdown zeroes the variable all the same, and unloads.
  HLINEAPP stale = 0x7777;
  EXPECT_LT(qxtapi::lineShutdown(stale), 0);
  EXPECT_EQ(stale, 0u);
  EXPECT_EQ(GetModuleHandleA("tapi32.dll"), nullptr);
}

}  // namespace
