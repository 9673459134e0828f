// LoadLibraryA, GetProcAddress, FreeLibrary and GetModuleHandleA over dlopen, dlsym and dlclose.
#include "platform/kernelobject.h"
#include "platform/module.h"
#include "platform/winapi.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

namespace {

struct Modules {
  std::mutex mutex;
  // The references LoadLibraryA holds on each library; 0 for one that only GetModuleHandleA found.
  std::unordered_map<void*, unsigned> references;
  std::set<std::string> reported;  // libraries whose failure to load was reported
};

Modules& Known() {
  static Modules* modules = new Modules;  // never destroyed: libraries may be freed during exit
  return *modules;
}

// A library that is there but cannot be loaded is a fault the user must see; it is said once.
void ReportLoadFailure(const std::string& path, const char* reason) {
  auto& known = Known();
  {
    std::lock_guard lock(known.mutex);
    if (!known.reported.insert(path).second) return;
  }
  OutputDebugStringA(("LoadLibrary: cannot load " + path + ": " + (reason ? reason : "unknown error")).c_str());
}

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  const std::string executable(path, static_cast<std::size_t>(length));
  return executable.substr(0, executable.rfind('/'));
}

// The folders to look in, and whether the system's search path follows them.
std::vector<std::string> SearchFolders(bool& systemPath) {
  std::vector<std::string> folders;
  if (const char* list = std::getenv("QX_LIBRARY_PATH"); list && *list) {
    systemPath = false;
    std::string_view rest(list);
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      if (colon != 0) folders.emplace_back(rest.substr(0, colon));
      rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
    }
    return folders;
  }
  systemPath = true;
  if (std::string folder = ExecutableFolder(); !folder.empty()) folders.push_back(std::move(folder));
  folders.emplace_back(QX_BUILD_LIBRARY_DIR);
  return folders;
}

void* Load(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) ReportLoadFailure(path, dlerror());
  return handle;
}

void* Search(const std::string& file) {
  bool systemPath = false;
  for (const auto& folder : SearchFolders(systemPath)) {
    const std::string path = folder + '/' + file;
    // The first library found is the one used, even when it cannot be loaded.
    if (access(path.c_str(), F_OK) == 0) return Load(path);
  }
  return systemPath ? dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
}

// The paths of the loaded libraries whose file name is file.
std::vector<std::string> LoadedPaths(const std::string& file) {
  struct Search {
    const std::string& file;
    std::vector<std::string> paths;
  } search{file, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto& search = *static_cast<Search*>(data);
        const std::string_view path = info->dlpi_name ? info->dlpi_name : "";
        const std::size_t slash = path.rfind('/');
        if (path.substr(slash == std::string_view::npos ? 0 : slash + 1) == search.file) search.paths.emplace_back(path);
        return 0;
      },
      &search);
  return search.paths;
}

}  // namespace

namespace platform {

HMODULE ExecutableModule() {
  static void* const executable = dlopen(nullptr, RTLD_LAZY);
  return executable;
}

bool IsKnownModule(HMODULE module) {
  if (module == nullptr) return false;
  if (module == ExecutableModule()) return true;
  auto& known = Known();
  std::lock_guard lock(known.mutex);
  return known.references.count(module) != 0;
}

void* FindOwnExport(HMODULE module, const char* name) {
  void* const address = dlsym(module, name);
  if (!address) return nullptr;
  Dl_info info{};
  link_map* owner = nullptr;
  link_map* self = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
      dlinfo(module, RTLD_DI_LINKMAP, &self) != 0) {
    return nullptr;
  }
  return owner == self ? address : nullptr;
}

std::string HostLibraryName(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string lower = name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower.size() > 4 && lower.ends_with(".dll")) return "lib" + lower.substr(0, lower.size() - 4) + ".so";
  if (lower.find('.') == std::string::npos) return "lib" + lower + ".so";
  return name;
}

}  // namespace platform

HMODULE LoadLibraryA(const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') {
    platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string name(fileName);
  void* const handle = name.find('/') != std::string::npos
                           ? (access(fileName, F_OK) == 0 ? Load(name) : nullptr)
                           : Search(platform::HostLibraryName(name));
  if (!handle) {
    platform::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto& known = Known();
  std::lock_guard lock(known.mutex);
  ++known.references[handle];
  return handle;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  // Names only: a value below 0x10000 is an ordinal, which ELF libraries do not have.
  if (reinterpret_cast<std::uintptr_t>(procName) <= 0xFFFF) {
    platform::SetLastErrorCode(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (!platform::IsKnownModule(module)) {
    platform::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* const address = platform::FindOwnExport(module, procName);
  if (!address) {
    platform::SetLastErrorCode(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module) {
  {
    auto& known = Known();
    std::lock_guard lock(known.mutex);
    const auto found = known.references.find(module);
    if (found == known.references.end() || found->second == 0) return platform::Fail(ERROR_MOD_NOT_FOUND);
    if (--found->second == 0) known.references.erase(found);
  }
  // Outside the lock: a library's destructors may call into these functions.
  dlclose(module);
  return TRUE;
}

HMODULE GetModuleHandleA(const char* moduleName) {
  if (moduleName == nullptr) return platform::ExecutableModule();
  const std::string name(moduleName);
  void* handle = nullptr;
  if (name.find('/') != std::string::npos) {
    handle = dlopen(moduleName, RTLD_LAZY | RTLD_NOLOAD);
  } else {
    for (const auto& path : LoadedPaths(platform::HostLibraryName(name))) {
      handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
      if (handle) break;
    }
  }
  if (!handle) {
    platform::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  {
    auto& known = Known();
    std::lock_guard lock(known.mutex);
    known.references.try_emplace(handle, 0);
  }
  dlclose(handle);  // RTLD_NOLOAD took a reference; the caller gets none
  return handle;
}
