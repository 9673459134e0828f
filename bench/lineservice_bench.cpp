// Line service figures: bytes per second over an unpaced call between two processes (serial
// engine to serial engine), against the same two engines on a plain Unix socket pair; and the time
// from lineMakeCall to CONNECTED on both sides with the shortest ring cadence. The bench runs in a
// store and runtime folder of its own; it starts itself again as the far process.
#include "platform/commdevices.h"
#include "platform/tapi.h"
#include "platform/winapi.h"
#include "qx/qxcomm.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBytes = 16 * 1024 * 1024;
constexpr int kChunk = 16384;
constexpr int kCalls = 200;
constexpr int kRounds = 5;
constexpr char kGo = 'g';

// Counts what reaches the engine's DataReceived; calls onData after each chunk.
class Counter : public TqxCustomDataProcessor {
public:
  using TqxCustomDataProcessor::DataReceived;
  void DataReceived(const char* data, int count, TProcessorFlags&) override {
    received += count;
    if (std::memchr(data, kGo, std::size_t(count))) sawGo = true;
    if (onData) onData();
  }
  long long received = 0;
  bool sawGo = false;
  std::function<void()> onData;
};

// Processes events until `done` holds or the bound passes, sleeping while nothing happens; a
// short timer wakes it to look at conditions that no event announces.
bool RunUntil(const std::function<bool()>& done, int boundMs = 120000) {
  QTimer tick;
  tick.start(1);
  const auto end = Clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// The line messages this process gets, for the waits below.
struct Messages {
  std::vector<std::pair<HCALL, DWORD>> states;  // LINE_CALLSTATE: call, state
  std::function<void(HCALL, DWORD)> onState;
  bool Has(HCALL call, DWORD state) const {
    return std::find(states.begin(), states.end(), std::make_pair(call, state)) != states.end();
  }
};
Messages g_Messages;

void Callback(DWORD device, DWORD message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
  if (message != LINE_CALLSTATE) return;
  g_Messages.states.emplace_back(device, DWORD(p1));
  if (g_Messages.onState) g_Messages.onState(device, DWORD(p1));
}

HANDLE LineComm(HLINE line) {
  std::vector<char> buffer(512);
  auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
  id->dwTotalSize = DWORD(buffer.size());
  if (lineGetID(line, 0, 0, LINECALLSELECT_LINE, id, "comm/datamodem") != 0) return INVALID_HANDLE_VALUE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::memcpy(&handle, buffer.data() + id->dwStringOffset, sizeof handle);
  return handle;
}

// The far process's engine: waits for the go byte, sends kBytes, stays until the near end is gone.
int SendAll(HANDLE comm, const std::function<bool()>& nearGone) {
  TqxCommHandle engine;
  Counter counter;
  engine.SetCommHandle(comm);
  engine.SetDataProcessor(&counter);
  engine.Open();
  if (!RunUntil([&] { return counter.sawGo; })) return 1;
  std::vector<char> chunk(kChunk, 'x');
  for (int sent = 0; sent < kBytes; sent += kChunk) engine.SendData(chunk.data(), kChunk);
  RunUntil([&] { return !engine.GetActive() || nearGone(); });
  return 0;
}

// The near engine: the go byte, then the time until kBytes have arrived.
double ReceiveAll(HANDLE comm) {
  TqxCommHandle engine;
  Counter counter;
  engine.SetCommHandle(comm);
  engine.SetBufferInSize(32768);
  engine.SetDataProcessor(&counter);
  engine.Open();
  // The go byte is sent again until data comes: one that reaches the far port before its engine
  // has opened it may be gone.
  const auto start = Clock::now();
  QTimer go;
  QObject::connect(&go, &QTimer::timeout, [&] {
    if (counter.received == 0) engine.SendChar(kGo);
  });
  engine.SendChar(kGo);
  go.start(20);
  if (!RunUntil([&] { return counter.received >= kBytes; })) return 0;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  engine.SetDataProcessor(nullptr);
  return double(counter.received) / seconds;
}

struct Usage {
  HLINEAPP app = 0;
  DWORD devices = 0;
  Usage() { lineInitialize(&app, nullptr, &Callback, "bench", &devices); }
  ~Usage() { lineShutdown(app); }
  HLINE Open(DWORD device, DWORD privileges) {
    HLINE line = 0;
    lineOpen(app, device, &line, TAPI_VERSION2_0, 0, 1, privileges, LINEMEDIAMODE_DATAMODEM, nullptr);
    return line;
  }
};

// The far process of the call: answers on 102 and sends.
int PeerAnswer() {
  Usage usage;
  const HLINE line = usage.Open(1, LINECALLPRIVILEGE_OWNER);
  HCALL answered = 0;
  g_Messages.onState = [&](HCALL call, DWORD state) {
    if (state == LINECALLSTATE_OFFERING && !answered) {
      answered = call;
      lineAnswer(call, nullptr, 0);
    }
  };
  std::fprintf(stdout, "ready\n");
  std::fflush(stdout);
  if (!RunUntil([&] { return answered && g_Messages.Has(answered, LINECALLSTATE_CONNECTED); })) return 1;
  return SendAll(LineComm(line), [&] { return g_Messages.Has(answered, LINECALLSTATE_DISCONNECTED); });
}

pid_t StartPeer(const char* self, const std::vector<std::string>& arguments, int* readyFd) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(ready[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(self)};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(self, argv.data());
    ::_exit(127);
  }
  ::close(ready[1]);
  *readyFd = ready[0];
  return pid;
}

