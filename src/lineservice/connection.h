// One call's socket to the far virtual modem: a reader thread that cuts the stream into frames
// and hands them on, and a writer thread that sends queued frames in order. Sending never blocks
// the caller except for data, which waits while the queue is full (the far end reads slowly).
#pragma once

#include "lineservice/protocol.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace lineservice {

class Connection {
public:
  // Run on the reader thread, no lock held. onFrame for each frame in order; onEnd once when the
  // stream has ended (far end closed, died, or sent garbage), after the last onFrame.
  using FrameHandler = std::function<void(Connection&, Frame&&)>;
  using EndHandler = std::function<void(Connection&)>;

  // Takes the connected socket over.
  static std::shared_ptr<Connection> Start(int fd, FrameHandler onFrame, EndHandler onEnd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Send(FrameType type, std::string_view payload = {});
  // Queues DATA frames; waits while more than the queue bound is unsent. False once the
  // connection is closing or `cancel` is set.
  bool SendData(const char* data, std::size_t count, const std::atomic<bool>& cancel);
  // Sends what is queued, then shuts the socket down for writing; later sends are dropped.
  void Close();
  // Shuts the socket down both ways now: both threads end.
  void Abort();

  // Both threads have ended; Join then returns at once.
  bool Finished() const { return m_ReaderDone.load() && m_WriterDone.load(); }
  void Join();

private:
  Connection(int fd, FrameHandler onFrame, EndHandler onEnd);
  void ReadLoop();
  void WriteLoop();

  const int m_Fd;
  const FrameHandler m_OnFrame;
  const EndHandler m_OnEnd;
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::deque<std::string> m_Queue;
  std::size_t m_Queued = 0;
  bool m_Closing = false;
  bool m_Aborted = false;
  std::atomic<bool> m_ReaderDone{false};
  std::atomic<bool> m_WriterDone{false};
  std::thread m_Reader;
  std::thread m_Writer;
};

}  // namespace lineservice
