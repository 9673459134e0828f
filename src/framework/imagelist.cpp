#include "framework/imagelist.h"

#include "framework/exception.h"

TImageList::TImageList(int width, int height, QObject* owner)
    : TComponent(owner), m_Width(width), m_Height(height) {
  if (width <= 0 || height <= 0) throw Exception(QStringLiteral("Invalid image list size"));
}

int TImageList::Add(const QPixmap& image) {
  if (image.width() != m_Width || image.height() != m_Height)
    throw Exception(QStringLiteral("Invalid image size: %1 x %2, the list holds %3 x %4")
                        .arg(image.width()).arg(image.height()).arg(m_Width).arg(m_Height));
  m_Images.append(image);
  return Count() - 1;
}

const QPixmap& TImageList::Pixmap(int index) const {
  if (index < 0 || index >= Count())
    throw Exception(QStringLiteral("Image index %1 out of range (%2 images)").arg(index).arg(Count()));
  return m_Images.at(index);
}

void TImageList::Clear() { m_Images.clear(); }
