// The cost of indicator lights on the main thread: rendering a picture against blinking 50 lights.
//   QT_QPA_PLATFORM=offscreen qxsemaphore_bench
#include "qx/qxsemaphore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QWidget>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  constexpr int kLights = 50;
  constexpr int kTicks = 500;

  QWidget panel;
  auto* grid = new QGridLayout(&panel);
  std::vector<TqxSemaphore*> lights;
  int renderings = 0;

  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < kLights; ++i) {
    auto* light = new TqxSemaphore(&panel);
    light->setFixedSize(16, 16);
    grid->addWidget(light, i / 10, i % 10);
    lights.push_back(light);
  }
  const double createMs = clock.nsecsElapsed() / 1e6;
  panel.show();
  QCoreApplication::processEvents();

  // A change renders both pictures once (the unit tests pin that down): first with the sphere,
  // then with an empty OnDraw3D that counts the renderings, which leaves the context's own cost.
  clock.restart();
  for (TqxSemaphore* light : lights) light->SetColor3DCheck(clLime);
  const double sphereMs = clock.nsecsElapsed() / 1e6;
  clock.restart();
  for (TqxSemaphore* light : lights) {
    light->OnDraw3D = [&renderings](QObject*) { ++renderings; };
    light->SetColor3DCheck(clYellow);
  }
  const double contextMs = clock.nsecsElapsed() / 1e6;

  for (TqxSemaphore* light : lights) light->SetBlink(true);
  clock.restart();
  for (int tick = 0; tick < kTicks; ++tick) {
    BlinkTimer()->Tick();
    QCoreApplication::processEvents();
  }
  const double blinkMs = clock.nsecsElapsed() / 1e6;
  for (TqxSemaphore* light : lights) light->SetBlink(false);

  const double perRendering = sphereMs / renderings;
  const double perTick = blinkMs / kTicks;
  std::printf("creating %d lights (2 renderings each): %.1f ms\n", kLights, createMs);
  std::printf("one rendering of a 16 x 16 sphere: %.3f ms, of which context set-up %.3f ms"
              " (%d renderings for %d changes)\n",
              perRendering, contextMs / renderings, renderings, kLights);
  std::printf("one blink tick of %d lights with repaint: %.3f ms (%.4f ms per light)\n", kLights, perTick,
              perTick / kLights);
  std::printf("main-thread share at a 100 ms blink interval: %.2f %%\n", perTick / 100.0 * 100.0);
  std::printf("ratio: rendering every light on each tick would cost %.1f x the drawing\n",
              perRendering * kLights / perTick);
  return 0;
}
