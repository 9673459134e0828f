#include "transferprogress.h"

#include <QLocale>

namespace {

// Below this the rate says more about the start-up than about the line.
constexpr qint64 kMeasureAfterMs = 250;

}  // namespace

TTransferProgress::TTransferProgress(QProgressBar* Bar) : QObject(Bar), m_Bar(Bar) {
  connect(Bar, &QProgressBar::valueChanged, this, &TTransferProgress::Moved);
}

void TTransferProgress::Restart() {
  m_Clock.start();
  m_StartValue = m_Bar->value();
  m_Maximum = m_Bar->maximum();
  m_Moving = true;
}

void TTransferProgress::Moved(int Value) {
  if (!m_Moving || Value < m_LastValue || m_Bar->maximum() != m_Maximum) Restart();
  m_LastValue = Value;
  const qint64 elapsed = m_Clock.elapsed();
  const qint64 moved = qint64(Value) - m_StartValue;
  if (elapsed < kMeasureAfterMs || moved <= 0) {
    m_Bar->setFormat(QStringLiteral("%p%"));
    return;
  }
  const qint64 rate = moved * 1000 / elapsed;
  const qint64 left = rate > 0 ? (qint64(m_Bar->maximum()) - Value + rate - 1) / rate : 0;
  m_Bar->setFormat(QStringLiteral("%p% - %1/s - %2 left")
                       .arg(QLocale().formattedDataSize(rate, 1), DurationText(left)));
}

void TTransferProgress::Ended() {
  m_Moving = false;
  if (m_Bar) m_Bar->setFormat(QStringLiteral("%1 bytes").arg(m_Bar->value()));
}

QString TTransferProgress::DurationText(qint64 Seconds) {
  const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QChar(u'0')); };
  if (Seconds >= 3600) return QStringLiteral("%1:%2:%3").arg(Seconds / 3600).arg(two(Seconds / 60 % 60), two(Seconds % 60));
  return QStringLiteral("%1:%2").arg(Seconds / 60).arg(two(Seconds % 60));
}
