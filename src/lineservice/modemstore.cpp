#include "lineservice/modemstore.h"

#include "lineservice/atsettings.h"

#include "platform/winapi.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace lineservice {

namespace {

constexpr char kFriendlyName[] = "FriendlyName";
constexpr char kAttachedTo[] = "AttachedTo";
constexpr char kUserInit[] = "UserInit";
constexpr char kNumber[] = "Number";
constexpr char kDevConfig[] = "DevConfig";
constexpr char kUnpaced[] = "Unpaced";
constexpr char kRingCadence[] = "RingCadence";

std::string StoreError(const std::string& what, LONG code) {
  char text[256] = {};
  FormatSystemMessage(DWORD(code), text, sizeof text);
  return "the registry store: " + what + ": " + (text[0] ? text : "error " + std::to_string(code));
}

// An open key, closed with the object.
class Key {
public:
  Key() = default;
  ~Key() {
    if (m_Key) RegCloseKey(m_Key);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  LONG Open(HKEY root, const std::string& path, REGSAM access) { return RegOpenKeyExA(root, path.c_str(), 0, access, &m_Key); }
  LONG Create(HKEY root, const std::string& path, DWORD* disposition = nullptr) {
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                           &m_Key, disposition);
  }
  HKEY Handle() const { return m_Key; }

