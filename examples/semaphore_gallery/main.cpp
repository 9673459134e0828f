// Renders indicator lights of every style into one PNG file, without a display:
//   QT_QPA_PLATFORM=offscreen semaphore_gallery gallery.png
#include "qx/qxsemaphore.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QWidget>

#include <cstdio>

namespace {

struct Variant {
  const char* caption;
  TqxStyle3D style;
  bool frame;
};

struct Look {
  int size;
  TColor on;
  TColor off;
  bool transparent;
};

// An image list picture: a green lamp on a magenta ground that the bottom-left pixel marks as
// transparent.
QPixmap Lamp(int size, QColor colour) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::magenta);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::darkGray, 2));
  painter.setBrush(colour);
  painter.drawEllipse(2, 2, size - 4, size - 4);
  return pixmap;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.png>\n", argv[0]);
    return 2;
  }

  const Variant variants[] = {
      {"sphere", qxs3DSphere, false},
      {"sphere, frame", qxs3DSphere, true},
      {"box", qxs3DBox, false},
      {"box, frame", qxs3DBox, true},
      {"image list", qxs3DNone, false},
  };
  const Look looks[] = {
      {16, clBlue, clRed, true},   {32, clLime, clGreen, true},   {48, clYellow, clOlive, false},
      {64, clAqua, clTeal, true},  {96, clFuchsia, clPurple, false},
  };

  TImageList images(24, 24);
  images.Add(Lamp(24, QColor(80, 255, 80)));
  images.Add(Lamp(24, QColor(0, 90, 0)));

  QWidget gallery;
  gallery.setAutoFillBackground(true);
  QPalette palette = gallery.palette();
  palette.setColor(QPalette::Window, QColor(210, 220, 235));
  gallery.setPalette(palette);
  auto* grid = new QGridLayout(&gallery);
  int row = 0;
  for (const Variant& variant : variants) {
    grid->addWidget(new QLabel(QString::fromLatin1(variant.caption), &gallery), row, 0);
    int column = 1;
    for (const Look& look : looks) {
      for (const bool on : {true, false}) {
        auto* light = new TqxSemaphore(&gallery);
        light->setFixedSize(look.size, look.size);
        light->SetStyle3D(variant.style);
        light->SetFrame3D(variant.frame);
        light->SetColor3DCheck(look.on);
        light->SetColor3DUnCheck(look.off);
        light->SetTransparent(look.transparent);
        if (variant.style == qxs3DNone) {
          light->SetImages(&images);
          light->SetImageUnChecked(1);
        }
        light->SetChecked(on);
        grid->addWidget(light, row, column++, Qt::AlignCenter);
      }
    }
    ++row;
  }
  int column = 1;
  for (const Look& look : looks) {
    const QString caption = QStringLiteral("%1 px%2").arg(look.size).arg(look.transparent ? "" : ", opaque");
    grid->addWidget(new QLabel(caption, &gallery), row, column, 1, 2, Qt::AlignCenter);
    column += 2;
  }

  gallery.show();
  const QPixmap shot = gallery.grab();
  if (!shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
