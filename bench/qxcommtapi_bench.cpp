// Telephony component figures over the line service's virtual modems: the time from MakeCall to
// OnLineConnected on both components (shortest ring cadence, RingsBeforeAnswer 0), and bytes per
// second from the far end of a connected call into the component's DataReceived against the line
// service's own data path read alone (the same kind of call, read from the comm handle by a plain
// loop) and against the serial engine alone on the call's comm handle.
#include "platform/winapi.h"
#include "qx/qxcomm.h"
#include "qx/qxcommtapi.h"
#include "qx/qxtapi.h"
#include "support/benchtools.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnects = 100;
constexpr long long kThroughputBytes = 32LL * 1024 * 1024;
constexpr DWORD kChunk = 64 * 1024;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool ProcessUntil(const std::function<bool()>& condition, int boundMs = 20000) {
  const QDeadlineTimer deadline(boundMs);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// A line used through the binding directly, without the component: what "the service alone" is.
class RawLine {
public:
  RawLine() {
    DWORD devices = 0;
    qxtapi::lineInitialize(&m_App, GetModuleHandleA(nullptr), &Callback, nullptr, &devices);
    LINEEXTENSIONID extension{};
    qxtapi::lineNegotiateAPIVersion(m_App, 0, 0x00010000, 0x00090000, &m_Version, &extension);
  }
  ~RawLine() {
    if (m_Comm != INVALID_HANDLE_VALUE) CloseHandle(m_Comm);
    if (m_App != 0) qxtapi::lineShutdown(m_App);
  }
  RawLine(const RawLine&) = delete;
  RawLine& operator=(const RawLine&) = delete;

  bool Open(DWORD device, DWORD privileges) {
    return qxtapi::lineOpen(m_App, device, &m_Line, m_Version, 0, reinterpret_cast<DWORD_PTR>(this), privileges,
                            LINEMEDIAMODE_DATAMODEM, nullptr) == 0;
  }
  bool Dial(const char* number) { return qxtapi::lineMakeCall(m_Line, &m_Call, number, 0, nullptr) > 0; }
  bool Connected() const { return m_Connected; }
  // The line's comm handle, once connected.
  HANDLE Comm() {
    if (m_Comm != INVALID_HANDLE_VALUE) return m_Comm;
    std::vector<DWORD> buffer(256, 0);
    auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
    id->dwTotalSize = static_cast<DWORD>(buffer.size() * 4);
    if (qxtapi::lineGetID(m_Line, 0, 0, LINECALLSELECT_LINE, id, "comm/datamodem") == 0)
      std::memcpy(&m_Comm, reinterpret_cast<const char*>(id) + id->dwStringOffset, sizeof m_Comm);
    return m_Comm;
  }
  // The comm handle, given over to the caller.
  HANDLE TakeComm() {
    const HANDLE handle = Comm();
    m_Comm = INVALID_HANDLE_VALUE;
    return handle;
  }

private:
  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR state, DWORD_PTR, DWORD_PTR) {
    auto* line = reinterpret_cast<RawLine*>(instance);
    if (line == nullptr || message != LINE_CALLSTATE) return;
    if (state == LINECALLSTATE_OFFERING) qxtapi::lineAnswer(device, nullptr, 0);
    if (state == LINECALLSTATE_CONNECTED) line->m_Connected = true;
  }

  HLINEAPP m_App = 0;
  DWORD m_Version = 0;
  HLINE m_Line = 0;
  HCALL m_Call = 0;
  HANDLE m_Comm = INVALID_HANDLE_VALUE;
  bool m_Connected = false;
};

// Writes `total` bytes to the handle, one overlapped chunk at a time.
void WriteBytes(HANDLE handle, long long total) {
  std::vector<char> chunk(kChunk, 'x');
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  for (long long sent = 0; sent < total;) {
    const DWORD want = static_cast<DWORD>(std::min<long long>(kChunk, total - sent));
    DWORD done = 0;
    if (!WriteFile(handle, chunk.data(), want, &done, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(handle, &overlapped, &done, TRUE)) break;
    }
    sent += done;
  }
  CloseHandle(overlapped.hEvent);
}

// Reads from the handle until `total` bytes came; whether they all did.
bool ReadBytes(HANDLE handle, long long total, DWORD queue) {
  COMMTIMEOUTS timeouts{0xFFFFFFFF, 0xFFFFFFFF, 200, 0, 0};
  SetCommTimeouts(handle, &timeouts);
  SetupComm(handle, queue, queue);
  std::vector<char> buffer(kChunk);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  long long got = 0;
  const auto end = Clock::now() + std::chrono::seconds(120);
  while (got < total && Clock::now() < end) {
    DWORD done = 0;
    if (!ReadFile(handle, buffer.data(), kChunk, &done, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(handle, &overlapped, &done, TRUE)) break;
    }
    got += done;
  }
  CloseHandle(overlapped.hEvent);
  return got >= total;
}

struct Component {
  explicit Component(int device) {
    com.OnFatalError = [](QObject*, std::uint32_t, std::uint32_t, const QString& text, bool& raise) {
      std::fprintf(stderr, "fatal error: %s\n", qPrintable(QString(text).replace('\r', " / ")));
      raise = false;
    };
    com.OnLineConnected = [this](QObject*) { connectedAt = Clock::now(); };
    com.OnLineDisconnected = [this](QObject*, bool) { ++disconnects; };
    com.SetRetries(0);
    com.GetDeviceList(nullptr);
    com.SetDeviceIndex(device);
  }
  TqxCommTAPI com;
  Clock::time_point connectedAt{};
  int disconnects = 0;
};

