#include "platform/kernelobject.h"
#include "platform/winapi.h"

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace platform {

namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
  std::unordered_map<const KernelObject*, unsigned> handleCounts;  // handles per object (duplicates)
  HANDLE next = 0x100;  // small values are often mistaken for file descriptors; start past them
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: handles may be closed during exit
  return *table;
}

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

BOOL KernelObject::Read(HANDLE, void*, DWORD, DWORD*, OVERLAPPED*) { return Fail(ERROR_INVALID_HANDLE); }
BOOL KernelObject::Write(HANDLE, const void*, DWORD, DWORD*, OVERLAPPED*) { return Fail(ERROR_INVALID_HANDLE); }

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.objects.size() >= 0x00FFFFFF) {
    SetLastErrorCode(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  // Handles are multiples of 4 as on Windows; a freed value is not reissued until the counter wraps.
  HANDLE handle;
  do {
    handle = table.next;
    table.next += 4;
    if (table.next >= 0xFFFFFF00u) table.next = 0x100;
  } while (table.objects.count(handle));
  ++table.handleCounts[object.get()];
  table.objects.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto found = table.objects.find(handle);
  if (found == table.objects.end()) {
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return found->second;
}

std::size_t OpenHandleCount() {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  return table.objects.size();
}

void SetLastErrorCode(DWORD error) { lastError = error; }

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENXIO: case ENODEV: case EIO: return ERROR_GEN_FAILURE;
    case ENOTTY: case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    default: return ERROR_GEN_FAILURE;
  }
}

BOOL FailWithErrno() { return Fail(ErrorFromErrno(errno)); }

BOOL Fail(DWORD error) {
  lastError = error;
  return FALSE;
}

}  // namespace platform

DWORD GetLastError() { return platform::lastError; }
void SetLastError(DWORD error) { platform::lastError = error; }

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<platform::KernelObject> object;
  bool last = false;
  {
    auto& table = platform::Table();
    std::lock_guard lock(table.mutex);
    auto found = table.objects.find(handle);
    if (found == table.objects.end()) return platform::Fail(ERROR_INVALID_HANDLE);
    object = std::move(found->second);
    table.objects.erase(found);
    const auto count = table.handleCounts.find(object.get());
    last = --count->second == 0;
    if (last) table.handleCounts.erase(count);
  }
  if (last) {
    object->Close();
  } else {
    object->HandleClosed(handle);
  }
  return TRUE;
}

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD, BOOL,
                     DWORD options) {
  if (target) *target = 0;
  // Handles of this process only; the close of the source is owed even when the copy fails.
  const auto closeSource = [&] {
    if (options & DUPLICATE_CLOSE_SOURCE) CloseHandle(source);
  };
  if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess) {
    closeSource();
    return platform::Fail(ERROR_INVALID_HANDLE);
  }
  if (options & ~(DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) return platform::Fail(ERROR_INVALID_PARAMETER);
  auto object = platform::LookupHandle(source);
  if (!object) return FALSE;
  if (!target) {
    closeSource();
    return platform::Fail(ERROR_INVALID_PARAMETER);
  }
  const HANDLE copy = platform::RegisterHandle(std::move(object));
  if (copy == INVALID_HANDLE_VALUE) {
    closeSource();
    return FALSE;
  }
  *target = copy;
  closeSource();
  return TRUE;
}
