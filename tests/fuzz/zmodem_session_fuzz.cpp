// A receiving ZModem session driven by any received bytes, in a sandbox folder:
//   recv/     the receive folder, planted with a file, a symbolic link to a file outside, a
//             dangling symbolic link pointing outside and a second name of a file outside
//   outside/  the files those names lead to
// The first byte chooses the component's receiving options, the second how the rest is cut into
// chunks. Checks: nothing appears, changes or disappears outside recv/ (the planted names still
// stand for what they stood for), recv/ holds nothing but regular files besides them, and every
// log line and error message is printable text.
#include "fuzzcheck.h"

#include "qx/qxzmodem.h"
#include "support/recordinglog.h"

#include <QCoreApplication>
#include <QDir>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace {

const char kVictim[] = "a file outside the receive folder\n";
const char kHardVictim[] = "a file with a second name in the receive folder\n";
const char kTaken[] = "a file already received\n";

std::string g_Root;

std::string Path(const std::string& relative) { return g_Root + "/" + relative; }

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir))
      if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.insert(entry->d_name);
    closedir(dir);
  }
  return names;
}

std::string Content(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return "<cannot open>";
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
  ::close(fd);
  return text;
}

void WriteFile(const std::string& path, const char* text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, text, std::strlen(text)) == ssize_t(std::strlen(text)));
  ::close(fd);
}

std::string LinkTarget(const std::string& path) {
  char target[512];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, std::size_t(n));
}

const std::map<std::string, std::string> kLinks = {{"link", "../outside/victim"}, {"dangling", "../outside/created"}};

void Plant() {
  for (const std::string& name : Entries(Path("recv"))) FUZZ_CHECK(::unlink(Path("recv/" + name).c_str()) == 0);
  WriteFile(Path("outside/victim"), kVictim);
  WriteFile(Path("outside/hardvictim"), kHardVictim);
  WriteFile(Path("recv/taken"), kTaken);
  for (const auto& [name, target] : kLinks) FUZZ_CHECK(::symlink(target.c_str(), Path("recv/" + name).c_str()) == 0);
  FUZZ_CHECK(::link(Path("outside/hardvictim").c_str(), Path("recv/hard").c_str()) == 0);
}

void CheckSandbox() {
  FUZZ_CHECK((Entries(g_Root) == std::set<std::string>{"recv", "outside"}));
  FUZZ_CHECK((Entries(Path("outside")) == std::set<std::string>{"victim", "hardvictim"}));
  FUZZ_CHECK(Content(Path("outside/victim")) == kVictim);
  FUZZ_CHECK(Content(Path("outside/hardvictim")) == kHardVictim);
  const std::set<std::string> received = Entries(Path("recv"));
  for (const auto& [name, target] : kLinks) {
    FUZZ_CHECK(received.count(name) == 1);
    FUZZ_CHECK(LinkTarget(Path("recv/" + name)) == target);
  }
  FUZZ_CHECK(received.count("hard") == 1);
  for (const std::string& name : received) {
    if (kLinks.count(name)) continue;
    struct stat info{};
    FUZZ_CHECK(::lstat(Path("recv/" + name).c_str(), &info) == 0);
    FUZZ_CHECK(S_ISREG(info.st_mode));
  }
}

bool Printable(const QString& text) {
  for (const QChar c : text)
    if (!c.isPrint()) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  // In memory where there is such a file system: every input rewrites the sandbox.
  struct stat shm{};
  std::string root = ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "/tmp";
  root += "/qx-fuzz-session-XXXXXX";
  FUZZ_CHECK(mkdtemp(root.data()) != nullptr);
  g_Root = root;
  for (const char* folder : {"recv", "outside"}) FUZZ_CHECK(::mkdir(Path(folder).c_str(), 0755) == 0);
  // The sandbox goes with the process.
  std::atexit([] { QDir(QString::fromStdString(g_Root)).removeRecursively(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Plant();
  const std::uint8_t choice = data[0];
  unsigned state = data[1] * 2654435761u + 1;
  data += 2;
  size -= 2;

  RecordingLog log;
  QStringList errors;
  {
    TqxZModem zm;
    TzModemOptions options;
    const TzModemOption choices[] = {zoCreateWithNewName, zoOverwrite, zoResuming, zoChallenge, zoIgnoreFileTime,
                                     zoWithoutRZ};
    for (std::size_t bit = 0; bit < std::size(choices); ++bit)
      if (choice & (1u << bit)) options.Include(choices[bit]);
    zm.SetOptions(options);
    zm.SetDefaultPath(QString::fromStdString(Path("recv")));
    zm.SetLog(&log);
    zm.OnDataSend = [](QObject*, const char*, std::uint32_t, bool, bool& handled) { handled = true; };
    zm.OnFatalError = [&errors](QObject*, std::uint32_t, std::uint32_t, const QString& message, bool& raise) {
      errors << message;
      raise = false;
    };
    zm.SetActive(true);
    if (choice & 0x40) zm.BeginReceive();
    for (std::size_t at = 0; at < size;) {
      state = state * 1103515245u + 12345u;
      const std::size_t count = std::min<std::size_t>(size - at, 1 + (state >> 16) % 512);
      zm.DataReceived(reinterpret_cast<const char*>(data + at), int(count));
      at += count;
    }
  }
  QCoreApplication::processEvents();

  CheckSandbox();
  for (const QString& line : log.entries) FUZZ_CHECK(Printable(line));
  for (const QString& message : errors) FUZZ_CHECK(Printable(message));
  return 0;
}