void MeasureConnects() {
  Component caller(0), callee(1);
  callee.com.SetRingsBeforeAnswer(0);
  caller.com.SetPhone("102");
  std::vector<double> callerMs, calleeMs;
  for (int i = 0; i < kConnects; ++i) {
    callee.com.WaitForCall();
    caller.connectedAt = callee.connectedAt = {};
    const auto start = Clock::now();
    caller.com.MakeCall();
    if (!ProcessUntil([&] { return caller.connectedAt != Clock::time_point{} && callee.connectedAt != Clock::time_point{}; })) {
      std::printf("connect %d did not complete\n", i);
      return;
    }
    callerMs.push_back(Ms(caller.connectedAt - start));
    calleeMs.push_back(Ms(callee.connectedAt - start));
    const int ended = callee.disconnects;
    caller.com.HangUp();
    ProcessUntil([&] { return callee.disconnects > ended; });
  }
  const Percentiles a = Summarise(callerMs), b = Summarise(calleeMs);
  std::printf("MakeCall to OnLineConnected, %d calls, ring cadence 1,0 ms, RingsBeforeAnswer 0:\n", kConnects);
  std::printf("  caller  median %7.2f ms   p99 %7.2f ms\n", a.median, a.p99);
  std::printf("  callee  median %7.2f ms   p99 %7.2f ms\n", b.median, b.p99);
}

// Bytes per second from a raw caller into the component's DataReceived.
double ComponentThroughput(quint16 bufferInSize) {
  RawLine caller;
  Component callee(1);
  CountingProcessor counter;
  callee.com.SetBufferInSize(bufferInSize);
  callee.com.SetDataProcessor(&counter);
  callee.com.WaitForCall();
  if (!caller.Open(0, LINECALLPRIVILEGE_NONE) || !caller.Dial("102") ||
      !ProcessUntil([&] { return caller.Connected() && callee.com.CallState() == csConnected; }))
    return 0;
  const HANDLE comm = caller.Comm();
  const auto start = Clock::now();
  std::thread writer([comm] { WriteBytes(comm, kThroughputBytes); });
  const bool all = ProcessUntil([&] { return counter.received >= kThroughputBytes; }, 120000);
  const auto elapsed = Clock::now() - start;
  writer.join();
  callee.com.HangUp();
  return all ? kThroughputBytes / std::chrono::duration<double>(elapsed).count() : 0;
}

// Callee (device 1, number 102) answers caller (device 0); whether both are connected.
bool ConnectRaw(RawLine& caller, RawLine& callee) {
  return callee.Open(1, LINECALLPRIVILEGE_OWNER) && caller.Open(0, LINECALLPRIVILEGE_NONE) && caller.Dial("102") &&
         ProcessUntil([&] { return caller.Connected() && callee.Connected(); });
}

// Bytes per second on the same kind of call read by a plain loop on the callee's comm handle, with
// the same driver queue.
double ServiceThroughput(DWORD queue) {
  RawLine caller, callee;
  if (!ConnectRaw(caller, callee)) return 0;
  const HANDLE from = caller.Comm(), to = callee.Comm();
  std::atomic<bool> all{false};
  const auto start = Clock::now();
  std::thread reader([&] { all = ReadBytes(to, kThroughputBytes, queue); });
  std::thread writer([from] { WriteBytes(from, kThroughputBytes); });
  // The service delivers its callbacks while this thread processes events.
  ProcessUntil([&] { return all.load(); }, 120000);
  reader.join();
  const auto elapsed = Clock::now() - start;
  writer.join();
  return all ? kThroughputBytes / std::chrono::duration<double>(elapsed).count() : 0;
}

// Bytes per second into DataReceived of the serial engine alone (TqxCommHandle) on the callee's
// comm handle of the same kind of call: what the component adds to the engine.
double EngineThroughput(quint16 queue) {
  RawLine caller, callee;
  if (!ConnectRaw(caller, callee)) return 0;
  TqxCommHandle engine;
  CountingProcessor counter;
  engine.SetBufferInSize(queue);
  engine.SetDataProcessor(&counter);
  engine.SetCommHandle(callee.TakeComm());
  engine.Open();
  const HANDLE from = caller.Comm();
  const auto start = Clock::now();
  std::thread writer([from] { WriteBytes(from, kThroughputBytes); });
  const bool all = ProcessUntil([&] { return counter.received >= kThroughputBytes; }, 120000);
  const auto elapsed = Clock::now() - start;
  writer.join();
  return all ? kThroughputBytes / std::chrono::duration<double>(elapsed).count() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  QTemporaryDir store, runtime;
  setenv("QX_REGISTRY_DIR", qPrintable(store.path()), 1);
  setenv("QX_LINE_RUNTIME_DIR", qPrintable(runtime.path()), 1);
  setenv("QX_LINE_RING_CADENCE", "1,0", 1);
  setenv("QX_LINE_UNPACED", "1", 1);
  QApplication app(argc, argv);

  MeasureConnects();
  std::printf("Connected call, %lld MiB from the far end, unpaced:\n", kThroughputBytes >> 20);
  const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  for (const quint16 queue : {quint16(4096), quint16(65535)}) {
    const double service = ServiceThroughput(queue);
    const double engine = EngineThroughput(queue);
    const double component = ComponentThroughput(queue);
    std::printf("  input queue %5u: component into DataReceived %6.1f MB/s; line service alone %6.1f MB/s (ratio %.2f);"
                " serial engine alone on the call %6.1f MB/s (ratio %.2f)\n",
                queue, component / 1e6, service / 1e6, ratio(component, service), engine / 1e6, ratio(component, engine));
  }
  return 0;
}
