// Hooks for tests: ways to make the platform layer report what another host would, so that code
// that tells Windows platforms apart can be tested on every branch. Not for the library's own use.
#pragma once

#include "platform/wintypes.h"

namespace platform {

// GetVersionExA reports these numbers (with an empty service pack) instead of the host kernel's,
// in every thread, until ResetReportedVersion.
void SetReportedVersion(DWORD majorVersion, DWORD minorVersion, DWORD buildNumber, DWORD platformId);
void ResetReportedVersion();

}  // namespace platform
