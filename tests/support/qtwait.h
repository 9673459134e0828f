// Bounded waits that keep the Qt event loop running (timers, queued calls) while they wait.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <functional>

// Processes events until the condition holds or the generous bound has passed.
inline bool ProcessEventsUntil(const std::function<bool()>& condition, int boundMs = 10000) {
  const QDeadlineTimer deadline(boundMs);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

// Processes events for about the given time: for checking that something does NOT happen.
inline void ProcessEventsFor(int ms) {
  const QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
}
