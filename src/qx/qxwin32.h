// Platform helpers used across the library: overlapped reads and writes with or without waiting,
// cancellation of pending I/O, the text of the last system error, the owner window for message
// boxes, and the version text of a file or of the running system (the log banner). None raises:
// failures come back as false (the caller reads GetLastError) or as an empty text.
#pragma once

#include "platform/winapi.h"

#include <QString>

// The system's message text for the calling thread's last error code.
QString SystemErrorText();

// The application's active window (the owner for message boxes), or nullptr when there is none:
// no QApplication (headless), or no window of it active.
HWND ForegroundWindow();

// After a ReadFile/WriteFile that returned FALSE: Error := GetLastError; unless it is
// ERROR_IO_PENDING, false. Otherwise waits for the request; on failure Error is the request's error.
bool WaitOverlappedResult(HANDLE Handle, OVERLAPPED* Overlapped, DWORD& Transferred, DWORD& Error);

// The overlapped operations clear only the first 16 bytes of the record (status, count, offset),
// so the event handle the caller placed in it survives. None compares the count transferred with
// Count. WriteOverlapped and ReadOverlapped wait for completion; a request that completes at once
// returns true without waiting.
bool WriteOverlapped(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED* Overlapped);
// Does not wait: true when the write completed at once or is pending, false for any other failure.
bool WriteOverlappedAsync(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED* Overlapped);
bool ReadOverlapped(HANDLE Handle, void* Buffer, DWORD Count, OVERLAPPED* Overlapped);

// Cancels the requests pending on Handle; whether CancelIo succeeded.
bool CancelPendingIo(HANDLE Handle);

// FileName empty: the running system's text (HostVersionText of uname). Otherwise the version of
// the file in Fmt ("%u.%u.%u.%u" when empty); ELF files carry no version resource, so on this
// system the text of a file is always empty, as for a Windows file without one.
void VersionText(const QString& FileName, const QString& Fmt, QString& Text);

// The Windows name table: "Windows " + name + " [major.minor.build] " + service-pack text, e.g.
// (5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 2") -> "Windows XP [5.1.2600] Service Pack 2".
// Versions outside the table get an empty name ("Windows  [5.3.0] ").
QString WindowsVersionText(DWORD Major, DWORD Minor, DWORD Build, DWORD PlatformId, const QString& ServicePack);

// The same shape for this system, from uname's fields: system name, release, its leading numbers
// in brackets, and the kernel's build text, e.g. ("Linux", "6.1.0-18-amd64", "#1 SMP Debian") ->
// "Linux 6.1.0-18-amd64 [6.1.0] #1 SMP Debian". Missing numbers count as 0.
QString HostVersionText(const QString& SystemName, const QString& Release, const QString& Build);
