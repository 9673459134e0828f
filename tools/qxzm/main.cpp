// qxzm: ZModem file transfer on standard input and output, the way sz and rz work, so that it can
// be a terminal's external transfer program; or on a serial device with --port.
#include "rawterminal.h"
#include "tooloptions.h"
#include "transfer.h"

#include <QApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
  // The component reports progress to a widget, which needs an application but never a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  QString error;
  const std::optional<ToolOptions> options = ParseToolOptions(app.arguments().mid(1), error);
  if (!options) {
    std::fprintf(stderr, "qxzm: %s\n%s", error.toLocal8Bit().constData(), ToolUsage().toLocal8Bit().constData());
    return 2;
  }
  if (options->help) {
    // Standard output may be the line to the remote side, so the help goes to standard error.
    std::fprintf(stderr, "%s", ToolUsage().toLocal8Bit().constData());
    return 0;
  }
  const RawTerminal raw(options->port.isEmpty() ? STDIN_FILENO : -1);
  Transfer transfer(*options);
  return transfer.Run();
}
