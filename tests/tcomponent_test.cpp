// The framework layer: components and their removal notifications, the message hook, the
// application's event dispatch, and threads with their hand-over to the main thread.
#include "framework/exception.h"
#include "framework/messages.h"
#include "framework/tapplication.h"
#include "framework/tcomponent.h"
#include "framework/thread.h"
#include "support/messagerecorder.h"
#include "support/qtwait.h"

#include <QEvent>
#include <QPointer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

// The application object for the whole program: TApplication itself is under test.
class ApplicationEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "tcomponent_test";
    static char* argv[] = {name, nullptr};
    m_App = std::make_unique<TApplication>(argc, argv);
  }
  void TearDown() override { m_App.reset(); }

private:
  std::unique_ptr<TApplication> m_App;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

class Watcher : public TComponent {
public:
  using TComponent::TComponent;
  QList<QPair<QObject*, TOperation>> notified;

protected:
  void Notification(QObject* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    notified.append({component, operation});
  }
};

TEST(Component, OwnerDestroysWhatItOwns) {
  auto owner = std::make_unique<TComponent>();
  QPointer<TComponent> owned = new TComponent(owner.get());
  owned->SetName(QStringLiteral("qxCommTAPI1"));
  EXPECT_EQ(owned->Owner(), owner.get());
  EXPECT_EQ(owned->Name(), QStringLiteral("qxCommTAPI1"));
  owner.reset();
  EXPECT_TRUE(owned.isNull());
}

TEST(Component, FreeNotificationReportsRemovalOnce) {
  Watcher watcher;
  auto other = std::make_unique<TComponent>();
  QObject* const address = other.get();
  watcher.FreeNotification(other.get());
  watcher.FreeNotification(other.get());
  watcher.FreeNotification(&watcher);
  watcher.FreeNotification(nullptr);
  other.reset();
  ASSERT_EQ(watcher.notified.size(), 1);
  EXPECT_EQ(watcher.notified[0].first, address);
  EXPECT_EQ(watcher.notified[0].second, TOperation::opRemove);
}

TEST(Component, RemovedRequestsAndDeadWatchersHearNothing) {
  auto other = std::make_unique<QObject>();
  {
    Watcher gone;
    gone.FreeNotification(other.get());
  }
  Watcher watcher;
  watcher.FreeNotification(other.get());
  watcher.RemoveFreeNotification(other.get());
  other.reset();
  EXPECT_TRUE(watcher.notified.isEmpty());
}

TEST(Component, SiblingsOfOneOwnerNotifyEachOtherWhileTheOwnerGoes) {
  auto owner = std::make_unique<QObject>();
  auto* first = new Watcher(owner.get());
  auto* second = new Watcher(owner.get());
  auto* third = new Watcher(owner.get());
  first->FreeNotification(second);
  second->FreeNotification(first);
  third->FreeNotification(first);
  delete first;
  EXPECT_EQ(second->notified.size(), 1);
  EXPECT_EQ(third->notified.size(), 1);
  // second goes before third, which watches nobody alive any more; nothing calls the dead
  owner.reset();
}

TEST(Component, LoadingAndDesigningStates) {
  TComponent component;
  EXPECT_FALSE(component.IsLoading());
  EXPECT_FALSE(component.IsDesigning());
  component.BeginLoading();
  EXPECT_TRUE(component.IsLoading());
  component.Loaded();
  EXPECT_FALSE(component.IsLoading());
  component.SetDesigning(true);
  EXPECT_TRUE(component.IsDesigning());
}

TEST(Messages, TheHookShowsExceptionsWithTheirMessage) {
  MessageRecorder recorder;
  ShowException(Exception(QStringLiteral("Device \"x\" Open Error !!!")));
  ShowException(std::runtime_error("plain failure"));
  ShowMessageBox(nullptr, QStringLiteral("text"), QStringLiteral("caption"), MessageIcon::Warning);
  ASSERT_EQ(recorder.messages.size(), 3);
  EXPECT_EQ(recorder.messages[0].text, QStringLiteral("Device \"x\" Open Error !!!"));
  EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Error);
  EXPECT_EQ(recorder.messages[1].text, QStringLiteral("plain failure"));
  EXPECT_EQ(recorder.messages[2].caption, QStringLiteral("caption"));
  EXPECT_EQ(recorder.messages[2].icon, MessageIcon::Warning);
}

