// TqxTimer's running rule: it runs exactly while Interval is not 0, Enabled and OnTimer assigned.
#include "qx/qxtimer.h"
#include "support/qtwait.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(Timer, ANewTimerTicksOnceAHandlerIsAssigned) {
  TqxTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_FALSE(timer.IsRunning());
  int ticks = 0;
  QObject* sender = nullptr;
  timer.SetOnTimer([&](QObject* s) {
    sender = s;
    ++ticks;
  });
  EXPECT_TRUE(timer.IsRunning());
  timer.SetInterval(10);
  ASSERT_TRUE(ProcessEventsUntil([&] { return ticks >= 3; }));
  EXPECT_EQ(sender, &timer);
}

TEST(Timer, EachOfTheThreeConditionsStopsAndRestartsIt) {
  TqxTimer timer;
  int ticks = 0;
  timer.SetInterval(10);
  timer.SetOnTimer([&](QObject*) { ++ticks; });
  EXPECT_TRUE(timer.IsRunning());

  timer.SetInterval(0);
  EXPECT_FALSE(timer.IsRunning());
  timer.SetInterval(10);
  EXPECT_TRUE(timer.IsRunning());

  timer.SetEnabled(false);
  EXPECT_FALSE(timer.IsRunning());
  const int before = ticks;
  ProcessEventsFor(100);
  EXPECT_EQ(ticks, before);
  timer.SetEnabled(true);
  EXPECT_TRUE(timer.IsRunning());

  timer.SetOnTimer(nullptr);
  EXPECT_FALSE(timer.IsRunning());
  timer.SetOnTimer([&](QObject*) { ++ticks; });
  ASSERT_TRUE(ProcessEventsUntil([&] { return ticks > before; }));
}

TEST(Timer, TheSameEnabledAgainDoesNotRestartTheInterval) {
  TqxTimer timer;
  int ticks = 0;
  timer.SetInterval(200);
  timer.SetOnTimer([&](QObject*) { ++ticks; });
  // Re-asserted far more often than the interval, it still ticks.
  EXPECT_TRUE(ProcessEventsUntil([&] {
    timer.SetEnabled(true);
    return ticks > 0;
  }));
}

TEST(Timer, AssigningOnTimerRestartsTheInterval) {
  TqxTimer timer;
  int ticks = 0;
  const TNotifyEvent handler = [&](QObject*) { ++ticks; };
  timer.SetInterval(1000);
  timer.SetOnTimer(handler);
  // Assigned again every few milliseconds, the same handler never gets its full second.
  const QDeadlineTimer deadline(1500);
  while (!deadline.hasExpired()) {
    timer.SetOnTimer(handler);
    ProcessEventsFor(10);
  }
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, DisablingInsideTheHandlerGivesExactlyOneTick) {
  TqxTimer timer;
  int ticks = 0;
  timer.SetInterval(10);
  timer.SetOnTimer([&](QObject*) {
    ++ticks;
    timer.SetEnabled(false);
  });
  ASSERT_TRUE(ProcessEventsUntil([&] { return ticks == 1; }));
  ProcessEventsFor(150);
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(timer.IsRunning());
}

TEST(Timer, AFailingHandlerDoesNotStopTheTimer) {
  TqxTimer timer;
  int ticks = 0;
  timer.SetInterval(10);
  timer.SetOnTimer([&](QObject*) {
    ++ticks;
    throw std::runtime_error("tick failed");
  });
  EXPECT_TRUE(ProcessEventsUntil([&] { return ticks >= 3; }));
}

TEST(Timer, ADestroyedTimerNeverTicks) {
  int ticks = 0;
  {
    TqxTimer timer;
    timer.SetInterval(1);
    timer.SetOnTimer([&](QObject*) { ++ticks; });
  }
  ProcessEventsFor(50);
  EXPECT_EQ(ticks, 0);
}

}  // namespace
