#include "qx/qxlogfile.h"

#include "framework/messages.h"
#include "platform/winapi.h"
#include "qx/qxwin32.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

// Another process appending to the same file holds it only for one append; waiting this long for
// it beats failing the entry.
constexpr DWORD ShareWaitMs = 3000;
constexpr DWORD ShareRetryMs = 5;

// Removes blanks and control characters (0-32) at both ends.
QString TrimControl(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin).unicode() <= 32) ++begin;
  while (end > begin && text.at(end - 1).unicode() <= 32) --end;
  return text.mid(begin, end - begin);
}

// Closes a file handle when it goes out of scope.
class FileHandle {
public:
  explicit FileHandle(HANDLE handle) : m_Handle(handle) {}
  ~FileHandle() {
    if (IsOpen()) CloseHandle(m_Handle);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool IsOpen() const { return m_Handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_Handle; }

private:
  HANDLE m_Handle;
};

// Opens the existing file read/write (others may read it when shared) or creates it unshared. A
// file held by another process is waited for, and a file that another process creates between the
// two attempts is opened, never recreated.
HANDLE OpenLogFile(const QByteArray& path, bool shared) {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE file = CreateFile(path.constData(), GENERIC_READ | GENERIC_WRITE, shared ? FILE_SHARE_READ : 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (file != INVALID_HANDLE_VALUE) return file;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      file = CreateFile(path.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        0);
      if (file != INVALID_HANDLE_VALUE) return file;
      error = GetLastError();
    }
    const bool contended = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                           error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (!contended || GetTickCount() - start > ShareWaitMs) return INVALID_HANDLE_VALUE;
    Sleep(ShareRetryMs);
  }
}

bool Seek(HANDLE file, std::uint64_t position) {
  LONG high = static_cast<LONG>(position >> 32);
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(file, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN);
  return low != INVALID_SET_FILE_POINTER || GetLastError() == ERROR_SUCCESS;
}

bool SeekToEnd(HANDLE file) {
  LONG high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
  return low != INVALID_SET_FILE_POINTER || GetLastError() == ERROR_SUCCESS;
}

bool FileSize(HANDLE file, std::uint64_t& size) {
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return false;
  size = (std::uint64_t(high) << 32) | low;
  return true;
}

// Reads or writes exactly count bytes; a short transfer is a failure.
bool ReadAll(HANDLE file, char* buffer, std::uint64_t count) {
  while (count > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(count, 1u << 30));
    DWORD done = 0;
    if (!ReadFile(file, buffer, chunk, &done, nullptr) || done == 0) return false;
    buffer += done;
    count -= done;
  }
  return true;
}

bool WriteAll(HANDLE file, const char* buffer, std::uint64_t count) {
  while (count > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(count, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(file, buffer, chunk, &done, nullptr) || done == 0) return false;
    buffer += done;
    count -= done;
  }
  return true;
}

QString ExecutablePath() {
  QByteArray buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileName(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < static_cast<DWORD>(buffer.size())) return QFile::decodeName(buffer.left(length));
    buffer.resize(buffer.size() * 2);
  }
}

// The folder of log files whose program's own folder may not be written (an installed program):
// the user's state folder, $XDG_STATE_HOME or ~/.local/state, with a folder of the library's own.
QString StateLogFolder() {
  const QString state = qEnvironmentVariable("XDG_STATE_HOME");
  const QString base = QDir::isAbsolutePath(state) ? state : QDir::homePath() + QStringLiteral("/.local/state");
  return base + QStringLiteral("/qxcomm");
}

// The file that loAutoFileName names: the executable's path with the extension ".log", moved into
// the state folder when the executable's folder is not writable (elsewhere).
struct AutomaticLogFile {
  QString path;
  bool elsewhere = false;
};

AutomaticLogFile AutomaticLogFileOf(const QString& executable) {
  const qsizetype nameStart = executable.lastIndexOf(u'/') + 1;
  const qsizetype dot = executable.lastIndexOf(u'.');
  // A leading dot names a hidden file; it starts no extension.
  const bool hasExtension = dot > nameStart;
  const QString folder = executable.left(nameStart);
  const QString name = (hasExtension ? executable.left(dot) : executable).mid(nameStart) + QStringLiteral(".log");
  if (access(QFile::encodeName(folder).constData(), W_OK) == 0) return {folder + name, false};
  return {StateLogFolder() + u'/' + name, true};
}

