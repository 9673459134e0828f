#include "platform/event.h"
#include "platform/winapi.h"

#include <chrono>

namespace platform {

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  // Woken after the unlock, a waiter finds the mutex free instead of blocking on it at once.
  if (manualReset_) changed_.notify_all();
  else changed_.notify_one();
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
  return waiters_;
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

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto event = platform::LookupHandleAs<Event>(handle);
  if (!event) return WAIT_FAILED;
  return event->Wait(milliseconds);
}
