// ZModem transfer figures. One random file goes from a sender to a receiver, each a child process on
// its end of a socket pair or of a raw pty pair: lrzsz's sz to rz is the baseline, against which qxzm
// sending, qxzm receiving and qxzm on both sides are put (wall time, MB/s, ratio; best of --repeat
// runs), and the CPU time both sides spent per megabyte (user + system of the two children, the
// least of the runs) against lrzsz's. Then two of our engines in this process over a virtual link
// paced at 115200 bit/s: payload bytes per second as a share of the line's 11520 bytes/s, and the
// process's CPU time per megabyte. Every run checks the received file byte for
// byte and both exit statuses; a failed run prints FAILED and the program exits 1. Missed targets
// are only reported.
//   qxzmodem_bench [--bytes N] [--repeat N] [--timeout S] [--qxzm PATH] [--paced-bytes N]
//                  [--only socket|pty|paced]
#include "platform/virtuallink.h"
#include "qx/qxcommhandle.h"
#include "qx/qxzmodem.h"
#include "support/transferfiles.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <random>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kTargetRatio = 0.5;
constexpr double kTargetEfficiency = 97.50;
constexpr DWORD kPacedBits = 115200;
constexpr double kPacedBytesPerSecond = kPacedBits / 10.0;

struct Options {
  qint64 bytes = 20000000;
  int repeat = 3;
  double timeout = 120;
  QString qxzm = QStringLiteral(QXZM_PATH);
  qint64 pacedBytes = 524288;
  QString only;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User + system seconds of this process (RUSAGE_SELF) or of its reaped children (RUSAGE_CHILDREN).
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Milliseconds of CPU per megabyte (10^6 bytes) moved.
double MsPerMB(double cpuSeconds, qint64 bytes) { return cpuSeconds * 1000 / (double(bytes) / 1e6); }

// The last lines a child wrote to its standard error, on one line.
QString ErrorTail(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QRegularExpression(QStringLiteral("[\r\n]+")),
                                                                    Qt::SkipEmptyParts);
  lines = lines.mid(std::max<qsizetype>(0, lines.size() - 3));
  return lines.join(QStringLiteral(" | ")).left(400);
}

