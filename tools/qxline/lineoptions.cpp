#include "lineoptions.h"

#include "lineservice/translate.h"

namespace {

bool ParseCount(const QString& text, int max, int& value) {
  bool ok = false;
  const int number = text.toInt(&ok);
  if (!ok || number < 0 || number > max) return false;
  value = number;
  return true;
}

}  // namespace

QString LineUsage() {
  return QStringLiteral(
      "Usage: qxline list\n"
      "       qxline dial NUMBER [--device N]\n"
      "       qxline answer [--device N | --number NUMBER] [--rings N] [--exec COMMAND] [--once]\n"
      "       qxline add-virtual NAME NUMBER\n"
      "       qxline add-modem PORT [--name NAME] [--init STRING]\n"
      "       qxline probe [PATH...]\n"
      "       qxline emulate [--number N] [--link PATH] [--rate R] [--no-dialtone]\n"
      "       qxline remove INDEX\n"
      "Places and answers calls on the line devices of the telephony library (virtual modems and\n"
      "AT modems on serial ports), installs modems and emulates one.\n"
      "\n"
      "  list                 the line devices: index, name, number or port, kind\n"
      "  dial NUMBER          call NUMBER and join standard input and output to the call;\n"
      "                       end of input hangs up\n"
      "  answer               wait for a call, answer it and join standard input and output to it\n"
      "  add-virtual NAME NUMBER   add a virtual modem\n"
      "  add-modem PORT       add the AT modem on PORT (it must answer AT with OK)\n"
      "  probe [PATH...]      list the serial ports (and PATHs) with a modem that answers;\n"
      "                       ports another program holds are named, not touched\n"
      "  emulate              an AT modem on a new pty, on the virtual exchange: prints the pty's path\n"
      "  remove INDEX         remove the line device INDEX of the list\n"
      "\n"
      "  --device N           the line device to use (default: the first; answer: see --number)\n"
      "  --number NUMBER      answer on the virtual modem with this number\n"
      "  --rings N            answer after N rings (default 1)\n"
      "  --exec COMMAND       run COMMAND (with sh -c) with its standard input and output on the call;\n"
      "                       the call ends when it exits, it gets end of input when the far end hangs up\n"
      "  --once               end after the first call (answer waits for the next call otherwise)\n"
      "  --name NAME          add-modem: the modem's name (default: what the modem tells of itself)\n"
      "  --init STRING        add-modem: commands sent after the modem's initialisation\n"
      "  --number N           emulate: the emulator's number (default 100)\n"
      "  --link PATH          emulate: make PATH a symbolic link to the pty\n"
      "  --rate R             emulate: the highest line rate (default 33600)\n"
      "  --no-dialtone        emulate: the line has no dial tone\n"
      "  --help               show this text\n");
}

