#include "lineservice/devconfig.h"

#include <cstring>

namespace lineservice {

namespace {

constexpr DWORD kCommConfigSize = kDevConfigSize - DEVCFG_COMMCONFIG_OFFSET;
constexpr DWORD kModemSettingsSize = offsetof(MODEMSETTINGS, abVariablePortion);
constexpr DWORD kMaxRate = 4'000'000;

bool Refuse(std::string* why, const char* reason) {
  if (why) *why = reason;
  return false;
}

bool Valid(const DEVCFG& c, std::size_t size, std::string* why) {
  if (c.dfgHdr.dwSize < kDevConfigSize || c.dfgHdr.dwSize > size)
    return Refuse(why, "the header's size does not match the block");
  if (c.dfgHdr.dwVersion != DEVCFG_VERSION) return Refuse(why, "unknown configuration version");
  if (c.dwCommConfigSize < kCommConfigSize) return Refuse(why, "the COMMCONFIG is too short");
  if (c.dcb.DCBlength != sizeof(DCB)) return Refuse(why, "the DCB length is wrong");
  if (c.dwProviderSubType != PST_MODEM) return Refuse(why, "not a modem configuration");
  if (c.dwProviderOffset != DEVCFG_PROVIDER_OFFSET || c.dwProviderSize < kModemSettingsSize)
    return Refuse(why, "the modem settings are not where they belong");
  if (c.dcb.BaudRate < 110 || c.dcb.BaudRate > kMaxRate) return Refuse(why, "the maximum rate is out of range");
  if (c.dcb.ByteSize < 5 || c.dcb.ByteSize > 8 || c.dcb.Parity > SPACEPARITY || c.dcb.StopBits > TWOSTOPBITS)
    return Refuse(why, "the framing is out of range");
  const MODEMSETTINGS& m = c.modemSettings;
  if (m.dwSpeakerMode > MDMSPKR_CALLSETUP || m.dwSpeakerVolume > MDMVOL_HIGH)
    return Refuse(why, "the speaker settings are out of range");
  return true;
}

}  // namespace

DEVCFG DefaultDevConfig() {
  DEVCFG c{};
  c.dfgHdr.dwSize = kDevConfigSize;
  c.dfgHdr.dwVersion = DEVCFG_VERSION;
  c.dwCommConfigSize = kCommConfigSize;
  c.wCommConfigVersion = 1;
  c.dcb.DCBlength = sizeof(DCB);
  c.dcb.BaudRate = 115200;
  c.dcb.fBinary = 1;
  c.dcb.fOutxCtsFlow = 1;
  c.dcb.fDtrControl = DTR_CONTROL_ENABLE;
  c.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  c.dcb.XonLim = 512;
  c.dcb.XoffLim = 512;
  c.dcb.ByteSize = 8;
  c.dcb.Parity = NOPARITY;
  c.dcb.StopBits = ONESTOPBIT;
  c.dcb.XonChar = 0x11;
  c.dcb.XoffChar = 0x13;
  c.dwProviderSubType = PST_MODEM;
  c.dwProviderOffset = DEVCFG_PROVIDER_OFFSET;
  c.dwProviderSize = kModemSettingsSize;
  MODEMSETTINGS& m = c.modemSettings;
  m.dwActualSize = kModemSettingsSize;
  m.dwRequiredSize = kModemSettingsSize;
  m.dwCallSetupFailTimer = 60;
  m.dwInactivityTimeout = 10;
  m.dwSpeakerVolume = MDMVOL_LOW;
  m.dwSpeakerMode = MDMSPKR_DIAL;
  m.dwPreferredModemOptions =
      MDM_COMPRESSION | MDM_ERROR_CONTROL | MDM_SPEED_ADJUST | MDM_FLOWCONTROL_HARD | MDM_TONE_DIAL;
  return c;
}

std::string DevConfigBytes(const DEVCFG& config) {
  return std::string(reinterpret_cast<const char*>(&config), kDevConfigSize);
}

std::optional<DEVCFG> ParseDevConfig(const void* block, std::size_t size, std::string* why) {
  if (!block || size < kDevConfigSize) {
    Refuse(why, "the block is too short for a modem configuration");
    return std::nullopt;
  }
  DEVCFG config{};
  std::memcpy(&config, block, kDevConfigSize);
  if (!Valid(config, size, why)) return std::nullopt;
  config.dfgHdr.dwSize = kDevConfigSize;
  config.dwCommConfigSize = kCommConfigSize;
  config.dwProviderSize = kModemSettingsSize;
  config.modemSettings.dwActualSize = kModemSettingsSize;
  config.modemSettings.dwRequiredSize = kModemSettingsSize;
  config.modemSettings.dwNegotiatedModemOptions = 0;
  config.modemSettings.dwNegotiatedDCERate = 0;
  return config;
}

}  // namespace lineservice
