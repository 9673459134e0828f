#include "qx/qxmodemkeys.h"

#include "platform/winapi.h"
#include "qx/qxregistry.h"

#include <utility>
#include <vector>

namespace {

const QString kModemClassKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}");
const QString kOldDriverRoot = QStringLiteral("System\\CurrentControlSet\\Services\\Class");
constexpr DWORD kTextSize = 1024;
constexpr REGSAM kScanAccess = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

// Friendly name and driver key path of each modem found, in the order found.
std::vector<std::pair<QString, QString>>& ModemKeys() {
  static std::vector<std::pair<QString, QString>> keys;
  return keys;
}

// The names of Key's subkeys, by index until enumeration fails.
std::vector<QString> SubkeyNames(HKEY Key) {
  std::vector<QString> names;
  char name[kTextSize];
  for (DWORD index = 0;; ++index) {
    DWORD size = kTextSize;
    if (RegEnumKeyExA(Key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(QString::fromLatin1(name, size));
  }
  return names;
}

void ScanClassKey() {
  ScopedRegKey classKey;
  if (!classKey.Open(HKEY_LOCAL_MACHINE, kModemClassKey, kScanAccess)) return;
  for (const QString& subkey : SubkeyNames(classKey.Get())) {
    const QString path = kModemClassKey + QLatin1Char('\\') + subkey;
    ScopedRegKey modem;
    QString friendlyName;
    if (modem.Open(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE) &&
        ReadRegistryText(modem.Get(), "FriendlyName", kTextSize, friendlyName))
      ModemKeys().emplace_back(friendlyName, path);
  }
}

bool IsNtFamily() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

void ScanEnumKey(const QString& Path) {
  ScopedRegKey key;
  if (!key.Open(HKEY_LOCAL_MACHINE, Path, kScanAccess)) return;
  QString deviceClass;
  if (!ReadRegistryText(key.Get(), "Class", kTextSize, deviceClass)) {
    for (const QString& subkey : SubkeyNames(key.Get())) ScanEnumKey(Path + QLatin1Char('\\') + subkey);
    return;
  }
  if (deviceClass.toLower() != QLatin1String("modem")) return;
  QString friendlyName;
  QString driver;
  if (ReadRegistryText(key.Get(), "FriendlyName", kTextSize, friendlyName) &&
      ReadRegistryText(key.Get(), "Driver", kTextSize, driver))
    ModemKeys().emplace_back(friendlyName, kOldDriverRoot + QLatin1Char('\\') + driver);
}

QString FindModemKey(const QString& Name) {
  if (ModemKeys().empty()) {
    if (IsNtFamily())
      ScanClassKey();
    else
      ScanEnumKey(QStringLiteral("Enum"));
  }
  for (const auto& [friendlyName, path] : ModemKeys())
    if (friendlyName.compare(Name, Qt::CaseInsensitive) == 0) return path;
  return {};
}

void ClearModemKeys() { ModemKeys().clear(); }
