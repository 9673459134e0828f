// TqxPicture: one prepared picture of the indicator light, with the transparency it is drawn with.
#pragma once

#include <QImage>
#include <QRect>

class QPainter;

// A 24-bit image plus its transparency. When transparent, every pixel of exactly the transparent
// colour lets the background through. The drawable form is prepared when the picture is set, so
// that drawing it (on every paint and blink) is a plain image draw.
class TqxPicture {
public:
  bool Empty() const { return m_Image.isNull(); }
  int Width() const { return m_Image.width(); }
  int Height() const { return m_Image.height(); }
  bool Transparent() const { return m_Transparent; }
  QRgb TransparentColor() const { return m_TransparentColor; }

  // The picture as stored (24 bits per pixel) and as drawn (transparent pixels with alpha 0).
  const QImage& Image() const { return m_Image; }
  const QImage& Drawn() const { return m_Drawn; }

  // Stores the picture converted to 24 bits (pixels with alpha are laid over white first).
  void Assign(const QImage& image, bool transparent, QRgb transparentColor);
  // The same with the colour of the bottom-left pixel as the transparent colour.
  void AssignAutoTransparent(const QImage& image, bool transparent);
  void Release();

  void Draw(QPainter& painter, const QRect& target) const;

private:
  QImage m_Image;
  QImage m_Drawn;
  bool m_Transparent = false;
  QRgb m_TransparentColor = 0;
};
