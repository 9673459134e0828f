#include "framework/convert.h"

#include "framework/exception.h"

int StrToInt(const QString& Text) {
  bool ok = false;
  const int value = Text.trimmed().toInt(&ok, 10);
  if (!ok) throw Exception(QStringLiteral("'%1' is not a valid integer value").arg(Text));
  return value;
}