std::optional<LineOptions> ParseLineOptions(const QStringList& arguments, QString& error) {
  LineOptions options;
  if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) return options;
  if (arguments.isEmpty()) {
    error = QStringLiteral("missing command: list, dial, answer, add-virtual, add-modem, probe, emulate or remove");
    return std::nullopt;
  }
  const QString command = arguments[0];
  if (command == QStringLiteral("list")) {
    options.command = LineOptions::List;
  } else if (command == QStringLiteral("dial")) {
    options.command = LineOptions::Dial;
  } else if (command == QStringLiteral("answer")) {
    options.command = LineOptions::Answer;
  } else if (command == QStringLiteral("add-virtual")) {
    options.command = LineOptions::AddVirtual;
  } else if (command == QStringLiteral("add-modem")) {
    options.command = LineOptions::AddModem;
  } else if (command == QStringLiteral("probe")) {
    options.command = LineOptions::Probe;
  } else if (command == QStringLiteral("emulate")) {
    options.command = LineOptions::Emulate;
    options.number = QStringLiteral("100");
  } else if (command == QStringLiteral("remove")) {
    options.command = LineOptions::Remove;
  } else {
    error = QStringLiteral("unknown command \"%1\"").arg(command);
    return std::nullopt;
  }

  QStringList positional;
  bool numberGiven = false;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString argument = arguments[i];
    if (!argument.startsWith(QStringLiteral("--"))) {
      positional << argument;
      continue;
    }
    const bool answering = options.command == LineOptions::Answer;
    const bool takesDevice = options.command == LineOptions::Dial || answering;
    const auto value = [&](QString& out) {
      if (i + 1 >= arguments.size()) {
        error = QStringLiteral("%1 needs a value").arg(argument);
        return false;
      }
      out = arguments[++i];
      return true;
    };
    QString text;
    if (argument == QStringLiteral("--device") && takesDevice) {
      if (!value(text)) return std::nullopt;
      if (!ParseCount(text, 9999, options.device)) {
        error = QStringLiteral("--device needs a device index, not \"%1\"").arg(text);
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--number") && (answering || options.command == LineOptions::Emulate)) {
      if (!value(options.number)) return std::nullopt;
      numberGiven = true;
    } else if (argument == QStringLiteral("--name") && options.command == LineOptions::AddModem) {
      if (!value(options.name)) return std::nullopt;
    } else if (argument == QStringLiteral("--init") && options.command == LineOptions::AddModem) {
      if (!value(options.init)) return std::nullopt;
    } else if (argument == QStringLiteral("--link") && options.command == LineOptions::Emulate) {
      if (!value(options.link)) return std::nullopt;
    } else if (argument == QStringLiteral("--rate") && options.command == LineOptions::Emulate) {
      if (!value(text)) return std::nullopt;
      if (!ParseCount(text, 4000000, options.rate) || options.rate < 300) {
        error = QStringLiteral("--rate needs a rate from 300 to 4000000, not \"%1\"").arg(text);
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--no-dialtone") && options.command == LineOptions::Emulate) {
      options.noDialtone = true;
    } else if (argument == QStringLiteral("--rings") && answering) {
      if (!value(text)) return std::nullopt;
      if (!ParseCount(text, 1000, options.rings) || options.rings == 0) {
        error = QStringLiteral("--rings needs a count from 1 to 1000, not \"%1\"").arg(text);
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--exec") && answering) {
      if (!value(options.exec)) return std::nullopt;
      if (options.exec.trimmed().isEmpty()) {
        error = QStringLiteral("--exec needs a command");
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--once") && answering) {
      options.once = true;
    } else {
      error = QStringLiteral("%1 is not an option of %2").arg(argument, command);
      return std::nullopt;
    }
  }

  const auto expect = [&](qsizetype count, const char* what) {
    if (positional.size() == count) return true;
    error = QStringLiteral("%1 %2").arg(command, QLatin1String(what));
    return false;
  };
  switch (options.command) {
    case LineOptions::List:
      if (!expect(0, "takes no arguments")) return std::nullopt;
      break;
    case LineOptions::Dial:
      if (!expect(1, "needs one number")) return std::nullopt;
      options.number = positional[0];
      break;
    case LineOptions::Answer:
      if (!expect(0, "takes options only")) return std::nullopt;
      if (numberGiven && options.device >= 0) {
        error = QStringLiteral("answer takes --device or --number, not both");
        return std::nullopt;
      }
      break;
    case LineOptions::AddVirtual:
      if (!expect(2, "needs a name and a number")) return std::nullopt;
      options.name = positional[0];
      options.number = positional[1];
      break;
    case LineOptions::AddModem:
      if (!expect(1, "needs a port")) return std::nullopt;
      options.port = positional[0];
      break;
    case LineOptions::Probe:
      options.ports = positional;
      break;
    case LineOptions::Emulate:
      if (!expect(0, "takes options only")) return std::nullopt;
      if (!lineservice::ValidNumber(options.number.toStdString())) {
        error = QStringLiteral("\"%1\" is not a number (digits, * and #)").arg(options.number);
        return std::nullopt;
      }
      break;
    case LineOptions::Remove:
      if (!expect(1, "needs the index of a line device")) return std::nullopt;
      if (!ParseCount(positional[0], 9999, options.device)) {
        error = QStringLiteral("remove needs a device index, not \"%1\"").arg(positional[0]);
        return std::nullopt;
      }
      break;
    case LineOptions::Help:
      break;
  }
  return options;
}
