// Thread messages: registered message identifiers and one message queue per thread. There are no
// windows here; every message is a thread message (hwnd null).
#include "platform/kernelobject.h"
#include "platform/winapi.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Windows refuses posts beyond this many waiting messages; an unbounded queue would let a stuck
// consumer take all memory.
constexpr std::size_t kQueueLimit = 10000;

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<MSG> messages;
};

// Queues by thread id; a thread's queue is entered by its first GetMessage and leaves with the thread.
struct QueueRegistry {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

QueueRegistry& Registry() {
  static QueueRegistry* registry = new QueueRegistry;  // never destroyed: threads may end during exit
  return *registry;
}

std::atomic<DWORD> nextThreadId{1};

// Ids are never reused, so a post to a thread that has ended fails instead of reaching a newer one.
struct ThreadIdentity {
  DWORD id = nextThreadId.fetch_add(1);
  std::shared_ptr<MessageQueue> queue;

  ~ThreadIdentity() {
    if (!queue) return;
    auto& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.queues.erase(id);
  }
};

thread_local ThreadIdentity currentThread;

MessageQueue& OwnQueue() {
  if (!currentThread.queue) {
    currentThread.queue = std::make_shared<MessageQueue>();
    auto& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.queues.emplace(currentThread.id, currentThread.queue);
  }
  return *currentThread.queue;
}

bool Passes(UINT message, UINT filterMin, UINT filterMax) {
  if (message == WM_QUIT) return true;
  if (filterMin == 0 && filterMax == 0) return true;
  return message >= filterMin && message <= filterMax;
}

// Registered names compare without regard to ASCII case, as on Windows.
std::string FoldedName(const char* name) {
  std::string folded(name);
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return folded;
}

// window: null (any message) or (HWND)-1 (thread messages only) are the same here; a real window
// cannot exist, so asking for one fails.
bool ValidRetrieval(const MSG* msg, HWND window) {
  if (window != nullptr && window != reinterpret_cast<HWND>(-1)) {
    platform::SetLastErrorCode(ERROR_INVALID_HANDLE);
    return false;
  }
  if (msg == nullptr) {
    platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

// Takes (or, without remove, copies) the first queued message that passes the filter.
bool TakeMessage(MessageQueue& queue, MSG* msg, UINT filterMin, UINT filterMax, bool remove) {
  const auto found = std::find_if(queue.messages.begin(), queue.messages.end(), [=](const MSG& queued) {
    return Passes(queued.message, filterMin, filterMax);
  });
  if (found == queue.messages.end()) return false;
  *msg = *found;
  if (remove) queue.messages.erase(found);
  return true;
}

}  // namespace

DWORD GetCurrentThreadId() { return currentThread.id; }

UINT RegisterWindowMessage(const char* name) {
  if (name == nullptr || *name == '\0') {
    platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return 0;
  }
  static std::mutex mutex;
  static auto* names = new std::unordered_map<std::string, UINT>;  // lives for the process, as on Windows
  std::lock_guard lock(mutex);
  const auto [entry, added] = names->try_emplace(FoldedName(name), 0);
  if (added) {
    if (names->size() > MAXIMUM_REGISTERED_MESSAGE - FIRST_REGISTERED_MESSAGE + 1) {
      names->erase(entry);
      platform::SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    entry->second = FIRST_REGISTERED_MESSAGE + static_cast<UINT>(names->size() - 1);
  }
  return entry->second;
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<MessageQueue> queue;
  {
    auto& registry = Registry();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.queues.find(threadId);
    if (found == registry.queues.end()) return platform::Fail(ERROR_INVALID_THREAD_ID);
    queue = found->second;
  }
  {
    std::lock_guard lock(queue->mutex);
    if (queue->messages.size() >= kQueueLimit) return platform::Fail(ERROR_NOT_ENOUGH_MEMORY);
    queue->messages.push_back(MSG{nullptr, msg, wParam, lParam, GetTickCount(), POINT{0, 0}});
  }
  queue->posted.notify_one();
  return TRUE;
}

BOOL GetMessage(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!ValidRetrieval(msg, window)) return -1;
  MessageQueue& queue = OwnQueue();
  std::unique_lock lock(queue.mutex);
  while (!TakeMessage(queue, msg, filterMin, filterMax, true)) queue.posted.wait(lock);
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessage(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
  if (!ValidRetrieval(msg, window)) return FALSE;
  MessageQueue& queue = OwnQueue();
  const std::lock_guard lock(queue.mutex);
  return TakeMessage(queue, msg, filterMin, filterMax, (removeMessage & PM_REMOVE) != 0);
}

// Thread messages have no window procedure to go to, so there is nothing to do.
LRESULT DispatchMessage(const MSG*) { return 0; }
