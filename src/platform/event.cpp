#include "platform/event.h"
#include "platform/winapi.h"

#include <chrono>

namespace platform {

void Event::Set() {
  std::vector<std::pair<std::shared_ptr<AnyWaiter>, int>> watchers;
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    watchers = watchers_;
  }
  // Woken after the unlock, a waiter finds the mutex free instead of blocking on it at once.
  if (manualReset_) changed_.notify_all();
  else changed_.notify_one();
  for (const auto& [waiter, index] : watchers) {
    {
      std::lock_guard lock(waiter->mutex);
      ++waiter->changes;
    }
    waiter->changed.notify_one();
  }
}

bool Event::TryTake() {
  std::lock_guard lock(mutex_);
  if (!signalled_) return false;
  if (!manualReset_) signalled_ = false;
  return true;
}

void Event::Watch(const std::shared_ptr<AnyWaiter>& Waiter, int Index) {
  std::lock_guard lock(mutex_);
  watchers_.emplace_back(Waiter, Index);
}

void Event::Unwatch(const AnyWaiter* Waiter) {
  std::lock_guard lock(mutex_);
  std::erase_if(watchers_, [Waiter](const auto& entry) { return entry.first.get() == Waiter; });
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

void Event::Pulse() {
  std::lock_guard lock(mutex_);
  if (waiters_ > 0) {
    pulsed_ = manualReset_ ? waiters_ : 1;
    ++pulseGeneration_;
    changed_.notify_all();
  }
  // Threads waiting for any of several events: all of them, or for auto reset one when no plain
  // waiter took the pulse.
  if (manualReset_ || waiters_ == 0) {
    for (const auto& [waiter, index] : watchers_) {
      {
        std::lock_guard waiterLock(waiter->mutex);
        if (waiter->pulsed < 0) waiter->pulsed = index;
      }
      waiter->changed.notify_one();
      if (!manualReset_) break;
    }
  }
  signalled_ = false;
}

DWORD Event::Wait(DWORD milliseconds) {
  std::unique_lock lock(mutex_);
  const auto generation = pulseGeneration_;
  auto ready = [&] { return signalled_ || (pulsed_ > 0 && pulseGeneration_ != generation); };
  ++waiters_;
  bool released;
  if (milliseconds == INFINITE) {
    changed_.wait(lock, ready);
    released = true;
  } else {
    released = changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
  }
  --waiters_;
  if (!released) return WAIT_TIMEOUT;
  if (signalled_) {
    if (!manualReset_) signalled_ = false;
  } else {
    --pulsed_;
  }
  return WAIT_OBJECT_0;
}

bool Event::IsSignalled() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

unsigned Event::WaiterCount() const {
  std::lock_guard lock(mutex_);
  return waiters_ + static_cast<unsigned>(watchers_.size());
}

// Waiters keep the object alive; closing a handle does not wake them, as on Windows.
void Event::Close() {}

std::shared_ptr<Event> EventFromHandle(HANDLE handle) {
  if (handle == 0) return nullptr;
  return LookupHandleAs<Event>(handle);
}

}  // namespace platform

using platform::Event;

HANDLE CreateEvent(const void*, BOOL manualReset, BOOL initialState, const char*) {
  return platform::RegisterHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
  auto event = platform::LookupHandleAs<Event>(handle);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = platform::LookupHandleAs<Event>(handle);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

BOOL PulseEvent(HANDLE handle) {
  auto event = platform::LookupHandleAs<Event>(handle);
  if (!event) return FALSE;
  event->Pulse();
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  const DWORD refused = waitAll ? ERROR_NOT_SUPPORTED
                        : count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr ? ERROR_INVALID_PARAMETER
                                                                                           : ERROR_SUCCESS;
  if (refused != ERROR_SUCCESS) {
    platform::SetLastErrorCode(refused);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Event>> events;
  for (DWORD i = 0; i < count; ++i) {
    auto event = platform::LookupHandleAs<Event>(handles[i]);
    if (!event) {
      platform::SetLastErrorCode(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    events.push_back(std::move(event));
  }
  const auto waiter = std::make_shared<Event::AnyWaiter>();
  for (DWORD i = 0; i < count; ++i) events[i]->Watch(waiter, static_cast<int>(i));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  DWORD result = WAIT_TIMEOUT;
  unsigned long seen = 0;
  {
    std::lock_guard lock(waiter->mutex);
    seen = waiter->changes;
  }
  for (;;) {
    // The lowest index that is signalled wins, as on Windows.
    DWORD taken = count;
    for (DWORD i = 0; i < count && taken == count; ++i)
      if (events[i]->TryTake()) taken = i;
    if (taken < count) {
      result = WAIT_OBJECT_0 + taken;
      break;
    }
    std::unique_lock lock(waiter->mutex);
    const auto heard = [&] { return waiter->changes != seen || waiter->pulsed >= 0; };
    if (milliseconds == INFINITE)
      waiter->changed.wait(lock, heard);
    else if (!waiter->changed.wait_until(lock, deadline, heard))
      break;
    if (waiter->pulsed >= 0) {
      result = WAIT_OBJECT_0 + static_cast<DWORD>(waiter->pulsed);
      break;
    }
    seen = waiter->changes;
  }
  for (const auto& event : events) event->Unwatch(waiter.get());
  return result;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto event = platform::LookupHandleAs<Event>(handle);
  if (!event) return WAIT_FAILED;
  return event->Wait(milliseconds);
}
