#include "framework/exception.h"
#include "platform/winapi.h"
#include "qx/qxcomm.h"
#include "support/qtwait.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pty pair: the port opens the slave by path, the test plays the far end on the master.
class Pty {
public:
  Pty() {
    m_Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_Master >= 0 && grantpt(m_Master) == 0 && unlockpt(m_Master) == 0) m_Path = QString::fromLocal8Bit(ptsname(m_Master));
  }
  ~Pty() {
    if (m_Master >= 0) ::close(m_Master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const QString& Path() const { return m_Path; }
  bool Write(const QByteArray& bytes) { return ::write(m_Master, bytes.constData(), bytes.size()) == bytes.size(); }
  // Reads until count bytes came or the bound passed, running events meanwhile.
  QByteArray Read(int count) {
    QByteArray bytes;
    ProcessEventsUntil([&] {
      pollfd fd{m_Master, POLLIN, 0};
      if (::poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN) != 0) {
        char chunk[512];
        const ssize_t n = ::read(m_Master, chunk, sizeof chunk);
        if (n > 0) bytes.append(chunk, int(n));
      }
      return bytes.size() >= count;
    });
    return bytes;
  }

private:
  int m_Master = -1;
  QString m_Path;
};

TEST(CommPort, TalksOverAPty) {
  Pty pty;
  ASSERT_FALSE(pty.Path().isEmpty());
  TqxCommPort port;
  port.SetPort(pty.Path());
  port.SetBaudRate(19200);
  port.SetTraceStates({tsRxChar});
  QByteArray received;
  port.OnAfterReceive = [&](QObject*, const char* Buffer, std::uint32_t Received) { received.append(Buffer, int(Received)); };
  port.Open();
  ASSERT_TRUE(port.IsOpen());
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port.Handle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);

  port.SendString("AT\r");
  EXPECT_EQ(pty.Read(3), QByteArray("AT\r"));
  ASSERT_TRUE(pty.Write("OK\r\n"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return received == "OK\r\n"; }));

  // Changed while open, a setting applies at once. (A pty keeps rate and flow control; its
  // kernel side forces 8 bits without parity.)
  port.SetBaudRate(38400);
  port.SetFlowControl(spXonXoff);
  ASSERT_TRUE(GetCommState(port.Handle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_TRUE(dcb.fOutX && dcb.fInX);
  EXPECT_EQ(port.BaudRate(), 38400u);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
}

TEST(CommPort, OpenErrorsNameTheDevice) {
  TqxCommPort port;
  port.SetPort(QStringLiteral("/nonexistent/ttyX"));
  try {
    port.Open();
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_TRUE(error.Message().startsWith(QStringLiteral("Device \"/nonexistent/ttyX\" Open Error !!!\r")));
    EXPECT_GT(error.Message().size(), port.Port().size() + 26);  // the system's reason follows
  }
  EXPECT_FALSE(port.IsOpen());
}

TEST(CommPort, RefusedSettingsCloseThePort) {
  Pty pty;
  TqxCommPort port;
  port.SetPort(pty.Path());
  port.SetBaudRate(12345);  // not a rate a tty knows
  EXPECT_THROW(port.Open(), Exception);
  EXPECT_FALSE(port.IsOpen());
}

TEST(CommPort, ASecondOpenOfTheSamePortFails) {
  Pty pty;
  TqxCommPort first, second;
  first.SetPort(pty.Path());
  second.SetPort(pty.Path());
  first.Open();
  ASSERT_TRUE(first.IsOpen());
  EXPECT_THROW(second.Open(), Exception);
  first.Close();
  second.Open();
  EXPECT_TRUE(second.IsOpen());
}

TEST(CommPort, EnumDevicesListsSerialDevicesInNaturalOrder) {
  QTemporaryDir folder;
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "tty0", "null", "rfcomm1"}) {
    QFile file(folder.filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  TqxCommPort port;
  port.SetDeviceFolder(folder.path());
  TqxDeviceList devices;
  port.GetDeviceList(&devices);
  QStringList names;
  for (const auto& device : devices) names.append(device.first);
  const QString base = folder.path() + QLatin1Char('/');
  EXPECT_EQ(names.join(QLatin1Char(' ')).toStdString(),
            QStringList({base + "rfcomm1", base + "ttyACM0", base + "ttyUSB2", base + "ttyUSB10"})
                .join(QLatin1Char(' '))
                .toStdString());
  port.SetDeviceIndex(2);
  EXPECT_EQ(port.Port().toStdString(), (base + "ttyUSB2").toStdString());
  EXPECT_EQ(port.GetDeviceIndex(), 2);
}

}  // namespace
