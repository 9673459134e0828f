// ZModem soak: many transfers of random sizes over lines that spoil bytes and stall, counting
// what a user would see. Two parts:
//   engines  two of our engines in this process, each on the serial engine at one end of a virtual
//            link whose faults (flipped, dropped and inserted bytes) are seeded, with pauses of the
//            whole line at random moments;
//   lrzsz    our engine against lrzsz's sz or rz (in turn), through a relay that spoils and stalls
//            the bytes the same way.
// Each transfer has a seed of its own, from which its size (0 to --max-bytes), its noise rate and
// its pauses follow; a transfer that goes wrong prints its seed, and --replay SEED runs that one
// again. It counts files identical, sessions aborted (by reason), hung sessions, and files damaged
// but reported as received, which must be 0. Exits 1 when a file was damaged or a session hung.
//   qxzmodem_soak [--engines N] [--lrzsz N] [--seed S] [--max-bytes N] [--verbose]
//                 [--replay SEED --part engines|lrzsz]
#include "../tests/support/childprogram.h"
#include "platform/commdevices.h"
#include "platform/virtuallink.h"
#include "qx/qxcommhandle.h"
#include "qx/qxzmodem.h"
#include "support/transferfiles.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Byte fault rates; each is split evenly into flips, drops and insertions.
constexpr double kEngineRates[] = {0, 1e-6, 1e-5, 1e-4, 5e-4};
constexpr double kLrzszRates[] = {0, 1e-6, 1e-5, 1e-4};
// Our engines' time-outs: short, so that lost headers are asked again soon.
constexpr std::uint32_t kTimeOutMs = 500;
constexpr std::uint32_t kTimeOutRetries = 10;

struct Options {
  int engines = 200;
  int lrzsz = 50;
  std::uint64_t seed = 1;
  qint64 maxBytes = 2 * 1024 * 1024;
  std::optional<std::uint64_t> replay;
  QString part;  // of the replayed seed: engines or lrzsz
  bool verbose = false;  // a line for every transfer
};

// What one transfer looks like, drawn from its seed.
struct Plan {
  std::uint64_t seed;
  qint64 bytes;
  double rate;
  std::vector<std::pair<int, int>> pauses;  // (after ms, for ms) from the start
  bool engineSends;                        // lrzsz part: our engine sends to rz (else sz to us)
};

Plan MakePlan(std::uint64_t seed, qint64 maxBytes, const double* rates, std::size_t rateCount) {
  std::mt19937_64 random(seed);
  Plan plan{seed, 0, 0, {}, false};
  // Sizes at and around the edges come up more often than a uniform draw would bring them.
  switch (random() % 10) {
    case 0: plan.bytes = 0; break;
    case 1: plan.bytes = qint64(random() % 2048); break;
    case 2: plan.bytes = std::max<qint64>(0, qint64(1024 * (1 + random() % 64)) + qint64(random() % 3) - 1); break;
    default: plan.bytes = qint64(random() % std::uint64_t(maxBytes + 1)); break;
  }
  plan.rate = rates[random() % rateCount];
  const int pauses = int(random() % 3);
  for (int i = 0; i < pauses; ++i) plan.pauses.emplace_back(int(random() % 4000), 100 + int(random() % 2500));
  plan.engineSends = random() % 2 == 0;
  return plan;
}

platform::LinkFaults Faults(double rate) {
  platform::LinkFaults faults;
  faults.corruptRate = faults.dropRate = faults.insertRate = rate / 3;
  return faults;
}

struct Counts {
  int identical = 0;
  int damaged = 0;
  int hung = 0;
  int failedToRun = 0;
  std::map<std::string, int> aborted;
};

enum class Outcome { Identical, Damaged, Aborted, Hung, NotRun };

// One side's end of a session as seen from outside.
struct Side {
  bool succeeded = false;
  std::optional<TzAbortType> abort;
  QString error;

