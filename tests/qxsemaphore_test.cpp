// The indicator light: rendered and image-list pictures, painting, pulse and blink.
#include "framework/exception.h"
#include "framework/imagelist.h"
#include "qx/qxsemaphore.h"
#include "support/qtwait.h"

#include <GL/gl.h>

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr QRgb kBackground = 0xFF203040;

// What the control paints over a known background.
QImage Painted(TqxSemaphore& light) {
  QImage image(light.size(), QImage::Format_ARGB32);
  image.fill(kBackground);
  light.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
  return image;
}

QColor Centre(const TqxPicture& picture) {
  return picture.Image().pixelColor(picture.Width() / 2, picture.Height() / 2);
}

// A picture of one colour whose bottom-left pixel is magenta, the list's transparent colour.
QPixmap Solid(int width, int height, QColor colour) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  image.setPixelColor(0, height - 1, Qt::magenta);
  image.setPixelColor(width - 1, 0, Qt::magenta);
  return QPixmap::fromImage(image);
}

}  // namespace

TEST(QxSemaphore, NewIndicatorIsACheckedBlueSphere) {
  TqxSemaphore light;
  EXPECT_TRUE(light.Checked());
  EXPECT_EQ(light.size(), QSize(16, 16));
  EXPECT_EQ(light.Style3D(), qxs3DSphere);
  EXPECT_TRUE(light.Transparent());
  EXPECT_FALSE(light.Blink());
  EXPECT_FALSE(light.Pulse());
  EXPECT_EQ(light.PulseDuration(), 1000u);
  EXPECT_FALSE(light.PulseTimer().IsRunning());
  EXPECT_EQ(light.Color3DCheck(), clBlue);
  EXPECT_EQ(light.Color3DUnCheck(), clRed);
  EXPECT_EQ(light.CurrentPicture(), &light.CheckedPicture());

  const TqxPicture& on = light.CheckedPicture();
  ASSERT_EQ(on.Width(), 16);
  ASSERT_EQ(on.Height(), 16);
  const QColor centre = Centre(on);
  EXPECT_GT(centre.blue(), 100);
  EXPECT_GT(centre.blue(), centre.red() + 50);
  EXPECT_GT(centre.blue(), centre.green() + 50);
  for (const QPoint corner : {QPoint(0, 0), QPoint(15, 0), QPoint(0, 15), QPoint(15, 15)}) {
    EXPECT_EQ(on.Image().pixel(corner), qRgb(255, 255, 255)) << corner.x() << "," << corner.y();
    EXPECT_EQ(qAlpha(on.Drawn().pixel(corner)), 0);
  }
}

TEST(QxSemaphore, WrittenFalseShowsTheRedSphere) {
  TqxSemaphore light;
  light.SetChecked(false);
  EXPECT_FALSE(light.Checked());
  EXPECT_EQ(light.CurrentPicture(), &light.UncheckedPicture());
  const QColor centre = Centre(light.UncheckedPicture());
  EXPECT_GT(centre.red(), 100);
  EXPECT_GT(centre.red(), centre.blue() + 50);
  EXPECT_GT(centre.red(), centre.green() + 50);
}

TEST(QxSemaphore, CheckedIsSetByName) {
  TqxSemaphore light;
  EXPECT_TRUE(light.setProperty("Checked", false));
  EXPECT_FALSE(light.Checked());
  EXPECT_EQ(light.property("Checked"), QVariant(false));
}

TEST(QxSemaphore, ColourChannelsComeFromTheLowThreeBytes) {
  struct Case {
    TColor colour;
    int red, green, blue;  // 1 = lit channel, 0 = dark
  };
  const Case cases[] = {
      {clLime, 0, 1, 0}, {clYellow, 1, 1, 0}, {clAqua, 0, 1, 1}, {0xAB0000FF, 1, 0, 0}, {clBlack, 0, 0, 0},
  };
  for (const Case& c : cases) {
    TqxSemaphore light;
    light.SetColor3DCheck(c.colour);
    const QColor centre = Centre(light.CheckedPicture());
    SCOPED_TRACE(QString::number(c.colour, 16).toStdString());
    EXPECT_EQ(centre.red() > 80, c.red == 1);
    EXPECT_EQ(centre.green() > 80, c.green == 1);
    EXPECT_EQ(centre.blue() > 80, c.blue == 1);
  }
}

