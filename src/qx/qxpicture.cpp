#include "qx/qxpicture.h"

#include <QPainter>

namespace {

QImage To24Bit(const QImage& image) {
  if (!image.hasAlphaChannel()) return image.convertToFormat(QImage::Format_RGB888);
  QImage flat(image.size(), QImage::Format_RGB888);
  flat.fill(Qt::white);
  QPainter painter(&flat);
  painter.drawImage(0, 0, image);
  return flat;
}

}  // namespace

void TqxPicture::Assign(const QImage& image, bool transparent, QRgb transparentColor) {
  m_Image = To24Bit(image);
  m_Transparent = transparent;
  m_TransparentColor = transparentColor | 0xFF000000u;
  m_Drawn = m_Image.convertToFormat(QImage::Format_ARGB32);
  if (m_Transparent) {
    for (int y = 0; y < m_Drawn.height(); ++y) {
      auto* line = reinterpret_cast<QRgb*>(m_Drawn.scanLine(y));
      for (int x = 0; x < m_Drawn.width(); ++x)
        if (line[x] == m_TransparentColor) line[x] = 0;
    }
  }
  m_Drawn.convertTo(QImage::Format_ARGB32_Premultiplied);
}

void TqxPicture::AssignAutoTransparent(const QImage& image, bool transparent) {
  const QImage flat = To24Bit(image);
  const QRgb corner = flat.isNull() ? 0 : flat.pixel(0, flat.height() - 1);
  Assign(flat, transparent, corner);
}

void TqxPicture::Release() {
  m_Image = QImage();
  m_Drawn = QImage();
}

void TqxPicture::Draw(QPainter& painter, const QRect& target) const {
  if (!Empty()) painter.drawImage(target, m_Drawn);
}