// The locale's long time format without its time-zone field: the stamp is the local clock.
QString LongTimeFormat(const QLocale& locale) {
  const QString format = locale.timeFormat(QLocale::LongFormat);
  QString result;
  bool quoted = false;
  for (const QChar ch : format) {
    if (ch == u'\'') quoted = !quoted;
    if (!quoted && ch == u't') continue;
    result += ch;
  }
  return result.trimmed();
}

// The control's document and vertical scroll bar, when it is a text edit.
bool MirrorTarget(QWidget* control, QTextDocument*& document, QScrollBar*& bar) {
  if (auto* plain = qobject_cast<QPlainTextEdit*>(control)) {
    document = plain->document();
    bar = plain->verticalScrollBar();
    return true;
  }
  if (auto* rich = qobject_cast<QTextEdit*>(control)) {
    document = rich->document();
    bar = rich->verticalScrollBar();
    return true;
  }
  return false;
}

}  // namespace

TqxLogFile::TqxLogFile(QObject* owner) : TqxCustomLogFile(owner) {}

TqxLogFile::~TqxLogFile() {
  WaitIdle(1000);
  // Text that a failed safe-mode flush left behind gets its last chance here as well.
  if (m_Options.Contains(loSafeMode) && m_PendingText.isEmpty()) return;
  try {
    Flush();
  } catch (const std::exception& error) {
    ShowException(error);
  }
}

void TqxLogFile::WaitIdle(unsigned long milliseconds) const {
  if (m_Busy) Sleep(static_cast<DWORD>(milliseconds));
}

void TqxLogFile::SetClock(TLogClock Clock) { m_Clock = std::move(Clock); }

void TqxLogFile::SetFileName(const QString& Value) { m_FileName = TrimControl(Value); }

void TqxLogFile::SetVisualOut(QWidget* Value) {
  if (m_VisualOut == Value) return;
  if (m_VisualOut) RemoveFreeNotification(m_VisualOut);
  m_VisualOut = Value;
  if (m_VisualOut) FreeNotification(m_VisualOut);
}

void TqxLogFile::Notification(QObject* component, TOperation operation) {
  TqxCustomLogFile::Notification(component, operation);
  if (operation == TOperation::opRemove && component == m_VisualOut) m_VisualOut = nullptr;
}

QByteArray TqxLogFile::Stamp(const QDateTime& now) const {
  const QLocale locale;
  QString stamp;
  if (m_Options.Contains(loDate)) stamp = locale.toString(now.date(), QLocale::ShortFormat);
  if (m_Options.Contains(loTime)) stamp += u' ' + locale.toString(now.time(), LongTimeFormat(locale));
  if (m_Options.Contains(loMSec)) stamp += QStringLiteral(" +%1").arg(now.time().msec(), 3, 10, QChar(u'0'));
  stamp = TrimControl(stamp);
  if (stamp.isEmpty()) return {};
  return '[' + stamp.toLatin1() + "] ";
}

void TqxLogFile::Write(const QString& Text) {
  if (m_HeaderPending) {
    m_HeaderPending = false;
    // The banner goes out with this entry's flush: a failing file reports once, and the entry is
    // recorded before that report can raise.
    m_HoldFlush = true;
    const auto release = qScopeGuard([this] { m_HoldFlush = false; });
    WriteHeader();
  }
  QByteArray entry = Stamp(m_Clock ? m_Clock() : QDateTime::currentDateTime());
  static constexpr char hex[] = "0123456789ABCDEF";
  for (const char byte : Text.toLatin1()) {
    const auto value = static_cast<unsigned char>(byte);
    if (value >= 32) {
      entry += byte;
    } else {
      entry += '\\';
      entry += hex[value >> 4];
      entry += hex[value & 0x0F];
      entry += 'h';
    }
  }
  if (m_Options.Contains(loDebugOut)) OutputDebugStringA(entry.constData());
  entry.prepend("\r\n");
  m_PendingText += entry;
  if (m_VisualOut) {
    try {
      Mirror(entry);
    } catch (const std::exception&) {
      FatalError(0, 0, QString());
    }
  }
  if (m_Options.Contains(loSafeMode) && !m_HoldFlush) Flush();
}

