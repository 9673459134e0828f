#include "tooloptions.h"

#include <utility>

namespace {

struct Flag {
  const char* name;
  TzModemOption option;
};

// The switches that map one to one onto the component's options.
constexpr Flag kFlags[] = {
    {"--escape-controls", zoEscCtrls},   {"--segmented", zoSegmentTransfer},
    {"--resume", zoResuming},            {"--overwrite", zoOverwrite},
    {"--rename", zoCreateWithNewName},   {"--without-rz", zoWithoutRZ},
    {"--challenge", zoChallenge},        {"--ignore-file-time", zoIgnoreFileTime},
    {"--no-wait-final", zoNotWaitFinal},
};

const Flag* FindFlag(const QString& argument) {
  for (const Flag& flag : kFlags)
    if (argument == QLatin1String(flag.name)) return &flag;
  return nullptr;
}

bool ParseNumber(const QString& text, std::uint32_t max, std::uint32_t& value) {
  bool ok = false;
  const qulonglong number = text.toULongLong(&ok);
  if (!ok || number > max) return false;
  value = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace

QString ToolUsage() {
  return QStringLiteral(
      "Usage: qxzm send [options] FILE|MASK...\n"
      "       qxzm receive [options] [DIR]\n"
      "Transfers files with ZModem on standard input and output, or on a serial device.\n"
      "\n"
      "  --port PATH          use the serial device (or pty) PATH\n"
      "  --baud RATE          line rate of the serial device (default 115200)\n"
      "  --escape-controls    escape every control character\n"
      "  --segmented          wait for an acknowledgement after every block\n"
      "  --resume             continue partial files\n"
      "  --overwrite          overwrite existing files\n"
      "  --rename             give an existing file's newcomer a numbered name (default)\n"
      "  --no-rename          refuse files that exist (unless --overwrite)\n"
      "  --without-rz         send no \"rz\" command first (receive never needs it)\n"
      "  --challenge          challenge the sender before receiving\n"
      "  --ignore-file-time   keep the time of writing on received files\n"
      "  --no-wait-final      end after the final ZFIN without the receiver's answer\n"
      "  --timeout MS         time-out in milliseconds (default 10000)\n"
      "  --retries N          time-outs tolerated in a row (default 3)\n"
      "  --log FILE           write a debug log to FILE\n"
      "  --help               show this text\n");
}

std::optional<ToolOptions> ParseToolOptions(const QStringList& arguments, QString& error) {
  ToolOptions options;
  // Asked for anywhere among the options, help wins over everything else.
  const QStringList optionPart = arguments.mid(0, arguments.indexOf(QStringLiteral("--")));
  if (optionPart.contains(QStringLiteral("--help")) || optionPart.contains(QStringLiteral("-h"))) {
    options.help = true;
    return options;
  }
  if (arguments.isEmpty()) {
    error = QStringLiteral("missing command: send or receive");
    return std::nullopt;
  }
  if (arguments[0] == QStringLiteral("send")) {
    options.mode = ToolOptions::Send;
  } else if (arguments[0] == QStringLiteral("receive")) {
    options.mode = ToolOptions::Receive;
  } else {
    error = QStringLiteral("unknown command \"%1\": use send or receive").arg(arguments[0]);
    return std::nullopt;
  }

  QStringList positional;
  bool renameGiven = false;
  bool optionsEnded = false;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    QString argument = arguments[i];
    if (optionsEnded || !argument.startsWith(u'-') || argument == QStringLiteral("-")) {
      positional << argument;
      continue;
    }
    if (argument == QStringLiteral("--")) {
      optionsEnded = true;
      continue;
    }
    // "--name=value" and "--name value" are the same.
    std::optional<QString> inlineValue;
    if (const qsizetype eq = argument.indexOf(u'='); eq > 0) {
      inlineValue = argument.mid(eq + 1);
      argument.truncate(eq);
    }
    const auto takeValue = [&](QString& value) {
      if (inlineValue) {
        value = *inlineValue;
        inlineValue.reset();
        return true;
      }
      if (i + 1 >= arguments.size()) {
        error = QStringLiteral("%1 needs a value").arg(argument);
        return false;
      }
      value = arguments[++i];
      return true;
    };

    QString value;
    if (const Flag* flag = FindFlag(argument)) {
      options.zmOptions.Include(flag->option);
      if (flag->option == zoCreateWithNewName) renameGiven = true;
    } else if (argument == QStringLiteral("--no-rename")) {
      options.zmOptions.Exclude(zoCreateWithNewName);
      renameGiven = true;
    } else if (argument == QStringLiteral("--port")) {
      if (!takeValue(options.port)) return std::nullopt;
      if (options.port.isEmpty()) {
        error = QStringLiteral("--port needs a device path");
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--baud")) {
      if (!takeValue(value)) return std::nullopt;
      if (!ParseNumber(value, 4000000, options.baudRate) || options.baudRate == 0) {
        error = QStringLiteral("--baud needs a line rate, not \"%1\"").arg(value);
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--log")) {
      if (!takeValue(options.logFile)) return std::nullopt;
      if (options.logFile.isEmpty()) {
        error = QStringLiteral("--log needs a file name");
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--timeout")) {
      if (!takeValue(value)) return std::nullopt;
      if (!ParseNumber(value, 3600000, options.timeout) || options.timeout == 0) {
        error = QStringLiteral("--timeout needs milliseconds from 1 to 3600000, not \"%1\"").arg(value);
        return std::nullopt;
      }
    } else if (argument == QStringLiteral("--retries")) {
      if (!takeValue(value)) return std::nullopt;
      if (!ParseNumber(value, 1000, options.retries)) {
        error = QStringLiteral("--retries needs a count from 0 to 1000, not \"%1\"").arg(value);
        return std::nullopt;
      }
    } else {
      error = QStringLiteral("unknown option %1").arg(argument);
      return std::nullopt;
    }
    if (inlineValue) {
      error = QStringLiteral("%1 takes no value").arg(argument);
      return std::nullopt;
    }
  }
  // Overwriting is asked for explicitly, so it wins over the default renaming.
  if (options.zmOptions.Contains(zoOverwrite) && !renameGiven) options.zmOptions.Exclude(zoCreateWithNewName);

  if (options.mode == ToolOptions::Send) {
    if (positional.isEmpty()) {
      error = QStringLiteral("send needs at least one file");
      return std::nullopt;
    }
    options.files = std::move(positional);
  } else {
    if (positional.size() > 1) {
      error = QStringLiteral("receive takes one directory at most");
      return std::nullopt;
    }
    options.directory = positional.isEmpty() ? QStringLiteral(".") : positional[0];
    // Asked to receive, the tool takes a ZRQINIT alone as rz does: a terminal that starts it has
    // usually shown the sender's "rz\r" already.
    options.zmOptions.Include(zoWithoutRZ);
  }
  return options;
}
