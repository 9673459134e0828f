// Time, the executable's path and debugger output.
#include "platform/kernelobject.h"
#include "platform/module.h"
#include "platform/winapi.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Milliseconds of a monotonic clock, wrapping after 49.7 days as on Windows.
DWORD GetTickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// module null or GetModuleHandleA(nullptr): the executable; otherwise a library LoadLibraryA or
// GetModuleHandleA gave.
DWORD GetModuleFileName(HMODULE module, char* buffer, DWORD size) {
  std::string path;
  if (module == nullptr || module == platform::ExecutableModule()) {
    char link[4096];
    const ssize_t length = readlink("/proc/self/exe", link, sizeof link);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) {
      platform::FailWithErrno();
      return 0;
    }
    path.assign(link, static_cast<std::size_t>(length));
  } else {
    link_map* map = nullptr;
    if (!platform::IsKnownModule(module) || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr) {
      platform::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = map->l_name;
  }
  if (buffer == nullptr || size == 0) {
    platform::SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // As on Windows: a path that does not fit is cut, terminated, and reported with the buffer size.
  if (path.size() >= size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    platform::SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  platform::SetLastErrorCode(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// Standard error stands in for the debugger. Each text goes out in one write, ended by a line break
// when it has none, so that texts from several threads do not run into each other.
void OutputDebugStringA(const char* text) {
  if (text == nullptr) return;
  std::string line(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}
