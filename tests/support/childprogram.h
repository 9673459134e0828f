// A program started by fork and exec (which the thread sanitizer follows, unlike QProcess's
// vfork), with its standard streams where the test wants them, killed if it outlives the test.
#pragma once

#include <QByteArray>
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

// Whether lrzsz's sz and rz, the usual peers, are installed.
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
  pid_t Pid() const { return m_Pid; }
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
