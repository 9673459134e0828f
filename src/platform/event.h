// Windows event objects (manual- and auto-reset) on a mutex and a condition variable.
#pragma once

#include "platform/kernelobject.h"

#include <condition_variable>
#include <mutex>

namespace platform {

class Event : public KernelObject {
public:
  Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

  void Set();
  void Reset();
  // Releases the waiters present now (all for manual reset, one for auto reset); leaves it reset.
  void Pulse();
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD Wait(DWORD milliseconds);
  bool IsSignalled() const;
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
};

// The event behind a handle, or nullptr for 0, an unknown handle or a non-event.
std::shared_ptr<Event> EventFromHandle(HANDLE handle);

}  // namespace platform
