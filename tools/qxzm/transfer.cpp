#include "transfer.h"

#include "qx/qxcommhandle.h"
#include "qx/qxcommport.h"
#include "qx/qxcommthreads.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr quint16 kInputQueueSize = 65535;  // the largest the 16-bit property holds
constexpr quint16 kMinOutputQueue = 4096;

// The sender keeps this much waiting for the line. Without a line rate (standard input and output:
// a pipe, socket or pty) as much as the property holds, so that one hand-over moves 64 KiB; on a
// port about a quarter of a second of the line, so that progress does not run far ahead of it.
quint16 OutputQueueSize(const ToolOptions& options) {
  if (options.port.isEmpty()) return kInputQueueSize;
  const std::uint32_t quarterSecond = options.baudRate / 40;
  return quint16(std::clamp<std::uint32_t>(quarterSecond, kMinOutputQueue, kInputQueueSize));
}

QString AbortText(TzAbortType reason) {
  switch (reason) {
    case zeByMe: return QStringLiteral("cancelled by this side");
    case zeByRemote: return QStringLiteral("cancelled by the remote side");
    case zeByTimeOut: return QStringLiteral("the remote side stopped answering");
    case zeByBadCRC: return QStringLiteral("too many CRC errors");
    case zeByCommError: return QStringLiteral("communication error");
    case zeByMedia: return QStringLiteral("the connection was closed");
    case zeByUnknown: break;
  }
  return QStringLiteral("protocol error");
}

// The library's messages use "\r" as a line break and shout; one line reads better here.
QString OneLine(QString text) {
  static const QRegularExpression shout(QStringLiteral(" *!+(?=[\r\n]|$)"));
  static const QRegularExpression breaks(QStringLiteral("[\r\n]+"));
  return text.remove(shout).replace(breaks, QStringLiteral(": ")).trimmed();
}

// Every line goes through here or through ShowProgress: names and messages may carry the remote
// side's text, whose control characters never reach the user's terminal.
void PrintLine(const QString& text) {
  std::fprintf(stderr, "qxzm: %s\n", PrintableText(text).toLocal8Bit().constData());
}

bool HasWildcards(const QString& name) {
  return name.contains(u'*') || name.contains(u'?') || name.contains(u'[');
}

}  // namespace

Transfer::Transfer(const ToolOptions& options)
    : m_Options(options), m_StderrIsTty(isatty(STDERR_FILENO) == 1) {
  m_FinishPoll.setInterval(20);
  QObject::connect(&m_FinishPoll, &QTimer::timeout, [this] { PollFinish(); });
}

Transfer::~Transfer() {
  // The component hears the port close while both still exist.
  if (m_Comm) m_Comm->Close();
}

int Transfer::Run() {
  if (!Start()) {
    if (m_Comm) m_Comm->Close();
    PrintLine(m_Error);
    return 1;
  }
  const int status = QCoreApplication::exec();
  m_Comm->Close();
  // A sender showed each file's end as it was taken; a receiver's last file is still open.
  if (m_Options.mode == ToolOptions::Receive) ShowProgress(true);
  EndProgressLine();
  if (status == 0) {
    std::fprintf(stderr, "qxzm: session complete\n");
  } else {
    QString text = QStringLiteral("session failed");
    if (!m_AbortReason.isEmpty()) text += QStringLiteral(": ") + m_AbortReason;
    if (!m_Error.isEmpty()) text += QStringLiteral(": ") + OneLine(m_Error);
    PrintLine(text);
  }
  return status;
}

