// Which entries of a device folder are serial devices.
#pragma once

#include <QString>
#include <QStringList>

// The names (not paths) of the serial devices in Folder that this user may open for reading and
// writing, in natural order (ttyUSB2 before ttyUSB10). In /dev a ttyS entry counts only when the
// kernel has a UART behind it.
QStringList SerialDeviceNames(const QString& Folder);