void TqxLogFile::Mirror(const QByteArray& entry) {
  QTextDocument* document = nullptr;
  QScrollBar* bar = nullptr;
  if (!MirrorTarget(m_VisualOut, document, bar)) return;
  // Appending at the end keeps the cost of an entry independent of the mirror's length; a reader
  // scrolled up keeps his place, one at the bottom follows.
  const bool following = bar->value() == bar->maximum();
  const bool undo = document->isUndoRedoEnabled();
  document->setUndoRedoEnabled(false);
  QTextCursor end(document);
  end.movePosition(QTextCursor::End);
  end.insertText(QString::fromLatin1(entry));
  document->setUndoRedoEnabled(undo);
  if (following) bar->setValue(bar->maximum());
}

void TqxLogFile::WriteHeader() {
  QString version;
  VersionText(QString(), QString(), version);
  Write(QStringLiteral("qxComm Lib v8.00 ") + version);
}

void TqxLogFile::WriteLevel(TDetailLevel Level, const QString& Text) {
  if (Level <= m_DetailLevel) Write(Text);
}

void TqxLogFile::WriteFormat(const QString& Fmt, const std::vector<FormatArg>& Args) {
  QString text;
  try {
    text = Format(Fmt, Args);
  } catch (const std::exception&) {
    text = QStringLiteral("Log format ERROR!!!");
  }
  Write(text);
}

void TqxLogFile::WriteLevelFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args) {
  if (Level <= m_DetailLevel) WriteFormat(Fmt, Args);
}

QString TqxLogFile::ResolveFileName() const {
  if (m_Options.Contains(loAutoFileName)) return AutomaticLogFileOf(ExecutablePath()).path;
  if (m_FileName.isEmpty()) return {};
  const qsizetype folderLength = m_FileName.lastIndexOf(u'/') + 1;
  if (folderLength >= 2) return m_FileName;
  const QString executable = ExecutablePath();
  // A lone leading separator names no folder of its own; the file goes beside the executable.
  return executable.left(executable.lastIndexOf(u'/') + 1) + m_FileName.mid(folderLength);
}

void TqxLogFile::Flush() {
  if (m_Busy.exchange(true)) return;
  const auto idle = qScopeGuard([this] { m_Busy = false; });
  const QString name = ResolveFileName();
  if (name.isEmpty()) return;
  if (m_Options.Contains(loAutoFileName)) {
    const QString executable = ExecutablePath();
    if (AutomaticLogFileOf(executable).elsewhere) {
      QDir().mkpath(QFileInfo(name).path());
      // The log says where it is, once per component, when that is not beside the program.
      if (!std::exchange(m_ElsewhereNoted, true))
        Write(QStringLiteral("The log file is %1: the program's folder %2 is not writable")
                  .arg(name, QFileInfo(executable).path()));
    }
  }
  // Entries that handlers record during the append stay pending behind the text being written.
  const QByteArray data = std::exchange(m_PendingText, QByteArray());
  bool written = false;
  try {
    written = AppendToFile(data);
  } catch (...) {
    m_PendingText.prepend(data);
    throw;
  }
  if (written) return;
  m_PendingText.prepend(data);
  FatalError(0, 0, QStringLiteral("Error when save log file:") + name);
}

void TqxLogFile::Clear() {
  m_PendingText.clear();
  const QString name = ResolveFileName();
  if (!name.isEmpty()) DeleteFile(QFile::encodeName(name).constData());
}

bool TqxLogFile::AppendToFile(const QByteArray& Data) {
  const QString name = TrimControl(ResolveFileName());
  if (name.isEmpty()) return false;
  const FileHandle file(OpenLogFile(QFile::encodeName(name), m_Options.Contains(loSharedLogFile)));
  if (!file.IsOpen()) return false;
  if (m_SizeLimit != 0) {
    std::uint64_t size = 0;
    if (!FileSize(file.Get(), size)) return false;
    const std::uint64_t adding = std::min<std::uint64_t>(Data.size(), m_SizeLimit);
    if (size + adding > m_SizeLimit) {
      if (OnReachLimit) OnReachLimit(this);
      const std::uint64_t drop = size + adding - m_SizeLimit;
      if (!Seek(file.Get(), 0)) return false;
      if (drop < size) {
        // Only the newest bytes survive; the cut falls wherever the byte count puts it.
        QByteArray kept(static_cast<qsizetype>(size - drop), '\0');
        if (!Seek(file.Get(), drop) || !ReadAll(file.Get(), kept.data(), kept.size())) return false;
        if (!Seek(file.Get(), 0) || !WriteAll(file.Get(), kept.constData(), kept.size())) return false;
      }
      if (!SetEndOfFile(file.Get())) return false;
    }
  }
  if (!SeekToEnd(file.Get())) return false;
  return WriteAll(file.Get(), Data.constData(), Data.size());
}
