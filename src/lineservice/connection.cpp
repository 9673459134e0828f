#include "lineservice/connection.h"

#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

namespace lineservice {

namespace {

// Unsent bytes a call may hold before data senders wait: enough to keep a fast link busy, small
// enough that a stalled far end stops the data at its source.
constexpr std::size_t kQueueBound = 256 * 1024;
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr std::size_t kBatch = 256 * 1024;

}  // namespace

std::shared_ptr<Connection> Connection::Start(int fd, FrameHandler onFrame, EndHandler onEnd) {
  std::shared_ptr<Connection> connection(new Connection(fd, std::move(onFrame), std::move(onEnd)));
  Connection* self = connection.get();
  self->m_Writer = std::thread([self] { self->WriteLoop(); });
  self->m_Reader = std::thread([self] { self->ReadLoop(); });
  return connection;
}

Connection::Connection(int fd, FrameHandler onFrame, EndHandler onEnd)
    : m_Fd(fd), m_OnFrame(std::move(onFrame)), m_OnEnd(std::move(onEnd)) {}

Connection::~Connection() {
  Abort();
  Join();
  ::close(m_Fd);
}

void Connection::Join() {
  if (m_Reader.joinable()) m_Reader.join();
  if (m_Writer.joinable()) m_Writer.join();
}

void Connection::Send(FrameType type, std::string_view payload) {
  std::lock_guard lock(m_Mutex);
  if (m_Closing) return;
  m_Queue.push_back(EncodeFrame(type, payload));
  m_Queued += m_Queue.back().size();
  m_Changed.notify_all();
}

bool Connection::SendData(const char* data, std::size_t count, const std::atomic<bool>& cancel) {
  while (count > 0) {
    const std::size_t chunk = std::min(count, kMaxData);
    std::unique_lock lock(m_Mutex);
    while (!m_Closing && !cancel.load() && m_Queued > kQueueBound) m_Changed.wait_for(lock, kWaitSlice);
    if (m_Closing || cancel.load()) return false;
    m_Queue.push_back(EncodeFrame(FrameType::Data, std::string_view(data, chunk)));
    m_Queued += m_Queue.back().size();
    m_Changed.notify_all();
    data += chunk;
    count -= chunk;
  }
  return true;
}

void Connection::Close() {
  std::lock_guard lock(m_Mutex);
  m_Closing = true;
  m_Changed.notify_all();
}

void Connection::Abort() {
  {
    std::lock_guard lock(m_Mutex);
    m_Closing = true;
    m_Aborted = true;
    m_Changed.notify_all();
  }
  ::shutdown(m_Fd, SHUT_RDWR);
}

void Connection::WriteLoop() {
  std::string batch;
  for (;;) {
    {
      std::unique_lock lock(m_Mutex);
      while (m_Queue.empty() && !m_Closing) m_Changed.wait(lock);
      if (m_Aborted || m_Queue.empty()) break;
      // What is queued goes out in one send, up to a bound: fewer system calls per byte.
      batch.clear();
      while (!m_Queue.empty() && (batch.empty() || batch.size() + m_Queue.front().size() <= kBatch)) {
        batch += m_Queue.front();
        m_Queue.pop_front();
      }
    }
    std::size_t sent = 0;
    while (sent < batch.size()) {
      const ssize_t n = ::send(m_Fd, batch.data() + sent, batch.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    std::lock_guard lock(m_Mutex);
    m_Queued -= batch.size();
    m_Changed.notify_all();
    if (sent < batch.size()) {  // the far end is gone: nothing more can be sent
      m_Closing = true;
      m_Queue.clear();
      m_Queued = 0;
      break;
    }
  }
  ::shutdown(m_Fd, SHUT_WR);
  m_WriterDone.store(true);
}

void Connection::ReadLoop() {
  FrameReader reader;
  std::vector<Frame> frames;
  std::vector<char> buffer(128 * 1024);
  bool trusted = true;
  for (;;) {
    const ssize_t n = ::recv(m_Fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    frames.clear();
    trusted = reader.Feed(buffer.data(), static_cast<std::size_t>(n), frames);
    for (Frame& frame : frames) m_OnFrame(*this, std::move(frame));
    if (!trusted) break;
  }
  if (!trusted) Abort();
  m_OnEnd(*this);
  Close();  // the far end has gone: what is queued goes out, then the writer ends
  m_ReaderDone.store(true);
}

}  // namespace lineservice