// A child process with its standard input and output on one descriptor and its standard error in
// a file; killed and reaped if still running when it goes.
class Child {
public:
  Child(const QStringList& command, const QString& dir, int fd, const QString& errorFile) : m_ErrorFile(errorFile) {
    // Everything the child needs is made before fork: between fork and exec only system calls.
    std::vector<QByteArray> args;
    for (const QString& a : command) args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const QByteArray cwd = dir.toLocal8Bit(), err = errorFile.toLocal8Bit();
    m_Pid = fork();
    if (m_Pid != 0) return;
    const int e = ::open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (e < 0 || dup2(fd, 0) < 0 || dup2(fd, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    close_range(3, ~0U, 0);
    if (chdir(cwd.constData()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return m_Pid > 0; }
  bool Poll() {
    int status = 0;
    if (!m_Exited && m_Pid > 0 && waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
      m_Exited = true;
      m_Status = status;
    }
    return m_Exited;
  }
  void Kill() {
    if (m_Pid <= 0 || m_Exited) return;
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, &m_Status, 0);
    m_Exited = true;
    m_Killed = true;
  }
  bool Succeeded() const { return m_Exited && !m_Killed && WIFEXITED(m_Status) && WEXITSTATUS(m_Status) == 0; }
  QString Failure(const char* role) const {
    QString what = m_Killed                ? QStringLiteral("killed by the benchmark")
                   : WIFEXITED(m_Status)   ? QStringLiteral("exited with status %1").arg(WEXITSTATUS(m_Status))
                                           : QStringLiteral("ended by signal %1").arg(WTERMSIG(m_Status));
    const QString tail = ErrorTail(m_ErrorFile);
    return QStringLiteral("%1 %2%3").arg(QLatin1String(role), what, tail.isEmpty() ? QString() : ": " + tail);
  }

private:
  pid_t m_Pid = -1;
  bool m_Exited = false;
  bool m_Killed = false;
  int m_Status = 0;
  QString m_ErrorFile;
};

enum class Line { Socket, Pty };
const char* LineName(Line line) { return line == Line::Socket ? "socket" : "pty"; }

// The two descriptors of a fresh line: [0] for the sender, [1] for the receiver.
bool MakeLine(Line line, int fds[2], QString& error) {
  if (line == Line::Socket) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) return true;
    error = QStringLiteral("socketpair failed");
    return false;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  const char* name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  const int slave = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
  termios t{};
  if (slave < 0 || tcgetattr(slave, &t) != 0) {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    error = QStringLiteral("cannot open a pty pair");
    return false;
  }
  cfmakeraw(&t);  // no echo, no line editing, 8 bits through
  tcsetattr(slave, TCSANOW, &t);
  fds[0] = master;
  fds[1] = slave;
  return true;
}

struct Command {
  QStringList args;
  bool inFileDir;  // run beside the file (senders) or in the receive directory
};

struct Pairing {
  const char* name;
  bool szSends;
  bool rzReceives;
};
constexpr Pairing kPairings[] = {
    {"sz -> rz", true, true},
    {"qxzm send -> rz", false, true},
    {"sz -> qxzm receive", true, false},
    {"qxzm send -> qxzm receive", false, false},
};

struct Row {
  const char* pairing = "";
  Line line = Line::Socket;
  bool baseline = false;
  std::optional<double> mbps;  // empty when skipped or failed
  bool failed = false;
  std::optional<double> ratio;
  double cpuMsPerMB = 0;
  std::optional<double> cpuRatio;  // against sz -> rz's CPU per megabyte
};

struct RunFigures {
  double seconds;  // from starting the sender until both children are reaped
  double cpu;      // user + system seconds of both children
};

// One transfer.
std::optional<RunFigures> RunOnce(Line line, const Pairing& pairing, const Options& options, const QString& sz,
                              const QString& rz, const QString& file, const QString& work, QString& error) {
  const QString receiveDir = work + QStringLiteral("/in");
  QDir(receiveDir).removeRecursively();
  if (!QDir().mkpath(receiveDir)) {
    error = QStringLiteral("cannot make %1").arg(receiveDir);
    return std::nullopt;
  }
  const QString name = QFileInfo(file).fileName(), fileDir = QFileInfo(file).absolutePath();
  const QStringList sender = pairing.szSends ? QStringList{sz, "-q", name} : QStringList{options.qxzm, "send", name};
  const QStringList receiver =
      pairing.rzReceives ? QStringList{rz, "-q", "-y"} : QStringList{options.qxzm, "receive", receiveDir};
  int fds[2];
  if (!MakeLine(line, fds, error)) return std::nullopt;

  const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  Child send(sender, fileDir, fds[0], work + QStringLiteral("/send.err"));
  Child receive(receiver, receiveDir, fds[1], work + QStringLiteral("/receive.err"));
  ::close(fds[0]);
  ::close(fds[1]);
  if (!send.Started() || !receive.Started()) {
    error = QStringLiteral("fork failed");
    return std::nullopt;
  }
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout));
  std::optional<Clock::time_point> firstFailure;
  bool timedOut = false;
  for (;;) {
    const bool sent = send.Poll(), taken = receive.Poll();
    if (sent && taken) break;
    const auto now = Clock::now();
    // One side failing leaves the other waiting for its own time-outs; a short grace is enough.
    if (!firstFailure && ((sent && !send.Succeeded()) || (taken && !receive.Succeeded())))
      firstFailure = now;
    if (now > deadline || (firstFailure && now - *firstFailure > std::chrono::seconds(3))) {
      timedOut = now > deadline;
      send.Kill();
      receive.Kill();
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const double seconds = Seconds(Clock::now() - start);
  const double cpu = CpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
  if (timedOut) {
    error = QStringLiteral("timed out after %1 s").arg(options.timeout);
    if (!send.Succeeded()) error += "; " + send.Failure("sender");
    if (!receive.Succeeded()) error += "; " + receive.Failure("receiver");
    return std::nullopt;
  }
  QStringList failures;
  if (!send.Succeeded()) failures << send.Failure("sender");
  if (!receive.Succeeded()) failures << receive.Failure("receiver");
  if (failures.isEmpty()) {
    if (const QString diff = Compare(file, receiveDir + u'/' + name); !diff.isEmpty()) failures << diff;
  }
  QDir(receiveDir).removeRecursively();
  if (!failures.isEmpty()) {
    error = failures.join(QStringLiteral("; "));
    return std::nullopt;
  }
  return RunFigures{seconds, cpu};
}

void RunLine(Line line, const Options& options, const QString& sz, const QString& rz, const QString& file,
             const QString& work, std::vector<Row>& rows, bool& failed) {
  std::printf("%s pair\n", LineName(line));
  std::optional<double> baseline, baselineCpu;
  for (const Pairing& pairing : kPairings) {
    Row row;
    row.pairing = pairing.name;
    row.line = line;
    row.baseline = pairing.szSends && pairing.rzReceives;
    const bool lrzszMissing = (pairing.szSends && sz.isEmpty()) || (pairing.rzReceives && rz.isEmpty());
    if (lrzszMissing) {
      std::printf("  %-26s skipped: %s not found on PATH\n", pairing.name,
                  pairing.szSends && sz.isEmpty() ? "sz" : "rz");
      rows.push_back(row);
      continue;
    }
    std::vector<double> runs, cpus;
    QString error;
    for (int i = 0; i < options.repeat && error.isEmpty(); ++i) {
      if (const auto r = RunOnce(line, pairing, options, sz, rz, file, work, error)) {
        runs.push_back(r->seconds);
        cpus.push_back(r->cpu);
      }
    }
    if (!error.isEmpty()) {
      std::printf("  %-26s FAILED (run %zu of %d): %s\n", pairing.name, runs.size() + 1, options.repeat,
                  error.toLocal8Bit().constData());
      std::fflush(stdout);
      row.failed = failed = true;
      rows.push_back(row);
      continue;
    }
    const double best = *std::min_element(runs.begin(), runs.end());
    row.mbps = double(options.bytes) / 1e6 / best;
    row.cpuMsPerMB = MsPerMB(*std::min_element(cpus.begin(), cpus.end()), options.bytes);
    if (row.baseline) {
      baseline = row.mbps;
      baselineCpu = row.cpuMsPerMB;
    }
    if (baseline) row.ratio = *row.mbps / *baseline;
    if (baselineCpu && *baselineCpu > 0) row.cpuRatio = row.cpuMsPerMB / *baselineCpu;
    QString all;
    for (const double s : runs) all += QStringLiteral(" %1").arg(s, 0, 'f', 3);
    std::printf("  %-26s best %8.3f s  %8.2f MB/s  ratio %s  CPU %6.2f ms/MB (x%s of lrzsz)   (runs:%s s)\n",
                pairing.name, best, *row.mbps, row.ratio ? QByteArray::number(*row.ratio, 'f', 2).constData() : "n/a",
                row.cpuMsPerMB, row.cpuRatio ? QByteArray::number(*row.cpuRatio, 'f', 2).constData() : "n/a",
                all.toLocal8Bit().constData());
    std::fflush(stdout);
    rows.push_back(row);
  }
}

struct Paced {
  bool ran = false;
  bool failed = false;
  double efficiency = 0;
  double cpuMsPerMB = 0;
};

// Two engines of this process on the ends of a paced virtual link.
Paced RunPaced(const Options& options) {
  Paced result;
  const double lineSeconds = double(options.pacedBytes) / kPacedBytesPerSecond;
  std::printf("paced virtual link, %u bit/s (%.0f bytes/s), two engines in this process\n", kPacedBits,
              kPacedBytesPerSecond);
  std::fflush(stdout);
  QString error;
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("paced.bin")), receiveDir = dir.filePath(QStringLiteral("in"));
  if (!dir.isValid() || !QDir().mkpath(receiveDir) || !WriteRandomFile(file, options.pacedBytes, 2)) {
    std::printf("  FAILED: cannot write the test file\n");
    result.failed = true;
    return result;
  }
  platform::VirtualLinkOptions linkOptions;
  linkOptions.bitsPerSecond = kPacedBits;
  const auto link = platform::VirtualLink::Create(linkOptions);
  if (!link) {
    std::printf("  FAILED: cannot make the virtual link\n");
    result.failed = true;
    return result;
  }
  const auto recordError = [&error](QObject*, std::uint32_t code, std::uint32_t detail, const QString& message,
                                    bool& raise) {
    if (error.isEmpty()) error = QStringLiteral("error %1, %2: %3").arg(code).arg(detail).arg(message.simplified());
    raise = false;
  };
  TqxCommHandle sendComm, receiveComm;
  TqxZModem sender, receiver;
  sendComm.SetCommHandle(link->End(0));
  receiveComm.SetCommHandle(link->End(1));
  for (TqxCommHandle* comm : {&sendComm, &receiveComm}) {
    comm->OnFatalError = recordError;
    comm->SetTraceStates({tsTxEmpty});
  }
  sender.OnFatalError = recordError;
  receiver.OnFatalError = recordError;
  receiver.SetDefaultPath(receiveDir);
  sendComm.SetDataProcessor(&sender);
  receiveComm.SetDataProcessor(&receiver);
  sender.SetActive(true);
  receiver.SetActive(true);

  QEventLoop loop;
  bool received = false;
  Clock::time_point end;
  receiver.OnSuccessfulEnd = [&](QObject*) {
    end = Clock::now();
    received = true;
    loop.quit();
  };
  receiver.OnAbort = [&](QObject*, TzAbortType reason) {
    if (error.isEmpty()) error = QStringLiteral("receiver aborted (%1)").arg(AbortName(reason));
    loop.quit();
  };
  sender.OnAbort = [&](QObject*, TzAbortType reason) {
    if (received) return;  // the receiver's answer to the final ZFIN may be missed
    if (error.isEmpty()) error = QStringLiteral("sender aborted (%1)").arg(AbortName(reason));
    loop.quit();
  };
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, [&] {
    if (error.isEmpty()) error = QStringLiteral("timed out after %1 s").arg(options.timeout + lineSeconds, 0, 'f', 0);
    loop.quit();
  });

