// qxline: places and answers calls on the telephony library's line devices, and manages the
// virtual modems. A program on the telephony library as the application is, linked to it directly.
#include "callrunner.h"
#include "lineoptions.h"
#include "linesession.h"
#include "modememulator.h"
#include "modeminstall.h"

#include "lineservice/modemstore.h"

#include <QCoreApplication>

#include <cstdio>
#include <signal.h>

namespace {

void Fail(const QString& text) { std::fprintf(stderr, "qxline: %s\n", text.toLocal8Bit().constData()); }

int List() {
  LineSession session;  // a started service has installed the default modems if there were none
  QString error;
  if (!session.Start(error)) {
    Fail(error);
    return 1;
  }
  std::vector<lineservice::ModemEntry> modems;
  std::string why;
  if (!lineservice::ReadModems(modems, why)) {
    Fail(QString::fromStdString(why));
    return 1;
  }
  std::printf("%-5s %-32s %-16s %s\n", "index", "name", "number/port", "kind");
  int index = 0;
  for (const auto& modem : modems) {
    const bool line = (modem.IsVirtual() && lineservice::ValidNumber(modem.number)) || modem.IsAtModem();
    const std::string position = line ? std::to_string(index++) : "-";
    std::printf("%-5s %-32s %-16s %s\n", position.c_str(), modem.friendlyName.c_str(),
                (modem.IsVirtual() ? modem.number : modem.attachedTo).c_str(),
                modem.IsAtModem() ? "AT modem" : line ? "virtual" : "virtual (no valid number: not a line device)");
  }
  return 0;
}

int AddVirtual(const LineOptions& options) {
  std::string why;
  if (!lineservice::AddVirtualModem(options.name.toStdString(), options.number.toStdString(), why)) {
    Fail(QString::fromStdString(why));
    return 1;
  }
  std::printf("added \"%s\" with number %s\n", options.name.toLocal8Bit().constData(),
              options.number.toLocal8Bit().constData());
  return 0;
}

int Remove(const LineOptions& options) {
  std::vector<lineservice::ModemEntry> modems;
  std::string why;
  if (!lineservice::ReadModems(modems, why)) {
    Fail(QString::fromStdString(why));
    return 1;
  }
  const auto devices = lineservice::LineDevices(modems);
  if (options.device >= int(devices.size())) {
    Fail(QStringLiteral("there is no line device %1 (see qxline list)").arg(options.device));
    return 1;
  }
  const auto& modem = devices[std::size_t(options.device)];
  if (!lineservice::RemoveModem(modem.key, why)) {
    Fail(QString::fromStdString(why));
    return 1;
  }
  std::printf("removed \"%s\"\n", modem.friendlyName.c_str());
  return 0;
}

// The line device that answers: --device, the modem with --number, or the first.
std::optional<DWORD> AnsweringDevice(const LineOptions& options) {
  if (options.number.isEmpty()) return DWORD(std::max(options.device, 0));
  std::vector<lineservice::ModemEntry> modems;
  std::string why;
  if (!lineservice::ReadModems(modems, why)) {
    Fail(QString::fromStdString(why));
    return std::nullopt;
  }
  const auto devices = lineservice::LineDevices(modems);
  for (std::size_t i = 0; i < devices.size(); ++i)
    if (devices[i].IsVirtual() && QString::fromStdString(devices[i].number) == options.number) return DWORD(i);
  Fail(QStringLiteral("no virtual modem has the number %1 (see qxline list)").arg(options.number));
  return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);  // a reader that goes away ends the call, not the program
  QString error;
  const std::optional<LineOptions> options = ParseLineOptions(app.arguments().mid(1), error);
  if (!options) {
    Fail(error);
    std::fprintf(stderr, "%s", LineUsage().toLocal8Bit().constData());
    return 2;
  }
  switch (options->command) {
    case LineOptions::Help:
      std::fprintf(stdout, "%s", LineUsage().toLocal8Bit().constData());
      return 0;
    case LineOptions::List: return List();
    case LineOptions::AddVirtual: return AddVirtual(*options);
    case LineOptions::Remove: return Remove(*options);
    case LineOptions::AddModem: return AddModem(*options);
    case LineOptions::Probe: return Probe(*options);
    case LineOptions::Emulate: {
      EmulatorOptions emulator;
      emulator.number = options->number.toStdString();
      emulator.link = options->link.toStdString();
      emulator.rate = DWORD(options->rate);
      emulator.noDialtone = options->noDialtone;
      return ModemEmulator(emulator).Run();
    }
    case LineOptions::Dial:
    case LineOptions::Answer: break;
  }
  LineSession session;
  if (!session.Start(error)) {
    Fail(error);
    return 1;
  }
  CallRunner runner(session, *options);
  if (options->command == LineOptions::Dial) return runner.Dial(DWORD(std::max(options->device, 0)));
  const std::optional<DWORD> device = AnsweringDevice(*options);
  return device ? runner.Answer(*device) : 1;
}
