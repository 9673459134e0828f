// CreateFile and the calls on open files.
#include "platform/file.h"

#include "platform/event.h"
#include "platform/winapi.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

namespace platform {

namespace {

constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601

// Failure of an open: ENOENT means a missing folder when the file's folder itself is gone.
DWORD OpenError(int error, const char* name) {
  if (error == EISDIR) return ERROR_ACCESS_DENIED;
  if (error == ENOENT) {
    std::string folder(name);
    const auto slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash == 0 ? 1 : slash);
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return ERROR_PATH_NOT_FOUND;
  }
  return ErrorFromErrno(error);
}

// Windows share modes on flock: an open that lets others do what it does itself (read, write)
// takes a shared lock, any other an exclusive one. So exclusive opens exclude every other open,
// readers that share reading coexist, and a writer that shares only reading excludes other writers
// and those readers (which do not share writing). Stricter than Windows in one case: a reader that
// shares writing still cannot join a writer.
int LockMode(DWORD access, DWORD shareMode) {
  const bool reads = (access & GENERIC_READ) != 0;
  const bool writes = (access & GENERIC_WRITE) != 0;
  const bool sharesOwn = (!reads || (shareMode & FILE_SHARE_READ)) && (!writes || (shareMode & FILE_SHARE_WRITE));
  return sharesOwn ? LOCK_SH : LOCK_EX;
}

int OpenFlags(DWORD access) {
  const bool reads = (access & GENERIC_READ) != 0;
  const bool writes = (access & GENERIC_WRITE) != 0;
  return O_CLOEXEC | (writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY);
}

// How often an open that wants to create or open a name races with another process that creates or
// removes it before it gives up.
constexpr int kOpenRounds = 16;

bool IsSymbolicLink(const char* name) {
  struct stat info {};
  return lstat(name, &info) == 0 && S_ISLNK(info.st_mode);
}

// Opens the file as the disposition says; existed tells whether it was there before. Ends after at
// most kOpenRounds rounds, each of which saw the name appear or vanish under it.
int OpenByDisposition(const char* name, int flags, DWORD disposition, mode_t mode, bool& existed) {
  for (int round = 0; round < kOpenRounds; ++round) {
    switch (disposition) {
      case CREATE_NEW: existed = false; return open(name, flags | O_CREAT | O_EXCL, mode);
      case OPEN_EXISTING:
      case TRUNCATE_EXISTING: existed = true; return open(name, flags);
      case CREATE_ALWAYS:
      case OPEN_ALWAYS: {
        existed = true;
        const int fd = open(name, flags);
        if (fd >= 0 || errno != ENOENT) return fd;
        existed = false;
        const int created = open(name, flags | O_CREAT | O_EXCL, mode);
        if (created >= 0 || errno != EEXIST) return created;
        // A dangling symbolic link: missing to open, present to create. An open that follows
        // links creates its target; one that does not has already failed on the link above.
        if (IsSymbolicLink(name)) return open(name, flags | O_CREAT, mode);
        break;  // created by someone else meanwhile: open it as existing
      }
      default: errno = EINVAL; return -1;
    }
  }
  errno = EEXIST;  // the name kept changing under every round
  return -1;
}

// Blocks SIGXFSZ on the calling thread while alive, so that a write beyond the process's file size
// limit (ulimit -f) fails with EFBIG instead of ending the process; the signal such a write leaves
// pending is taken back.
class FileSizeSignalGuard {
public:
  FileSizeSignalGuard() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &block, &m_Previous);
  }
  ~FileSizeSignalGuard() {
    if (!sigismember(&m_Previous, SIGXFSZ)) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGXFSZ)) {
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, SIGXFSZ);
        const timespec now{0, 0};
        sigtimedwait(&only, nullptr, &now);
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_Previous, nullptr);
  }
  FileSizeSignalGuard(const FileSizeSignalGuard&) = delete;
  FileSizeSignalGuard& operator=(const FileSizeSignalGuard&) = delete;

