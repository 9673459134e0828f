// The registry calls over the store: opened keys are handle-table objects that name their key by
// root and path, so a key that another process deletes is noticed at the next call.
#include "platform/file.h"
#include "platform/kernelobject.h"
#include "platform/registrystore.h"
#include "platform/winapi.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace platform;

namespace {

using KeyPath = std::vector<std::string>;

class OpenedKey : public KernelObject {
public:
  OpenedKey(RegistryRoot root, KeyPath path, REGSAM access) : m_Root(root), m_Path(std::move(path)), m_Access(access) {}

  RegistryRoot Root() const { return m_Root; }
  const KeyPath& Path() const { return m_Path; }
  REGSAM Access() const { return m_Access; }
  bool Deleted() const { return m_Deleted; }
  void MarkDeleted() { m_Deleted = true; }

private:
  const RegistryRoot m_Root;
  const KeyPath m_Path;
  const REGSAM m_Access;
  // Set when this process deletes the key, so that the handle stays dead even if a key of the same
  // name is created again.
  std::atomic<bool> m_Deleted{false};
};

// Every key opened in this process, to mark them when their key is deleted.
struct OpenedKeys {
  std::mutex mutex;
  std::vector<std::weak_ptr<OpenedKey>> keys;
};

OpenedKeys& Opened() {
  static OpenedKeys* opened = new OpenedKeys;  // never destroyed: keys may be closed during exit
  return *opened;
}

bool SamePath(const KeyPath& a, const KeyPath& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](const std::string& x, const std::string& y) { return FoldRegistryName(x) == FoldRegistryName(y); });
}

void MarkDeleted(RegistryRoot root, const KeyPath& path) {
  auto& opened = Opened();
  std::lock_guard lock(opened.mutex);
  for (const auto& weak : opened.keys) {
    if (const auto key = weak.lock(); key && key->Root() == root && SamePath(key->Path(), path)) key->MarkDeleted();
  }
}

// What a key handle stands for while one call runs.
struct Key {
  RegistryRoot root = RegistryRoot::LocalMachine;
  KeyPath path;
  REGSAM access = 0;
};

constexpr REGSAM kRootAccess = KEY_ALL_ACCESS;

// Resolves a handle without touching the last error (registry calls return their result).
LONG Resolve(HKEY handle, Key& key) {
  if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER) {
    key = Key{handle == HKEY_LOCAL_MACHINE ? RegistryRoot::LocalMachine : RegistryRoot::CurrentUser, {}, kRootAccess};
    return ERROR_SUCCESS;
  }
  const DWORD lastError = GetLastError();
  const auto opened = std::dynamic_pointer_cast<OpenedKey>(LookupHandle(handle));
  SetLastError(lastError);
  if (!opened) return ERROR_INVALID_HANDLE;
  if (opened->Deleted()) return ERROR_KEY_DELETED;
  key = Key{opened->Root(), opened->Path(), opened->Access()};
  return ERROR_SUCCESS;
}

// Appends the names of a backslash-separated subkey path ("" or null: none).
LONG AppendPath(const char* subKey, KeyPath& path) {
  if (subKey == nullptr || *subKey == '\0') return ERROR_SUCCESS;
  const std::string_view text(subKey);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find('\\', start);
    const std::string_view name = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    // The store's sections are lines; names with line breaks or other control bytes cannot be kept.
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      return ERROR_INVALID_PARAMETER;
    }
    path.emplace_back(name);
    if (end == std::string_view::npos) return ERROR_SUCCESS;
    start = end + 1;
  }
}

template <class Tree>
Tree* FindKey(Tree& root, const KeyPath& path) {
  Tree* key = &root;
  for (const auto& name : path) {
    key = key->FindSubkey(name);
    if (!key) return nullptr;
  }
  return key;
}

