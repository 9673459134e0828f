// The registry's store on disk: one file per root (HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER.reg) in
// the user's configuration folder, shared by all the user's processes. Readers always see a whole
// file, because writers replace it by rename; writers hold an flock on a lock file beside it
// (HKEY_....reg.lock) around each read-modify-write, so writers in several processes lose nothing.
// A file that cannot be read or parsed is reported on standard error and is never overwritten.
#pragma once

#include "platform/registryfile.h"

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

// QX_REGISTRY_DIR when set, else $XDG_CONFIG_HOME/qxcomm, else ~/.config/qxcomm. Read at every call.
std::string RegistryFolder();

// Sees the root's tree as stored now, and the file's modification time (nanoseconds since 1970;
// 0 while nothing is stored).
using RegistryReader = std::function<LONG(const RegistryKey& root, std::int64_t modified)>;
// Changes a copy of the tree and sets changed when the file must be rewritten. It may be called
// twice in one change (first on an empty tree while the folder does not exist yet), so it must
// depend on nothing but the tree it is given.
using RegistryWriter = std::function<LONG(RegistryKey& root, bool& changed)>;

// Returns read's result, or the store's error (ERROR_REGISTRY_CORRUPT, ERROR_BADDB) without
// calling it. Parsed files are cached while their identity, size and times stay the same.
LONG ReadRegistry(RegistryRoot root, const RegistryReader& read);

// Returns change's result; when that is ERROR_SUCCESS with a change, the new tree is written first,
// or the store's error is returned instead (ERROR_REGISTRY_CORRUPT, ERROR_BADDB, and
// ERROR_REGISTRY_IO_FAILED when the file cannot be written). Creates the folder on the first write.
LONG ChangeRegistry(RegistryRoot root, const RegistryWriter& change);

}  // namespace platform
