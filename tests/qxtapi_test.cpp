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
#include <utility>

namespace {

namespace fs = std::filesystem;

void IgnoreMessage(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// The output arguments of the wrappers, every byte set to one mark: a wrapper that refuses leaves them so.
struct Outputs {
  Outputs() { std::memset(static_cast<void*>(this), 0xA5, sizeof *this); }
  HLINEAPP app;
  DWORD count, version, address;
  HLINE line;
  HCALL call;
  LINEEXTENSIONID extension;
  VARSTRING id;
  LINECALLSTATUS status;
  LINEDEVCAPS caps;
  LINETRANSLATEOUTPUT translation;
  LINECALLINFO info;
};

using Wrapper = std::pair<const char*, std::function<LONG(Outputs&)>>;
const char kBlock[8] = {};
const Wrapper kWrappers[] = {
    {"lineInitialize", [](Outputs& o) { return qxtapi::lineInitialize(&o.app, nullptr, &IgnoreMessage, nullptr, &o.count); }},
    {"lineShutdown", [](Outputs& o) { return qxtapi::lineShutdown(o.app); }},
    {"lineNegotiateAPIVersion",
     [](Outputs& o) { return qxtapi::lineNegotiateAPIVersion(1, 0, 0x10000, 0x90000, &o.version, &o.extension); }},
    {"lineGetID", [](Outputs& o) { return qxtapi::lineGetID(1, 0, 0, LINECALLSELECT_LINE, &o.id, "comm/datamodem"); }},
    {"lineOpen",
     [](Outputs& o) {
       return qxtapi::lineOpen(1, 0, &o.line, 0x20000, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr);
     }},
    {"lineGetCallStatus", [](Outputs& o) { return qxtapi::lineGetCallStatus(1, &o.status); }},
    {"lineDrop", [](Outputs&) { return qxtapi::lineDrop(1, nullptr, 0); }},
    {"lineDeallocateCall", [](Outputs&) { return qxtapi::lineDeallocateCall(1); }},
    {"lineClose", [](Outputs&) { return qxtapi::lineClose(1); }},
    {"lineMakeCall", [](Outputs& o) { return qxtapi::lineMakeCall(1, &o.call, "101", 0, nullptr); }},
    {"lineAnswer", [](Outputs&) { return qxtapi::lineAnswer(1, nullptr, 0); }},
    {"lineConfigDialog", [](Outputs&) { return qxtapi::lineConfigDialog(0, nullptr, "comm/datamodem"); }},
    {"lineGetDevConfig", [](Outputs& o) { return qxtapi::lineGetDevConfig(0, &o.id, "comm/datamodem"); }},
    {"lineSetDevConfig", [](Outputs&) { return qxtapi::lineSetDevConfig(0, kBlock, sizeof kBlock, "comm/datamodem"); }},
    {"lineGetDevCaps", [](Outputs& o) { return qxtapi::lineGetDevCaps(1, 0, 0x20000, 0, &o.caps); }},
    {"lineTranslateAddress",
     [](Outputs& o) { return qxtapi::lineTranslateAddress(1, 0, 0x20000, "t101", 0, 0, &o.translation); }},
    {"lineGetAddressID",
     [](Outputs& o) { return qxtapi::lineGetAddressID(1, &o.address, LINEADDRESSMODE_DIALABLEADDR, "101", 4); }},
    {"lineUncompleteCall", [](Outputs&) { return qxtapi::lineUncompleteCall(1, 1); }},
    {"lineMonitorDigits", [](Outputs&) { return qxtapi::lineMonitorDigits(1, LINEDIGITMODE_DTMF); }},
    {"lineGetCallInfo", [](Outputs& o) { return qxtapi::lineGetCallInfo(1, &o.info); }},
    {"lineSetCallParams", [](Outputs&) { return qxtapi::lineSetCallParams(1, LINEBEARERMODE_VOICE, 0, 0, nullptr); }},
};

void ExpectEveryWrapperRefuses() {
  Outputs outputs;
  const Outputs marked;
  for (const auto& [name, call] : kWrappers) EXPECT_EQ(call(outputs), -1) << name;
  EXPECT_EQ(std::memcmp(&outputs, &marked, sizeof outputs), 0) << "a wrapper that refused wrote an output";
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
