// Helpers for tests of comm handles: an OVERLAPPED record with its own event, and bounded waits.
#pragma once

#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

// An OVERLAPPED record owning a manual-reset event.
struct Overlapped {
  OVERLAPPED record{};
  Overlapped() { record.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(record.hEvent); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  OVERLAPPED* operator&() { return &record; }
  bool Signalled(DWORD ms = 0) { return WaitForSingleObject(record.hEvent, ms) == WAIT_OBJECT_0; }
  // Clears the record for the next request, keeping its event.
  void Reset() {
    ResetEvent(record.hEvent);
    const HANDLE event = record.hEvent;
    record = OVERLAPPED{};
    record.hEvent = event;
  }
};

// Waits (sleeping, up to a generous bound) until the condition holds.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline DWORD InQueue(HANDLE handle) {
  COMSTAT stat{};
  DWORD errors = 0;
  return ClearCommError(handle, &errors, &stat) ? stat.cbInQue : 0xFFFFFFFFu;
}

// Completes a pending request, waiting at most the bound; the transferred count, or -1 on failure.
inline long Finish(HANDLE handle, OVERLAPPED* overlapped, DWORD ms = 10000) {
  if (WaitForSingleObject(overlapped->hEvent, ms) != WAIT_OBJECT_0) return -2;
  DWORD transferred = 0;
  return GetOverlappedResult(handle, overlapped, &transferred, FALSE) ? long(transferred) : -1;
}

inline void SetTimeouts(HANDLE handle, DWORD interval, DWORD readMultiplier, DWORD readConstant,
                        DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
  COMMTIMEOUTS timeouts{interval, readMultiplier, readConstant, writeMultiplier, writeConstant};
  ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
}
