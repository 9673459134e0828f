// A virtual modem's configuration block (DEVCFG of modemconfig.h): its defaults, the check that
// lineSetDevConfig applies, and the settings the exchange reads from it.
#pragma once

#include "platform/modemconfig.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lineservice {

// The block as the service keeps and answers it: the header, the COMMCONFIG with its DCB and the
// MODEMSETTINGS without a variable part (104 bytes).
constexpr std::size_t kDevConfigSize = offsetof(DEVCFG, modemSettings) + offsetof(MODEMSETTINGS, abVariablePortion);

// 115200 bit/s, 8N1, hardware flow control, error control and compression preferred, wait for the
// dial tone, call set-up time-out 60 s, inactivity time-out 10 s, speaker on while dialing, low.
DEVCFG DefaultDevConfig();

// The block as stored: kDevConfigSize bytes.
std::string DevConfigBytes(const DEVCFG& config);

// A block given by a caller or read from the store, checked field by field: size, version,
// COMMCONFIG size and DCB length, provider subtype PST_MODEM and the provider part where the
// service puts it, sane rates and framing. The reason goes to `why` when it is refused. The
// negotiated fields are call state, not settings: they come back zeroed.
std::optional<DEVCFG> ParseDevConfig(const void* block, std::size_t size, std::string* why = nullptr);

// The settings of the block that the exchange uses.
inline DWORD MaxRate(const DEVCFG& config) { return config.dcb.BaudRate; }
inline DWORD CallSetupFailSeconds(const DEVCFG& config) { return config.modemSettings.dwCallSetupFailTimer; }
// The options a virtual modem's call runs with: those preferred, as far as a call has them.
inline DWORD PreferredOptions(const DEVCFG& config) {
  return config.modemSettings.dwPreferredModemOptions &
         (MDM_COMPRESSION | MDM_ERROR_CONTROL | MDM_FORCED_EC | MDM_FLOWCONTROL_HARD | MDM_FLOWCONTROL_SOFT);
}

}  // namespace lineservice
