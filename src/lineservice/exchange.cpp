#include "lineservice/exchange.h"

#include "lineservice/atmodem.h"
#include "lineservice/connection.h"
#include "lineservice/datapath.h"
#include "lineservice/listener.h"
#include "lineservice/service.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace lineservice {

namespace {

// While retired objects wait to finish, the thread looks at them this often.
constexpr int kReapMs = 50;

}  // namespace

Exchange::Exchange(Hooks hooks) : m_Hooks(std::move(hooks)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_WakeRead = fds[0];
    m_WakeWrite = fds[1];
  }
  m_Thread = std::thread([this] { Run(); });
}

Exchange::~Exchange() {
  Stop();
  ::close(m_WakeRead);
  ::close(m_WakeWrite);
}

Exchange::TimerId Exchange::AddTimer(Clock::duration delay, std::function<void()> action) {
  const TimerId id = m_NextTimer++;
  m_Timers.emplace(id, std::make_pair(Clock::now() + delay, std::move(action)));
  Wake();
  return id;
}

void Exchange::CancelTimer(TimerId id) { m_Timers.erase(id); }

void Exchange::Retire(std::shared_ptr<Connection> connection) {
  if (connection) m_Connections.push_back(std::move(connection));
  Wake();
}

void Exchange::Retire(std::shared_ptr<Tap> tap) {
  if (tap) m_Taps.push_back(std::move(tap));
  Wake();
}

void Exchange::Retire(std::shared_ptr<AtModem> modem) {
  if (modem) m_Modems.push_back(std::move(modem));
  Wake();
}

void Exchange::Wake() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(m_WakeWrite, &byte, 1);
}

void Exchange::Stop() {
  {
    std::lock_guard lock(ServiceLock());
    m_Stopping = true;
    m_Timers.clear();
  }
  Wake();
  if (m_Thread.joinable()) m_Thread.join();
  // What is left is stopped and joined here; no new work arrives once the service stops.
  std::vector<std::shared_ptr<Connection>> connections;
  std::vector<std::shared_ptr<Tap>> taps;
  std::vector<std::shared_ptr<AtModem>> modems;
  {
    std::lock_guard lock(ServiceLock());
    connections.swap(m_Connections);
    taps.swap(m_Taps);
    modems.swap(m_Modems);
  }
  for (auto& tap : taps) tap->Stop();
  modems.clear();  // each hangs up (bounded), closes its port and is joined
  for (auto& connection : connections) connection->Abort();
  connections.clear();
}

void Exchange::RunDueTimers(Clock::time_point now) {
  for (;;) {
    auto due = std::find_if(m_Timers.begin(), m_Timers.end(), [&](const auto& t) { return t.second.first <= now; });
    if (due == m_Timers.end()) return;
    std::function<void()> action = std::move(due->second.second);
    m_Timers.erase(due);  // in id order, so timers due together run in the order they were set
    action();
  }
}

void Exchange::Run() {
  std::vector<std::shared_ptr<Listener>> listeners;
  std::vector<pollfd> fds;
  for (;;) {
    std::vector<std::shared_ptr<Connection>> finishedConnections;
    std::vector<std::shared_ptr<Tap>> finishedTaps;
    std::vector<std::shared_ptr<AtModem>> finishedModems;
    int timeout = -1;
    {
      std::lock_guard lock(ServiceLock());
      if (m_Stopping) return;
      RunDueTimers(Clock::now());
      listeners = m_Hooks.listeners();
      auto split = std::stable_partition(m_Connections.begin(), m_Connections.end(),
                                         [](const auto& c) { return !c->Finished(); });
      finishedConnections.assign(std::make_move_iterator(split), std::make_move_iterator(m_Connections.end()));
      m_Connections.erase(split, m_Connections.end());
      finishedTaps.swap(m_Taps);
      auto done = std::stable_partition(m_Modems.begin(), m_Modems.end(), [](const auto& m) { return !m->Finished(); });
      finishedModems.assign(std::make_move_iterator(done), std::make_move_iterator(m_Modems.end()));
      m_Modems.erase(done, m_Modems.end());
      if (!m_Connections.empty() || !m_Modems.empty()) timeout = kReapMs;
      for (const auto& timer : m_Timers) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timer.second.first - Clock::now()).count();
        const int wait = int(std::clamp<long long>(ms, 0, 60'000));
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
      }
    }
    // Joined outside the lock: their threads may be waiting for it.
    for (auto& tap : finishedTaps) tap->Stop();
    finishedTaps.clear();
    finishedConnections.clear();
    finishedModems.clear();

    fds.assign(1, pollfd{m_WakeRead, POLLIN, 0});
    for (const auto& listener : listeners) fds.push_back(pollfd{listener->Fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), timeout);
    char drain[64];
    while (::read(m_WakeRead, drain, sizeof drain) > 0) {
    }
    std::lock_guard lock(ServiceLock());
    if (m_Stopping) return;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      Listener& listener = *listeners[i - 1];
      if (!(fds[i].revents & POLLIN) || !listener.Active()) continue;
      const int fd = listener.Accept();
      if (fd >= 0) m_Hooks.accepted(listener, fd);
    }
  }
}

}  // namespace lineservice
