// Helpers for tests of the telephony line component over the line service: a TqxCommTAPI with a
// log and recorders of its events and fatal errors, and a fixture with three virtual modems
// (101, 102, 103) in a fresh store.
#pragma once

#include "framework/format.h"
#include "qx/qxcommtapi.h"
#include "qx/qxtapi.h"
#include "linetest.h"
#include "lrzsz.h"
#include "recordinglog.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QStringList>

#include <cstdint>
#include <vector>

struct TelephonyFault {
  std::uint32_t code;
  std::uint32_t detail;
  QString text;
};

// A line component on one device, recording what happens to it. Fatal errors are recorded and do
// not raise unless raiseErrors is set.
class Modem {
public:
  // deviceIndex < 0: the device list is not read (an empty list).
  explicit Modem(int deviceIndex = -1) {
    com.SetLog(&log);
    com.OnFatalError = [this](QObject*, std::uint32_t code, std::uint32_t detail, const QString& text, bool& raise) {
      faults.push_back({code, detail, text});
      raise = raiseErrors;
    };
    com.OnCallState = [this](QObject*, std::uint32_t state, std::uint32_t mode) {
      events << QStringLiteral("state %1/%2").arg(state, 0, 16).arg(mode, 0, 16);
    };
    com.OnLineBusy = [this](QObject*) { events << QStringLiteral("busy"); };
    com.OnLineDoingConnection = [this](QObject*) { events << QStringLiteral("proceeding"); };
    com.OnLineConnected = [this](QObject*) {
      events << QStringLiteral("connected");
      ++connects;
    };
    com.OnLineDisconnected = [this](QObject*, bool byRemote) {
      events << (byRemote ? QStringLiteral("disconnected remote") : QStringLiteral("disconnected local"));
      ++(byRemote ? remoteDisconnects : localDisconnects);
    };
    if (deviceIndex >= 0) {
      com.GetDeviceList(nullptr);
      com.SetDeviceIndex(deviceIndex);
    }
  }

  void Dial(const QString& number) {
    com.SetPhone(number);
    com.MakeCall();
  }
  // How many log entries match the pattern.
  int Logged(const QString& pattern) const {
    const QRegularExpression re(QRegularExpression::anchoredPattern(pattern));
    return static_cast<int>(log.entries.filter(re).size());
  }
  bool Connected() const { return com.CallState() == csConnected; }

  RecordingLog log;
  TqxCommTAPI com;  // after the log, so that it is destroyed first
  QStringList events;
  std::vector<TelephonyFault> faults;
  bool raiseErrors = false;
  int connects = 0;
  int remoteDisconnects = 0;
  int localDisconnects = 0;
};

// What ReportTapiError makes of Message with the component's last result.
inline QString TapiErrorTextOf(const QString& message, LONG lastResult) {
  return Format(QStringLiteral("qxCommLib TAPI error:\r%s\rTAPI Error Code [%Xh]\r%s"),
                {message, lastResult, qxtapi::TapiErrorText(static_cast<DWORD>(lastResult))});
}

// qxline in another process (QXLINE_PATH), started with `arguments` by fork and exec (which the
// thread sanitizer follows, unlike QProcess's vfork); waits until it says it waits for calls.
class FarLine {
public:
  explicit FarLine(const QStringList& arguments)
      : m_ErrorFile(m_Folder.filePath(QStringLiteral("qxline.err"))),
        m_Program(QStringList{QStringLiteral(QXLINE_PATH)} + arguments, m_Folder.path(), -1, m_ErrorFile) {
    ProcessEventsUntil([this] { return Waiting(); });
  }

  bool Waiting() const { return Errors().contains(QStringLiteral("waiting for calls")); }
  // What it wrote to its standard error so far.
  QString Errors() const { return QString::fromLocal8Bit(ReadAll(m_ErrorFile)); }
  // Whether it has ended; then its exit status.
  bool Ended() { return m_Program.Exited(); }
  int Status() const { return m_Program.Status(); }

private:
  QTemporaryDir m_Folder;
  QString m_ErrorFile;
  ChildProgram m_Program;
};

class TelephonyTest : public LineServiceTest {
protected:
  void SetUp() override {
    LineServiceTest::SetUp();
    ClearModemKeys();
    { LineApp install(tapi); }  // the two default modems
    AddVirtualModemKey("0002", "Virtual Modem 3", "103");
  }
  void TearDown() override { ClearModemKeys(); }

  // Both components are connected to each other.
  static bool BothConnected(const Modem& a, const Modem& b) {
    return ProcessEventsUntil([&] { return a.Connected() && b.Connected(); });
  }
};
