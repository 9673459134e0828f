#include "framework/thread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <deque>
#include <utility>

// One hand-over to the main thread. The main thread runs Method only if the waiting side has not
// given up; both sides decide under the mutex, so it runs at most once and never after the wait.
struct TThread::SyncCall {
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> method;
  std::exception_ptr error;
  bool done = false;
  bool abandoned = false;
  bool awaited = true;  // Synchronize waits for it; Queue does not

  // Calls handed to the main thread, oldest first. The queued Qt call that runs one carries no
  // data: the call passes through this lock, an ordering the thread sanitizer sees (Qt's own
  // queue is not built with it).
  static std::mutex queueMutex;
  static std::deque<std::shared_ptr<SyncCall>> queue;
};

// Lives on the main thread and runs the handed-over calls. A hand-over is a plain event posted to
// it, so that Qt's queue holds nothing of ours and nothing of this object is read by the main thread
// before the call passes through the queue's lock (the first hand-over may create it on a worker
// thread). It lives as long as the process, since worker threads may hand calls over until the end.
class TThreadCallRunner : public QObject {
public:
  static TThreadCallRunner* Instance(QCoreApplication* App) {
    static TThreadCallRunner* const runner = [App] {
      auto* created = new TThreadCallRunner;
      created->moveToThread(App->thread());
      return created;
    }();
    return runner;
  }

protected:
  // The only custom events are the hand-overs; the event itself carries nothing.
  void customEvent(QEvent*) override { TThread::RunQueuedCall(); }
};

std::mutex TThread::SyncCall::queueMutex;
std::deque<std::shared_ptr<TThread::SyncCall>> TThread::SyncCall::queue;

TThread::TThread() = default;

TThread::~TThread() {
  Terminate();
  WaitFor();
}

void TThread::Start() {
  if (m_Thread.joinable() || m_Finished.load()) return;
  m_Thread = std::thread([this] {
    // An exception must not end the process from a worker thread; it is kept for the owner.
    try {
      Execute();
    } catch (...) {
      m_FatalException = std::current_exception();
    }
    m_Finished.store(true);
  });
}

void TThread::Terminate() {
  m_Terminated.store(true);
  std::shared_ptr<SyncCall> pending;
  {
    const std::lock_guard lock(m_SyncMutex);
    pending = m_PendingSync;
  }
  if (pending) {
    const std::lock_guard lock(pending->mutex);
    pending->changed.notify_all();
  }
}

void TThread::RunQueuedCall() {
  // Calls whose waiters gave up are passed over; each queued Qt call runs at most one live call.
  for (;;) {
    std::shared_ptr<SyncCall> call;
    {
      const std::lock_guard lock(SyncCall::queueMutex);
      if (SyncCall::queue.empty()) return;
      call = std::move(SyncCall::queue.front());
      SyncCall::queue.pop_front();
    }
    std::unique_lock lock(call->mutex);
    if (call->abandoned) continue;
    // Run unlocked: Method may close the port, whose Terminate must reach the waiter.
    lock.unlock();
    try {
      call->method();
    } catch (...) {
      call->error = std::current_exception();
    }
    lock.lock();
    call->done = true;
    call->changed.notify_all();
    if (!call->awaited && call->error) {
      lock.unlock();
      std::rethrow_exception(call->error);
    }
    return;
  }
}

void TThread::Post(const std::shared_ptr<SyncCall>& Call) {
  QCoreApplication* const app = QCoreApplication::instance();
  {
    const std::lock_guard lock(SyncCall::queueMutex);
    SyncCall::queue.push_back(Call);
  }
  QCoreApplication::postEvent(TThreadCallRunner::Instance(app), new QEvent(QEvent::User));
}

void TThread::Queue(const std::function<void()>& Method) {
  QCoreApplication* const app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() == app->thread()) {
    Method();
    return;
  }
  auto call = std::make_shared<SyncCall>();
  call->method = Method;
  call->awaited = false;
  Post(call);
}

void TThread::WaitFor() {
  if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) m_Thread.join();
}

bool TThread::Synchronize(const std::function<void()>& Method) {
  QCoreApplication* const app = QCoreApplication::instance();
  if (app == nullptr) return false;
  if (QThread::currentThread() == app->thread()) {
    Method();
    return true;
  }
  if (Terminated()) return false;
  auto call = std::make_shared<SyncCall>();
  call->method = Method;
  {
    const std::lock_guard lock(m_SyncMutex);
    m_PendingSync = call;
  }
  Post(call);

  std::unique_lock lock(call->mutex);
  call->changed.wait(lock, [&] { return call->done || Terminated(); });
  const bool done = call->done;
  // A call still queued is dropped; one already running completes on the main thread on its own
  // copy of Method, so the caller may go while it runs (a handler that ends this thread waits for it).
  call->abandoned = !done;
  // Taken out, so that the exception lives and dies on this thread.
  const std::exception_ptr error = done ? std::exchange(call->error, nullptr) : nullptr;
  lock.unlock();
  {
    const std::lock_guard pendingLock(m_SyncMutex);
    m_PendingSync.reset();
  }
  if (error) std::rethrow_exception(error);
  return done;
}