  void Watch(TqxZModem& zm) {
    zm.SetTimeOut(kTimeOutMs);
    zm.SetTimeOutRetries(kTimeOutRetries);
    zm.OnSuccessfulEnd = [this](QObject*) { succeeded = true; };
    zm.OnAbort = [this](QObject*, TzAbortType reason) {
      if (!abort) abort = reason;
    };
    zm.OnFatalError = [this](QObject*, std::uint32_t code, std::uint32_t detail, const QString& message, bool& raise) {
      if (error.isEmpty()) error = QStringLiteral("%1,%2 %3").arg(code).arg(detail).arg(message.simplified());
      raise = false;
    };
  }
  bool Ended() const { return succeeded || abort.has_value(); }
};

// Runs the event loop until `done` holds or the bound passes; false when the bound passed.
bool RunUntil(const std::function<bool()>& done, int boundMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

int BoundMs(const Plan& plan) {
  int paused = 0;
  for (const auto& pause : plan.pauses) paused += pause.second;
  return 120000 + paused + int(plan.bytes / 10);  // ms: at least 10 kB/s beyond two minutes
}

std::string Reason(const char* who, TzAbortType reason) { return std::string(who) + " " + AbortName(reason); }

// Two engines of this process over a seeded noisy virtual link.
Outcome RunEngines(const Plan& plan, const QString& folder, std::string& reason) {
  const QString file = folder + QStringLiteral("/sent.bin"), in = folder + QStringLiteral("/in");
  if (!WriteRandomFile(file, plan.bytes, plan.seed) || !QDir().mkpath(in)) return Outcome::NotRun;
  platform::VirtualLinkOptions linkOptions;
  linkOptions.seed = plan.seed;
  linkOptions.faults[0] = linkOptions.faults[1] = Faults(plan.rate);
  const auto link = platform::VirtualLink::Create(linkOptions);
  if (!link) return Outcome::NotRun;
  TqxCommHandle sendComm, receiveComm;
  sendComm.SetCommHandle(link->End(0));
  receiveComm.SetCommHandle(link->End(1));
  TqxZModem sender, receiver;
  Side tx, rx;
  tx.Watch(sender);
  rx.Watch(receiver);
  receiver.SetDefaultPath(in);
  receiver.SetOptions({zoCreateWithNewName});
  sender.SetOptions({});
  for (TqxCommHandle* comm : {&sendComm, &receiveComm}) {
    comm->OnFatalError = [](QObject*, std::uint32_t, std::uint32_t, const QString&, bool& raise) { raise = false; };
    comm->SetTraceStates({tsTxEmpty});
  }
  sendComm.SetDataProcessor(&sender);
  receiveComm.SetDataProcessor(&receiver);
  sender.SetActive(true);
  receiver.SetActive(true);
  sendComm.Open();
  receiveComm.Open();
  if (!sendComm.IsOpen() || !receiveComm.IsOpen()) return Outcome::NotRun;

  // A pause holds the whole line: a byte takes 10 s at 1 bit/s, so nothing moves until it ends.
  std::vector<std::unique_ptr<QTimer>> timers;
  for (const auto& [after, length] : plan.pauses) {
    for (const auto& [at, rate] : {std::pair{after, DWORD(1)}, std::pair{after + length, DWORD(0)}}) {
      auto timer = std::make_unique<QTimer>();
      timer->setSingleShot(true);
      QObject::connect(timer.get(), &QTimer::timeout, [&link, rate] { link->SetBitsPerSecond(rate); });
      timer->start(at);
      timers.push_back(std::move(timer));
    }
  }
  sender.SendFile(file);
  const bool ended = RunUntil([&] { return rx.Ended() && (tx.Ended() || rx.abort); }, BoundMs(plan));
  // The sender may still be waiting for the last answer; it gets a moment to see its session out.
  RunUntil([&] { return sender.Role() == TqxZModem::zrIdle; }, 3000);
  timers.clear();
  link->SetBitsPerSecond(0);
  sendComm.Close();
  receiveComm.Close();

  if (!ended) {
    reason = "hung (receiver state " + std::to_string(receiver.State()) + ")";
    return Outcome::Hung;
  }
  if (rx.succeeded) {
    const QString difference = Compare(file, in + QStringLiteral("/sent.bin"));
    if (difference.isEmpty()) return Outcome::Identical;
    reason = difference.toStdString();
    return Outcome::Damaged;
  }
  reason = rx.abort ? Reason("receiver", *rx.abort) : Reason("sender", *tx.abort);
  return Outcome::Aborted;
}

// Carries bytes both ways between two sockets, spoiling and stalling them as the plan says.
class NoisyRelay {
public:
  NoisyRelay(int a, int b, const Plan& plan) : m_Fds{a, b}, m_Plan(plan), m_Random(plan.seed) {
    m_Thread = std::thread([this] { Run(); });
  }
  ~NoisyRelay() {
    m_Stop = true;
    m_Thread.join();
  }
  NoisyRelay(const NoisyRelay&) = delete;
  NoisyRelay& operator=(const NoisyRelay&) = delete;

private:
  bool Paused(Clock::time_point start) const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    for (const auto& [after, length] : m_Plan.pauses)
      if (ms >= after && ms < after + length) return true;
    return false;
  }
  std::string Spoil(const char* data, std::size_t count) {
    std::uniform_real_distribution<double> chance(0, 1);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
      const double r = m_Plan.rate > 0 ? chance(m_Random) : 1;
      if (r < m_Plan.rate / 3) continue;                                // dropped
      if (r < 2 * m_Plan.rate / 3) out += char(m_Random());            // inserted
      out += r < m_Plan.rate ? char(data[i] ^ (1 << (m_Random() % 8))) : data[i];  // flipped
    }
    return out;
  }
  void Run() {
    const auto start = Clock::now();
    std::string pending[2];  // bytes waiting to go to fd [i]
    bool ended[2] = {false, false};  // fd [i] has no more to read
    char buffer[65536];
    while (!m_Stop) {
      const bool paused = Paused(start);
      pollfd fds[2];
      for (int i = 0; i < 2; ++i) {
        short events = 0;
        if (!ended[i] && pending[1 - i].size() < (1 << 20)) events |= POLLIN;  // else the far side reads slowly
        if (!paused && !pending[i].empty()) events |= POLLOUT;
        fds[i] = pollfd{events ? m_Fds[i] : -1, events, 0};
      }
      if (::poll(fds, 2, 20) < 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
          const ssize_t n = ::read(m_Fds[i], buffer, sizeof buffer);
          if (n > 0) pending[1 - i] += Spoil(buffer, std::size_t(n));
          if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) ended[i] = true;
        }
        if ((fds[i].revents & POLLOUT) && !pending[i].empty()) {
          const ssize_t n = ::send(m_Fds[i], pending[i].data(), pending[i].size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n > 0) pending[i].erase(0, std::size_t(n));
        }
      }
    }
  }

  const int m_Fds[2];
  const Plan m_Plan;
  std::mt19937_64 m_Random;
  std::atomic<bool> m_Stop{false};
  std::thread m_Thread;
};