TEST(QxSemaphore, StyleAndFrameChangeTheRenderedPicture) {
  TqxSemaphore light;
  light.resize(32, 32);
  light.show();
  ASSERT_TRUE(ProcessEventsUntil([&] { return light.CheckedPicture().Width() == 32; }));
  const QImage sphere = light.CheckedPicture().Image();
  light.SetFrame3D(true);
  const QImage framedSphere = light.CheckedPicture().Image();
  light.SetStyle3D(qxs3DBox);
  const QImage framedBox = light.CheckedPicture().Image();
  light.SetFrame3D(false);
  const QImage box = light.CheckedPicture().Image();

  EXPECT_NE(sphere, framedSphere);
  EXPECT_NE(sphere, box);
  EXPECT_NE(box, framedBox);
  EXPECT_NE(framedSphere, framedBox);
  // The box seen from its open base fills the picture; the sphere leaves white corners.
  EXPECT_NE(box.pixel(0, 0), qRgb(255, 255, 255));
  EXPECT_EQ(sphere.pixel(0, 0), qRgb(255, 255, 255));
  // The framed sphere is smaller: its ring lies where the plain sphere's rim was.
  EXPECT_NE(framedSphere.pixel(16, 3), sphere.pixel(16, 3));
}

TEST(QxSemaphore, TransparencyOfWhitePixels) {
  TqxSemaphore light;
  const QImage transparent = Painted(light);
  EXPECT_EQ(transparent.pixel(0, 0), kBackground);
  EXPECT_NE(transparent.pixel(8, 8), kBackground);

  light.SetTransparent(false);
  EXPECT_EQ(qAlpha(light.CheckedPicture().Drawn().pixel(0, 0)), 255);
  const QImage opaque = Painted(light);
  EXPECT_EQ(opaque.pixel(0, 0), qRgb(255, 255, 255));
}

TEST(QxSemaphore, RendersOncePerChangeAndOnDraw3DWaitsForTheNextRendering) {
  TqxSemaphore light;
  light.show();
  ProcessEventsFor(50);
  const QImage sphere = light.CheckedPicture().Image();
  int renderings = 0;
  light.OnDraw3D = [&](QObject* sender) {
    EXPECT_EQ(sender, &light);
    ++renderings;
  };
  EXPECT_EQ(renderings, 0);
  EXPECT_EQ(light.CheckedPicture().Image(), sphere);

  // Writes of unchanged values, Checked and painting render nothing.
  light.SetFrame3D(false);
  light.SetStyle3D(qxs3DSphere);
  light.SetChecked(false);
  light.SetChecked(true);
  light.repaint();
  light.resize(16, 16);
  EXPECT_EQ(renderings, 0);

  light.SetColor3DCheck(clLime);
  EXPECT_EQ(renderings, 2);
  // The handler drew nothing: both pictures are plain white.
  QImage white(16, 16, QImage::Format_RGB888);
  white.fill(Qt::white);
  EXPECT_EQ(light.CheckedPicture().Image(), white);

  light.resize(24, 20);
  ASSERT_TRUE(ProcessEventsUntil([&] { return renderings == 4; }));
  EXPECT_EQ(light.CheckedPicture().Width(), 24);
  EXPECT_EQ(light.CheckedPicture().Height(), 20);
  ProcessEventsFor(50);
  EXPECT_EQ(renderings, 4);
}

TEST(QxSemaphore, OnDraw3DDrawsIntoThePictureWithoutLeavingStateBehind) {
  TqxSemaphore light;
  const QImage sphere = light.CheckedPicture().Image();
  light.OnDraw3D = [](QObject*) {
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glColor3d(0.0, 1.0, 0.0);
    glBegin(GL_QUADS);
    glVertex3f(-20.0f, -20.0f, 0.0f);
    glVertex3f(20.0f, -20.0f, 0.0f);
    glVertex3f(20.0f, 20.0f, 0.0f);
    glVertex3f(-20.0f, 20.0f, 0.0f);
    glEnd();
  };
  light.SetFrame3D(true);
  for (const TqxPicture* picture : {&light.CheckedPicture(), &light.UncheckedPicture()}) {
    EXPECT_EQ(picture->Image().pixel(0, 0), qRgb(0, 255, 0));
    EXPECT_EQ(picture->Image().pixel(8, 8), qRgb(0, 255, 0));
  }
  light.OnDraw3D = nullptr;
  light.SetFrame3D(false);
  EXPECT_EQ(light.CheckedPicture().Image(), sphere);
}

TEST(QxSemaphore, PulseTickSwitchesOffAndStops) {
  TqxSemaphore light;
  light.SetPulseDuration(1500);
  light.SetPulse(true);
  // Turning Pulse on starts the period at once for a light that is on.
  EXPECT_TRUE(light.PulseTimer().IsRunning());
  EXPECT_EQ(light.PulseTimer().Interval(), 1500u);

  light.PulseTimer().OnTimer(&light.PulseTimer());
  EXPECT_FALSE(light.Checked());
  EXPECT_FALSE(light.PulseTimer().IsRunning());
  EXPECT_EQ(light.CurrentPicture(), &light.UncheckedPicture());

  light.SetChecked(true);
  EXPECT_TRUE(light.PulseTimer().IsRunning());
  light.SetChecked(false);
  EXPECT_FALSE(light.PulseTimer().IsRunning());
  light.SetChecked(true);
  light.SetPulse(false);
  EXPECT_FALSE(light.PulseTimer().IsRunning());
  EXPECT_TRUE(light.Checked());
  // Without Pulse, writes of true leave the timer alone.
  light.SetChecked(true);
  EXPECT_FALSE(light.PulseTimer().IsRunning());
}

