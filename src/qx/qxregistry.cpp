#include "qx/qxregistry.h"

#include <QByteArray>

#include <vector>

bool ScopedRegKey::Open(HKEY Root, const QString& Path, REGSAM Access) {
  return RegOpenKeyExA(Root, Path.toLatin1().constData(), 0, Access, &m_Key) == ERROR_SUCCESS;
}

bool ScopedRegKey::Create(HKEY Root, const QString& Path, REGSAM Access) {
  return RegCreateKeyExA(Root, Path.toLatin1().constData(), 0, nullptr, REG_OPTION_NON_VOLATILE, Access, nullptr,
                         &m_Key, nullptr) == ERROR_SUCCESS;
}

bool ReadRegistryText(HKEY Key, const char* ValueName, DWORD BufferSize, QString& Text) {
  std::vector<char> buffer(BufferSize, '\0');
  DWORD size = BufferSize;
  if (RegQueryValueExA(Key, ValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS)
    return false;
  qsizetype length = 0;
  while (length < static_cast<qsizetype>(size) && buffer[length] != '\0') ++length;
  Text = QString::fromLatin1(buffer.data(), length);
  return true;
}
