// TqxLogFile: the library's log file, with a stamp per entry, a size limit and a text-window mirror.
#pragma once

#include "framework/types.h"
#include "qx/qxcustomlogfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>

enum TLogOption { loSafeMode, loAutoFileName, loSharedLogFile, loDate, loTime, loMSec, loDebugOut };
using TLogOptions = TSet<TLogOption, std::uint8_t>;

// The current local date and time; replaceable so that stamps can be checked.
using TLogClock = std::function<QDateTime()>;

// The concrete log sink. Each entry is stamped (date and time in the user's locale), its control
// bytes escaped, mirrored at the end of VisualOut (a QPlainTextEdit or QTextEdit), optionally sent
// to the debugger output, and collected for the log file. In safe mode every entry is appended to
// the file at once; otherwise the collected text is written when the component is destroyed. The
// file is kept under SizeLimit bytes by dropping its oldest bytes.
class TqxLogFile : public TqxCustomLogFile {
  Q_OBJECT
  Q_PROPERTY(std::uint32_t SizeLimit READ SizeLimit WRITE SetSizeLimit)
  Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
  Q_PROPERTY(QWidget* VisualOut READ VisualOut WRITE SetVisualOut)
  Q_PROPERTY(TDetailLevel DetailLevel READ DetailLevel WRITE SetDetailLevel)
  Q_PROPERTY(TLogOptions Options READ Options WRITE SetOptions)

public:
  explicit TqxLogFile(QObject* owner = nullptr);
  // Waits once for a flush in progress, then writes what is still pending.
  ~TqxLogFile() override;

  void Flush() override;
  // Drops the pending text and deletes the log file.
  void Clear() override;
  void Write(const QString& Text) override;
  // Records the banner: the library's version and the host's.
  void WriteHeader() override;
  void WriteLevel(TDetailLevel Level, const QString& Text) override;
  void WriteFormat(const QString& Fmt, const std::vector<FormatArg>& Args) override;
  void WriteLevelFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args) override;

  // The log file's path: next to the executable and named after it with loAutoFileName (in the
  // user's state folder, $XDG_STATE_HOME/qxcomm, when the executable's folder is not writable),
  // else FileName (placed in the executable's folder when it names no folder); empty for no file.
  QString ResolveFileName() const;

  std::uint32_t SizeLimit() const { return m_SizeLimit; }
  void SetSizeLimit(std::uint32_t Value) { m_SizeLimit = Value; }
  QString FileName() const { return m_FileName; }
  // Blanks and control characters at both ends are removed.
  void SetFileName(const QString& Value);
  QWidget* VisualOut() const { return m_VisualOut; }
  void SetVisualOut(QWidget* Value);
  TDetailLevel DetailLevel() const { return m_DetailLevel; }
  void SetDetailLevel(TDetailLevel Value) { m_DetailLevel = Value; }
  TLogOptions Options() const { return m_Options; }
  void SetOptions(TLogOptions Value) { m_Options = Value; }

  // Entries recorded and not yet in the file, as they will be written.
  const QByteArray& PendingText() const { return m_PendingText; }
  bool Busy() const { return m_Busy; }
  // An empty clock restores the system's.
  void SetClock(TLogClock Clock);

  // Fired before the file is cut to make room under SizeLimit.
  TNotifyEvent OnReachLimit;

protected:
  void Notification(QObject* component, TOperation operation) override;

private:
  QByteArray Stamp(const QDateTime& now) const;
  void Mirror(const QByteArray& entry);
  bool AppendToFile(const QByteArray& Data);
  // If a flush is under way, sleeps once for the given time.
  void WaitIdle(unsigned long milliseconds) const;

  QByteArray m_PendingText;
  std::uint32_t m_SizeLimit = 20480;
  QString m_FileName = QStringLiteral("qxcommlib.log");
  TDetailLevel m_DetailLevel = dlSimple;
  TLogOptions m_Options{loSafeMode, loAutoFileName, loDate, loTime, loDebugOut};
  // A destructor on another thread may wait for a flush in progress.
  std::atomic<bool> m_Busy = false;
  bool m_HeaderPending = true;
  // Set while the pending banner is recorded ahead of an entry.
  bool m_HoldFlush = false;
  // The entry saying that the automatic file is in the user's state folder has been recorded.
  bool m_ElsewhereNoted = false;
  QWidget* m_VisualOut = nullptr;
  TLogClock m_Clock;
};