// Our engine on one end, sz or rz on the other, the noisy relay between.
Outcome RunLrzsz(const Plan& plan, const QString& folder, std::string& reason) {
  const QString out = folder + QStringLiteral("/out"), in = folder + QStringLiteral("/in");
  if (!QDir().mkpath(out) || !QDir().mkpath(in)) return Outcome::NotRun;
  const QString file = out + QStringLiteral("/sent.bin");
  if (!WriteRandomFile(file, plan.bytes, plan.seed)) return Outcome::NotRun;
  int engineLine[2], peerLine[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, engineLine) != 0) return Outcome::NotRun;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, peerLine) != 0) {
    ::close(engineLine[0]);
    ::close(engineLine[1]);
    return Outcome::NotRun;
  }
  const QStringList command = plan.engineSends ? QStringList{QStringLiteral("rz"), QStringLiteral("-y")}
                                               : QStringList{QStringLiteral("sz"), QStringLiteral("sent.bin")};
  const QString errors = folder + QStringLiteral("/peer.err");
  ChildProgram peer(command, plan.engineSends ? in : out, peerLine[1], errors);
  ::close(peerLine[1]);
  std::optional<NoisyRelay> relay;
  relay.emplace(engineLine[1], peerLine[0], plan);

  TqxCommHandle comm;
  comm.SetCommHandle(platform::CreateFdDevice(engineLine[0], engineLine[0], true));
  comm.OnFatalError = [](QObject*, std::uint32_t, std::uint32_t, const QString&, bool& raise) { raise = false; };
  comm.SetTraceStates({tsTxEmpty});
  TqxZModem zm;
  Side engine;
  engine.Watch(zm);
  zm.SetDefaultPath(in);
  zm.SetOptions({zoCreateWithNewName});
  comm.SetDataProcessor(&zm);
  zm.SetActive(true);
  comm.Open();
  if (!peer.Started() || !comm.IsOpen()) return Outcome::NotRun;
  if (plan.engineSends)
    zm.SendFile(file);
  else
    zm.BeginReceive();
  const bool ended = RunUntil([&] { return engine.Ended() && (peer.Exited() || engine.abort); }, BoundMs(plan));
  RunUntil([&] { return peer.Exited(); }, 15000);
  peer.Kill();
  const int status = peer.Wait(5000);
  comm.Close();
  relay.reset();
  ::close(engineLine[1]);
  ::close(peerLine[0]);

  if (!ended) {
    reason = "hung (engine state " + std::to_string(zm.State()) + ")";
    return Outcome::Hung;
  }
  // Who reported the file received: our receiver, or rz by its exit status.
  const bool reported = plan.engineSends ? status == 0 : engine.succeeded;
  if (reported) {
    const QString difference = Compare(file, in + QStringLiteral("/sent.bin"));
    if (difference.isEmpty()) return Outcome::Identical;
    reason = difference.toStdString();
    return Outcome::Damaged;
  }
  reason = engine.abort ? Reason(plan.engineSends ? "sender" : "receiver", *engine.abort)
                        : std::string(plan.engineSends ? "rz" : "sz") + " failed";
  return Outcome::Aborted;
}