TEST(QxSemaphore, PulseZeroDurationNeverTicks) {
  TqxSemaphore light;
  light.SetPulseDuration(0);
  light.SetPulse(true);
  light.SetChecked(true);
  EXPECT_FALSE(light.PulseTimer().IsRunning());
  ProcessEventsFor(50);
  EXPECT_TRUE(light.Checked());
}

TEST(QxSemaphore, PulsingLightStaysOnUntilDurationAfterTheLastWrite) {
  TqxSemaphore light;
  light.SetPulseDuration(1500);
  light.SetPulse(true);
  bool wentOut = false;
  for (int write = 0; write < 3; ++write) {
    light.SetChecked(true);
    // Well inside the period: a write that failed to restart it would let the light go out here.
    const QDeadlineTimer next(500);
    while (!next.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      wentOut = wentOut || !light.Checked();
      QThread::msleep(1);
    }
  }
  EXPECT_FALSE(wentOut);
  EXPECT_TRUE(ProcessEventsUntil([&] { return !light.Checked(); }));
  EXPECT_FALSE(light.PulseTimer().IsRunning());
}

TEST(QxSemaphore, BlinkingLightsShareOnePhase) {
  TqxBlink* blink = BlinkTimer();
  ASSERT_NE(blink, nullptr);
  TqxSemaphore first, second, off;
  off.SetChecked(false);
  for (TqxSemaphore* light : {&first, &second, &off}) light->SetBlink(true);
  EXPECT_EQ(blink->Members().size(), 3);
  EXPECT_TRUE(blink->Enabled());

  for (int tick = 0; tick < 4; ++tick) {
    blink->Tick();
    const TqxPicture* expected = blink->Phase() ? &first.CheckedPicture() : &first.UncheckedPicture();
    EXPECT_EQ(first.CurrentPicture(), expected);
    EXPECT_EQ(second.CurrentPicture() == &second.CheckedPicture(), blink->Phase());
    EXPECT_EQ(off.CurrentPicture(), &off.UncheckedPicture());
  }

  // Whatever the phase, switching Blink off shows the current state at once.
  if (blink->Phase()) blink->Tick();
  EXPECT_EQ(first.CurrentPicture(), &first.UncheckedPicture());
  first.SetBlink(false);
  EXPECT_EQ(first.CurrentPicture(), &first.CheckedPicture());
  blink->Tick();
  blink->Tick();
  EXPECT_EQ(first.CurrentPicture(), &first.CheckedPicture());
  second.SetBlink(false);
  off.SetBlink(false);
  EXPECT_TRUE(blink->Members().isEmpty());
  EXPECT_FALSE(blink->Enabled());
}

TEST(QxSemaphore, DestroyedWhileBlinkingOrPulsingLeavesNoMember) {
  TqxBlink* blink = BlinkTimer();
  ASSERT_NE(blink, nullptr);
  TqxSemaphore survivor;
  survivor.SetBlink(true);
  {
    auto light = std::make_unique<TqxSemaphore>();
    light->SetBlink(true);
    light->SetBlink(true);
    light->SetPulse(true);
    light->SetPulseDuration(20);
    EXPECT_EQ(blink->Members().size(), 2);
  }
  // Only the survivor is left, and the shared timer goes on for it alone.
  EXPECT_EQ(blink->Members().size(), 1);
  EXPECT_TRUE(blink->Members().contains(&survivor));
  EXPECT_TRUE(blink->Enabled());
  blink->Tick();
  const TqxPicture* shown = survivor.CurrentPicture();
  blink->Tick();
  EXPECT_NE(survivor.CurrentPicture(), shown);
  survivor.SetBlink(false);
  EXPECT_TRUE(blink->Members().isEmpty());
  EXPECT_FALSE(blink->Enabled());
}

TEST(QxSemaphore, BlinkIntervalIsSharedByEveryLight) {
  TqxSemaphore first, second;
  EXPECT_EQ(first.BlinkInterval(), 100);
  first.SetBlinkInterval(250);
  EXPECT_EQ(second.BlinkInterval(), 250);
  EXPECT_EQ(BlinkTimer()->Interval(), 250u);
  second.SetBlinkInterval(100);
  EXPECT_EQ(first.BlinkInterval(), 100);
}