  sendComm.Open();
  receiveComm.Open();
  Clock::time_point start = Clock::now();
  double cpuBefore = CpuSeconds(RUSAGE_SELF);
  double cpuAfter = cpuBefore;
  if (!sendComm.IsOpen() || !receiveComm.IsOpen()) {
    if (error.isEmpty()) error = QStringLiteral("cannot open the link's ends");
  } else {
    // The guard allows the time-out on top of the time the line needs for the payload alone.
    guard.start(int((options.timeout + lineSeconds) * 1000));
    cpuBefore = CpuSeconds(RUSAGE_SELF);
    start = Clock::now();
    sender.SendFile(file);
    if (sender.Role() == TqxZModem::zrIdle) {
      if (error.isEmpty()) error = QStringLiteral("the sending session did not start");
    } else {
      loop.exec();
    }
  }
  guard.stop();
  cpuAfter = CpuSeconds(RUSAGE_SELF);
  // Let the sender see its session out before the line goes.
  for (const auto bound = Clock::now() + std::chrono::seconds(5);
       sender.Role() != TqxZModem::zrIdle && Clock::now() < bound;)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  sendComm.Close();
  receiveComm.Close();
  if (received && error.isEmpty()) error = Compare(file, receiveDir + QStringLiteral("/paced.bin"));

