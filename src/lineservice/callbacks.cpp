#include "lineservice/callbacks.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>

#include <dlfcn.h>

namespace lineservice {

namespace {

// Callbacks being delivered on this thread: an unload while one runs would pull the code from
// under it.
thread_local int t_Delivering = 0;

}  // namespace

void PinLibrary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) == 0 || !info.dli_fname) return;
  if (void* self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(self);
}

CallbackReceiver* CallbackReceiver::Create(LINECALLBACK callback, std::string& why) {
  if (!QCoreApplication::instance()) {
    why = "no Qt application object exists in this process: callbacks are delivered through its event loop";
    return nullptr;
  }
  // A thread that Qt did not start gets its event dispatcher with its first event loop.
  if (!QThread::currentThread()->eventDispatcher()) QEventLoop ensureDispatcher;
  if (!QThread::currentThread()->eventDispatcher()) {
    why = "the calling thread has no event dispatcher";
    return nullptr;
  }
  return new CallbackReceiver(callback);
}

void CallbackReceiver::Post(const LineMessage& message) {
  if (m_Closed.load()) return;
  {
    std::lock_guard lock(m_Mutex);
    m_Queue.push_back(message);
  }
  // A plain event per message: it is handled when the thread processes its events, and goes with
  // the receiver when that is deleted. Unlike a queued functor, nothing of ours is built on this
  // thread and freed on the other behind Qt's own locks, which the thread sanitizer cannot see.
  QCoreApplication::postEvent(this, new QEvent(QEvent::User));
}

// The only custom events are the posted messages; the event itself carries nothing.
void CallbackReceiver::customEvent(QEvent*) { DeliverOne(); }

void CallbackReceiver::Dispose(CallbackReceiver* receiver) {
  if (!receiver) return;
  receiver->m_Closed.store(true);
  if (QThread::currentThread() == receiver->thread() && t_Delivering == 0) {
    delete receiver;  // its queued events go with it
    return;
  }
  PinLibrary();
  receiver->deleteLater();
}

void CallbackReceiver::DeliverOne() {
  LineMessage m;
  {
    std::lock_guard lock(m_Mutex);
    if (m_Queue.empty()) return;
    m = m_Queue.front();
    m_Queue.pop_front();
  }
  if (m_Closed.load() || (m.offering && !m.offering->load())) return;
  // An exception from the callback goes on to the application's event dispatch.
  struct Delivering {
    Delivering() { ++t_Delivering; }
    ~Delivering() { --t_Delivering; }
  } delivering;
  m_Callback(m.device, m.message, m.instance, m.param1, m.param2, m.param3);
}

}  // namespace lineservice
