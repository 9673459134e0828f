// Directory search by mask. The entries are read and matched when the search starts; FindNextFile
// hands them out one by one.
#include "platform/filefind.h"

#include "platform/file.h"
#include "platform/kernelobject.h"
#include "platform/winapi.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

namespace {

bool MatchesGlob(std::string_view mask, std::string_view name) {
  // Iterative matching with one back-track point for the last '*': linear in practice, no recursion.
  std::size_t m = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

class FindSearch : public KernelObject {
public:
  explicit FindSearch(std::vector<WIN32_FIND_DATA> entries) : m_Entries(std::move(entries)) {}

  // Copies the next entry; false when none is left.
  bool Next(WIN32_FIND_DATA* data) {
    std::lock_guard lock(m_Mutex);
    if (m_Next >= m_Entries.size()) return false;
    *data = m_Entries[m_Next++];
    return true;
  }

private:
  std::mutex m_Mutex;
  const std::vector<WIN32_FIND_DATA> m_Entries;
  std::size_t m_Next = 0;
};

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The entry's record; a link is described by what it points to, a broken link by itself.
bool Describe(const std::string& path, const char* name, WIN32_FIND_DATA& data) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 && lstat(path.c_str(), &info) != 0) return false;
  data = WIN32_FIND_DATA{};
  const bool directory = S_ISDIR(info.st_mode);
  DWORD attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : 0;
  if (!(info.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  data.dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  // No creation time on this system's stat: the modification time stands in for it.
  data.ftLastWriteTime = FileTimeFromUnixNanoseconds(Nanoseconds(info.st_mtim));
  data.ftCreationTime = data.ftLastWriteTime;
  data.ftLastAccessTime = FileTimeFromUnixNanoseconds(Nanoseconds(info.st_atim));
  const auto size = directory ? 0 : static_cast<std::uint64_t>(info.st_size);
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
  const std::size_t length = std::min<std::size_t>(std::strlen(name), MAX_PATH - 1);
  std::memcpy(data.cFileName, name, length);
  data.cFileName[length] = '\0';
  return true;
}

}  // namespace

bool MatchesShellMask(std::string_view mask, std::string_view name) {
  if (MatchesGlob(mask, name)) return true;
  return mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*" && MatchesGlob(mask.substr(0, mask.size() - 2), name);
}

}  // namespace platform

HANDLE FindFirstFile(const char* pathMask, WIN32_FIND_DATA* data) {
  if (pathMask == nullptr || data == nullptr) {
    platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path(pathMask);
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  const std::string mask = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  if (mask.empty()) {
    platform::SetLastErrorCode(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<WIN32_FIND_DATA> entries;
  WIN32_FIND_DATA entry{};
  if (mask.find_first_of("*?") == std::string::npos) {
    // A plain name: look it up directly, which also works in a folder that cannot be listed.
    if (platform::Describe(path, mask.c_str(), entry)) {
      entries.push_back(entry);
    } else {
      struct stat info {};
      const bool folderThere = stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
      platform::SetLastErrorCode(folderThere ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    DIR* const directory = opendir(folder.c_str());
    if (directory == nullptr) {
      platform::SetLastErrorCode(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                                     : platform::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    std::vector<std::string> names;
    while (const dirent* item = readdir(directory))
      if (platform::MatchesShellMask(mask, item->d_name)) names.emplace_back(item->d_name);
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
      if (platform::Describe(prefix + name, name.c_str(), entry)) entries.push_back(entry);  // gone meanwhile: skipped
    if (entries.empty()) {
      platform::SetLastErrorCode(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  *data = entries.front();
  auto search = std::make_shared<platform::FindSearch>(std::move(entries));
  search->Next(&entry);  // the first one is handed out here
  const HANDLE handle = platform::RegisterHandle(std::move(search));
  if (handle != INVALID_HANDLE_VALUE) platform::SetLastErrorCode(ERROR_SUCCESS);
  return handle;
}

BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data) {
  const auto search = platform::LookupHandleAs<platform::FindSearch>(find);
  if (!search) return FALSE;
  if (data == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
  return search->Next(data) ? TRUE : platform::Fail(ERROR_NO_MORE_FILES);
}

BOOL FindClose(HANDLE find) {
  if (!platform::LookupHandleAs<platform::FindSearch>(find)) return FALSE;
  return CloseHandle(find);
}
