#include "lineservice/listener.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace lineservice {

namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool EnsureFolder(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = SystemError("cannot create the runtime folder " + path);
    return false;
  }
  struct stat info{};
  if (::lstat(path.c_str(), &info) != 0) {
    error = SystemError("cannot read the runtime folder " + path);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
    error = "the runtime folder " + path + " is not a folder of this user";
    return false;
  }
  return true;
}

bool SocketAddress(const std::string& path, sockaddr_un& address, std::string& error) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "the socket path " + path + " is too long for a Unix socket";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string RuntimeFolder(std::string& error) {
  std::string folder;
  if (const char* dir = std::getenv("QX_LINE_RUNTIME_DIR"); dir && *dir) {
    folder = dir;
  } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    folder = std::string(xdg) + "/qxcomm";
  } else {
    folder = "/tmp/qxcomm-" + std::to_string(::getuid());
  }
  return EnsureFolder(folder, error) ? folder : std::string();
}

std::unique_ptr<Listener> Listener::Open(const std::string& number, Failure& failure, std::string& error) {
  failure = Failure::System;
  const std::string folder = RuntimeFolder(error);
  if (folder.empty()) return nullptr;
  const std::string path = folder + "/" + number + ".sock";
  sockaddr_un address;
  if (!SocketAddress(path, address, error)) return nullptr;

  const std::string lockPath = folder + "/" + number + ".lock";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    error = SystemError("cannot open " + lockPath);
    return nullptr;
  }
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    const bool taken = errno == EWOULDBLOCK;
    error = taken ? "number " + number + " already waits for calls in another process"
                  : SystemError("cannot lock " + lockPath);
    if (taken) failure = Failure::Taken;
    ::close(lock);
    return nullptr;
  }
  ::unlink(path.c_str());  // nobody holds the lock: a socket left here is a dead process's
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
    error = SystemError("cannot listen on " + path);
    if (fd >= 0) ::close(fd);
    ::close(lock);
    return nullptr;
  }
  failure = Failure::None;
  return std::unique_ptr<Listener>(new Listener(fd, lock, path));
}

Listener::~Listener() {
  Shutdown();
  ::close(m_Socket);
}

void Listener::Shutdown() {
  if (m_Lock < 0) return;
  ::unlink(m_Path.c_str());
  ::close(m_Lock);  // releases the flock
  m_Lock = -1;
}

int Listener::Accept() { return ::accept4(m_Socket, nullptr, nullptr, SOCK_CLOEXEC); }

int ConnectToNumber(const std::string& number) {
  std::string error;
  const std::string folder = RuntimeFolder(error);
  if (folder.empty()) return -1;
  sockaddr_un address;
  if (!SocketAddress(folder + "/" + number + ".sock", address, error)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace lineservice
