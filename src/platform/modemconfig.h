// The configuration block of a modem line device, as lineGetDevConfig returns it after the
// VARSTRING header and lineSetDevConfig takes it: a header, the port's COMMCONFIG (its DCB) and
// the modem settings. The layout is the published one of modem drivers; the line component reads
// it at fixed positions, so every offset is pinned.
#pragma once

#include "platform/wintypes.h"

// MODEMSETTINGS dwPreferredModemOptions / dwNegotiatedModemOptions
constexpr DWORD MDM_COMPRESSION = 0x00000001;
constexpr DWORD MDM_ERROR_CONTROL = 0x00000002;
constexpr DWORD MDM_FORCED_EC = 0x00000004;
constexpr DWORD MDM_CELLULAR = 0x00000008;
constexpr DWORD MDM_FLOWCONTROL_HARD = 0x00000010;
constexpr DWORD MDM_FLOWCONTROL_SOFT = 0x00000020;
constexpr DWORD MDM_CCITT_OVERRIDE = 0x00000040;
constexpr DWORD MDM_SPEED_ADJUST = 0x00000080;
constexpr DWORD MDM_TONE_DIAL = 0x00000100;
constexpr DWORD MDM_BLIND_DIAL = 0x00000200;
constexpr DWORD MDM_V23_OVERRIDE = 0x00000400;

// MODEMSETTINGS dwSpeakerVolume / dwSpeakerMode
constexpr DWORD MDMVOL_LOW = 0;
constexpr DWORD MDMVOL_MEDIUM = 1;
constexpr DWORD MDMVOL_HIGH = 2;
constexpr DWORD MDMSPKR_OFF = 0;
constexpr DWORD MDMSPKR_DIAL = 1;
constexpr DWORD MDMSPKR_ON = 2;
constexpr DWORD MDMSPKR_CALLSETUP = 3;

// DEVCFGHDR fwOptions
constexpr WORD TERMINAL_PRE = 0x0001;   // a terminal window before dialing
constexpr WORD TERMINAL_POST = 0x0002;  // a terminal window after dialing
constexpr WORD MANUAL_DIAL = 0x0004;
constexpr WORD LAUNCH_LIGHTS = 0x0008;  // the status lights

constexpr DWORD DEVCFG_VERSION = 0x00010003;

struct MODEMSETTINGS {
  DWORD dwActualSize;
  DWORD dwRequiredSize;
  DWORD dwDevSpecificOffset;
  DWORD dwDevSpecificSize;
  DWORD dwCallSetupFailTimer;   // seconds
  DWORD dwInactivityTimeout;    // seconds
  DWORD dwSpeakerVolume;
  DWORD dwSpeakerMode;
  DWORD dwPreferredModemOptions;
  DWORD dwNegotiatedModemOptions;
  DWORD dwNegotiatedDCERate;    // bits per second of the connected call
  BYTE abVariablePortion[1];
};

struct DEVCFGHDR {
  DWORD dwSize;     // of the whole block
  DWORD dwVersion;
  WORD fwOptions;
  WORD wWaitBong;   // seconds to wait for the calling-card tone
};

// DEVCFGHDR followed by a COMMCONFIG whose provider data are the MODEMSETTINGS
// (dwProviderSubType PST_MODEM, dwProviderOffset from the COMMCONFIG's start).
struct DEVCFG {
  DEVCFGHDR dfgHdr;
  DWORD dwCommConfigSize;  // COMMCONFIG dwSize
  WORD wCommConfigVersion;
  WORD wCommConfigReserved;
  DCB dcb;
  DWORD dwProviderSubType;
  DWORD dwProviderOffset;
  DWORD dwProviderSize;
  MODEMSETTINGS modemSettings;
};

static_assert(offsetof(MODEMSETTINGS, abVariablePortion) == 44 && offsetof(MODEMSETTINGS, dwCallSetupFailTimer) == 16 &&
              offsetof(MODEMSETTINGS, dwNegotiatedDCERate) == 40);
static_assert(sizeof(DEVCFGHDR) == 12 && offsetof(DEVCFGHDR, fwOptions) == 8);
// Offsets from the block's start; in a VARSTRING answer the block starts at byte 24.
static_assert(offsetof(DEVCFG, dwCommConfigSize) == 12 && offsetof(DEVCFG, dcb) == 20 &&
              offsetof(DEVCFG, dwProviderSubType) == 48 && offsetof(DEVCFG, modemSettings) == 60);
constexpr DWORD DEVCFG_COMMCONFIG_OFFSET = offsetof(DEVCFG, dwCommConfigSize);
constexpr DWORD DEVCFG_PROVIDER_OFFSET = offsetof(DEVCFG, modemSettings) - DEVCFG_COMMCONFIG_OFFSET;
