// A second process for the log file tests:
//   resolve                      prints the automatic log file name of this program
//   auto <text>                  records one entry in the automatic log file, in safe mode
//   debugout <file> <text>       records one entry with the debugger output on
//   append <file> <id> <count>   appends count entries in safe mode to a shared file
#include "qx/qxlogfile.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const QByteArray mode = argv[1];
  try {
    TqxLogFile log;
    if (mode == "resolve") {
      std::fputs(log.ResolveFileName().toLocal8Bit().constData(), stdout);
      return 0;
    }
    if (mode == "auto" && argc == 3) {
      log.SetOptions({loSafeMode, loAutoFileName});
      log.Write(QString::fromLatin1(argv[2]));
      return 0;
    }
    if (argc < 4) return 2;
    log.SetFileName(QString::fromLocal8Bit(argv[2]));
    if (mode == "debugout") {
      log.SetOptions({loSafeMode, loDebugOut});
      log.Write(QString::fromLatin1(argv[3]));
      return 0;
    }
    if (mode == "append" && argc == 5) {
      log.SetOptions({loSafeMode, loSharedLogFile});
      log.SetSizeLimit(0);
      const QString id = QString::fromLatin1(argv[3]);
      const int count = std::atoi(argv[4]);
      for (int i = 0; i < count; ++i)
        log.Write(QStringLiteral("%1 entry %2 %3").arg(id).arg(i).arg(QString(40, u'x')));
      return 0;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 2;
}
