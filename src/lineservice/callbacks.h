// Callback delivery: each usage handle has a receiver object living on the thread that called
// lineInitialize. A message for the handle is queued there and announced by a queued call, so the
// callback runs on that thread, only while it processes its events, and never inside the request
// that caused it.
#pragma once

#include "platform/tapi.h"

#include <QObject>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace lineservice {

struct LineMessage {
  DWORD device = 0;
  DWORD message = 0;
  DWORD_PTR instance = 0;
  DWORD_PTR param1 = 0;
  DWORD_PTR param2 = 0;
  DWORD_PTR param3 = 0;
  // Set on an OFFERING: the message is dropped, not delivered, once its call handle no longer
  // offers a call (answered, ended, deallocated), so that a ring queued behind an answer is not
  // answered again.
  std::shared_ptr<const std::atomic<bool>> offering;
};

class CallbackReceiver : public QObject {
public:
  // On the calling thread; nullptr with the reason when that thread cannot receive events.
  static CallbackReceiver* Create(LINECALLBACK callback, std::string& why);

  // From any thread; the caller keeps the order of messages (the service lock).
  void Post(const LineMessage& message);

  // Ends delivery: messages still queued are dropped and the receiver is deleted, at once when
  // that is safe, otherwise (another thread, or from inside a callback) by its own thread later;
  // then the library stays loaded so that no queued code runs after an unload.
  static void Dispose(CallbackReceiver* receiver);

protected:
  void customEvent(QEvent* event) override;

private:
  explicit CallbackReceiver(LINECALLBACK callback) : m_Callback(callback) {}
  // Delivers the oldest message; runs on the receiver's thread, once per message posted.
  void DeliverOne();

  const LINECALLBACK m_Callback;
  std::atomic<bool> m_Closed{false};
  std::mutex m_Mutex;  // the messages pass through it, so that their hand-over is ours to see
  std::deque<LineMessage> m_Queue;
};

// Keeps this library loaded for the rest of the process.
void PinLibrary();

}  // namespace lineservice
