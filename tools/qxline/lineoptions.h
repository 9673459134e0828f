// The command line of qxline.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What one run of qxline does, as read from its arguments.
struct LineOptions {
  enum Command { List, Dial, Answer, AddVirtual, AddModem, Probe, Emulate, Remove, Help };
  Command command = Help;
  QString number;       // dial: the number; answer: --number; add-virtual: the new number
  QString name;         // add-virtual
  int device = -1;      // --device, or remove's index
  int rings = 1;        // answer: after how many rings
  QString exec;         // answer: a command run on the call
  bool once = false;    // answer: end after one call
  QString port;         // add-modem: the port
  QString init;         // add-modem: the user's init string
  QStringList ports;    // probe: paths to try besides the serial ports found
  QString link;         // emulate: a symbolic link to the pty
  int rate = 33600;     // emulate: its highest line rate
  bool noDialtone = false;  // emulate: the line has no dial tone
};

// The options, or the reason the arguments are refused in `error`.
std::optional<LineOptions> ParseLineOptions(const QStringList& arguments, QString& error);

QString LineUsage();
