// The line service's part of the registry store: the modems of the modem class key (in the layout
// the line component's registry lookup scans), each virtual modem's number and configuration
// block, the dialing location and the exchange's ring cadence. Shared by the service and the
// qxline tool, so that both list the devices in the same order.
#pragma once

#include "lineservice/translate.h"

#include <chrono>
#include <utility>
#include <string>
#include <vector>

namespace lineservice {

// Below HKEY_LOCAL_MACHINE: one subkey per modem ("0000", "0001", ...) with FriendlyName,
// AttachedTo and UserInit, and the values of ours: Number, DevConfig (REG_BINARY), Unpaced. An AT
// modem (AttachedTo a device path) has its command templates in the subkey "Settings".
constexpr char kModemClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
// Below HKEY_CURRENT_USER: RingCadence (REG_SZ "on_ms,off_ms").
constexpr char kTelephonyKey[] = "Software\\qxComm\\Telephony";
// Below HKEY_CURRENT_USER: CountryCode (REG_DWORD), AreaCode, LongDistancePrefix,
// InternationalPrefix (REG_SZ).
constexpr char kLocationKey[] = "Software\\qxComm\\Telephony\\Location";
// AttachedTo of a virtual modem.
constexpr char kVirtualPort[] = "virtual";

constexpr char kSettingsKey[] = "Settings";

struct ModemEntry {
  std::string key;  // the subkey's name
  std::string friendlyName;
  std::string attachedTo;
  std::string userInit;
  std::string number;     // virtual modems
  bool unpaced = false;   // the call's link runs as fast as the reader takes the bytes
  std::string devConfig;  // the stored block; empty when none is stored
  // AT modems: the templates the Settings subkey holds (names as stored).
  std::vector<std::pair<std::string, std::string>> settings;

  bool IsVirtual() const { return attachedTo == kVirtualPort; }
  // A modem on a serial port: AttachedTo is a device path ("/dev/ttyUSB0"), or a name in /dev.
  bool IsAtModem() const { return !attachedTo.empty() && !IsVirtual(); }
  std::string PortPath() const { return attachedTo.front() == '/' ? attachedTo : "/dev/" + attachedTo; }
};

// The modems of the class key in enumeration order. When the class key has no modem at all, the
// two default virtual modems ("Virtual Modem 1" number 101, "Virtual Modem 2" number 102) are
// installed first. False, with the store's reason in `error`, when the store cannot be read.
bool ReadModems(std::vector<ModemEntry>& modems, std::string& error);

// The modems that are line devices (virtual modems with a valid number, and AT modems), in order:
// a device identifier is a position in this list.
std::vector<ModemEntry> LineDevices(const std::vector<ModemEntry>& modems);

bool StoreDevConfig(const std::string& key, const std::string& block, std::string& error);
// Adds a virtual modem under the next free subkey; refuses a bad or taken number.
bool AddVirtualModem(const std::string& name, const std::string& number, std::string& error);
// Adds an AT modem on `port` under the next free subkey, with the generic templates written out
// into its Settings subkey (so that they can be edited); refuses a port another modem has.
bool AddAtModem(const std::string& name, const std::string& port, const std::string& userInit, std::string& error);
// Removes the modem's key and its Settings subkey.
bool RemoveModem(const std::string& key, std::string& error);

// The current location; the defaults of Location for what is not stored.
Location ReadLocation();

struct RingCadence {
  std::chrono::milliseconds on{2000};
  std::chrono::milliseconds off{4000};
};
// QX_LINE_RING_CADENCE="on_ms,off_ms" if set, else the stored RingCadence, else 2 s on, 4 s off.
RingCadence ReadRingCadence();

// Whether every call's link runs unpaced: QX_LINE_UNPACED=1 (tests, benchmarks).
bool UnpacedByEnvironment();

}  // namespace lineservice
