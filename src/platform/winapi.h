// The Windows calls that the library makes, with their names, arguments and result conventions,
// implemented on POSIX. Failures return FALSE (or INVALID_HANDLE_VALUE, 0, WAIT_FAILED) and set the
// calling thread's last error, as on Windows. Every call is safe on an invalid or closed handle
// (ERROR_INVALID_HANDLE) and against a CloseHandle racing on another thread.
#pragma once

#include "platform/wintypes.h"

#include <cstdarg>

// Handles and errors. A handle closed by CloseHandle fails every later call; the object goes when
// its last handle is closed (see DuplicateHandle).
BOOL CloseHandle(HANDLE object);
// The pseudo handle of this process, for DuplicateHandle.
HANDLE GetCurrentProcess();
// A new handle on the same object, within this process only (both process handles must be
// GetCurrentProcess()). The object stays open until its last handle is closed; closing one handle
// ends the requests issued through it and leaves those of the others alone. DUPLICATE_CLOSE_SOURCE
// closes the source, also when the copy fails; access and inheritance are not distinguished.
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD access,
                     BOOL inherit, DWORD options);
DWORD GetLastError();
void SetLastError(DWORD error);
// Text of a system error code, without a trailing line break (FormatMessage from the system table).
DWORD FormatSystemMessage(DWORD error, char* buffer, DWORD size);

// Events
HANDLE CreateEvent(const void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL PulseEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

// Time
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
DWORD GetCurrentThreadId();

// Files and devices. ReadFile and WriteFile serve files (lpOverlapped null: synchronous) and comm
// devices (with an OVERLAPPED record: completes at once or fails with ERROR_IO_PENDING and signals
// the record's event on completion).
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL CancelIo(HANDLE file);
// Cancels the requests issued with that record (all of the handle's when null); ERROR_NOT_FOUND
// when none is pending.
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);

// Comm functions
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, const DCB* dcb);
BOOL GetCommConfig(HANDLE file, COMMCONFIG* config, DWORD* size);
BOOL GetCommModemStatus(HANDLE file, DWORD* modemStatus);
BOOL GetCommProperties(HANDLE file, COMMPROP* prop);
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL SetCommMask(HANDLE file, DWORD mask);
BOOL GetCommMask(HANDLE file, DWORD* mask);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped);

// Thread messages
UINT RegisterWindowMessage(const char* name);
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Creates the calling thread's queue on first use; returns 0 on WM_QUIT, -1 on failure.
BOOL GetMessage(MSG* msg, HWND window, UINT filterMin, UINT filterMax);
// Creates the calling thread's queue on first use, like GetMessage, but never waits: FALSE when no
// message passes the filter. PM_REMOVE takes the message out of the queue.
BOOL PeekMessage(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
LRESULT DispatchMessage(const MSG* msg);

// Files with share modes (advisory locks between processes). FILE_FLAG_OPEN_REPARSE_POINT in flags:
// a symbolic link is not followed (ERROR_CANT_RESOLVE_FILENAME).
HANDLE CreateFile(const char* name, DWORD access, DWORD shareMode, const void* security, DWORD disposition,
                  DWORD flags, HANDLE templateFile);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE file);
DWORD GetFileSize(HANDLE file, DWORD* sizeHigh);
BOOL FlushFileBuffers(HANDLE file);
BOOL DeleteFile(const char* name);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
// Attributes (FILE_ATTRIBUTE_NORMAL for a regular file, DIRECTORY, or DEVICE for anything else),
// times, size and the number of names the file has (hard links).
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information);
// Shell masks: '*' and '?'; "*.*" matches every entry, "." and ".." included.
HANDLE FindFirstFile(const char* pathMask, WIN32_FIND_DATA* data);
BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data);
BOOL FindClose(HANDLE find);

// Host
DWORD GetModuleFileName(HMODULE module, char* buffer, DWORD size);
void OutputDebugStringA(const char* text);
// Major, minor and build from the kernel release, platform VER_PLATFORM_WIN32_NT, no service pack.
// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOA) (148), else ERROR_INSUFFICIENT_BUFFER.
BOOL GetVersionExA(OSVERSIONINFOA* info);

// Libraries (dlopen). "name.dll" (any letter case) is the host's "libname.so", searched in the
// folders of QX_LIBRARY_PATH when it is set, otherwise next to the executable, in the build tree's
// library folder, then on the system's search path; a name with a '/' is a path. Failures give
// ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND. GetProcAddress finds only the library's own exports.
HMODULE LoadLibraryA(const char* fileName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
// Releases one reference that LoadLibraryA took; anything else fails with ERROR_MOD_NOT_FOUND.
BOOL FreeLibrary(HMODULE module);
// null: the executable; otherwise a library already loaded, found by its file name. Adds no reference.
HMODULE GetModuleHandleA(const char* moduleName);
// FORMAT_MESSAGE_FROM_HMODULE: the text under messageId in the message table the library exports
// (messagetable.h; source null: the executable's); FORMAT_MESSAGE_FROM_SYSTEM: the system's text.
// Language 0 only. Returns the text's length; 0 with an empty text when there is no such message
// (ERROR_MR_MID_NOT_FOUND) or it does not fit in size with its terminator (ERROR_INSUFFICIENT_BUFFER).
// Insert sequences are not expanded: a text with a '%' needs FORMAT_MESSAGE_IGNORE_INSERTS.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, char* buffer,
                     DWORD size, va_list* arguments);

// Registry: keys of HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, kept in a text file per root in the
// folder QX_REGISTRY_DIR, else $XDG_CONFIG_HOME/qxcomm, else ~/.config/qxcomm. The result code is
// returned (ERROR_SUCCESS or an ERROR_ code); the last error is left alone. Key and value names are
// compared without regard to ASCII letter case and kept as first written; subkeys are enumerated
// sorted in that order. A value name null or "" is the default value. A store file that cannot be
// parsed fails every call on its root with ERROR_REGISTRY_CORRUPT and is never overwritten.
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                     REGSAM desired, const void* security, HKEY* result, DWORD* disposition);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize);
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved, char* keyClass,
                   DWORD* classSize, FILETIME* lastWriteTime);
LONG RegCloseKey(HKEY key);
LONG RegDeleteValueA(HKEY key, const char* valueName);
// Refuses a key that has subkeys (ERROR_ACCESS_DENIED).
LONG RegDeleteKeyA(HKEY key, const char* subKey);
