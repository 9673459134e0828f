#include "lineservice/portholder.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lineservice {

namespace {

std::string ProgramOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

bool Alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

std::optional<PortHolder> FromLockFile(const std::string& device) {
  const std::string base = device.substr(device.rfind('/') + 1);
  for (const char* folder : {"/var/lock/", "/run/lock/"}) {
    std::ifstream lock(std::string(folder) + "LCK.." + base);
    if (!lock) continue;
    // Either an ASCII number (HDB style) or a binary int (older style).
    std::string text((std::istreambuf_iterator<char>(lock)), {});
    pid_t pid = pid_t(std::strtol(text.c_str(), nullptr, 10));
    if (pid <= 0 && text.size() == sizeof(int)) pid = *reinterpret_cast<const int*>(text.data());
    if (pid != ::getpid() && Alive(pid)) return PortHolder{pid, ProgramOf(pid)};
  }
  return std::nullopt;
}

std::optional<PortHolder> FromOpenFiles(dev_t device) {
  DIR* processes = ::opendir("/proc");
  if (!processes) return std::nullopt;
  std::optional<PortHolder> found;
  while (dirent* entry = ::readdir(processes)) {
    const pid_t pid = pid_t(std::strtol(entry->d_name, nullptr, 10));
    if (pid <= 0 || pid == ::getpid()) continue;
    const std::string fdFolder = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* fds = ::opendir(fdFolder.c_str());
    if (!fds) continue;  // another user's process: not ours to see
    while (dirent* fd = ::readdir(fds)) {
      struct stat info {};
      if (fd->d_name[0] == '.' || ::stat((fdFolder + "/" + fd->d_name).c_str(), &info) != 0) continue;
      if (S_ISCHR(info.st_mode) && info.st_rdev == device) {
        found = PortHolder{pid, ProgramOf(pid)};
        break;
      }
    }
    ::closedir(fds);
    if (found) break;
  }
  ::closedir(processes);
  return found;
}

}  // namespace

std::string PortHolder::Describe() const {
  return (program.empty() ? std::string("a process") : program) + " (process " + std::to_string(pid) + ")";
}

std::optional<PortHolder> FindPortHolder(const std::string& path) {
  char resolved[PATH_MAX];
  const std::string device = ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  if (auto holder = FromLockFile(device)) return holder;
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return std::nullopt;
  return FromOpenFiles(info.st_rdev);
}

}  // namespace lineservice