// The key the handle names, or why it cannot be used: a handle whose key is gone is deleted.
template <class Tree>
LONG FindOpenedKey(Tree& root, const Key& key, Tree*& found) {
  found = FindKey(root, key.path);
  return found ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG Register(const Key& key, HKEY* result) {
  auto opened = std::make_shared<OpenedKey>(key.root, key.path, key.access);
  const DWORD lastError = GetLastError();
  const HANDLE handle = RegisterHandle(opened);
  SetLastError(lastError);
  if (handle == INVALID_HANDLE_VALUE) return ERROR_TOO_MANY_OPEN_FILES;
  auto& all = Opened();
  std::lock_guard lock(all.mutex);
  std::erase_if(all.keys, [](const std::weak_ptr<OpenedKey>& key) { return key.expired(); });
  all.keys.push_back(opened);
  *result = handle;
  return ERROR_SUCCESS;
}

LONG NeedAccess(const Key& key, REGSAM right) { return (key.access & right) == right ? ERROR_SUCCESS : ERROR_ACCESS_DENIED; }

// Opens or creates the subkey path below key; the result handle has the access asked for.
LONG OpenOrCreate(HKEY handle, const char* subKey, REGSAM desired, bool create, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  Key base;
  if (const LONG error = Resolve(handle, base); error != ERROR_SUCCESS) return error;
  Key target{base.root, base.path, desired};
  if (const LONG error = AppendPath(subKey, target.path); error != ERROR_SUCCESS) return error;

  bool exists = false;
  LONG error = ReadRegistry(base.root, [&](const RegistryKey& root, std::int64_t) -> LONG {
    const RegistryKey* found = nullptr;
    if (const LONG missing = FindOpenedKey(root, base, found); missing != ERROR_SUCCESS) return missing;
    exists = FindKey(root, target.path) != nullptr;
    return exists || create ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
  if (error != ERROR_SUCCESS) return error;
  bool created = false;
  if (!exists) {
    if (NeedAccess(base, KEY_CREATE_SUB_KEY) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    error = ChangeRegistry(base.root, [&](RegistryKey& root, bool& changed) -> LONG {
      RegistryKey* key = nullptr;
      if (const LONG missing = FindOpenedKey(root, base, key); missing != ERROR_SUCCESS) return missing;
      changed = false;
      for (std::size_t i = base.path.size(); i < target.path.size(); ++i) {
        bool added = false;
        key = &key->AddSubkey(target.path[i], &added);
        changed = changed || added;
      }
      created = changed;  // another process may have created it meanwhile
      return ERROR_SUCCESS;
    });
    if (error != ERROR_SUCCESS) return error;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return Register(target, result);
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD, REGSAM desired, HKEY* result) {
  return OpenOrCreate(key, subKey, desired, false, result, nullptr);
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD, char*, DWORD options, REGSAM desired, const void*,
                     HKEY* result, DWORD* disposition) {
  // Volatile and the other special keys are not kept; only plain keys are.
  if (subKey == nullptr || options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(key, subKey, desired, true, result, disposition);
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  const DWORD lastError = GetLastError();
  const bool isKey = std::dynamic_pointer_cast<OpenedKey>(LookupHandle(key)) != nullptr;
  const bool closed = isKey && CloseHandle(key);
  SetLastError(lastError);
  return closed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize) {
  Key opened;
  if (const LONG error = Resolve(key, opened); error != ERROR_SUCCESS) return error;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  if (const LONG error = NeedAccess(opened, KEY_QUERY_VALUE); error != ERROR_SUCCESS) return error;
  const std::string_view name = valueName ? valueName : "";
  return ReadRegistry(opened.root, [&](const RegistryKey& root, std::int64_t) -> LONG {
    const RegistryKey* found = nullptr;
    if (const LONG missing = FindOpenedKey(root, opened, found); missing != ERROR_SUCCESS) return missing;
    const RegistryValue* value = found->FindValue(name);
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    if (!dataSize) return ERROR_SUCCESS;
    const auto size = static_cast<DWORD>(value->data.size());
    const bool fits = data == nullptr || *dataSize >= size;
    if (data && fits) std::memcpy(data, value->data.data(), size);
    *dataSize = size;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
  });
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
  Key opened;
  if (const LONG error = Resolve(key, opened); error != ERROR_SUCCESS) return error;
  if (data == nullptr && dataSize > 0) return ERROR_INVALID_PARAMETER;
  if (const LONG error = NeedAccess(opened, KEY_SET_VALUE); error != ERROR_SUCCESS) return error;
  const std::string name = valueName ? valueName : "";
  const std::string bytes(reinterpret_cast<const char*>(data), data ? dataSize : 0);
  return ChangeRegistry(opened.root, [&](RegistryKey& root, bool& changed) -> LONG {
    RegistryKey* found = nullptr;
    if (const LONG missing = FindOpenedKey(root, opened, found); missing != ERROR_SUCCESS) return missing;
    if (RegistryValue* value = found->FindValue(name)) {
      changed = value->type != type || value->data != bytes;
      value->type = type;
      value->data = bytes;
    } else {
      found->values.push_back(RegistryValue{name, type, bytes});
      changed = true;
    }
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved, char* keyClass,
                   DWORD* classSize, FILETIME* lastWriteTime) {
  Key opened;
  if (const LONG error = Resolve(key, opened); error != ERROR_SUCCESS) return error;
  if (name == nullptr || nameSize == nullptr || reserved != nullptr || (keyClass != nullptr && classSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (const LONG error = NeedAccess(opened, KEY_ENUMERATE_SUB_KEYS); error != ERROR_SUCCESS) return error;
  return ReadRegistry(opened.root, [&](const RegistryKey& root, std::int64_t modified) -> LONG {
    const RegistryKey* found = nullptr;
    if (const LONG missing = FindOpenedKey(root, opened, found); missing != ERROR_SUCCESS) return missing;
    if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& subkey = found->subkeys[index].name;
    // As on Windows, a name that does not fit leaves the size as it was.
    if (*nameSize <= subkey.size()) return ERROR_MORE_DATA;
    std::memcpy(name, subkey.c_str(), subkey.size() + 1);
    *nameSize = static_cast<DWORD>(subkey.size());
    // Keys have no class here; the store keeps one time for all its keys.
    if (keyClass && *classSize > 0) keyClass[0] = '\0';
    if (classSize) *classSize = 0;
    if (lastWriteTime) *lastWriteTime = FileTimeFromUnixNanoseconds(modified);
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
  Key opened;
  if (const LONG error = Resolve(key, opened); error != ERROR_SUCCESS) return error;
  if (const LONG error = NeedAccess(opened, KEY_SET_VALUE); error != ERROR_SUCCESS) return error;
  const std::string name = valueName ? valueName : "";
  return ChangeRegistry(opened.root, [&](RegistryKey& root, bool& changed) -> LONG {
    RegistryKey* found = nullptr;
    if (const LONG missing = FindOpenedKey(root, opened, found); missing != ERROR_SUCCESS) return missing;
    changed = found->RemoveValue(name);
    return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
  Key opened;
  if (const LONG error = Resolve(key, opened); error != ERROR_SUCCESS) return error;
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  KeyPath path = opened.path;
  if (const LONG error = AppendPath(subKey, path); error != ERROR_SUCCESS) return error;
  // A root cannot be deleted; the key of the handle itself ("") only with the DELETE right.
  if (path.empty()) return ERROR_ACCESS_DENIED;
  if (path.size() == opened.path.size() && NeedAccess(opened, DELETE) != ERROR_SUCCESS) {
    return ERROR_ACCESS_DENIED;
  }
  const LONG result = ChangeRegistry(opened.root, [&](RegistryKey& root, bool& changed) -> LONG {
    RegistryKey* found = nullptr;
    if (const LONG missing = FindOpenedKey(root, opened, found); missing != ERROR_SUCCESS) return missing;
    RegistryKey* parent = FindKey(root, KeyPath(path.begin(), path.end() - 1));
    const RegistryKey* target = parent ? parent->FindSubkey(path.back()) : nullptr;
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    changed = parent->RemoveSubkey(path.back());
    return ERROR_SUCCESS;
  });
  if (result == ERROR_SUCCESS) MarkDeleted(opened.root, path);
  return result;
}
