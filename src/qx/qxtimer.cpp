#include "qx/qxtimer.h"

#include <algorithm>
#include <climits>
#include <utility>

TqxTimer::TqxTimer() {
  m_Window.setTimerType(Qt::PreciseTimer);
  connect(&m_Window, &QTimer::timeout, this, [this] { WindowProc(); });
}

TqxTimer::~TqxTimer() {
  m_Enabled = false;
  UpdateTimer();
}

void TqxTimer::SetInterval(std::uint32_t Value) {
  if (Value == m_Interval) return;
  m_Interval = Value;
  UpdateTimer();
}

void TqxTimer::SetEnabled(bool Value) {
  if (Value == m_Enabled) return;
  m_Enabled = Value;
  UpdateTimer();
}

void TqxTimer::SetOnTimer(TNotifyEvent Handler) {
  m_OnTimer = std::move(Handler);
  UpdateTimer();
}

void TqxTimer::Timer() {
  if (m_Enabled && m_OnTimer) m_OnTimer(this);
}

void TqxTimer::UpdateTimer() {
  m_Window.stop();
  if (m_Interval != 0 && m_Enabled && m_OnTimer)
    m_Window.start(static_cast<int>(std::min<std::uint32_t>(m_Interval, INT_MAX)));
}

void TqxTimer::WindowProc() {
  // A failing handler must not stop the timer nor unwind through the event loop.
  try {
    Timer();
  } catch (...) {
  }
}
