#include "framework/serialdevices.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

const QStringList kSerialPatterns = {QStringLiteral("ttyS*"),   QStringLiteral("ttyUSB*"),
                                     QStringLiteral("ttyACM*"), QStringLiteral("ttyAMA*"),
                                     QStringLiteral("ttyXRUSB*"), QStringLiteral("rfcomm*")};

// A ttyS entry exists for every possible UART, so it counts only when a driver is bound to it.
bool IsSerialDevice(const QString& folder, const QString& name) {
  if (!name.startsWith(QStringLiteral("ttyS")) || folder != QStringLiteral("/dev")) return true;
  return QFileInfo::exists(QStringLiteral("/sys/class/tty/%1/device/driver").arg(name));
}

// The stem, then the trailing number by value.
bool NaturalLess(const QString& a, const QString& b) {
  const auto split = [](const QString& name) {
    qsizetype digits = name.size();
    while (digits > 0 && name[digits - 1].isDigit()) --digits;
    return std::pair(name.left(digits), name.mid(digits).toULongLong());
  };
  return split(a) < split(b);
}

}  // namespace

QStringList SerialDeviceNames(const QString& Folder) {
  QStringList names =
      QDir(Folder).entryList(kSerialPatterns, QDir::System | QDir::Files | QDir::Readable | QDir::Writable);
  names.removeIf([&Folder](const QString& name) { return !IsSerialDevice(Folder, name); });
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}
