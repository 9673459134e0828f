// Windows event objects (manual- and auto-reset) on a mutex and a condition variable.
#pragma once

#include "platform/kernelobject.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

class Event : public KernelObject {
public:
  // A thread waiting for any of several events (WaitForMultipleObjects): every Set counts a change,
  // a pulse names the event it came from.
  struct AnyWaiter {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long changes = 0;
    int pulsed = -1;
  };

  Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

  void Set();
  void Reset();
  // Releases the waiters present now (all for manual reset, one for auto reset); leaves it reset.
  void Pulse();
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD Wait(DWORD milliseconds);
  bool IsSignalled() const;
  // Takes the signal if there is one (an auto-reset event is reset by it); true when it was there.
  bool TryTake();
  // Waiter hears of this event as entry Index of its set until Unwatch.
  void Watch(const std::shared_ptr<AnyWaiter>& Waiter, int Index);
  void Unwatch(const AnyWaiter* Waiter);
  // Threads waiting on it, alone or among other events.
  unsigned WaiterCount() const;
  void Close() override;

private:
  const bool manualReset_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_;
  unsigned waiters_ = 0;
  unsigned pulsed_ = 0;        // waiters a pulse still has to release
  unsigned long pulseGeneration_ = 0;
  std::vector<std::pair<std::shared_ptr<AnyWaiter>, int>> watchers_;
};

// The event behind a handle, or nullptr for 0, an unknown handle or a non-event.
std::shared_ptr<Event> EventFromHandle(HANDLE handle);

}  // namespace platform
