// The serial engine in a program without a Qt application object: its events are handed to the
// application's thread, so without one it refuses to open rather than handle them on a worker.
#include "platform/virtuallink.h"
#include "platform/winapi.h"
#include "qx/qxcommhandle.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

TEST(CommWithoutApplication, OpenIsRefusedWithAReason) {
  ASSERT_EQ(QCoreApplication::instance(), nullptr);
  const auto link = platform::VirtualLink::Create();
  ASSERT_TRUE(link);
  TqxCommHandle comm;
  comm.SetCommHandle(link->End(0));
  std::uint32_t code = 0;
  QString message;
  comm.OnFatalError = [&](QObject*, std::uint32_t ErrorCode, std::uint32_t, const QString& ErrorMsg, bool& raise) {
    code = ErrorCode;
    message = ErrorMsg;
    raise = false;
  };
  int opened = 0;
  comm.OnDeviceOpened = [&](QObject*) { ++opened; };
  comm.Open();
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(message.contains(QStringLiteral("application object"))) << message.toStdString();
  EXPECT_EQ(comm.OpenErrorText(), message);
  // Nothing was started: the line is untouched and Close has nothing to end.
  DWORD mask = 1;
  ASSERT_TRUE(GetCommMask(link->End(0), &mask));
  EXPECT_EQ(mask, 0u);
  comm.Close();
  CloseHandle(link->End(1));
}

}  // namespace
