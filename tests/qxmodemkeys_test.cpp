// The modem registry lookup on test stores: the NT layout (the class key's subkeys) and the older
// one (a walk below Enum, chosen when GetVersionExA reports another platform).
#include "platform/testhooks.h"
#include "platform/winapi.h"
#include "qx/qxmodemkeys.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace {

const std::string kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";

// Writes REG_SZ values (with their terminating zero) into HKEY_LOCAL_MACHINE\path.
void PutKey(const std::string& path, std::initializer_list<std::pair<const char*, std::string>> values) {
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS)
      << path;
  for (const auto& [name, text] : values)
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
  RegCloseKey(key);
}

class ModemKeys : public ::testing::Test {
protected:
  void SetUp() override { ClearModemKeys(); }
  void TearDown() override {
    ClearModemKeys();
    platform::ResetReportedVersion();
  }

  TempFolder m_Store;
  ScopedVariable m_Registry{"QX_REGISTRY_DIR", m_Store.Path().string()};
};

TEST_F(ModemKeys, NtLayoutFindsTheClassSubkeyIgnoringCaseAndTheFirstOfTwoNamesWins) {
  PutKey(kClassKey + "\\0000", {{"FriendlyName", "Virtual Modem 1"}, {"AttachedTo", "virtual"}});
  PutKey(kClassKey + "\\0001", {{"FriendlyName", "Hayes Optima"}});
  PutKey(kClassKey + "\\0002", {{"FriendlyName", "VIRTUAL MODEM 1"}});
  PutKey(kClassKey + "\\0003", {{"AttachedTo", "COM3"}});  // no FriendlyName: not listed

  EXPECT_EQ(FindModemKey("virtual modem 1").toStdString(), kClassKey + "\\0000");
  EXPECT_EQ(FindModemKey("Hayes Optima").toStdString(), kClassKey + "\\0001");
  EXPECT_EQ(FindModemKey("Unknown Modem"), QString());
  EXPECT_EQ(FindModemKey(""), QString());
}

TEST_F(ModemKeys, TheListIsFilledOnceUnlessItFoundNoModem) {
  EXPECT_EQ(FindModemKey("Late Modem"), QString());
  // Nothing was found, so the next lookup reads the registry again.
  PutKey(kClassKey + "\\0000", {{"FriendlyName", "Late Modem"}});
  EXPECT_EQ(FindModemKey("Late Modem").toStdString(), kClassKey + "\\0000");
  // Now the list holds a modem: one installed later is not seen.
  PutKey(kClassKey + "\\0001", {{"FriendlyName", "Later Modem"}});
  EXPECT_EQ(FindModemKey("Later Modem"), QString());
  ClearModemKeys();
  EXPECT_EQ(FindModemKey("Later Modem").toStdString(), kClassKey + "\\0001");
}

TEST_F(ModemKeys, OlderLayoutWalksEnumForModemClassKeys) {
  platform::SetReportedVersion(4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS);
  // An NT-layout modem is not looked at on this platform.
  PutKey(kClassKey + "\\0000", {{"FriendlyName", "NT Modem"}});
  PutKey("Enum\\Root\\Modem\\0000", {{"Class", "Modem"}, {"FriendlyName", "Old Modem"}, {"Driver", "Modem\\0000"}});
  PutKey("Enum\\PCI\\VEN_1\\Deep\\Er", {{"Class", "MODEM"}, {"FriendlyName", "Deep Modem"}, {"Driver", "Modem\\0007"}});
  PutKey("Enum\\PCI\\VEN_1\\Deep\\Twin", {{"Class", "modem"}, {"FriendlyName", "deep modem"}, {"Driver", "Modem\\0009"}});
  // Another class is not descended into, even when a modem lies below it.
  PutKey("Enum\\USB\\Hub", {{"Class", "USB"}});
  PutKey("Enum\\USB\\Hub\\Port1", {{"Class", "Modem"}, {"FriendlyName", "Hidden Modem"}, {"Driver", "Modem\\0003"}});
  // A modem without its driver value is skipped.
  PutKey("Enum\\Root\\Broken", {{"Class", "Modem"}, {"FriendlyName", "Broken Modem"}});

  EXPECT_EQ(FindModemKey("OLD MODEM").toStdString(), "System\\CurrentControlSet\\Services\\Class\\Modem\\0000");
  EXPECT_EQ(FindModemKey("Deep Modem").toStdString(), "System\\CurrentControlSet\\Services\\Class\\Modem\\0007");
  EXPECT_EQ(FindModemKey("Hidden Modem"), QString());
  EXPECT_EQ(FindModemKey("Broken Modem"), QString());
  EXPECT_EQ(FindModemKey("NT Modem"), QString());
}

}  // namespace
