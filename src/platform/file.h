// Disk files behind handles (CreateFile), with the Windows share modes kept by advisory locks.
#pragma once

#include "platform/kernelobject.h"

#include <cstdint>
#include <mutex>

namespace platform {

// An open file: synchronous ReadFile/WriteFile at the handle's own position (each CreateFile has a
// position of its own). With an OVERLAPPED record the transfer happens at the record's offset and
// completes before the call returns. The share mode is a flock on the handle's own open file, so
// two opens in one process see each other as two processes do.
class File : public KernelObject {
public:
  File(int fd, DWORD access) : m_Fd(fd), m_Access(access) {}
  ~File() override;

  BOOL Read(HANDLE via, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) override;
  BOOL Write(HANDLE via, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) override;

  // New position, or -1 with the last error set. distance is from the start, the position or the end.
  std::int64_t Seek(std::int64_t distance, DWORD method);
  BOOL SetEnd();
  BOOL Information(BY_HANDLE_FILE_INFORMATION* information);
  // Size in bytes, or -1 with the last error set.
  std::int64_t Size();
  BOOL Flush();
  // Times in nanoseconds since 1970 UTC; null leaves that time as it is.
  BOOL SetTimes(const std::int64_t* lastAccess, const std::int64_t* lastWrite);

private:
  // The descriptor is closed only when no call uses the object any more (the destructor), so a
  // racing CloseHandle can never make a call work on a reused descriptor.
  const int m_Fd;
  const DWORD m_Access;
  std::mutex m_Mutex;  // one transfer or seek at a time keeps the position consistent
};

// FILETIME (100 ns since 1601 UTC) and nanoseconds since 1970 UTC.
FILETIME FileTimeFromUnixNanoseconds(std::int64_t nanoseconds);
std::int64_t UnixNanosecondsFromFileTime(const FILETIME& time);

}  // namespace platform