bool Transfer::Start() {
  if (m_Options.mode == ToolOptions::Send && !CheckFiles()) return false;
  if (m_Options.mode == ToolOptions::Receive && !QFileInfo(m_Options.directory).isDir()) {
    m_Error = QStringLiteral("%1 is not a directory").arg(m_Options.directory);
    return false;
  }
  if (!m_Options.logFile.isEmpty()) {
    m_Log = std::make_unique<TqxLogFile>();
    m_Log->SetOptions({loSafeMode, loDate, loTime, loMSec});
    m_Log->SetFileName(QFileInfo(m_Options.logFile).absoluteFilePath());
    m_Log->SetDetailLevel(dlDebug);
    // A debug log of a long transfer is large; only its oldest part is dropped beyond this.
    m_Log->SetSizeLimit(256u * 1024 * 1024);
  }
  if (m_Options.port.isEmpty()) {
    auto handle = std::make_unique<TqxCommHandle>();
    handle->SetDeviceIndex(TqxCommHandle::kStandardIO);
    m_Comm = std::move(handle);
  } else {
    auto port = std::make_unique<TqxCommPort>();
    port->SetPort(m_Options.port);
    port->SetBaudRate(m_Options.baudRate);
    m_Comm = std::move(port);
  }
  const auto recordError = [this](QObject*, std::uint32_t, std::uint32_t, const QString& message, bool& raise) {
    m_Error = message;
    raise = false;
  };
  m_Comm->OnFatalError = recordError;
  m_Comm->SetLog(m_Log.get());
  m_Comm->SetTraceStates({tsTxEmpty});
  m_Comm->OnDeviceClosed = [this](QObject*) {
    // The component reports a session the close cut short; this covers the time outside one.
    QTimer::singleShot(0, &m_Gauge, [this] {
      if (m_Finishing) return;
      Fail(QStringLiteral("the connection was closed"));
      Finish();
    });
  };

  m_ZModem.OnFatalError = [this](QObject*, std::uint32_t, std::uint32_t, const QString& message, bool& raise) {
    raise = false;
    // A session that goes on has only passed over one file (skipped, as rz does); one that ended
    // reports the error with its end.
    if (m_ZModem.Role() != TqxZModem::zrIdle) {
      EndProgressLine();
      PrintLine(QStringLiteral("skipped: ") + OneLine(message));
    } else {
      m_Error = message;
    }
  };
  m_ZModem.SetLog(m_Log.get());
  m_ZModem.SetOptions(m_Options.zmOptions);
  m_ZModem.SetTimeOut(m_Options.timeout);
  m_ZModem.SetTimeOutRetries(m_Options.retries);
  m_ZModem.SetProgressBar(&m_Gauge);
  if (m_Options.mode == ToolOptions::Receive) m_ZModem.SetDefaultPath(m_Options.directory);
  m_ZModem.OnProgress = [this](QObject*) { ShowProgress(false); };
  m_ZModem.OnSuccessfulEnd = [this](QObject*) {
    m_Succeeded = true;
    Finish();
  };
  m_ZModem.OnAbort = [this](QObject*, TzAbortType reason) {
    // A sender whose files were all taken only missed the receiver's final answer.
    if (m_Succeeded) return;
    // The first reason stands.
    if (m_AbortReason.isEmpty())
      m_AbortReason = reason == zeByTimeOut && !m_FileOffered ? QStringLiteral("no sender began a session")
                                                               : AbortText(reason);
    Fail(QString());
    Finish();
  };
  m_ZModem.OnBeforeReceived = [this](QObject*, QString& name, bool&) {
    m_FileOffered = true;
    ShowProgress(true);  // the final figure of the file before
    EndProgressLine();
    PrintLine(QStringLiteral("receiving ") + QFileInfo(name).fileName());
  };
  m_ZModem.OnAfterFileSent = [this](QObject*, const QString& name, bool complete) {
    ShowProgress(true);
    EndProgressLine();
    PrintLine((complete ? QStringLiteral("sent ") : QStringLiteral("skipped ")) + QFileInfo(name).fileName());
  };
  m_Comm->SetDataProcessor(&m_ZModem);
  m_ZModem.SetActive(true);

  m_Comm->Open();
  if (!m_Comm->IsOpen()) {
    if (m_Error.isEmpty()) m_Error = QStringLiteral("cannot open the connection");
    m_Error = OneLine(m_Error);
    return false;
  }
  // Once open, as Open takes the driver's current queue sizes over stored ones. A deep input queue
  // lets the line's bytes be taken in large gulps while the main thread is busy with the last ones;
  // the sender keeps the output queue filled (OutputQueueSize).
  m_Comm->SetBufferInSize(kInputQueueSize);
  m_Comm->SetBufferOutSize(OutputQueueSize(m_Options));
  m_FileClock.start();
  if (m_Options.mode == ToolOptions::Send) {
    m_ZModem.SendFile(m_Options.files.join(u';'));
    if (m_ZModem.Role() == TqxZModem::zrIdle) {
      if (m_Error.isEmpty()) m_Error = QStringLiteral("the session did not start");
      m_Error = OneLine(m_Error);
      return false;
    }
  } else if (!m_ZModem.BeginReceive()) {
    // As rz does: a sender that is already waiting hears from us at once.
    m_Error = QStringLiteral("the session did not start");
    return false;
  }
  return true;
}