TEST(Messages, TheApplicationShowsMessageBoxesAndAnEmptyHandlerRestoresStandardError) {
  using Shape = void (*)(QWidget*, const QString&, const QString&, MessageIcon);
  const MessageHandler former = SetMessageHandler(nullptr);
  ASSERT_NE(former.target<Shape>(), nullptr);
  EXPECT_EQ(*former.target<Shape>(), &MessageBoxMessageHandler);
  const MessageHandler standard = SetMessageHandler(former);
  ASSERT_NE(standard.target<Shape>(), nullptr);
  EXPECT_EQ(*standard.target<Shape>(), &StandardErrorMessageHandler);
}

class Throwing : public QObject {
public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw Exception(QStringLiteral("handler failed"));
    if (event->type() == QEvent::User + 1) throw 42;
    return QObject::event(event);
  }
};

TEST(Application, AnExceptionLeavingAHandlerIsShownAndTheLoopGoesOn) {
  MessageRecorder recorder;
  Throwing target;
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&target, new QEvent(QEvent::Type(QEvent::User + 1)));
  ASSERT_TRUE(ProcessEventsUntil([&] { return recorder.messages.size() == 2; }));
  EXPECT_EQ(recorder.messages[0].text, QStringLiteral("handler failed"));
  EXPECT_EQ(recorder.messages[1].text, QStringLiteral("Unknown exception"));
}

// Runs a function as the thread body.
class Worker : public TThread {
public:
  explicit Worker(std::function<void(Worker&)> body) : m_Body(std::move(body)) {}
  ~Worker() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override { m_Body(*this); }

private:
  std::function<void(Worker&)> m_Body;
};

TEST(Thread, SynchronizeRunsOnTheMainThreadAndRaisesAgain) {
  const std::thread::id main = std::this_thread::get_id();
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> synced{false};
  std::atomic<bool> rethrown{false};
  Worker worker([&](Worker& self) {
    synced = self.Synchronize([&] { ranOnMain = std::this_thread::get_id() == main; });
    try {
      self.Synchronize([] { throw Exception(QStringLiteral("in the handler")); });
    } catch (const Exception& error) {
      rethrown = error.Message() == QStringLiteral("in the handler");
    }
  });
  worker.Start();
  ASSERT_TRUE(ProcessEventsUntil([&] { return worker.Finished(); }));
  EXPECT_TRUE(synced);
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(rethrown);
  EXPECT_TRUE(worker.Synchronize([] {}));  // on the main thread: at once
}

TEST(Thread, TerminateBreaksAWaitingSynchronizeAndTheCallIsDropped) {
  std::atomic<bool> waiting{false};
  std::atomic<bool> ran{false};
  std::atomic<bool> result{true};
  Worker worker([&](Worker& self) {
    waiting = true;
    result = self.Synchronize([&] { ran = true; });
  });
  worker.Start();
  // The main thread does not process events now, like a Close that waits for the thread.
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  worker.Terminate();
  worker.WaitFor();
  EXPECT_FALSE(result);
  ProcessEventsFor(50);
  EXPECT_FALSE(ran);
}

TEST(Thread, AHandlerThatEndsTheThreadDoesNotDeadlock) {
  std::atomic<bool> result{true};
  std::unique_ptr<Worker> worker;
  worker = std::make_unique<Worker>([&](Worker& self) {
    result = self.Synchronize([&] {
      // As a handler that closes the port: ends the thread that waits for this handler.
      worker->Terminate();
      worker->WaitFor();
    });
  });
  worker->Start();
  ASSERT_TRUE(ProcessEventsUntil([&] { return worker->Finished(); }));
  EXPECT_FALSE(result);
}

TEST(Thread, NeverStartedOrAlreadyEndedThreadsAreWaitedForAtOnce) {
  Worker idle([](Worker&) {});
  idle.WaitFor();
  EXPECT_FALSE(idle.Finished());
  Worker quick([](Worker&) {});
  quick.Start();
  quick.WaitFor();
  quick.WaitFor();
  EXPECT_TRUE(quick.Finished());
  Worker polling([](Worker& self) {
    while (!self.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  polling.Start();
  Worker failing([](Worker&) { throw Exception(QStringLiteral("body failed")); });
  failing.Start();
  failing.WaitFor();
  EXPECT_TRUE(failing.Finished());
  EXPECT_THROW(std::rethrow_exception(failing.FatalException()), Exception);
  EXPECT_EQ(quick.FatalException(), nullptr);
}  // the destructors end the polling one

}  // namespace
