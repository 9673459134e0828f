// Serial engine figures: bytes per second from the far end into DataReceived, and the round trip of
// one byte (SendChar out, echoed by the far end, seen in DataReceived), each against a plain
// blocking loop on the same kind of device, over a pty pair and over an unpaced virtual link. Beside
// each throughput: the CPU time of the process (both ends, all threads) per megabyte.
#include "platform/virtuallink.h"
#include "platform/winapi.h"
#include "qx/qxcomm.h"
#include "support/benchtools.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThroughputBytes = 8 * 1024 * 1024;
constexpr int kRoundTrips = 2000;
constexpr int kChunk = 4096;
// A driver queue larger than the receive buffer: each event then reads several buffers' worth.
constexpr quint16 kLargeQueue = 32768;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Bytes per second and milliseconds of CPU per megabyte (10^6 bytes).
struct Throughput {
  double bytesPerSecond = 0;
  double cpuMsPerMB = 0;
};

// Runs Transfer (which moves kThroughputBytes and returns its bytes per second) and adds its CPU time.
Throughput Measure(const std::function<double()>& Transfer) {
  const double before = ProcessCpuSeconds();
  Throughput result;
  result.bytesPerSecond = Transfer();
  result.cpuMsPerMB = (ProcessCpuSeconds() - before) * 1000 / (kThroughputBytes / 1e6);
  return result;
}

// The far end, as a plain byte pipe: write, read and an echo loop.
class FarEnd {
public:
  virtual ~FarEnd() = default;
  virtual void Write(const char* data, int count) = 0;
  virtual int Read(char* data, int count) = 0;  // blocks for at least one byte; <= 0 when stopped

  void StartEcho() {
    m_Echo = std::thread([this] {
      char buffer[256];
      while (!m_Stop.load()) {
        const int n = Read(buffer, sizeof buffer);
        if (n > 0) Write(buffer, n);
      }
    });
  }
  void StopEcho() {
    m_Stop.store(true);
    if (m_Echo.joinable()) m_Echo.join();
    m_Stop.store(false);
  }

protected:
  std::atomic<bool> m_Stop{false};

private:
  std::thread m_Echo;
};