TEST(QxSemaphore, ImageListPicturesAreCentredStretchedAndTransparent) {
  TImageList images(8, 6);
  images.Add(Solid(8, 6, Qt::green));
  images.Add(Solid(8, 6, Qt::red));
  TqxSemaphore light;
  light.SetStyle3D(qxs3DNone);
  light.resize(21, 20);
  light.show();
  light.SetImages(&images);
  light.SetImageUnChecked(1);
  ASSERT_EQ(light.CheckedPicture().Width(), 8);
  ASSERT_EQ(light.CheckedPicture().Height(), 6);
  EXPECT_EQ(light.CheckedPicture().TransparentColor(), qRgb(255, 0, 255));

  // Centred at its own size: left (21 - 8) / 2 = 6, top (20 - 6) / 2 = 7.
  QImage painted = Painted(light);
  EXPECT_EQ(painted.pixel(6, 7 + 1), qRgb(0, 255, 0));
  EXPECT_EQ(painted.pixel(13, 12), qRgb(0, 255, 0));
  EXPECT_EQ(painted.pixel(5, 10), kBackground);
  EXPECT_EQ(painted.pixel(14, 10), kBackground);
  EXPECT_EQ(painted.pixel(10, 6), kBackground);
  EXPECT_EQ(painted.pixel(10, 13), kBackground);
  EXPECT_EQ(painted.pixel(6, 12), kBackground);  // the magenta bottom-left pixel
  EXPECT_EQ(painted.pixel(13, 7), kBackground);

  light.SetChecked(false);
  EXPECT_EQ(Painted(light).pixel(10, 10), qRgb(255, 0, 0));

  light.SetTransparent(false);
  EXPECT_EQ(Painted(light).pixel(6, 12), qRgb(255, 0, 255));

  light.SetStretchImage(true);
  painted = Painted(light);
  EXPECT_EQ(painted.pixel(10, 0), qRgb(255, 0, 0));
  EXPECT_EQ(painted.pixel(20, 10), qRgb(255, 0, 0));
}

TEST(QxSemaphore, ImageIndexOutsideTheListLeavesThePictureEmpty) {
  TImageList images(8, 8);
  images.Add(Solid(8, 8, Qt::green));
  TqxSemaphore light;
  light.SetStyle3D(qxs3DNone);
  light.SetImages(&images);
  EXPECT_FALSE(light.CheckedPicture().Empty());
  EXPECT_FALSE(light.UncheckedPicture().Empty());  // both indexes default to 0
  light.SetImageUnChecked(5);
  EXPECT_TRUE(light.UncheckedPicture().Empty());
  light.SetImageChecked(-1);
  EXPECT_TRUE(light.CheckedPicture().Empty());
  EXPECT_EQ(Painted(light).pixel(8, 8), kBackground);
}

TEST(QxSemaphore, DestroyedImageListClearsTheReference) {
  auto images = std::make_unique<TImageList>(8, 8);
  images->Add(Solid(8, 8, Qt::green));
  TqxSemaphore light;
  light.SetStyle3D(qxs3DNone);
  light.SetImages(images.get());
  images.reset();
  EXPECT_EQ(light.Images(), nullptr);
  // Nothing is rebuilt: the copied picture stays until the next rebuild.
  EXPECT_FALSE(light.CheckedPicture().Empty());
  light.SetImageChecked(0);
  EXPECT_TRUE(light.CheckedPicture().Empty());
}

TEST(QxSemaphore, WithoutPicturesOnlyDesignTimeShowsAnOutline) {
  TqxSemaphore light;
  light.SetStyle3D(qxs3DNone);
  light.resize(16, 16);
  const QImage runTime = Painted(light);
  QImage nothing(16, 16, QImage::Format_ARGB32);
  nothing.fill(kBackground);
  EXPECT_EQ(runTime, nothing);

  light.SetDesigning(true);
  const QImage designTime = Painted(light);
  int outlined = 0;
  for (int x = 0; x < 16; ++x) outlined += designTime.pixel(x, 0) != kBackground;
  EXPECT_GT(outlined, 2);
  EXPECT_LT(outlined, 16);  // dotted, not solid
  EXPECT_EQ(designTime.pixel(8, 8), kBackground);
}

TEST(ImageList, HoldsPicturesOfOneSize) {
  TImageList images(16, 16);
  EXPECT_EQ(images.Add(Solid(16, 16, Qt::green)), 0);
  EXPECT_EQ(images.Add(Solid(16, 16, Qt::red)), 1);
  EXPECT_EQ(images.Count(), 2);
  EXPECT_EQ(images.Pixmap(1).toImage().pixelColor(5, 5), QColor(Qt::red));
  EXPECT_THROW(images.Add(Solid(16, 8, Qt::red)), Exception);
  EXPECT_THROW(images.Pixmap(2), Exception);
  EXPECT_THROW(images.Pixmap(-1), Exception);
  images.Clear();
  EXPECT_EQ(images.Count(), 0);
}