void Count(Counts& counts, Outcome outcome, const Plan& plan, const char* part, const std::string& reason) {
  switch (outcome) {
    case Outcome::Identical: ++counts.identical; return;
    case Outcome::Aborted: ++counts.aborted[reason]; return;
    case Outcome::Damaged: ++counts.damaged; break;
    case Outcome::Hung: ++counts.hung; break;
    case Outcome::NotRun: ++counts.failedToRun; break;
  }
  std::printf("  FAILED seed %llu (%s, %lld bytes, noise %g, %zu pauses): %s; replay with --replay %llu --part %s\n",
              static_cast<unsigned long long>(plan.seed), part, static_cast<long long>(plan.bytes), plan.rate,
              plan.pauses.size(), outcome == Outcome::NotRun ? "could not be set up" : reason.c_str(),
              static_cast<unsigned long long>(plan.seed), part);
  std::fflush(stdout);
}

void Report(const char* part, int runs, const Counts& counts, double seconds) {
  std::printf("%s: %d transfers in %.0f s\n", part, runs, seconds);
  std::printf("  files identical:                  %d\n", counts.identical);
  int aborted = 0;
  for (const auto& [reason, n] : counts.aborted) aborted += n;
  std::printf("  sessions aborted with a reason:   %d\n", aborted);
  for (const auto& [reason, n] : counts.aborted) std::printf("      %-30s %d\n", reason.c_str(), n);
  std::printf("  files damaged, reported received: %d\n", counts.damaged);
  std::printf("  sessions hung:                    %d\n", counts.hung);
  if (counts.failedToRun) std::printf("  transfers that could not be set up: %d\n", counts.failedToRun);
  std::fflush(stdout);
}

