// The text of the file transfer's progress bar: how fast the file moves and how long it still takes.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QString>

// Follows a progress bar that a transfer moves (its range is the bytes to move, its value the
// bytes moved) and writes its text: the percentage, the rate and the time left while the bytes
// move ("42% - 11.2 KiB/s - 0:07 left"), and the bytes moved once the transfer has ended
// ("123456 bytes"). A new range, or a value that goes back, starts a new measurement.
class TTransferProgress : public QObject {
  Q_OBJECT

public:
  explicit TTransferProgress(QProgressBar* Bar);

  // The transfer ended, whether complete or not.
  void Ended();

  // "0:07", "12:34" or "1:02:03".
  static QString DurationText(qint64 Seconds);

private:
  void Moved(int Value);
  void Restart();

  QPointer<QProgressBar> m_Bar;
  QElapsedTimer m_Clock;
  int m_StartValue = 0;
  int m_LastValue = 0;
  int m_Maximum = 0;
  bool m_Moving = false;
};
