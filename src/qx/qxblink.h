// TqxBlink: the one program-wide timer that makes all blinking indicator lights blink in step.
#pragma once

#include "framework/ttimer.h"

#include <QList>

class TqxSemaphore;

// Each tick inverts Phase and shows, on every member that is on, the picture of that phase; members
// that are off keep their off picture. It runs only while it has members. Members are not owned.
class TqxBlink : public TTimer {
  Q_OBJECT

public:
  TqxBlink();
  ~TqxBlink() override;

  void AddMember(TqxSemaphore* member);
  void RemoveMember(TqxSemaphore* member);
  void Tick();

  const QList<TqxSemaphore*>& Members() const { return m_Members; }
  bool Phase() const { return m_Phase; }

private:
  QList<TqxSemaphore*> m_Members;
  bool m_Phase = false;
};

// The program-wide blink timer, created on first use (interval 100 ms, disabled); nullptr once it
// has been destroyed at program end.
TqxBlink* BlinkTimer();
