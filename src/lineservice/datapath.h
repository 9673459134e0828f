// The data path of a virtual modem's line: each "comm/datamodem" answer is a tap, a virtual link
// whose end 0 the caller owns and closes, and whose end 1 the service keeps. The service sets the
// modem lines the caller sees, paces the link at the call's rate, writes what the far end sends
// into end 1, and a thread of the tap sends what the caller writes to the far end.
#pragma once

#include "platform/virtuallink.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace lineservice {

class Tap {
public:
  // An OVERLAPPED record with its own event, used for one kind of request after another.
  struct Request {
    Request();
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    OVERLAPPED* Fresh();  // cleared for the next request, keeping its event
    OVERLAPPED record{};
  };

  // The far end's side of the call for bytes the caller wrote: false when there is no connected
  // call (the bytes are dropped) or it ended.
  using Sender = std::function<bool(const char* data, std::size_t count, const std::atomic<bool>& cancel)>;

  // nullptr when the handle table is full. The caller's handle is CallerHandle(); `first` is what
  // the caller reads before anything delivered later.
  static std::shared_ptr<Tap> Create(DWORD lines, DWORD bitsPerSecond, std::string_view first, Sender sender);
  ~Tap();
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  HANDLE CallerHandle() const { return m_Link->End(0); }
  bool CallerOpen() const { return m_Link->EndOpen(0); }
  void SetLines(DWORD lines) { m_Link->SetModemLines(0, lines); }
  void SetRate(DWORD bitsPerSecond) { m_Link->SetBitsPerSecond(bitsPerSecond); }

  // Hands bytes from the far end to the caller; waits while the caller's input queue is full.
  // False once the tap is stopped (or the caller's end gone: the bytes are dropped then).
  bool Deliver(const char* data, std::size_t count);
  // Sends what the caller has written and the tap has not yet taken, so that a hang-up comes after
  // it; waits at most a second.
  void Drain();
  // Ends the tap's thread and closes the service's end; the caller's end is left on a dead line.
  void Stop();
  // The caller's end is closed and everything it wrote was taken: the tap can go.
  bool Done() const { return m_Done.load(); }

private:
  Tap(std::shared_ptr<platform::VirtualLink> link, Sender sender);
  void Upstream();
  // Waits until end 1 holds bytes; false when none came (stopped, or the caller closed the port).
  bool AwaitBytes();
  // Reads what end 1 holds and sends it; with the upstream lock held. False when end 1 can no
  // longer be read.
  bool TakeAndSend();

  const std::shared_ptr<platform::VirtualLink> m_Link;
  const HANDLE m_ServiceEnd;
  const Sender m_Sender;
  std::atomic<bool> m_Stop{false};
  std::atomic<bool> m_Done{false};
  static constexpr std::size_t kChunk = 65536;
  std::mutex m_Upstream;  // one reader of end 1 at a time: the thread or Drain; guards m_Read, m_Buffer
  std::mutex m_Downstream;  // one writer into end 1 at a time; guards m_Write
  Request m_Read, m_Write, m_Wait;  // m_Wait: the thread's alone
  Request m_First;  // the write of `first`, never waited for: closing end 1 ends it
  std::vector<char> m_Buffer = std::vector<char>(kChunk);
  std::thread m_Thread;
};

}  // namespace lineservice
