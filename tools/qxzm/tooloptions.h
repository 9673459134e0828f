// The command line of qxzm.
#pragma once

#include "qx/qxzmodem.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// What one run of qxzm does, as read from its arguments.
struct ToolOptions {
  enum Mode { Send, Receive };
  Mode mode = Receive;
  QStringList files;      // send: files and masks
  QString directory;      // receive: where files go
  QString port;           // a serial device instead of standard input and output
  QString logFile;
  TzModemOptions zmOptions{zoCreateWithNewName};
  std::uint32_t timeout = 10000;
  std::uint32_t retries = 3;
  std::uint32_t baudRate = 115200;  // with --port
  bool help = false;
};

// The options, or the reason the arguments are refused in `error`.
std::optional<ToolOptions> ParseToolOptions(const QStringList& arguments, QString& error);

QString ToolUsage();