private:
  sigset_t m_Previous{};
};

BOOL CompleteRecord(OVERLAPPED* overlapped, BOOL result, DWORD transferred) {
  overlapped->Internal = result ? ERROR_SUCCESS : GetLastError();
  overlapped->InternalHigh = transferred;
  if (const auto event = EventFromHandle(overlapped->hEvent)) event->Set();
  return result;
}

std::int64_t RecordOffset(const OVERLAPPED* overlapped) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
}

}  // namespace

File::~File() { close(m_Fd); }

BOOL File::Read(HANDLE, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
  if (read) *read = 0;
  if (!(m_Access & GENERIC_READ)) return Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && toRead > 0) return Fail(ERROR_NOACCESS);
  std::lock_guard lock(m_Mutex);
  const std::int64_t offset = overlapped ? RecordOffset(overlapped) : 0;
  DWORD done = 0;
  BOOL result = TRUE;
  while (done < toRead) {
    char* const at = static_cast<char*>(buffer) + done;
    const ssize_t got = overlapped ? pread(m_Fd, at, toRead - done, offset + done) : ::read(m_Fd, at, toRead - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result = FailWithErrno();
      break;
    }
    if (got == 0) break;  // end of file: a short read is success
    done += static_cast<DWORD>(got);
  }
  if (read) *read = done;
  return overlapped ? CompleteRecord(overlapped, result, done) : result;
}