// Runs `runs` transfers with seeds from `first` on; true when none was damaged or hung.
bool RunPart(const char* part, int runs, std::uint64_t first, const Options& options) {
  const bool engines = QLatin1String(part) == QLatin1String("engines");
  if (!engines && !HaveLrzsz()) {
    std::printf("%s: sz and rz are not on PATH; skipped\n", part);
    return true;
  }
  Counts counts;
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) {
    const Plan plan = engines ? MakePlan(first + i, options.maxBytes, kEngineRates, std::size(kEngineRates))
                              : MakePlan(first + i, options.maxBytes, kLrzszRates, std::size(kLrzszRates));
    QTemporaryDir dir;
    std::string reason;
    const Outcome outcome = !dir.isValid() ? Outcome::NotRun
                            : engines      ? RunEngines(plan, dir.path(), reason)
                                           : RunLrzsz(plan, dir.path(), reason);
    Count(counts, outcome, plan, part, reason);
    if (options.verbose)
      std::printf("  seed %llu: %lld bytes, noise %g, %zu pauses%s: %s\n", static_cast<unsigned long long>(plan.seed),
                  static_cast<long long>(plan.bytes), plan.rate, plan.pauses.size(),
                  engines ? "" : plan.engineSends ? ", to rz" : ", from sz",
                  outcome == Outcome::Identical ? "identical" : reason.c_str());
    if ((i + 1) % 10 == 0) {
      std::printf("  %s: %d of %d done\n", part, i + 1, runs);
      std::fflush(stdout);
    }
  }
  Report(part, runs, counts, std::chrono::duration<double>(Clock::now() - start).count());
  return counts.damaged == 0 && counts.hung == 0 && counts.failedToRun == 0;
}

const char kUsage[] =
    "usage: qxzmodem_soak [--engines N] [--lrzsz N] [--seed S] [--max-bytes N] [--verbose]\n"
    "                     [--replay SEED --part engines|lrzsz]\n";

std::optional<Options> Parse(const QStringList& args) {
  Options options;
  for (int i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == u"--verbose") {
      options.verbose = true;
      continue;
    }
    if (i + 1 >= args.size()) return std::nullopt;
    const QString value = args[++i];
    bool ok = false;
    if (arg == u"--engines") {
      options.engines = value.toInt(&ok);
    } else if (arg == u"--lrzsz") {
      options.lrzsz = value.toInt(&ok);
    } else if (arg == u"--seed") {
      options.seed = value.toULongLong(&ok);
    } else if (arg == u"--max-bytes") {
      options.maxBytes = value.toLongLong(&ok);
    } else if (arg == u"--replay") {
      options.replay = value.toULongLong(&ok);
    } else if (arg == u"--part") {
      options.part = value;
      ok = value == u"engines" || value == u"lrzsz";
    }
    if (!ok) return std::nullopt;
  }
  if (options.replay && options.part.isEmpty()) return std::nullopt;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  // The engine reports progress to a widget, which needs an application but never a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::optional<Options> options = Parse(app.arguments());
  if (!options) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::printf("ZModem soak: sizes 0 to %lld bytes, time-out %u ms x %u\n", static_cast<long long>(options->maxBytes),
              kTimeOutMs, kTimeOutRetries);
  std::fflush(stdout);
  bool ok = true;
  if (options->replay) {
    const QByteArray part = options->part.toLatin1();
    ok = RunPart(part.constData(), 1, *options->replay, *options);
  } else {
    // The lrzsz part's seeds follow on from the engines' part, so that every seed names one transfer.
    ok = RunPart("engines", options->engines, options->seed, *options);
    ok = RunPart("lrzsz", options->lrzsz, options->seed + std::uint64_t(options->engines), *options) && ok;
  }
  return ok ? 0 : 1;
}
