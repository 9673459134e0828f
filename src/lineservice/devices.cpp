// What the service answers about a line device: its capabilities, its identifiers per device
// class, and its configuration block.
#include "lineservice/service.h"
#include "lineservice/varstruct.h"

#include <cstring>

namespace lineservice {

namespace {

constexpr char kProviderInfo[] = "qxComm virtual modem";
constexpr char kAtProviderInfo[] = "qxComm AT modem";
// The device classes lineGetID answers, as LINEDEVCAPS lists them: each zero-terminated, then an
// empty one.
constexpr char kDeviceClasses[] =
    "tapi/line\0comm\0comm/datamodem\0comm/datamodem/portname\0wave/in\0wave/out\0wave/in/out\0";
// An AT modem's: no wave devices (its calls are data calls).
constexpr char kAtDeviceClasses[] = "tapi/line\0comm\0comm/datamodem\0comm/datamodem/portname\0";

std::string Dwords(std::initializer_list<DWORD> values) {
  std::string bytes;
  for (DWORD value : values) bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  return bytes;
}

// Wave identifiers of a device: non-zero and distinct per device.
DWORD WaveIn(DWORD device) { return 2 * device + 1; }
DWORD WaveOut(DWORD device) { return 2 * device + 2; }

LONG WriteVarString(VarStruct& out, DWORD format) {
  return out.Write([&](std::byte* base) { StoreDword(base, offsetof(VARSTRING, dwStringFormat), format); });
}

}  // namespace

LONG Service::FillDevCaps(DWORD device, LINEDEVCAPS* caps) {
  const Device& d = m_Devices[device];
  VarStruct out(caps, sizeof(LINEDEVCAPS));
  const bool at = d.IsAt();
  out.AddText(offsetof(LINEDEVCAPS, dwProviderInfoSize), offsetof(LINEDEVCAPS, dwProviderInfoOffset),
              at ? kAtProviderInfo : kProviderInfo);
  out.AddText(offsetof(LINEDEVCAPS, dwLineNameSize), offsetof(LINEDEVCAPS, dwLineNameOffset), d.modem.friendlyName);
  out.AddPart(offsetof(LINEDEVCAPS, dwDeviceClassesSize), offsetof(LINEDEVCAPS, dwDeviceClassesOffset),
              at ? std::string(kAtDeviceClasses, sizeof kAtDeviceClasses)
                 : std::string(kDeviceClasses, sizeof kDeviceClasses));
  return out.Write([&](std::byte* base) {
    LINEDEVCAPS c{};
    c.dwPermanentLineID = device;
    c.dwStringFormat = STRINGFORMAT_ASCII;
    c.dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    c.dwNumAddresses = 1;
    c.dwBearerModes = kDeviceBearerModes;
    c.dwMaxRate = MaxRate(d.config);
    c.dwMediaModes = at ? kAtMediaModes : kDeviceMediaModes;
    c.dwGenerateDigitModes = at ? 0 : LINEDIGITMODE_DTMF | LINEDIGITMODE_PULSE;
    c.dwMonitorDigitModes = at ? 0 : LINEDIGITMODE_DTMF | LINEDIGITMODE_PULSE;
    c.dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
    c.dwMaxNumActiveCalls = 1;
    c.dwAnswerMode = LINEANSWERMODE_NONE;
    c.dwRingModes = 1;
    c.dwLineStates = LINEDEVSTATE_RINGING | LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED |
                     LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE;
    c.dwLineFeatures = LINEFEATURE_MAKECALL;
    // The header (sizes) is VarStruct's: copy the fields from dwPermanentLineID on.
    constexpr std::size_t from = offsetof(LINEDEVCAPS, dwPermanentLineID);
    std::memcpy(base + from, reinterpret_cast<const std::byte*>(&c) + from, sizeof c - from);
  });
}

LONG Service::FillDeviceId(Line& line, const std::string& deviceClass, VARSTRING* answer) {
  const Device& d = m_Devices[line.device];
  VarStruct out(answer, sizeof(VARSTRING));
  constexpr std::size_t size = offsetof(VARSTRING, dwStringSize), offset = offsetof(VARSTRING, dwStringOffset);
  if (deviceClass == "comm/datamodem") {
    std::string value = Dwords({0});
    value += d.modem.friendlyName;
    value.push_back('\0');
    out.AddPart(size, offset, value);
    // A new handle only when the answer fits: the caller owns and closes it.
    if (out.Fits()) {
      const HANDLE handle = d.IsAt() ? AtCommHandle(line.device) : AddTap(line);
      if (handle == INVALID_HANDLE_VALUE) {
        Complain("lineGetID", "no comm handle is left for the line's data path");
        return LINEERR_RESOURCEUNAVAIL;
      }
      std::memcpy(value.data(), &handle, sizeof handle);
      out.ReplacePart(0, value);
    }
    return WriteVarString(out, STRINGFORMAT_BINARY);
  }
  if (deviceClass == "comm/datamodem/portname" || deviceClass == "comm") {
    out.AddText(size, offset, d.IsAt() ? d.modem.PortPath() : std::string(kVirtualPort) + ":" + d.modem.number);
    return WriteVarString(out, STRINGFORMAT_ASCII);
  }
  if (deviceClass == "tapi/line") {
    out.AddPart(size, offset, Dwords({line.device}));
    return WriteVarString(out, STRINGFORMAT_BINARY);
  }
  if (!d.IsAt() && (deviceClass == "wave/in" || deviceClass == "wave/out" || deviceClass == "wave/in/out")) {
    out.AddPart(size, offset,
                deviceClass == "wave/in"    ? Dwords({WaveIn(line.device)})
                : deviceClass == "wave/out" ? Dwords({WaveOut(line.device)})
                                            : Dwords({WaveIn(line.device), WaveOut(line.device)}));
    return WriteVarString(out, STRINGFORMAT_BINARY);
  }
  return LINEERR_INVALDEVICECLASS;
}

LONG Service::FillDevConfig(DWORD device, VARSTRING* answer) {
  const Device& d = m_Devices[device];
  DEVCFG config = d.config;
  config.modemSettings.dwNegotiatedDCERate = d.negotiatedRate;
  config.modemSettings.dwNegotiatedModemOptions = d.negotiatedOptions;
  VarStruct out(answer, sizeof(VARSTRING));
  out.AddPart(offsetof(VARSTRING, dwStringSize), offsetof(VARSTRING, dwStringOffset), DevConfigBytes(config));
  return WriteVarString(out, STRINGFORMAT_BINARY);
}

LONG Service::StoreConfig(DWORD device, const void* block, DWORD size) {
  std::string why;
  const std::optional<DEVCFG> config = ParseDevConfig(block, size, &why);
  if (!config) {
    Complain("lineSetDevConfig", why);
    return LINEERR_INVALPARAM;
  }
  Device& d = m_Devices[device];
  if (!StoreDevConfig(d.modem.key, DevConfigBytes(*config), why)) {
    Complain("lineSetDevConfig", why);
    return LINEERR_OPERATIONFAILED;
  }
  d.config = *config;
  return 0;
}

}  // namespace lineservice