BOOL File::Write(HANDLE, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
  if (written) *written = 0;
  if (!(m_Access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && toWrite > 0) return Fail(ERROR_NOACCESS);
  std::lock_guard lock(m_Mutex);
  const FileSizeSignalGuard sizeLimit;
  const std::int64_t offset = overlapped ? RecordOffset(overlapped) : 0;
  DWORD done = 0;
  BOOL result = TRUE;
  // A write that stops short (disk full, quota, file size limit, device error) fails with the reason; the count
  // says how much reached the file.
  while (done < toWrite) {
    const char* const at = static_cast<const char*>(buffer) + done;
    const ssize_t put = overlapped ? pwrite(m_Fd, at, toWrite - done, offset + done) : ::write(m_Fd, at, toWrite - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      result = FailWithErrno();
      break;
    }
    if (put == 0) {
      result = Fail(ERROR_DISK_FULL);
      break;
    }
    done += static_cast<DWORD>(put);
  }
  if (written) *written = done;
  return overlapped ? CompleteRecord(overlapped, result, done) : result;
}

std::int64_t File::Seek(std::int64_t distance, DWORD method) {
  std::lock_guard lock(m_Mutex);
  std::int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = lseek(m_Fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat info {};
    base = fstat(m_Fd, &info) == 0 ? info.st_size : -1;
  } else if (method != FILE_BEGIN) {
    Fail(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (base < 0) {
    FailWithErrno();
    return -1;
  }
  const std::int64_t target = base + distance;
  if (target < 0) {
    Fail(ERROR_INVALID_PARAMETER);  // before the start of the file
    return -1;
  }
  const off_t reached = lseek(m_Fd, target, SEEK_SET);
  if (reached < 0) {
    FailWithErrno();
    return -1;
  }
  return reached;
}

BOOL File::SetEnd() {
  if (!(m_Access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard lock(m_Mutex);
  const off_t position = lseek(m_Fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(m_Fd, position) != 0) return FailWithErrno();
  return TRUE;
}

BOOL File::Information(BY_HANDLE_FILE_INFORMATION* information) {
  struct stat info {};
  if (fstat(m_Fd, &info) != 0) return FailWithErrno();
  *information = BY_HANDLE_FILE_INFORMATION{};
  information->dwFileAttributes = S_ISREG(info.st_mode)   ? FILE_ATTRIBUTE_NORMAL
                                  : S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                                                          : FILE_ATTRIBUTE_DEVICE;
  const auto fileTime = [](const timespec& time) {
    return FileTimeFromUnixNanoseconds(std::int64_t(time.tv_sec) * 1000000000 + time.tv_nsec);
  };
  information->ftCreationTime = fileTime(info.st_mtim);  // no creation time here: the last change
  information->ftLastAccessTime = fileTime(info.st_atim);
  information->ftLastWriteTime = fileTime(info.st_mtim);
  information->dwVolumeSerialNumber = static_cast<DWORD>(info.st_dev);
  information->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(info.st_size) >> 32);
  information->nFileSizeLow = static_cast<DWORD>(info.st_size);
  information->nNumberOfLinks = static_cast<DWORD>(info.st_nlink);
  information->nFileIndexHigh = static_cast<DWORD>(static_cast<std::uint64_t>(info.st_ino) >> 32);
  information->nFileIndexLow = static_cast<DWORD>(info.st_ino);
  return TRUE;
}

std::int64_t File::Size() {
  struct stat info {};
  if (fstat(m_Fd, &info) != 0) {
    FailWithErrno();
    return -1;
  }
  return info.st_size;
}

BOOL File::Flush() {
  if (!(m_Access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
  // Devices and pipes have nothing to flush (EINVAL); that is no failure.
  if (fsync(m_Fd) != 0 && errno != EINVAL && errno != EROFS) return FailWithErrno();
  return TRUE;
}

BOOL File::SetTimes(const std::int64_t* lastAccess, const std::int64_t* lastWrite) {
  const auto toTimespec = [](const std::int64_t* nanoseconds) {
    timespec time{0, UTIME_OMIT};
    if (nanoseconds) {
      time.tv_sec = static_cast<time_t>(*nanoseconds / 1000000000);
      time.tv_nsec = static_cast<long>(*nanoseconds % 1000000000);
      if (time.tv_nsec < 0) {
        time.tv_nsec += 1000000000;
        --time.tv_sec;
      }
    }
    return time;
  };
  const timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
  if (futimens(m_Fd, times) != 0) return FailWithErrno();
  return TRUE;
}

FILETIME FileTimeFromUnixNanoseconds(std::int64_t nanoseconds) {
  // Floor division keeps times before 1970 right.
  std::int64_t ticks = nanoseconds / 100;
  if (nanoseconds % 100 < 0) --ticks;
  const auto value = static_cast<std::uint64_t>(ticks + kUnixEpochInFileTime);
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

std::int64_t UnixNanosecondsFromFileTime(const FILETIME& time) {
  const std::uint64_t value = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  // Times too far out for nanoseconds in 64 bits (past the year 2262) are held at the last one.
  constexpr std::int64_t kLastTick = std::numeric_limits<std::int64_t>::max() / 100;
  const auto ticks = static_cast<std::int64_t>(std::min<std::uint64_t>(value, kLastTick + kUnixEpochInFileTime)) -
                     kUnixEpochInFileTime;
  return ticks * 100;
}

}  // namespace platform

HANDLE CreateFile(const char* name, DWORD access, DWORD shareMode, const void*, DWORD disposition, DWORD flags,
                  HANDLE) {
  if (name == nullptr || *name == '\0') {
    platform::SetLastErrorCode(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  const int openFlags = platform::OpenFlags(access) | ((flags & FILE_FLAG_OPEN_REPARSE_POINT) ? O_NOFOLLOW : 0);
  bool existed = false;
  const int fd = platform::OpenByDisposition(name, openFlags, disposition, mode, existed);
  if (fd < 0) {
    platform::SetLastErrorCode(platform::OpenError(errno, name));
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<platform::File>(fd, access);  // owns fd from here on
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    platform::FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(info.st_mode)) {
    platform::SetLastErrorCode(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // Access 0 only asks about the file; it takes part in no sharing.
  if (access & (GENERIC_READ | GENERIC_WRITE)) {
    int locked;
    do locked = flock(fd, platform::LockMode(access, shareMode) | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      platform::SetLastErrorCode(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : platform::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
  }
  // Truncate only once the lock is held, so that a refused open never destroys another's data.
  const bool truncates = existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (truncates && S_ISREG(info.st_mode)) {
    const int cut = (access & GENERIC_WRITE) ? ftruncate(fd, 0) : truncate(name, 0);
    if (cut != 0) {
      platform::FailWithErrno();
      return INVALID_HANDLE_VALUE;
    }
  }
  const HANDLE handle = platform::RegisterHandle(std::move(file));
  if (handle != INVALID_HANDLE_VALUE)
    platform::SetLastErrorCode(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                                   ? ERROR_ALREADY_EXISTS
                                   : ERROR_SUCCESS);
  return handle;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  const auto object = platform::LookupHandleAs<platform::File>(file);
  if (!object) return INVALID_SET_FILE_POINTER;
  const std::int64_t move =
      distanceHigh ? static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                               static_cast<DWORD>(distance))
                   : distance;
  // Without a high part the caller can only take a 32-bit answer; a position beyond it is refused.
  if (!distanceHigh) {
    const std::int64_t current = object->Seek(0, FILE_CURRENT);
    const std::int64_t base = method == FILE_BEGIN ? 0 : method == FILE_END ? object->Size() : current;
    if (current < 0 || base < 0) return INVALID_SET_FILE_POINTER;
    if (base + move > 0xFFFFFFFELL) {
      platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
    }
  }
  const std::int64_t position = object->Seek(move, method);
  if (position < 0) return INVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(position) >> 32);
  platform::SetLastErrorCode(ERROR_SUCCESS);
  return static_cast<DWORD>(position);
}

BOOL SetEndOfFile(HANDLE file) {
  const auto object = platform::LookupHandleAs<platform::File>(file);
  return object ? object->SetEnd() : FALSE;
}

DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) {
  const auto object = platform::LookupHandleAs<platform::File>(file);
  const std::int64_t size = object ? object->Size() : -1;
  if (size < 0) return INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(size) >> 32);
  platform::SetLastErrorCode(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  if (information == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
  const auto object = platform::LookupHandleAs<platform::File>(file);
  return object ? object->Information(information) : FALSE;
}

BOOL FlushFileBuffers(HANDLE file) {
  const auto object = platform::LookupHandleAs<platform::File>(file);
  return object ? object->Flush() : FALSE;
}

// Unlike Windows, an open file can be deleted (the open handles keep its data until they close).
BOOL DeleteFile(const char* name) {
  if (name == nullptr || *name == '\0') return platform::Fail(ERROR_PATH_NOT_FOUND);
  struct stat info {};
  if (lstat(name, &info) == 0 && S_ISDIR(info.st_mode)) return platform::Fail(ERROR_ACCESS_DENIED);
  if (unlink(name) != 0) return platform::Fail(platform::OpenError(errno, name));
  return TRUE;
}

// The creation time cannot be set on this system and is ignored. A null time, or one that is 0 or
// all bits set, leaves that time unchanged.
BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  const auto object = platform::LookupHandleAs<platform::File>(file);
  if (!object) return FALSE;
  const auto given = [](const FILETIME* time) {
    return time && !(time->dwLowDateTime == 0 && time->dwHighDateTime == 0) &&
           !(time->dwLowDateTime == 0xFFFFFFFFu && time->dwHighDateTime == 0xFFFFFFFFu);
  };
  const std::int64_t access = given(lastAccess) ? platform::UnixNanosecondsFromFileTime(*lastAccess) : 0;
  const std::int64_t write = given(lastWrite) ? platform::UnixNanosecondsFromFileTime(*lastWrite) : 0;
  return object->SetTimes(given(lastAccess) ? &access : nullptr, given(lastWrite) ? &write : nullptr);
}
