// TTimer: an interval timer on the main thread with an Enabled switch and an OnTimer event.
#pragma once

#include "framework/types.h"

#include <QObject>

#include <cstdint>

// Calls OnTimer every Interval milliseconds while Enabled is true and Interval is not 0 (an
// interval of 0 stops it rather than ticking without pause). Changing Enabled or Interval starts
// the period afresh; writing the value it already has changes nothing.
class TTimer : public QObject {
  Q_OBJECT

public:
  explicit TTimer(QObject* owner = nullptr);
  ~TTimer() override;

  bool Enabled() const { return m_Enabled; }
  void SetEnabled(bool value);
  std::uint32_t Interval() const { return m_Interval; }
  void SetInterval(std::uint32_t value);
  // Whether a system timer is counting now.
  bool IsRunning() const { return m_TimerId != 0; }

  TNotifyEvent OnTimer;

protected:
  void timerEvent(QTimerEvent* event) override;

private:
  void UpdateTimer();

  bool m_Enabled = true;
  std::uint32_t m_Interval = 1000;
  int m_TimerId = 0;
};
