// TqxLogFile figures: entries per second in safe mode with the file at its size limit, and the cost
// of one mirrored entry when the mirror already holds 100 and 10,000 entries.
#include "qx/qxlogfile.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextEdit>

#include <cstdio>
#include <memory>

namespace {

const QString EntryText = QStringLiteral("qxCommTAPI: Line callback: LINE_CALLSTATE 0x00000100 (CONNECTED)");

// Entries per second in safe mode, the file filled to the limit first so that every entry cuts it.
double SafeModeRate(const QString& path, std::uint32_t limit, int entries) {
  QFile::remove(path);
  TqxLogFile log;
  log.SetOptions({loSafeMode, loDate, loTime});
  log.SetFileName(path);
  log.SetSizeLimit(limit);
  while (QFile(path).size() < limit) log.Write(EntryText);
  QElapsedTimer timer;
  timer.start();
  for (int i = 0; i < entries; ++i) log.Write(EntryText);
  return entries / (timer.nsecsElapsed() / 1e9);
}

// Microseconds per mirrored entry, measured over `measured` entries after `before` entries.
template <class Edit> double MirrorCost(int before, int measured) {
  Edit edit;
  edit.resize(600, 400);
  edit.show();
  TqxLogFile log;
  log.SetOptions({loDate, loTime});
  log.SetFileName(QString());
  log.SetVisualOut(&edit);
  for (int i = 0; i < before; ++i) log.Write(EntryText);
  QCoreApplication::processEvents();
  QElapsedTimer timer;
  timer.start();
  for (int i = 0; i < measured; ++i) log.Write(EntryText);
  QCoreApplication::processEvents();
  return timer.nsecsElapsed() / 1e3 / measured;
}

template <class Edit> void ReportMirror(const char* name) {
  const double small = MirrorCost<Edit>(100, 500);
  const double large = MirrorCost<Edit>(10000, 500);
  std::printf("%-15s mirrored entry after 100: %8.1f us, after 10000: %8.1f us, ratio %.2f\n", name, small, large,
              large / small);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QTemporaryDir dir;
  if (!dir.isValid()) return 1;
  const QString path = dir.filePath(QStringLiteral("bench.log"));

  const double unlimited = SafeModeRate(path, 0, 3000);
  std::printf("safe mode, no limit:        %9.0f entries/s\n", unlimited);
  for (const std::uint32_t limit : {2048u, 20480u}) {
    const double rate = SafeModeRate(path, limit, 3000);
    std::printf("safe mode, limit %6u:    %9.0f entries/s (%.2f of no limit)\n", limit, rate, rate / unlimited);
  }
  ReportMirror<QPlainTextEdit>("QPlainTextEdit");
  ReportMirror<QTextEdit>("QTextEdit");
  return 0;
}
