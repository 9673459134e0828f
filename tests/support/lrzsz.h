// lrzsz's sz and rz as black-box peers of the transfer tests: a child program on one end of a
// socket or pty, the option cases the tests run against them, and the batch of files they move.
#pragma once

#include "qx/qxzmodem.h"
#include "testfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

inline bool HaveLrzsz() {
  return !QStandardPaths::findExecutable("sz").isEmpty() && !QStandardPaths::findExecutable("rz").isEmpty();
}

// A program started in a folder with its standard input and output on `stdio` (/dev/null when
// -1) and its standard error in `errorFile` (/dev/null when empty), optionally under a file size
// limit (ulimit -f, in bytes). Killed if it still runs when this goes.
class ChildProgram {
public:
  ChildProgram(const QStringList& command, const QString& dir, int stdio, const QString& errorFile = {},
               rlim_t fileSizeLimit = RLIM_INFINITY) {
    // Everything the child needs is made before the fork: after it only async-signal-safe calls.
    std::vector<QByteArray> args;
    for (const QString& a : command) args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const QByteArray folder = dir.toLocal8Bit();
    const QByteArray errors = errorFile.isEmpty() ? QByteArray("/dev/null") : errorFile.toLocal8Bit();
    m_Pid = fork();
    if (m_Pid != 0) return;
    const int null = ::open("/dev/null", O_RDWR);
    const int err = ::open(errors.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(stdio >= 0 ? stdio : null, 0);
    dup2(stdio >= 0 ? stdio : null, 1);
    dup2(err, 2);
    for (int fd = 3; fd < 256; ++fd) ::close(fd);
    if (fileSizeLimit != RLIM_INFINITY) {
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    }
    if (chdir(folder.constData()) != 0) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  ~ChildProgram() {
    if (m_Pid > 0 && !m_Exited) {
      kill(m_Pid, SIGKILL);
      waitpid(m_Pid, nullptr, 0);
    }
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool Started() const { return m_Pid > 0; }
  // Whether it has ended, without waiting.
  bool Exited() {
    int status = 0;
    if (!m_Exited && m_Pid > 0 && waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
      m_Exited = true;
      m_Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_Exited;
  }
  // The exit status (128 + the signal for a killed program), or -1 when it did not end in time.
  int Wait(int boundMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!Exited() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Status();
  }
  int Status() const { return m_Exited ? m_Status : -1; }
  void Kill() {
    if (m_Pid > 0) kill(m_Pid, SIGKILL);
  }

private:
  pid_t m_Pid = -1;
  bool m_Exited = false;
  int m_Status = -1;
};

// How this side sends to rz: the component's options, qxzm's switches for the same, and rz's own.
struct SendCase {
  const char* name;
  TzModemOptions options;
  QStringList flags;
  QStringList rzOptions;
};

inline const std::vector<SendCase>& SendCases() {
  static const std::vector<SendCase> cases = {
      {"plain", {zoResuming}, {"--resume"}, {}},
      {"segmented", {zoSegmentTransfer}, {"--segmented"}, {}},
      {"escaped by us", {zoEscCtrls}, {"--escape-controls"}, {}},
      {"escaped on request", {}, {}, {"-e"}},
      {"without rz", {zoWithoutRZ}, {"--without-rz"}, {}},
  };
  return cases;
}

// How sz sends to this side.
struct ReceiveCase {
  const char* name;
  QStringList szOptions;
};

inline const std::vector<ReceiveCase>& ReceiveCases() {
  static const std::vector<ReceiveCase> cases = {
      {"plain", {}},
      {"windowed", {"-w", "4096"}},
      {"8k subpackets", {"--start-8k"}},
      {"escaped controls", {"-e"}},
  };
  return cases;
}

// Writes the batch every transfer test moves into `folder` and returns the file names: random
// data, an empty file, and every byte value with a blank in the name.
inline QStringList WriteBatch(const QString& folder) {
  QByteArray every;
  for (int i = 0; i < 256 * 16; ++i) every.append(char(i));
  const QDir dir(folder);
  WriteTestFile(dir.filePath("random.bin"), Pattern(300000, 5));
  WriteTestFile(dir.filePath("empty.bin"), QByteArray());
  WriteTestFile(dir.filePath("every byte.bin"), every);
  return {"random.bin", "empty.bin", "every byte.bin"};
}

// Each named file arrived in `to` as it is in `from`.
inline void ExpectSameFiles(const QStringList& names, const QString& from, const QString& to, const char* label) {
  for (const QString& name : names) {
    const QString received = QDir(to).filePath(name);
    EXPECT_TRUE(QFile::exists(received)) << label << ": " << name.toStdString();
    EXPECT_EQ(ReadAll(received), ReadAll(QDir(from).filePath(name))) << label << ": " << name.toStdString();
  }
}

// Removes the files (not the folders) in `folder`.
inline void RemoveFiles(const QString& folder) {
  for (const QString& name : QDir(folder).entryList(QDir::Files)) QFile::remove(QDir(folder).filePath(name));
}