class FdEnd : public FarEnd {
public:
  explicit FdEnd(int fd) : m_Fd(fd) {}
  void Write(const char* data, int count) override {
    while (count > 0) {
      const ssize_t n = ::write(m_Fd, data, size_t(count));
      if (n > 0) {
        data += n;
        count -= int(n);
      } else {
        pollfd p{m_Fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }
  int Read(char* data, int count) override {
    pollfd p{m_Fd, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) return 0;
    return int(::read(m_Fd, data, size_t(count)));
  }

private:
  int m_Fd;
};

// One end of a comm handle used as a plain blocking pipe (waiting overlapped requests).
class HandleEnd : public FarEnd {
public:
  explicit HandleEnd(HANDLE handle) : m_Handle(handle) {
    m_Read.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    m_Write.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    // Return what is there, or wait up to 100 ms for the first byte.
    COMMTIMEOUTS timeouts{0xFFFFFFFFu, 0xFFFFFFFFu, 100, 0, 0};
    SetCommTimeouts(handle, &timeouts);
  }
  ~HandleEnd() override {
    CloseHandle(m_Read.hEvent);
    CloseHandle(m_Write.hEvent);
  }
  void Write(const char* data, int count) override {
    DWORD done = 0;
    if (!WriteFile(m_Handle, data, DWORD(count), &done, &m_Write) && GetLastError() == ERROR_IO_PENDING)
      GetOverlappedResult(m_Handle, &m_Write, &done, TRUE);
  }
  int Read(char* data, int count) override {
    DWORD done = 0;
    if (!ReadFile(m_Handle, data, DWORD(count), &done, &m_Read)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(m_Handle, &m_Read, &done, TRUE)) return -1;
    }
    return int(done);
  }

private:
  HANDLE m_Handle;
  OVERLAPPED m_Read{};
  OVERLAPPED m_Write{};
};

// Runs the event loop until done() holds (checked whenever data arrives).
void RunUntil(CountingProcessor& processor, const std::function<bool()>& done) {
  if (done()) return;
  QEventLoop loop;
  processor.onData = [&] {
    if (done()) loop.quit();
  };
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
  guard.start(60000);
  loop.exec();
  processor.onData = nullptr;
}

double ComponentThroughput(TqxCustomComm& comm, FarEnd& far) {
  CountingProcessor processor;
  comm.SetDataProcessor(&processor);
  std::thread writer([&] {
    std::vector<char> chunk(kChunk, 'x');
    for (int sent = 0; sent < kThroughputBytes; sent += kChunk) far.Write(chunk.data(), kChunk);
  });
  const auto start = Clock::now();
  RunUntil(processor, [&] { return processor.received >= kThroughputBytes; });
  const double seconds = Seconds(Clock::now() - start);
  writer.join();
  comm.SetDataProcessor(nullptr);
  return double(processor.received) / seconds;
}

double PlainThroughput(FarEnd& near, FarEnd& far) {
  std::thread writer([&] {
    std::vector<char> chunk(kChunk, 'x');
    for (int sent = 0; sent < kThroughputBytes; sent += kChunk) far.Write(chunk.data(), kChunk);
  });
  std::vector<char> buffer(kChunk);
  long long received = 0;
  const auto start = Clock::now();
  while (received < kThroughputBytes) {
    const int n = near.Read(buffer.data(), kChunk);
    if (n > 0) received += n;
  }
  const double seconds = Seconds(Clock::now() - start);
  writer.join();
  return double(received) / seconds;
}

Percentiles ComponentRoundTrip(TqxCustomComm& comm, FarEnd& far) {
  CountingProcessor processor;
  comm.SetDataProcessor(&processor);
  far.StartEcho();
  std::vector<double> us;
  for (int i = 0; i < kRoundTrips; ++i) {
    const long long before = processor.received;
    const auto start = Clock::now();
    comm.SendChar('r');
    RunUntil(processor, [&] { return processor.received > before; });
    us.push_back(Seconds(Clock::now() - start) * 1e6);
  }
  far.StopEcho();
  comm.SetDataProcessor(nullptr);
  return Summarise(us);
}

Percentiles PlainRoundTrip(FarEnd& near, FarEnd& far) {
  far.StartEcho();
  std::vector<double> us;
  char byte = 'r';
  for (int i = 0; i < kRoundTrips; ++i) {
    const auto start = Clock::now();
    near.Write(&byte, 1);
    while (near.Read(&byte, 1) <= 0) {
    }
    us.push_back(Seconds(Clock::now() - start) * 1e6);
  }
  far.StopEcho();
  return Summarise(us);
}

void Report(const char* medium, Throughput component, Throughput componentLarge, Throughput plain,
            Percentiles componentTrip, Percentiles plainTrip) {
  std::printf("%s\n", medium);
  std::printf("  throughput into DataReceived: %10.1f KB/s (CPU %5.2f ms/MB)   plain loop: %10.1f KB/s (CPU %5.2f "
              "ms/MB)   ratio %.2f\n",
              component.bytesPerSecond / 1024, component.cpuMsPerMB, plain.bytesPerSecond / 1024, plain.cpuMsPerMB,
              component.bytesPerSecond / plain.bytesPerSecond);
  std::printf("    with a %d-byte driver queue: %10.1f KB/s (CPU %5.2f ms/MB)   ratio %.2f\n", kLargeQueue,
              componentLarge.bytesPerSecond / 1024, componentLarge.cpuMsPerMB,
              componentLarge.bytesPerSecond / plain.bytesPerSecond);
  std::printf("  round trip of one byte:  median %7.1f us  p99 %7.1f us   plain loop: median %7.1f us  p99 %7.1f us"
              "   ratio (p99) %.2f\n",
              componentTrip.median, componentTrip.p99, plainTrip.median, plainTrip.p99,
              componentTrip.p99 / plainTrip.p99);
}

struct PtyPair {
  int master = -1;
  QString slave;
  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = QString::fromLocal8Bit(ptsname(master));
  }
  ~PtyPair() {
    if (master >= 0) ::close(master);
  }
};

bool BenchPty() {
  Throughput component, componentLarge, plain;
  Percentiles componentTrip, plainTrip;
  {
    PtyPair pty;
    if (pty.slave.isEmpty()) return false;
    FdEnd far(pty.master);
    TqxCommPort port;
    port.SetPort(pty.slave);
    port.SetBaudRate(115200);
    port.Open();
    component = Measure([&] { return ComponentThroughput(port, far); });
    port.SetBufferInSize(kLargeQueue);
    componentLarge = Measure([&] { return ComponentThroughput(port, far); });
    componentTrip = ComponentRoundTrip(port, far);
  }
  {
    PtyPair pty;
    const int slave = ::open(pty.slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (slave < 0) return false;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    FdEnd far(pty.master), near(slave);
    plain = Measure([&] { return PlainThroughput(near, far); });
    plainTrip = PlainRoundTrip(near, far);
    ::close(slave);
  }
  Report("pty pair", component, componentLarge, plain, componentTrip, plainTrip);
  return true;
}

bool BenchVirtualLink() {
  Throughput component, componentLarge, plain;
  Percentiles componentTrip, plainTrip;
  {
    const auto link = platform::VirtualLink::Create();
    if (!link) return false;
    HandleEnd far(link->End(1));
    TqxCommHandle comm;
    comm.SetCommHandle(link->End(0));
    comm.Open();
    component = Measure([&] { return ComponentThroughput(comm, far); });
    comm.SetBufferInSize(kLargeQueue);
    componentLarge = Measure([&] { return ComponentThroughput(comm, far); });
    componentTrip = ComponentRoundTrip(comm, far);
    comm.Close();
    CloseHandle(link->End(1));
  }
  {
    const auto link = platform::VirtualLink::Create();
    HandleEnd near(link->End(0)), far(link->End(1));
    plain = Measure([&] { return PlainThroughput(near, far); });
    plainTrip = PlainRoundTrip(near, far);
    CloseHandle(link->End(0));
    CloseHandle(link->End(1));
  }
  Report("virtual link (unpaced)", component, componentLarge, plain, componentTrip, plainTrip);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  std::printf("serial engine: %d bytes streamed, %d one-byte round trips per run\n", kThroughputBytes, kRoundTrips);
  const bool pty = BenchPty();
  const bool link = BenchVirtualLink();
  return pty && link ? EXIT_SUCCESS : EXIT_FAILURE;
}
