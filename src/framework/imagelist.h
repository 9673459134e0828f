// TImageList: a list of pictures that all have the same size, referred to by index.
#pragma once

#include "framework/tcomponent.h"

#include <QImage>
#include <QList>
#include <QPixmap>

// Holds the pictures that controls such as the indicator light draw by index. Every picture has
// the list's Width x Height; one of another size is refused with an Exception.
class TImageList : public TComponent {
  Q_OBJECT

public:
  explicit TImageList(int width = 16, int height = 16, QObject* owner = nullptr);

  int Width() const { return m_Width; }
  int Height() const { return m_Height; }
  int Count() const { return static_cast<int>(m_Images.size()); }

  // Appends a picture and returns its index.
  int Add(const QPixmap& image);
  // The picture at index; an index outside 0..Count()-1 raises Exception.
  const QPixmap& Pixmap(int index) const;
  void Clear();

private:
  int m_Width;
  int m_Height;
  QList<QPixmap> m_Images;
};
