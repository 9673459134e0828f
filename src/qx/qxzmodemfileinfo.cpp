#include "qx/qxzmodemfileinfo.h"

#include "qx/qxsysutils.h"

#include <QByteArray>

#include <algorithm>
#include <climits>

namespace {

// A field of the file information block: up to a zero byte, a blank or the end.
QByteArray NextField(const std::uint8_t* Data, int Length, int& Index, bool StopAtBlank) {
  QByteArray field;
  while (Index < Length && Data[Index] != 0 && !(StopAtBlank && Data[Index] == ' '))
    field.append(char(Data[Index++]));
  if (Index < Length) ++Index;  // the separator
  return field;
}

std::uint32_t AnnouncedSize(const QByteArray& Field) {
  std::uint64_t size = 0;
  for (const char c : Field) {
    if (c < '0' || c > '9') break;
    size = size * 10 + static_cast<std::uint64_t>(c - '0');
    if (size > UINT32_MAX) return 0;
  }
  return static_cast<std::uint32_t>(size);
}

QString BareName(const QString& Name) {
  const qsizetype cut = std::max({Name.lastIndexOf(u'/'), Name.lastIndexOf(u'\\'), Name.lastIndexOf(u':')});
  const QString bare = Name.mid(cut + 1);
  return bare == u"." || bare == u".." ? QString() : bare;
}

}  // namespace

TZFileInfo ParseFileInfo(const std::uint8_t* Data, int Length) {
  TZFileInfo info;
  int index = 0;
  info.WireName = QString::fromLocal8Bit(NextField(Data, Length, index, false));
  info.Name = BareName(info.WireName);
  info.Size = AnnouncedSize(NextField(Data, Length, index, true));
  const QString modTime = QString::fromLatin1(NextField(Data, Length, index, true));
  if (!modTime.isEmpty() && modTime != u"0") info.ModTime = OctalToInt(modTime);
  return info;
}
