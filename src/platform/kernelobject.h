// The process-wide handle table behind every HANDLE, for the implementations of the platform calls.
// An object stays alive while any call that looked it up still runs, so a CloseHandle racing with a
// call on another thread never frees the object under it; Close() is how such a call learns of it.
#pragma once

#include "platform/wintypes.h"

#include <memory>

namespace platform {

class KernelObject {
public:
  virtual ~KernelObject() = default;
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Called once by CloseHandle after the object's last handle left the table: wake waiters,
  // release resources.
  virtual void Close() {}
  // Called by CloseHandle when `via` left the table and other handles of the object remain
  // (DuplicateHandle): the requests issued through `via` end; the object stays open.
  virtual void HandleClosed(HANDLE via) { (void)via; }

  // ReadFile / WriteFile on this object through handle `via`; the base refuses with
  // ERROR_INVALID_HANDLE.
  virtual BOOL Read(HANDLE via, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
  virtual BOOL Write(HANDLE via, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
};

// Enters the object into the table (again, for a duplicate); returns its new handle, or
// INVALID_HANDLE_VALUE when full.
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or nullptr (and ERROR_INVALID_HANDLE as last error) when there is none.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// The object behind a handle if it is of type T; otherwise nullptr and ERROR_INVALID_HANDLE.
void SetLastErrorCode(DWORD error);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  auto typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!typed) SetLastErrorCode(ERROR_INVALID_HANDLE);
  return typed;
}

// Number of handles currently open in the process (for leak checks in tests).
std::size_t OpenHandleCount();

void SetLastErrorCode(DWORD error);
// Maps an errno value to the nearest Windows error code.
DWORD ErrorFromErrno(int error);
// Sets the last error from errno; returns FALSE so that failures read `return FailWithErrno();`.
BOOL FailWithErrno();
BOOL Fail(DWORD error);
// The system's text for a Windows error code, or null when it has none.
const char* SystemMessageText(DWORD error);
// As FormatMessage: the text and its terminator when they fit in size; otherwise an empty text (when
// size allows), ERROR_INSUFFICIENT_BUFFER and 0. Returns the text's length.
DWORD CopyMessageText(const char* text, char* buffer, DWORD size);

}  // namespace platform
