#include "framework/ttimer.h"

#include <QTimerEvent>

#include <algorithm>
#include <climits>

TTimer::TTimer(QObject* owner) : QObject(owner) { UpdateTimer(); }

TTimer::~TTimer() {
  if (m_TimerId != 0) killTimer(m_TimerId);
}

void TTimer::SetEnabled(bool value) {
  if (value == m_Enabled) return;
  m_Enabled = value;
  UpdateTimer();
}

void TTimer::SetInterval(std::uint32_t value) {
  if (value == m_Interval) return;
  m_Interval = value;
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  if (m_TimerId != 0) {
    killTimer(m_TimerId);
    m_TimerId = 0;
  }
  if (m_Enabled && m_Interval != 0)
    m_TimerId = startTimer(static_cast<int>(std::min<std::uint32_t>(m_Interval, INT_MAX)));
}

void TTimer::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_TimerId) {
    QObject::timerEvent(event);
    return;
  }
  if (OnTimer) OnTimer(this);
}
