// Small helpers for the registry calls of the telephony units: a key that closes itself and the
// reading of a text value into a buffer of a given size.
#pragma once

#include "platform/winapi.h"

#include <QString>

// An opened registry key, closed when the object goes away; 0 when the open failed.
class ScopedRegKey {
public:
  ScopedRegKey() = default;
  ~ScopedRegKey() {
    if (m_Key != 0) RegCloseKey(m_Key);
  }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  // Opens Root\Path with the access asked for; whether it is open.
  bool Open(HKEY Root, const QString& Path, REGSAM Access);
  // Opens Root\Path, creating what is missing; whether it is open.
  bool Create(HKEY Root, const QString& Path, REGSAM Access);
  HKEY Get() const { return m_Key; }

private:
  HKEY m_Key = 0;
};

// The text of a value read into a buffer of BufferSize bytes, up to its first zero byte (Latin-1).
// False when the value is missing or does not fit.
bool ReadRegistryText(HKEY Key, const char* ValueName, DWORD BufferSize, QString& Text);
