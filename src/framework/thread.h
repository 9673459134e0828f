// TThread: a worker thread with a terminate request and a hand-over to the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// A thread created suspended: Start runs Execute on a new thread. Nothing ever kills it: Terminate
// only asks (Execute polls Terminated), and WaitFor joins. A descendant must stop its thread in its
// own destructor (WaitFor), since Execute may use the descendant's members.
class TThread {
public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  // Asks Execute to end and breaks a Synchronize that is waiting.
  void Terminate();
  bool Terminated() const { return m_Terminated.load(); }
  // Blocks until Execute has returned; at once if the thread never started or was already joined.
  // Must not be called from the thread itself.
  void WaitFor();
  bool Finished() const { return m_Finished.load(); }
  // What Execute raised, if anything; read it after WaitFor.
  std::exception_ptr FatalException() const { return m_FatalException; }

  // Runs Method on the main thread's event loop and waits for it. Returns false, without running it
  // later, when Terminate came first or there is no application object. An exception of Method is
  // raised again here. On the main thread itself Method runs at once. Method is copied: when
  // Terminate breaks the wait while Method runs, it completes on the main thread after the return,
  // so it must not refer to the calling thread's locals.
  bool Synchronize(const std::function<void()>& Method);
  // Runs Method on the main thread's event loop later, without waiting for it; at once on the main
  // thread itself. Nothing runs without an application object. An exception of Method leaves it
  // on the main thread, where the application's event dispatch shows it.
  static void Queue(const std::function<void()>& Method);

protected:
  virtual void Execute() = 0;

private:
  friend class TThreadCallRunner;
  struct SyncCall;
  // Hands Call to the main thread's event loop.
  static void Post(const std::shared_ptr<SyncCall>& Call);
  // On the main thread: runs the oldest call handed over.
  static void RunQueuedCall();

  std::thread m_Thread;
  std::atomic<bool> m_Terminated{false};
  std::atomic<bool> m_Finished{false};
  std::exception_ptr m_FatalException;
  std::mutex m_SyncMutex;
  std::shared_ptr<SyncCall> m_PendingSync;  // the call Synchronize waits for, guarded by m_SyncMutex
};