  // The value's bytes; nullopt when it is absent or cannot be read.
  std::optional<std::string> Bytes(const char* name, DWORD* type = nullptr) const {
    DWORD size = 0;
    if (RegQueryValueExA(m_Key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    std::string bytes(size, '\0');
    if (RegQueryValueExA(m_Key, name, nullptr, type, reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS)
      return std::nullopt;
    bytes.resize(size);
    return bytes;
  }
  std::string Text(const char* name) const {
    DWORD type = 0;
    std::string text = Bytes(name, &type).value_or(std::string());
    if (type != REG_SZ) return {};
    text.resize(std::find(text.begin(), text.end(), '\0') - text.begin());
    return text;
  }
  std::optional<DWORD> Number(const char* name) const {
    DWORD type = 0;
    const auto bytes = Bytes(name, &type);
    if (!bytes || type != REG_DWORD || bytes->size() != sizeof(DWORD)) return std::nullopt;
    DWORD value = 0;
    std::copy(bytes->begin(), bytes->end(), reinterpret_cast<char*>(&value));
    return value;
  }
  LONG SetText(const char* name, const std::string& text) {
    return RegSetValueExA(m_Key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(text.size() + 1));
  }
  LONG SetBytes(const char* name, const std::string& bytes) {
    return RegSetValueExA(m_Key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()));
  }

  // Subkey names in enumeration order.
  LONG Subkeys(std::vector<std::string>& names) const {
    for (DWORD index = 0;; ++index) {
      char name[1024];
      DWORD size = sizeof name;
      const LONG r = RegEnumKeyExA(m_Key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (r == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
      if (r != ERROR_SUCCESS) return r;
      names.emplace_back(name, size);
    }
  }

private:
  HKEY m_Key = 0;
};

bool WriteModem(const std::string& key, const std::string& name, const std::string& number, std::string& error) {
  Key modem;
  LONG r = modem.Create(HKEY_LOCAL_MACHINE, std::string(kModemClassKey) + "\\" + key);
  if (r == ERROR_SUCCESS) r = modem.SetText(kFriendlyName, name);
  if (r == ERROR_SUCCESS) r = modem.SetText(kAttachedTo, kVirtualPort);
  if (r == ERROR_SUCCESS) r = modem.SetText(kUserInit, "");
  if (r == ERROR_SUCCESS) r = modem.SetText(kNumber, number);
  if (r != ERROR_SUCCESS) error = StoreError("cannot write modem " + key, r);
  return r == ERROR_SUCCESS;
}

// The two virtual modems a new user starts with. The first key decides: of two processes that
// start at once, only the one that created it writes them.
bool InstallDefaults(std::string& error) {
  Key first;
  DWORD disposition = 0;
  const LONG r = first.Create(HKEY_LOCAL_MACHINE, std::string(kModemClassKey) + "\\0000", &disposition);
  if (r != ERROR_SUCCESS) {
    error = StoreError("cannot install the virtual modems", r);
    return false;
  }
  if (disposition != REG_CREATED_NEW_KEY) return true;
  return WriteModem("0000", "Virtual Modem 1", "101", error) && WriteModem("0001", "Virtual Modem 2", "102", error);
}

LONG ReadEntries(std::vector<ModemEntry>& modems) {
  modems.clear();
  Key modemClass;
  LONG r = modemClass.Open(HKEY_LOCAL_MACHINE, kModemClassKey, KEY_READ);
  if (r == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (r != ERROR_SUCCESS) return r;
  std::vector<std::string> names;
  if ((r = modemClass.Subkeys(names)) != ERROR_SUCCESS) return r;
  for (const std::string& name : names) {
    Key modem;
    if (modem.Open(modemClass.Handle(), name, KEY_READ) != ERROR_SUCCESS) continue;
    ModemEntry entry;
    entry.key = name;
    entry.friendlyName = modem.Text(kFriendlyName);
    if (entry.friendlyName.empty()) continue;  // not a modem the lookup would find either
    entry.attachedTo = modem.Text(kAttachedTo);
    entry.userInit = modem.Text(kUserInit);
    entry.number = modem.Text(kNumber);
    if (entry.IsAtModem()) {
      // The templates the driver key holds, by the names this service knows.
      Key settings;
      if (settings.Open(modem.Handle(), kSettingsKey, KEY_READ) == ERROR_SUCCESS)
        for (const auto& [name, generic] : GenericTemplates()) {
          DWORD type = 0;
          if (const auto value = settings.Bytes(std::string(name).c_str(), &type); value && type == REG_SZ)
            entry.settings.emplace_back(name, settings.Text(std::string(name).c_str()));
        }
    }
    entry.unpaced = modem.Number(kUnpaced).value_or(0) != 0;
    DWORD type = 0;
    const auto block = modem.Bytes(kDevConfig, &type);
    if (block && type == REG_BINARY) entry.devConfig = *block;
    modems.push_back(std::move(entry));
  }
  return ERROR_SUCCESS;
}

}  // namespace

bool ReadModems(std::vector<ModemEntry>& modems, std::string& error) {
  LONG r = ReadEntries(modems);
  if (r == ERROR_SUCCESS && modems.empty()) {
    if (!InstallDefaults(error)) return false;
    r = ReadEntries(modems);
  }
  if (r != ERROR_SUCCESS) {
    error = StoreError("cannot read the modems", r);
    return false;
  }
  return true;
}

std::vector<ModemEntry> LineDevices(const std::vector<ModemEntry>& modems) {
  std::vector<ModemEntry> devices;
  for (const ModemEntry& modem : modems)
    if ((modem.IsVirtual() && ValidNumber(modem.number)) || modem.IsAtModem()) devices.push_back(modem);
  return devices;
}

bool StoreDevConfig(const std::string& key, const std::string& block, std::string& error) {
  Key modem;
  LONG r = modem.Open(HKEY_LOCAL_MACHINE, std::string(kModemClassKey) + "\\" + key, KEY_READ | KEY_WRITE);
  if (r == ERROR_SUCCESS) r = modem.SetBytes(kDevConfig, block);
  if (r != ERROR_SUCCESS) error = StoreError("cannot store the configuration of modem " + key, r);
  return r == ERROR_SUCCESS;
}

namespace {

// The next free modem subkey ("0003" after "0002").
std::string NextModemKey(const std::vector<ModemEntry>& modems) {
  unsigned next = 0;
  for (const ModemEntry& modem : modems) next = std::max(next, unsigned(std::strtoul(modem.key.c_str(), nullptr, 10)) + 1);
  char key[16];
  std::snprintf(key, sizeof key, "%04u", next);
  return key;
}

}  // namespace

bool AddVirtualModem(const std::string& name, const std::string& number, std::string& error) {
  if (name.empty()) {
    error = "a modem needs a name";
    return false;
  }
  if (!ValidNumber(number)) {
    error = "\"" + number + "\" is not a number (digits, * and #, at most 32)";
    return false;
  }
  std::vector<ModemEntry> modems;
  if (!ReadModems(modems, error)) return false;
  for (const ModemEntry& modem : modems)
    if (modem.IsVirtual() && modem.number == number) {
      error = "number " + number + " belongs to \"" + modem.friendlyName + "\" already";
      return false;
    }
  return WriteModem(NextModemKey(modems), name, number, error);
}


bool AddAtModem(const std::string& name, const std::string& port, const std::string& userInit, std::string& error) {
  if (name.empty() || port.empty()) {
    error = "a modem needs a name and a port";
    return false;
  }
  std::vector<ModemEntry> modems;
  if (!ReadModems(modems, error)) return false;
  for (const ModemEntry& modem : modems)
    if (modem.IsAtModem() && modem.attachedTo == port) {
      error = "\"" + modem.friendlyName + "\" is on " + port + " already";
      return false;
    }
  const std::string key = NextModemKey(modems);
  Key modem, settings;
  LONG r = modem.Create(HKEY_LOCAL_MACHINE, std::string(kModemClassKey) + "\\" + key);
  if (r == ERROR_SUCCESS) r = modem.SetText(kFriendlyName, name);
  if (r == ERROR_SUCCESS) r = modem.SetText(kAttachedTo, port);
  if (r == ERROR_SUCCESS) r = modem.SetText(kUserInit, userInit);
  if (r == ERROR_SUCCESS) r = settings.Create(modem.Handle(), kSettingsKey);
  for (const auto& [templateName, value] : GenericTemplates())
    if (r == ERROR_SUCCESS) r = settings.SetText(std::string(templateName).c_str(), std::string(value));
  if (r != ERROR_SUCCESS) error = StoreError("cannot write modem " + key, r);
  return r == ERROR_SUCCESS;
}

bool RemoveModem(const std::string& key, std::string& error) {
  Key modemClass;
  LONG r = modemClass.Open(HKEY_LOCAL_MACHINE, kModemClassKey, KEY_READ | KEY_WRITE);
  if (r == ERROR_SUCCESS) {
    const std::string settings = key + "\\" + kSettingsKey;
    const LONG gone = RegDeleteKeyA(modemClass.Handle(), settings.c_str());
    if (gone != ERROR_SUCCESS && gone != ERROR_FILE_NOT_FOUND) r = gone;
  }
  if (r == ERROR_SUCCESS) r = RegDeleteKeyA(modemClass.Handle(), key.c_str());
  if (r != ERROR_SUCCESS) error = StoreError("cannot remove modem " + key, r);
  return r == ERROR_SUCCESS;
}

Location ReadLocation() {
  Location location;
  Key key;
  if (key.Open(HKEY_CURRENT_USER, kLocationKey, KEY_READ) != ERROR_SUCCESS) return location;
  if (const auto country = key.Number("CountryCode")) location.countryCode = *country;
  location.areaCode = key.Text("AreaCode");
  if (const std::string ld = key.Text("LongDistancePrefix"); !ld.empty()) location.longDistancePrefix = ld;
  if (const std::string intl = key.Text("InternationalPrefix"); !intl.empty()) location.internationalPrefix = intl;
  return location;
}

namespace {

std::optional<RingCadence> ParseCadence(const std::string& text) {
  const auto comma = text.find(',');
  if (comma == std::string::npos) return std::nullopt;
  char* end = nullptr;
  const long on = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + comma) return std::nullopt;
  const long off = std::strtol(text.c_str() + comma + 1, &end, 10);
  if (*end != '\0' || on <= 0 || off < 0 || on > 60000 || off > 60000) return std::nullopt;
  return RingCadence{std::chrono::milliseconds(on), std::chrono::milliseconds(off)};
}

}  // namespace

RingCadence ReadRingCadence() {
  if (const char* env = std::getenv("QX_LINE_RING_CADENCE"); env && *env) {
    if (const auto cadence = ParseCadence(env)) return *cadence;
    std::fprintf(stderr, "tapi32: QX_LINE_RING_CADENCE=\"%s\" is not \"on_ms,off_ms\"; it is ignored\n", env);
  }
  Key key;
  if (key.Open(HKEY_CURRENT_USER, kTelephonyKey, KEY_READ) == ERROR_SUCCESS)
    if (const auto cadence = ParseCadence(key.Text(kRingCadence))) return *cadence;
  return RingCadence{};
}

bool UnpacedByEnvironment() {
  const char* env = std::getenv("QX_LINE_UNPACED");
  return env && std::string(env) == "1";
}

}  // namespace lineservice
