// GetVersionExA: the kernel's release numbers on the NT platform, or what a test asked for.
#include "platform/kernelobject.h"
#include "platform/testhooks.h"
#include "platform/winapi.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

namespace {

struct Version {
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
  DWORD platformId = VER_PLATFORM_WIN32_NT;
};

struct Override {
  std::mutex mutex;
  std::optional<Version> version;
};

Override& Reported() {
  static Override* reported = new Override;  // never destroyed: may be read during exit
  return *reported;
}

// "6.1.0-18-amd64" gives 6, 1 and 0; a missing number is 0.
Version KernelVersion() {
  Version version;
  utsname names{};
  if (uname(&names) != 0) return version;
  const char* text = names.release;
  DWORD* const parts[] = {&version.major, &version.minor, &version.build};
  for (DWORD* part : parts) {
    char* end = nullptr;
    *part = static_cast<DWORD>(std::strtoul(text, &end, 10));
    if (end == text || *end != '.') break;
    text = end + 1;
  }
  return version;
}

}  // namespace

void platform::SetReportedVersion(DWORD majorVersion, DWORD minorVersion, DWORD buildNumber, DWORD platformId) {
  auto& reported = Reported();
  std::lock_guard lock(reported.mutex);
  reported.version = Version{majorVersion, minorVersion, buildNumber, platformId};
}

void platform::ResetReportedVersion() {
  auto& reported = Reported();
  std::lock_guard lock(reported.mutex);
  reported.version.reset();
}

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return platform::Fail(ERROR_INSUFFICIENT_BUFFER);
  Version version;
  {
    auto& reported = Reported();
    std::lock_guard lock(reported.mutex);
    version = reported.version ? *reported.version : KernelVersion();
  }
  info->dwMajorVersion = version.major;
  info->dwMinorVersion = version.minor;
  info->dwBuildNumber = version.build;
  info->dwPlatformId = version.platformId;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}
