#include "qx/qxtapibuffer.h"

#include <algorithm>
#include <cstring>

TapiBuffer::TapiBuffer(DWORD Size) : m_Size(Size), m_Words((Size + 3) / 4, 0) { SetField(0, Size); }

DWORD TapiBuffer::Field(DWORD Offset) const {
  DWORD value = 0;
  if (Offset <= m_Size && m_Size - Offset >= sizeof value) std::memcpy(&value, Bytes() + Offset, sizeof value);
  return value;
}

void TapiBuffer::SetField(DWORD Offset, DWORD Value) {
  if (Offset <= m_Size && m_Size - Offset >= sizeof Value) std::memcpy(static_cast<char*>(Data()) + Offset, &Value, sizeof Value);
}

WORD TapiBuffer::Word(DWORD Offset) const {
  WORD value = 0;
  if (Offset <= m_Size && m_Size - Offset >= sizeof value) std::memcpy(&value, Bytes() + Offset, sizeof value);
  return value;
}

void TapiBuffer::SetWord(DWORD Offset, WORD Value) {
  if (Offset <= m_Size && m_Size - Offset >= sizeof Value) std::memcpy(static_cast<char*>(Data()) + Offset, &Value, sizeof Value);
}

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