  result.ran = true;
  if (!received || !error.isEmpty()) {
    std::printf("  FAILED: %s\n", error.toLocal8Bit().constData());
    result.failed = true;
    return result;
  }
  const double seconds = Seconds(end - start);
  const double rate = double(options.pacedBytes) / seconds;
  result.efficiency = rate / kPacedBytesPerSecond * 100;
  result.cpuMsPerMB = MsPerMB(cpuAfter - cpuBefore, options.pacedBytes);
  std::printf("  payload %lld bytes in %.3f s (the line alone needs %.3f s): %.1f bytes/s\n",
              static_cast<long long>(options.pacedBytes), seconds, lineSeconds, rate);
  std::printf("  CPU of both engines and their threads: %.1f ms/MB\n", result.cpuMsPerMB);
  std::printf("  efficiency %.2f %% of the line (target %.2f %%)\n", result.efficiency, kTargetEfficiency);
  return result;
}

void Summary(const std::vector<Row>& rows, const Paced& paced) {
  std::printf("\nsummary (target: at least %.2f x the sz -> rz throughput on the same kind of pair)\n", kTargetRatio);
  std::printf("  %-26s %-7s %9s %7s %12s %9s  %s\n", "pairing", "pair", "MB/s", "ratio", "CPU ms/MB",
              "x lrzsz", "meets target");
  for (const Row& row : rows) {
    const char* verdict = row.failed ? "FAILED"
                          : !row.mbps ? "skipped"
                          : row.baseline ? "baseline"
                          : !row.ratio ? "n/a (no baseline)"
                          : *row.ratio >= kTargetRatio ? "yes"
                                                       : "no";
    std::printf("  %-26s %-7s %9s %7s %12s %9s  %s\n", row.pairing, LineName(row.line),
                row.mbps ? QByteArray::number(*row.mbps, 'f', 2).constData() : "-",
                row.ratio ? QByteArray::number(*row.ratio, 'f', 2).constData() : "-",
                row.mbps ? QByteArray::number(row.cpuMsPerMB, 'f', 2).constData() : "-",
                row.cpuRatio ? QByteArray::number(*row.cpuRatio, 'f', 2).constData() : "-", verdict);
  }
  if (paced.ran) {
    std::printf("  %-26s %-7s %8.2f %%  CPU %.1f ms/MB  target %.2f %%: %s\n", "paced efficiency", "vlink",
                paced.efficiency, paced.cpuMsPerMB, kTargetEfficiency,
                paced.failed ? "FAILED" : paced.efficiency >= kTargetEfficiency ? "yes" : "no");
  }
}

