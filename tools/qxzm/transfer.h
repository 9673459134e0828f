// One run of qxzm: a ZModem session on standard input and output or on a serial device.
#pragma once

#include "tooloptions.h"

#include "qx/qxcustomcomm.h"
#include "qx/qxlogfile.h"
#include "qx/qxzmodem.h"

#include <QElapsedTimer>
#include <QProgressBar>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>

// Wires the serial engine, the ZModem component as its data processor and the optional log
// together, shows the progress on standard error and turns the session's outcome into the exit
// status: 0 after a successful session, 1 otherwise, with the reason on standard error.
class Transfer {
public:
  explicit Transfer(const ToolOptions& options);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Runs the session in the application's event loop; returns the exit status.
  int Run();

private:
  bool Start();
  // Sending: every named file must exist, and the component's list separators cannot be part
  // of a name.
  bool CheckFiles();
  void Fail(const QString& message);
  // Ends once the session is idle and what it sent has left, or after a bounded wait.
  void Finish();
  void PollFinish();
  void ShowProgress(bool force);
  void EndProgressLine();

  const ToolOptions& m_Options;
  const bool m_StderrIsTty;  // progress overwrites one line on a terminal
  std::unique_ptr<TqxLogFile> m_Log;
  std::unique_ptr<TqxCustomComm> m_Comm;
  TqxZModem m_ZModem;
  // The component reports its position through a progress bar; this one is never shown.
  QProgressBar m_Gauge;
  QTimer m_FinishPoll;
  QElapsedTimer m_FinishClock;
  QElapsedTimer m_FileClock;
  QElapsedTimer m_ShownClock;
  QString m_ShownPath;
  QString m_ShownFile;  // the name part of m_ShownPath
  bool m_ProgressLineOpen = false;
  bool m_Succeeded = false;
  bool m_FileOffered = false;  // a sender has offered a file in this run
  bool m_Failed = false;
  bool m_Finishing = false;
  QString m_Error;
  QString m_AbortReason;
};
