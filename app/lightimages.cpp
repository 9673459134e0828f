#include "lightimages.h"

#include <QPainter>
#include <QRadialGradient>

QPixmap LightImage(bool Lit) {
  QPixmap image(16, 16);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(128, 128, 128), 1.5));
  QRadialGradient glass(QPointF(6.5, 6.5), 7.5);
  glass.setColorAt(0, Lit ? QColor(160, 255, 160) : QColor(0, 110, 0));
  glass.setColorAt(0.6, Lit ? QColor(0, 230, 0) : QColor(0, 80, 0));
  glass.setColorAt(1, Lit ? QColor(0, 150, 0) : QColor(0, 50, 0));
  painter.setBrush(glass);
  painter.drawEllipse(QRectF(1, 1, 14, 14));
  if (Lit) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(4.5, 4, 3, 2.5));
    painter.drawEllipse(QRectF(9.5, 10, 1.5, 1.5));
  }
  return image;
}
