// The Windows calls that the library makes, with their names, arguments and result conventions,
// implemented on POSIX. Failures return FALSE (or INVALID_HANDLE_VALUE, 0, WAIT_FAILED) and set the
// calling thread's last error, as on Windows. Every call is safe on an invalid or closed handle
// (ERROR_INVALID_HANDLE) and against a CloseHandle racing on another thread.
#pragma once

#include "platform/wintypes.h"

// Handles and errors
BOOL CloseHandle(HANDLE object);
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