const char* kUsage =
    "Usage: qxzmodem_bench [options]\n"
    "  --bytes N         size of the random file for the socket and pty pairs (default 20000000)\n"
    "  --repeat N        runs per pairing, the best counts (default 3)\n"
    "  --timeout S       seconds before a run is killed (default 120)\n"
    "  --qxzm PATH       the qxzm program (default: the one built with the benchmark)\n"
    "  --paced-bytes N   size of the file over the paced virtual link (default 524288)\n"
    "  --only KIND       run one section: socket, pty or paced\n"
    "  --help            show this text\n";

std::optional<Options> Parse(const QStringList& args) {
  Options options;
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QStringLiteral("--help") || a == QStringLiteral("-h")) {
      std::printf("%s", kUsage);
      std::exit(EXIT_SUCCESS);
    }
    if (i + 1 >= args.size()) return std::nullopt;
    const QString value = args[++i];
    bool ok = true;
    if (a == QStringLiteral("--bytes")) options.bytes = value.toLongLong(&ok);
    else if (a == QStringLiteral("--repeat")) options.repeat = value.toInt(&ok);
    else if (a == QStringLiteral("--timeout")) options.timeout = value.toDouble(&ok);
    else if (a == QStringLiteral("--qxzm")) options.qxzm = QFileInfo(value).absoluteFilePath();
    else if (a == QStringLiteral("--paced-bytes")) options.pacedBytes = value.toLongLong(&ok);
    else if (a == QStringLiteral("--only")) options.only = value;
    else return std::nullopt;
    if (!ok) return std::nullopt;
  }
  const bool onlyValid = options.only.isEmpty() || options.only == QStringLiteral("socket") ||
                         options.only == QStringLiteral("pty") || options.only == QStringLiteral("paced");
  // The engine counts file positions in 32 bits.
  if (!onlyValid || options.bytes <= 0 || options.bytes > 0xFFFFFFFFll || options.repeat < 1 ||
      options.timeout <= 0 || options.pacedBytes <= 0 || options.pacedBytes > 0xFFFFFFFFll)
    return std::nullopt;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  // The engine reports progress to a widget, which needs an application but never a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::optional<Options> options = Parse(app.arguments());
  if (!options) {
    std::fprintf(stderr, "qxzmodem_bench: bad arguments\n%s", kUsage);
    return 2;
  }
  const auto runs = [&](const char* kind) { return options->only.isEmpty() || options->only == QLatin1String(kind); };
  bool failed = false;
  std::vector<Row> rows;

  if (runs("socket") || runs("pty")) {
    const QString sz = QStandardPaths::findExecutable(QStringLiteral("sz"));
    const QString rz = QStandardPaths::findExecutable(QStringLiteral("rz"));
    std::printf("ZModem between processes: a %lld-byte random file, best of %d runs, time-out %.0f s\n",
                static_cast<long long>(options->bytes), options->repeat, options->timeout);
    std::printf("  qxzm: %s\n  sz: %s\n  rz: %s\n", options->qxzm.toLocal8Bit().constData(),
                sz.isEmpty() ? "not found on PATH" : sz.toLocal8Bit().constData(),
                rz.isEmpty() ? "not found on PATH" : rz.toLocal8Bit().constData());
    QTemporaryDir work;
    const QString file = work.filePath(QStringLiteral("random.bin"));
    if (!QFileInfo(options->qxzm).isExecutable()) {
      std::printf("FAILED: %s is not an executable program\n", options->qxzm.toLocal8Bit().constData());
      failed = true;
    } else if (!work.isValid() || !WriteRandomFile(file, options->bytes, 1)) {
      std::printf("FAILED: cannot write the test file\n");
      failed = true;
    } else {
      std::fflush(stdout);
      if (runs("socket")) RunLine(Line::Socket, *options, sz, rz, file, work.path(), rows, failed);
      if (runs("pty")) RunLine(Line::Pty, *options, sz, rz, file, work.path(), rows, failed);
    }
  }
  Paced paced;
  if (runs("paced")) {
    paced = RunPaced(*options);
    failed = failed || paced.failed;
  }
  Summary(rows, paced);
  return failed ? EXIT_FAILURE : EXIT_SUCCESS;
}
