// TapiBuffer: a zeroed, aligned buffer for one variable-size telephony structure (VARSTRING,
// LINECALLINFO, LINETRANSLATEOUTPUT, LINEDEVCAPS). The structure's dwTotalSize is set to the
// buffer's size; everything read back (fields, texts at offsets) is checked against the buffer and
// the structure's dwUsedSize, so an answer that announces more than it wrote is never read past.
#pragma once

#include "platform/wintypes.h"

#include <QString>

#include <cstring>
#include <vector>

class TapiBuffer {
public:
  explicit TapiBuffer(DWORD Size);

  // The structure to hand to the telephony library.
  template <class T>
  T* As() {
    return reinterpret_cast<T*>(m_Words.data());
  }
  void* Data() { return m_Words.data(); }
  const char* Bytes() const { return reinterpret_cast<const char*>(m_Words.data()); }
  DWORD Size() const { return m_Size; }

  // The 32-bit field at byte Offset (0 when it lies outside the buffer).
  DWORD Field(DWORD Offset) const { return Get<DWORD>(Offset); }
  void SetField(DWORD Offset, DWORD Value) { Put(Offset, Value); }
  // The same for a 16-bit field.
  WORD Word(DWORD Offset) const { return Get<WORD>(Offset); }
  void SetWord(DWORD Offset, WORD Value) { Put(Offset, Value); }
  // dwUsedSize, bounded by the buffer.
  DWORD UsedSize() const;
  // Whether the Size bytes at Offset lie inside the used part.
  bool Holds(DWORD Offset, DWORD Size) const;
  // The Size bytes at Offset as text (Latin-1), ending at the first zero byte; empty when they do
  // not lie inside the used part.
  QString Text(DWORD Offset, DWORD Size) const;

private:
  static constexpr DWORD kUsedSizeOffset = 8;  // dwUsedSize follows dwTotalSize and dwNeededSize

  bool Fits(DWORD Offset, DWORD Size) const { return Offset <= m_Size && m_Size - Offset >= Size; }
  template <class T>
  T Get(DWORD Offset) const {
    T value{};
    if (Fits(Offset, sizeof value)) std::memcpy(&value, Bytes() + Offset, sizeof value);
    return value;
  }
  template <class T>
  void Put(DWORD Offset, T Value) {
    if (Fits(Offset, sizeof Value)) std::memcpy(static_cast<char*>(Data()) + Offset, &Value, sizeof Value);
  }

  DWORD m_Size;
  std::vector<DWORD> m_Words;  // DWORD storage keeps the structure aligned
};
