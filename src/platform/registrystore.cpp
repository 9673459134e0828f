#include "platform/registrystore.h"
#include "platform/winapi.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

class Descriptor {
public:
  explicit Descriptor(int fd = -1) : m_Fd(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : m_Fd(other.m_Fd) { other.m_Fd = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      m_Fd = other.m_Fd;
      other.m_Fd = -1;
    }
    return *this;
  }
  int Get() const { return m_Fd; }
  explicit operator bool() const { return m_Fd >= 0; }

private:
  void Reset() {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
  }
  int m_Fd;
};

// What tells one version of a file from another: a rename gives a new inode, an edit in place new
// times or size.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;

  explicit FileIdentity(const struct stat& st = {})
      : device(st.st_dev), inode(st.st_ino), size(st.st_size),
        modified(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec),
        changed(st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec) {}
  bool operator==(const FileIdentity&) const = default;
};

// One root's file as last read or written by this process.
struct Cache {
  bool loaded = false;
  std::string path;
  bool present = false;
  FileIdentity identity;
  // Held open so that its inode cannot be reused by a later version while it identifies the cache.
  Descriptor file;
  RegistryKey tree;
  LONG error = ERROR_SUCCESS;
};

struct Store {
  std::mutex mutex;
  Cache cache;
};

const char* RootName(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

Store& StoreOf(RegistryRoot root) {
  static Store* stores = new Store[2];  // never destroyed: keys may be used during exit
  return stores[root == RegistryRoot::LocalMachine ? 0 : 1];
}

void Report(const std::string& text) { OutputDebugStringA(("registry: " + text).c_str()); }

std::string ErrnoText(int error) { return std::strerror(error); }

Cache EmptyCache(RegistryRoot root, const std::string& path) {
  Cache cache;
  cache.loaded = true;
  cache.path = path;
  cache.tree.name = RootName(root);
  return cache;
}

// Reads the whole file; 0 or the errno of the failure.
int ReadAll(int fd, std::string& text) {
  char chunk[65536];
  while (true) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    text.append(chunk, static_cast<std::size_t>(got));
  }
}

// Brings the cache up to date with the file; returns the store's error for the current version.
LONG Load(Cache& cache, RegistryRoot root, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      cache = EmptyCache(root, path);
      return ERROR_SUCCESS;
    }
    Report("cannot read " + path + ": " + ErrnoText(errno));
    return ERROR_BADDB;
  }
  if (cache.loaded && cache.present && cache.path == path && cache.identity == FileIdentity(st)) return cache.error;

  Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd && errno == ENOENT) {
    cache = EmptyCache(root, path);
    return ERROR_SUCCESS;
  }
  std::string text;
  int readError = fd ? 0 : errno;
  if (readError == 0 && fstat(fd.Get(), &st) != 0) readError = errno;
  if (readError == 0) readError = ReadAll(fd.Get(), text);

  // A failure is cached with the version it belongs to, so that it is reported once.
  cache = EmptyCache(root, path);
  cache.present = true;
  cache.identity = FileIdentity(st);
  if (readError != 0) {
    Report("cannot read " + path + ": " + ErrnoText(readError));
    cache.error = ERROR_BADDB;
    return cache.error;
  }
  cache.file = std::move(fd);
  RegistryParseError parseError;
  if (!ParseRegistryFile(text, cache.tree, parseError)) {
    Report(path + ":" + std::to_string(parseError.line) + ": " + parseError.reason +
           "; the file is left as it is, and the registry cannot be used until it is mended");
    cache.error = ERROR_REGISTRY_CORRUPT;
    cache.tree = RegistryKey{RootName(root), {}, {}};
  }
  return cache.error;
}

bool MakeFolders(const std::string& folder) {
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string prefix = folder.substr(0, end);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (end == std::string::npos) return true;
  }
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// The new tree into a temporary file beside the store, then renamed over it.
LONG Replace(Cache& cache, const std::string& path, RegistryKey tree) {
  std::string temporary = path + ".XXXXXX";
  Descriptor out(mkostemp(temporary.data(), O_CLOEXEC));
  if (!out) {
    Report("cannot write " + path + ": " + ErrnoText(errno));
    return ERROR_REGISTRY_IO_FAILED;
  }
  struct stat st {};
  if (!WriteAll(out.Get(), FormatRegistryFile(tree)) || fsync(out.Get()) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0 || fstat(out.Get(), &st) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    Report("cannot write " + path + ": " + ErrnoText(error));
    return ERROR_REGISTRY_IO_FAILED;
  }
  cache.present = true;
  cache.identity = FileIdentity(st);
  cache.file = std::move(out);
  cache.tree = std::move(tree);
  cache.error = ERROR_SUCCESS;
  return ERROR_SUCCESS;
}

std::string StorePath(RegistryRoot root) { return RegistryFolder() + '/' + RootName(root) + ".reg"; }

}  // namespace

std::string RegistryFolder() {
  if (const char* folder = std::getenv("QX_REGISTRY_DIR"); folder && *folder) return folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return std::string(config) + "/qxcomm";
  }
  std::string home;
  if (const char* variable = std::getenv("HOME"); variable && *variable) {
    home = variable;
  } else {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) home = found->pw_dir;
  }
  return home + "/.config/qxcomm";
}

LONG ReadRegistry(RegistryRoot root, const RegistryReader& read) {
  Store& store = StoreOf(root);
  std::lock_guard lock(store.mutex);
  Cache& cache = store.cache;
  if (const LONG error = Load(cache, root, StorePath(root)); error != ERROR_SUCCESS) return error;
  return read(cache.tree, cache.present ? cache.identity.modified : 0);
}

LONG ChangeRegistry(RegistryRoot root, const RegistryWriter& change) {
  Store& store = StoreOf(root);
  std::lock_guard lock(store.mutex);
  const std::string folder = RegistryFolder();
  const std::string path = StorePath(root);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 && errno == ENOENT) {
    // Nothing is stored yet: the folder appears only with a change that needs it.
    RegistryKey empty{RootName(root), {}, {}};
    bool changed = false;
    if (const LONG result = change(empty, changed); result != ERROR_SUCCESS || !changed) return result;
    if (!MakeFolders(folder)) {
      Report("cannot create " + folder + ": " + ErrnoText(errno));
      return ERROR_REGISTRY_IO_FAILED;
    }
  }
  Descriptor lockFile(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lockFile) {
    Report("cannot open " + path + ".lock: " + ErrnoText(errno));
    return ERROR_REGISTRY_IO_FAILED;
  }
  while (flock(lockFile.Get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    Report("cannot lock " + path + ".lock: " + ErrnoText(errno));
    return ERROR_REGISTRY_IO_FAILED;
  }
  Cache& cache = store.cache;
  if (const LONG error = Load(cache, root, path); error != ERROR_SUCCESS) return error;
  RegistryKey tree = cache.tree;
  bool changed = false;
  if (const LONG result = change(tree, changed); result != ERROR_SUCCESS || !changed) return result;
  return Replace(cache, path, std::move(tree));
}

}  // namespace platform
