#include "qx/qxtapibuffer.h"

#include <algorithm>
#include <cstring>

TapiBuffer::TapiBuffer(DWORD Size) : m_Size(Size), m_Words((Size + 3) / 4, 0) { SetField(0, Size); }

DWORD TapiBuffer::UsedSize() const { return std::min(Field(kUsedSizeOffset), m_Size); }

bool TapiBuffer::Holds(DWORD Offset, DWORD Size) const {
  const DWORD used = UsedSize();
  return Offset <= used && used - Offset >= Size;
}

QString TapiBuffer::Text(DWORD Offset, DWORD Size) const {
  if (!Holds(Offset, Size)) return {};
  const char* const start = Bytes() + Offset;
  const auto length = static_cast<qsizetype>(std::find(start, start + Size, '\0') - start);
  return QString::fromLatin1(start, length);
}
