// TqxTimer: the library's timer, ticking on the thread that created it (the main thread).
#pragma once

#include "framework/types.h"

#include <QObject>
#include <QTimer>

#include <cstdint>

// Calls OnTimer every Interval milliseconds. It runs exactly while Interval is not 0, Enabled is
// true and OnTimer is assigned; every change of one of the three re-evaluates that, and assigning
// OnTimer (even the same handler) restarts the interval. Exceptions of OnTimer are dropped. Create,
// change and destroy it on the thread that runs the event loop.
// The sender of OnTimer is the timer. It is a plain object, owned by whoever creates it.
class TqxTimer : public QObject {
  Q_OBJECT

public:
  TqxTimer();
  ~TqxTimer() override;

  std::uint32_t Interval() const { return m_Interval; }
  void SetInterval(std::uint32_t Value);
  bool Enabled() const { return m_Enabled; }
  void SetEnabled(bool Value);
  const TNotifyEvent& OnTimer() const { return m_OnTimer; }
  void SetOnTimer(TNotifyEvent Handler);

  // Whether a system timer is running now.
  bool IsRunning() const { return m_Window.isActive(); }

protected:
  // Run for each tick: calls OnTimer when enabled and assigned.
  virtual void Timer();

private:
  void UpdateTimer();
  void WindowProc();

  std::uint32_t m_Interval = 1000;
  // Stands in for the hidden window that receives the timer messages.
  QTimer m_Window;
  TNotifyEvent m_OnTimer;
  bool m_Enabled = true;
};
