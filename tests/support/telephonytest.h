// Helpers for tests of the telephony line component over the line service: a TqxCommTAPI with a
// log and recorders of its events and fatal errors, and a fixture with three virtual modems
// (101, 102, 103) in a fresh store.
#pragma once

#include "framework/format.h"
#include "qx/qxcommtapi.h"
#include "qx/qxtapi.h"
#include "linetest.h"
#include "recordinglog.h"

#include <QProcess>
#include <QRegularExpression>
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

// qxline in another process (QXLINE_PATH), started with `arguments`; waits until it says it waits
// for calls. What it wrote to standard error so far is in Errors().
class FarLine {
public:
  explicit FarLine(const QStringList& arguments) {
    m_Process.start(QStringLiteral(QXLINE_PATH), arguments);
    ProcessEventsUntil([this] { return Errors().contains("waiting for calls"); });
  }
  ~FarLine() {
    if (m_Process.state() != QProcess::NotRunning) {
      m_Process.kill();
      m_Process.waitForFinished(5000);
    }
  }
  FarLine(const FarLine&) = delete;
  FarLine& operator=(const FarLine&) = delete;

  bool Waiting() { return Errors().contains("waiting for calls"); }
  QString Errors() { return m_Errors += QString::fromLocal8Bit(m_Process.readAllStandardError()); }
  QProcess& Process() { return m_Process; }

private:
  QProcess m_Process;
  QString m_Errors;
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
