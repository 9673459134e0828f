// The exchange thread of the service: it accepts callers on the listening sockets, runs the timers
// of the call flows (rings, set-up time-outs) and joins what has finished (connections, taps, AT
// modems that have closed their ports).
// Timer actions and accepted callers are handed to the service with the service lock held.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace lineservice {

class AtModem;
class Listener;
class Connection;
class Tap;

class Exchange {
public:
  using Clock = std::chrono::steady_clock;
  using TimerId = std::uint64_t;

  struct Hooks {
    // The listening sockets to watch now (called with the service lock held).
    std::function<std::vector<std::shared_ptr<Listener>>()> listeners;
    // A caller's socket accepted on `listener` (service lock held).
    std::function<void(Listener& listener, int fd)> accepted;
  };

  explicit Exchange(Hooks hooks);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // With the service lock held. The action runs on the exchange thread with the lock held.
  TimerId AddTimer(Clock::duration delay, std::function<void()> action);
  void CancelTimer(TimerId id);
  // Finished or stopping objects whose threads are joined here, outside the lock.
  void Retire(std::shared_ptr<Connection> connection);
  void Retire(std::shared_ptr<Tap> tap);
  // Asked to stop already; joined once it has hung up and closed its port.
  void Retire(std::shared_ptr<AtModem> modem);
  // Something the thread watches changed.
  void Wake();

  // Ends the thread (no lock held). Retired objects still running are stopped and joined.
  void Stop();

private:
  void Run();
  void RunDueTimers(Clock::time_point now);

  const Hooks m_Hooks;
  int m_WakeRead = -1;
  int m_WakeWrite = -1;
  bool m_Stopping = false;  // guarded by the service lock
  TimerId m_NextTimer = 1;
  std::map<TimerId, std::pair<Clock::time_point, std::function<void()>>> m_Timers;
  std::vector<std::shared_ptr<Connection>> m_Connections;
  std::vector<std::shared_ptr<Tap>> m_Taps;
  std::vector<std::shared_ptr<AtModem>> m_Modems;
  std::thread m_Thread;
};

}  // namespace lineservice
