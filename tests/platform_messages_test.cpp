#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Posts until the target thread's queue exists (it appears with the thread's first GetMessage).
bool PostWhenReady(DWORD thread, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end) {
    if (PostThreadMessage(thread, message, wParam, lParam)) return true;
    if (GetLastError() != ERROR_INVALID_THREAD_ID) return false;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// A thread that announces its id and then takes messages as `body` says.
class Consumer {
public:
  explicit Consumer(std::function<void()> body)
      : m_Thread([this, body = std::move(body)] {
          m_Id.set_value(GetCurrentThreadId());
          body();
        }) {
    m_ThreadId = m_Id.get_future().get();
  }
  ~Consumer() {
    if (m_Thread.joinable()) m_Thread.join();
  }
  DWORD Id() const { return m_ThreadId; }
  void Join() { m_Thread.join(); }

private:
  std::promise<DWORD> m_Id;
  DWORD m_ThreadId = 0;
  std::thread m_Thread;
};

TEST(RegisterWindowMessage, SameNameSameIdentifierInTheRegisteredRange) {
  const UINT com = RegisterWindowMessage("testMsgComEvent");
  const UINT quit = RegisterWindowMessage("testMsgQuitComEvent");
  EXPECT_GE(com, FIRST_REGISTERED_MESSAGE);
  EXPECT_GE(quit, FIRST_REGISTERED_MESSAGE);
  EXPECT_NE(com, quit);
  EXPECT_EQ(RegisterWindowMessage("testMsgComEvent"), com);
  EXPECT_EQ(RegisterWindowMessage("TESTMSGCOMEVENT"), com);  // names ignore case, as on Windows
  // The same from another thread: identifiers are process-wide.
  UINT fromThread = 0;
  std::thread([&] { fromThread = RegisterWindowMessage("testMsgComEvent"); }).join();
  EXPECT_EQ(fromThread, com);
  SetLastError(0);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegisterWindowMessage(nullptr), 0u);
}

TEST(ThreadMessages, ThreadIdsAreDistinctAndStable) {
  const DWORD own = GetCurrentThreadId();
  EXPECT_NE(own, 0u);
  EXPECT_EQ(GetCurrentThreadId(), own);
  DWORD other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, own);
}

TEST(ThreadMessages, PostBeforeQueueExistsAndAfterThreadEndedFails) {
  std::promise<void> mayStart;
  auto started = mayStart.get_future().share();
  MSG received{};
  Consumer consumer([&] {
    started.wait();
    GetMessage(&received, nullptr, 0, 0);
  });
  // The thread runs but has not asked for a message: it has no queue yet.
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessage(consumer.Id(), WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  mayStart.set_value();
  ASSERT_TRUE(PostWhenReady(consumer.Id(), WM_USER, 5));
  consumer.Join();
  EXPECT_EQ(received.message, WM_USER);
  EXPECT_EQ(received.wParam, 5u);
  // Its queue went with it.
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessage(consumer.Id(), WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(ThreadMessages, MessagesCarryTheirParametersInOrder) {
  const UINT id = RegisterWindowMessage("testOrder");
  std::vector<MSG> got;
  Consumer consumer([&] {
    MSG msg{};
    while (GetMessage(&msg, nullptr, 0, 0) > 0) got.push_back(msg);
  });
  ASSERT_TRUE(PostWhenReady(consumer.Id(), id, 1, -1));
  for (WPARAM i = 2; i <= 100; ++i) ASSERT_TRUE(PostThreadMessage(consumer.Id(), id, i, -static_cast<LPARAM>(i)));
  ASSERT_TRUE(PostThreadMessage(consumer.Id(), WM_QUIT, 0, 0));
  consumer.Join();
  ASSERT_EQ(got.size(), 100u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].hwnd, nullptr);
    EXPECT_EQ(got[i].message, id);
    EXPECT_EQ(got[i].wParam, i + 1);
    EXPECT_EQ(got[i].lParam, -static_cast<LPARAM>(i + 1));
  }
}

TEST(ThreadMessages, RangeFilterKeepsOtherMessagesAndAlwaysPassesQuit) {
  const UINT inRange = RegisterWindowMessage("testRange");
  std::promise<MSG> firstTaken;
  std::promise<void> mayGoOn;
  std::vector<MSG> later;
  BOOL quitResult = -2;
  Consumer consumer([&] {
    MSG msg{};
    GetMessage(&msg, nullptr, FIRST_REGISTERED_MESSAGE, MAXIMUM_REGISTERED_MESSAGE);
    firstTaken.set_value(msg);
    mayGoOn.get_future().wait();
    // Only the quit passes the registered range; then the kept message comes with no filter.
    quitResult = GetMessage(&msg, nullptr, FIRST_REGISTERED_MESSAGE, MAXIMUM_REGISTERED_MESSAGE);
    later.push_back(msg);
    GetMessage(&msg, nullptr, 0, 0);
    later.push_back(msg);
  });
  ASSERT_TRUE(PostWhenReady(consumer.Id(), WM_USER + 1, 11));
  auto first = firstTaken.get_future();
  // The out-of-range message must not wake the filtered GetMessage.
  EXPECT_EQ(first.wait_for(100ms), std::future_status::timeout);
  ASSERT_TRUE(PostThreadMessage(consumer.Id(), inRange, 22, 0));
  const MSG taken = first.get();
  EXPECT_EQ(taken.message, inRange);
  EXPECT_EQ(taken.wParam, 22u);
  ASSERT_TRUE(PostThreadMessage(consumer.Id(), WM_QUIT, 33, 0));
  mayGoOn.set_value();
  consumer.Join();
  EXPECT_EQ(quitResult, 0);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0].message, WM_QUIT);
  EXPECT_EQ(later[0].wParam, 33u);
  EXPECT_EQ(later[1].message, WM_USER + 1);
  EXPECT_EQ(later[1].wParam, 11u);
}

TEST(ThreadMessages, BadArgumentsFailInsteadOfBlocking) {
  MSG msg{};
  int window = 0;
  EXPECT_EQ(GetMessage(&msg, &window, 0, 0), -1);
  EXPECT_EQ(GetMessage(nullptr, nullptr, 0, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(DispatchMessage(&msg), 0);
}

TEST(ThreadMessages, FullQueueRefusesPostsUntilDrained) {
  std::promise<void> started;
  std::promise<void> drain;
  std::size_t drained = 0;
  Consumer consumer([&] {
    MSG msg{};
    GetMessage(&msg, nullptr, 0, 0);
    started.set_value();
    drain.get_future().wait();
    while (GetMessage(&msg, nullptr, 0, 0) > 0) ++drained;
  });
  ASSERT_TRUE(PostWhenReady(consumer.Id(), WM_USER));
  started.get_future().wait();
  std::size_t accepted = 0;
  while (accepted < 20000 && PostThreadMessage(consumer.Id(), WM_USER + 1, 0, 0)) ++accepted;
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(accepted, 10000u);
  drain.set_value();
  // Room comes back as the consumer takes messages.
  const auto end = std::chrono::steady_clock::now() + 10s;
  bool quitPosted = false;
  while (!quitPosted && std::chrono::steady_clock::now() < end) {
    quitPosted = PostThreadMessage(consumer.Id(), WM_QUIT, 0, 0) != FALSE;
    if (!quitPosted) std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(quitPosted);
  consumer.Join();
  EXPECT_EQ(drained, accepted);
}

}  // namespace