bool AwaitReady(int fd) {
  char text[16] = {};
  const bool ok = ::read(fd, text, sizeof text - 1) > 0;
  ::close(fd);
  return ok;
}

double CallThroughput(const char* self) {
  int ready = -1;
  const pid_t peer = StartPeer(self, {"--peer-answer"}, &ready);
  if (peer < 0 || !AwaitReady(ready)) return 0;
  double rate = 0;
  {
    Usage usage;
    const HLINE line = usage.Open(0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    if (lineMakeCall(line, &call, "102", 0, nullptr) > 0 &&
        RunUntil([&] { return g_Messages.Has(call, LINECALLSTATE_CONNECTED); }, 20000))
      rate = ReceiveAll(LineComm(line));
  }
  ::waitpid(peer, nullptr, 0);
  return rate;
}

double SocketPairThroughput(const char* self) {
  // Close-on-exec: the far process keeps only its own end, so that it sees this one close.
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  ::fcntl(pair[1], F_SETFD, 0);
  int ready = -1;
  const pid_t peer = StartPeer(self, {"--peer-fd", std::to_string(pair[1])}, &ready);
  ::close(pair[1]);
  if (peer < 0 || !AwaitReady(ready)) return 0;
  const double rate = ReceiveAll(platform::CreateFdDevice(pair[0], pair[0], true));
  ::waitpid(peer, nullptr, 0);
  return rate;
}

int PeerSocket(int fd) {
  std::fprintf(stdout, "ready\n");
  std::fflush(stdout);
  return SendAll(platform::CreateFdDevice(fd, fd, true), [] { return false; });
}

struct Percentiles {
  double median = 0, p99 = 0;
};
Percentiles Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

// lineMakeCall to CONNECTED, both sides in this process, answered at the first offering.
void CallSetup(Percentiles& caller, Percentiles& callee) {
  Usage usage;
  const HLINE owner = usage.Open(1, LINECALLPRIVILEGE_OWNER), dialer = usage.Open(0, LINECALLPRIVILEGE_NONE);
  (void)owner;
  HCALL answered = 0;
  g_Messages.onState = [&](HCALL call, DWORD state) {
    if (state == LINECALLSTATE_OFFERING && !answered) {
      answered = call;
      lineAnswer(call, nullptr, 0);
    }
  };
  std::vector<double> callerMs, calleeMs;
  for (int i = 0; i < kCalls; ++i) {
    answered = 0;
    g_Messages.states.clear();
    HCALL call = 0;
    const auto start = Clock::now();
    if (lineMakeCall(dialer, &call, "102", 0, nullptr) <= 0) return;
    double callerAt = -1, calleeAt = -1;
    RunUntil([&] {
      const double now = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      if (callerAt < 0 && g_Messages.Has(call, LINECALLSTATE_CONNECTED)) callerAt = now;
      if (calleeAt < 0 && answered && g_Messages.Has(answered, LINECALLSTATE_CONNECTED)) calleeAt = now;
      return callerAt >= 0 && calleeAt >= 0;
    }, 10000);
    callerMs.push_back(callerAt);
    calleeMs.push_back(calleeAt);
    lineDrop(call, nullptr, 0);
    RunUntil([&] { return g_Messages.Has(answered, LINECALLSTATE_DISCONNECTED); }, 10000);
    lineDeallocateCall(call);
    lineDeallocateCall(answered);
  }
  caller = Summarise(callerMs);
  callee = Summarise(calleeMs);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() >= 2 && args[1] == "--peer-answer") return PeerAnswer();
  if (args.size() >= 3 && args[1] == "--peer-fd") return PeerSocket(args[2].toInt());

  // A store and runtime folder of the bench's own; the far processes inherit them.
  QTemporaryDir folder;
  qputenv("QX_REGISTRY_DIR", (folder.path() + "/registry").toLocal8Bit());
  qputenv("QX_LINE_RUNTIME_DIR", (folder.path() + "/run").toLocal8Bit());
  qputenv("QX_LINE_UNPACED", "1");
  qputenv("QX_LINE_RING_CADENCE", "1,1");

  // Rounds taken in turn, so that a busy machine slows both alike; the medians are compared.
  std::printf("Line service bench: %d MiB from a far process into the serial engine, %d rounds\n", kBytes >> 20,
              kRounds);
  std::vector<double> calls, pairs;
  for (int round = 0; round < kRounds; ++round) {
    calls.push_back(CallThroughput(argv[0]));
    pairs.push_back(SocketPairThroughput(argv[0]));
  }
  std::sort(calls.begin(), calls.end());
  std::sort(pairs.begin(), pairs.end());
  const double call = calls[kRounds / 2], pair = pairs[kRounds / 2];
  std::printf("  unpaced call between two processes   %8.1f MB/s   (median; %.1f to %.1f)\n", call / 1e6,
              calls.front() / 1e6, calls.back() / 1e6);
  std::printf("  plain Unix socket pair               %8.1f MB/s   (median; %.1f to %.1f)\n", pair / 1e6,
              pairs.front() / 1e6, pairs.back() / 1e6);
  std::printf("  ratio call / socket pair             %8.2f   (target at least 0.50)\n", pair > 0 ? call / pair : 0);

  Percentiles caller, callee;
  CallSetup(caller, callee);
  std::printf("lineMakeCall to CONNECTED, ring cadence 1 ms on / 1 ms off, %d calls:\n", kCalls);
  std::printf("  caller   median %7.2f ms   p99 %7.2f ms\n", caller.median, caller.p99);
  std::printf("  callee   median %7.2f ms   p99 %7.2f ms\n", callee.median, callee.p99);
  return 0;
}