bool Transfer::CheckFiles() {
  for (const QString& name : m_Options.files) {
    if (name.contains(u',') || name.contains(u';')) {
      m_Error = QStringLiteral("%1: names with \",\" or \";\" cannot be sent").arg(name);
      return false;
    }
    if (HasWildcards(name)) continue;
    const QFileInfo info(name);
    if (!info.exists()) {
      m_Error = QStringLiteral("%1: no such file").arg(name);
      return false;
    }
    if (!info.isFile()) {
      m_Error = QStringLiteral("%1: not a regular file").arg(name);
      return false;
    }
  }
  return true;
}

void Transfer::Fail(const QString& message) {
  m_Failed = true;
  if (!message.isEmpty() && m_AbortReason.isEmpty()) m_AbortReason = message;
}

void Transfer::Finish() {
  if (m_Finishing) return;
  m_Finishing = true;
  m_FinishClock.start();
  m_FinishPoll.start();
}

void Transfer::PollFinish() {
  const bool open = m_Comm->IsOpen();
  const bool idle = m_ZModem.Role() == TqxZModem::zrIdle;
  const bool drained = !open || m_Comm->OutputQueueCount() == 0;
  // The component ends a session that hangs by itself; this bound only guards the exit.
  const qint64 bound = qint64(m_Options.timeout) * (m_Options.retries + 2);
  if (!(idle && drained) && m_FinishClock.elapsed() < bound) return;
  m_FinishPoll.stop();
  QCoreApplication::exit(m_Succeeded && !m_Failed ? 0 : 1);
}

void Transfer::ShowProgress(bool force) {
  // Called after every block: the common case must stay a couple of comparisons.
  const QString file = m_ZModem.FileName();
  if (file.isEmpty()) return;
  const bool sending = m_Options.mode == ToolOptions::Send;
  if (file != m_ShownPath) {
    EndProgressLine();
    m_ShownPath = file;
    m_ShownFile = PrintableText(QFileInfo(file).fileName());
    // Sending counts the whole batch; receiving counts each file.
    if (!sending) m_FileClock.start();
  }
  if (!force && m_ShownClock.isValid() && m_ShownClock.elapsed() < (m_StderrIsTty ? 200 : 1000)) return;
  m_ShownClock.start();
  const qint64 bytes = std::max(0, m_Gauge.value());
  const double seconds = m_FileClock.elapsed() / 1000.0;
  const double rate = seconds > 0 ? bytes / seconds / 1024.0 : 0.0;
  const qint64 total = std::max(0, m_Gauge.maximum());
  const QString text = sending ? QStringLiteral("sending %1, batch: %2 of %3 bytes, %4 KiB/s")
                                     .arg(m_ShownFile).arg(bytes).arg(total).arg(rate, 0, 'f', 1)
                               : QStringLiteral("%1: %2 of %3 bytes, %4 KiB/s")
                                     .arg(m_ShownFile).arg(bytes).arg(total).arg(rate, 0, 'f', 1);
  if (m_StderrIsTty) {
    std::fprintf(stderr, "\r%s\x1b[K", text.toLocal8Bit().constData());
    m_ProgressLineOpen = true;
  } else {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  }
}

void Transfer::EndProgressLine() {
  if (!m_ProgressLineOpen) return;
  std::fputc('\n', stderr);
  m_ProgressLineOpen = false;
}
