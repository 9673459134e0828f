#include "qx/qxsysutils.h"

QString IntToOctal(std::uint32_t Value) {
  QString text;
  while (Value != 0) {
    text.prepend(QChar(u'0' + (Value & 7)));
    Value >>= 3;
  }
  return text;
}

std::int32_t OctalToInt(const QString& Text) {
  std::uint32_t result = 0;
  for (const QChar c : Text) {
    if (c < u'0' || c > u'7')
      return 0;
    result = result * 8 + static_cast<std::uint32_t>(c.unicode() - u'0');
  }
  return static_cast<std::int32_t>(result);
}
