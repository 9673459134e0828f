// The line service's part of the registry store: the modems of the modem class key (in the layout
// the line component's registry lookup scans), each virtual modem's number and configuration
// block, the dialing location and the exchange's ring cadence. Shared by the service and the
// qxline tool, so that both list the devices in the same order.
#pragma once

#include "lineservice/translate.h"

#include <chrono>
#include <string>
#include <vector>

namespace lineservice {

// Below HKEY_LOCAL_MACHINE: one subkey per modem ("0000", "0001", ...) with FriendlyName,
// AttachedTo and UserInit, and the values of ours: Number, DevConfig (REG_BINARY), Unpaced.
constexpr char kModemClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
// Below HKEY_CURRENT_USER: RingCadence (REG_SZ "on_ms,off_ms").
constexpr char kTelephonyKey[] = "Software\\qxComm\\Telephony";
// Below HKEY_CURRENT_USER: CountryCode (REG_DWORD), AreaCode, LongDistancePrefix,
// InternationalPrefix (REG_SZ).
constexpr char kLocationKey[] = "Software\\qxComm\\Telephony\\Location";
// AttachedTo of a virtual modem.
constexpr char kVirtualPort[] = "virtual";

struct ModemEntry {
  std::string key;  // the subkey's name
  std::string friendlyName;
  std::string attachedTo;
  std::string number;     // virtual modems
  bool unpaced = false;   // the call's link runs as fast as the reader takes the bytes
  std::string devConfig;  // the stored block; empty when none is stored

  bool IsVirtual() const { return attachedTo == kVirtualPort; }
};

// The modems of the class key in enumeration order. When the class key has no modem at all, the
// two default virtual modems ("Virtual Modem 1" number 101, "Virtual Modem 2" number 102) are
// installed first. False, with the store's reason in `error`, when the store cannot be read.
bool ReadModems(std::vector<ModemEntry>& modems, std::string& error);

// The modems that are line devices (the virtual ones), in order: a device identifier is a
// position in this list. Modems on serial ports come with the AT-command driver.
std::vector<ModemEntry> LineDevices(const std::vector<ModemEntry>& modems);

bool StoreDevConfig(const std::string& key, const std::string& block, std::string& error);
// Adds a virtual modem under the next free subkey; refuses a bad or taken number.
bool AddVirtualModem(const std::string& name, const std::string& number, std::string& error);
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
