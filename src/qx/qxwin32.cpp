#include "qx/qxwin32.h"

#include "framework/format.h"

#include <QApplication>
#include <QRegularExpression>
#include <QWidget>

#include <sys/utsname.h>

#include <cstring>

namespace {

void ClearStatus(OVERLAPPED* Overlapped) { std::memset(Overlapped, 0, offsetof(OVERLAPPED, hEvent)); }

QString WindowsName(DWORD Major, DWORD Minor, DWORD PlatformId) {
  switch (Major) {
    case 3: return QStringLiteral("NT 3.51");
    case 4:
      if (Minor == 10) return QStringLiteral("98");
      if (Minor == 90) return QStringLiteral("Me");
      return PlatformId == VER_PLATFORM_WIN32_NT ? QStringLiteral("NT 4") : QStringLiteral("95");
    case 5:
      switch (Minor) {
        case 0: return QStringLiteral("2000");
        case 1: return QStringLiteral("XP");
        case 2: return QStringLiteral("2003");
        default: return {};
      }
    case 6: return Minor == 0 ? QStringLiteral("Vista") : QStringLiteral("Longhorn");
    default: return {};
  }
}

}  // namespace

QString SystemErrorText() {
  const DWORD error = GetLastError();
  char text[512];
  const DWORD length = FormatSystemMessage(error, text, sizeof text);
  SetLastError(error);
  return QString::fromLatin1(text, static_cast<qsizetype>(length));
}

HWND ForegroundWindow() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
  return static_cast<HWND>(QApplication::activeWindow());
}

bool WaitOverlappedResult(HANDLE Handle, OVERLAPPED* Overlapped, DWORD& Transferred, DWORD& Error) {
  Error = GetLastError();
  if (Error != ERROR_IO_PENDING) return false;
  const bool done = GetOverlappedResult(Handle, Overlapped, &Transferred, TRUE) != FALSE;
  if (!done) Error = GetLastError();
  return done;
}

bool WriteOverlapped(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED* Overlapped) {
  ClearStatus(Overlapped);
  DWORD written = 0;
  if (WriteFile(Handle, Buffer, Count, &written, Overlapped)) return true;
  DWORD error = 0;
  return WaitOverlappedResult(Handle, Overlapped, written, error);
}

bool WriteOverlappedAsync(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED* Overlapped) {
  ClearStatus(Overlapped);
  DWORD written = 0;
  if (WriteFile(Handle, Buffer, Count, &written, Overlapped)) return true;
  return GetLastError() == ERROR_IO_PENDING;
}

bool ReadOverlapped(HANDLE Handle, void* Buffer, DWORD Count, OVERLAPPED* Overlapped) {
  ClearStatus(Overlapped);
  DWORD read = 0;
  if (ReadFile(Handle, Buffer, Count, &read, Overlapped)) return true;
  DWORD error = 0;
  return WaitOverlappedResult(Handle, Overlapped, read, error);
}

// Windows looks CancelIo up at run time because older systems lack it; this platform always has it.
bool CancelPendingIo(HANDLE Handle) { return CancelIo(Handle) != FALSE; }

void VersionText(const QString& FileName, [[maybe_unused]] const QString& Fmt, QString& Text) {
  Text.clear();
  if (!FileName.isEmpty()) return;  // no version resource in ELF files: nothing for Fmt to shape
  utsname host{};
  if (uname(&host) != 0) return;
  Text = HostVersionText(QString::fromLocal8Bit(host.sysname), QString::fromLocal8Bit(host.release),
                         QString::fromLocal8Bit(host.version));
}

QString WindowsVersionText(DWORD Major, DWORD Minor, DWORD Build, DWORD PlatformId, const QString& ServicePack) {
  return QStringLiteral("Windows ") + WindowsName(Major, Minor, PlatformId) + QStringLiteral(" [") +
         Format(QStringLiteral("%u.%u.%u"), {Major, Minor, Build}) + QStringLiteral("] ") + ServicePack;
}

QString HostVersionText(const QString& SystemName, const QString& Release, const QString& Build) {
  static const QRegularExpression numbers(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
  const QRegularExpressionMatch match = numbers.match(Release);
  const auto number = [&match](int index) { return match.captured(index).toUInt(); };
  return SystemName + QLatin1Char(' ') + Release + QStringLiteral(" [") +
         Format(QStringLiteral("%u.%u.%u"), {number(1), number(2), number(3)}) + QStringLiteral("] ") + Build;
}
