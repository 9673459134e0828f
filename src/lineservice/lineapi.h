// Helpers of the exported line functions: the lock with the running service, and the checks they
// share. The functions themselves are in lineapi_lines.cpp, lineapi_calls.cpp, lineapi_info.cpp
// and configdialog.cpp.
#pragma once

#include "lineservice/service.h"

#include <mutex>
#include <string>

namespace lineservice {

// The service lock with the running service; service is null when no usage handle is open.
struct Locked {
  std::unique_lock<std::mutex> lock{ServiceLock()};
  Service* service = Service::Current();
};

// A device class in lower case ("comm/datamodem"); classes are compared without regard to case.
std::string DeviceClass(const char* name);

inline bool VersionSupported(DWORD version) { return version >= kLowestVersion && version <= kHighestVersion; }

}  // namespace lineservice
