#include "platform/event.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(Handles, InvalidAndClosedHandlesFailWithInvalidHandle) {
  for (HANDLE bad : {HANDLE(0), INVALID_HANDLE_VALUE, HANDLE(0x12345678)}) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
  }
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(event));
}

TEST(Handles, LastErrorIsPerThread) {
  SetLastError(42);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(7);
  });
  other.join();
  EXPECT_EQ(GetLastError(), 42u);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE event = CreateEvent(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, AutoResetReleasesOneWaitPerSet) {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Events, InfiniteWaitEndsWhenAnotherThreadSets) {
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(event);
}

void WaitForWaiters(HANDLE event, unsigned count) {
  auto object = platform::EventFromHandle(event);
  while (object->WaiterCount() < count) std::this_thread::yield();
}

// Pulse releases the threads waiting at that moment and leaves the event reset.
TEST(Events, PulseReleasesPresentWaitersOnly) {
  for (BOOL manual : {TRUE, FALSE}) {
    HANDLE event = CreateEvent(nullptr, manual, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
      waiters.emplace_back([&] {
        ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        ++released;
      });
    WaitForWaiters(event, 3);
    PulseEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "a pulse leaves the event reset";
    if (!manual) {
      WaitForWaiters(event, 2);  // one waiter left; the other two wait again for a set
      while (released.load() < 1) std::this_thread::yield();
      EXPECT_EQ(released.load(), 1);
      while (released.load() < 3) {
        SetEvent(event);
        std::this_thread::yield();
      }
    }
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(platform::EventFromHandle(event)->WaiterCount(), 0u);
    CloseHandle(event);
  }
}

// Waiting for any of several events: the lowest signalled index wins and an auto-reset event is
// taken by it; a set or a pulse from another thread ends an infinite wait; bad arguments fail.
TEST(Events, WaitForAnyOfSeveral) {
  HANDLE manual = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  const HANDLE both[] = {manual, automatic};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_TIMEOUT);
  SetEvent(automatic);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT) << "taken by the first wait";
  SetEvent(automatic);
  SetEvent(manual);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0) << "left alone behind the lower index";
  ResetEvent(manual);

  std::thread setter([automatic] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(automatic);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  setter.join();
  std::atomic<DWORD> pulsed{WAIT_FAILED};
  std::thread waiter([&] { pulsed = WaitForMultipleObjects(2, both, FALSE, INFINITE); });
  WaitForWaiters(manual, 1);
  PulseEvent(manual);
  waiter.join();
  EXPECT_EQ(pulsed.load(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT) << "a pulse leaves the event reset";

  const HANDLE withBad[] = {manual, HANDLE(0x12345678)};
  EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(manual);
  CloseHandle(automatic);
}

// Calls racing with CloseHandle on another thread either work or fail as on a closed handle;
// once it is closed, they all fail that way.
TEST(Handles, CloseRacingWithWaitIsSafe) {
  for (int round = 0; round < 50; ++round) {
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> odd{0};
    std::thread user([event, &odd] {
      for (int i = 0; i < 100; ++i) {
        if (!SetEvent(event) && GetLastError() != ERROR_INVALID_HANDLE) ++odd;
        const DWORD waited = WaitForSingleObject(event, 0);
        if (waited != WAIT_OBJECT_0 && waited != WAIT_TIMEOUT && waited != WAIT_FAILED) ++odd;
        if (waited == WAIT_FAILED && GetLastError() != ERROR_INVALID_HANDLE) ++odd;
        if (!ResetEvent(event) && GetLastError() != ERROR_INVALID_HANDLE) ++odd;
      }
    });
    EXPECT_TRUE(CloseHandle(event));
    user.join();
    EXPECT_EQ(odd.load(), 0) << "round " << round;
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

}  // namespace
