// The registry's keys and values in memory, and their text in a store file: the ".reg" export
// format (REGEDIT4), one file per root.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\System\Modem]
//   @="default value"
//   "FriendlyName"="Virtual Modem 1"
//   "Count"=dword:0000000a
//   "Block"=hex:01,02,ff
//   "List"=hex(7):61,00,00,00
//
// Every key has a section, parents before children. Strings escape '"', '\' and control bytes
// (\n, \r, \t, \xHH) and keep bytes 0x80-0xFF as they are. A REG_SZ is written as text when its
// bytes end in its one terminating zero, a REG_DWORD as dword: when it has four bytes; any other
// value as hex(type): with its bytes exactly as stored.
#pragma once

#include "platform/wintypes.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct RegistryValue {
  std::string name;  // as first written; "" is the key's default value
  DWORD type = REG_NONE;
  std::string data;  // the bytes as stored: a REG_SZ with its terminating zero
};

// A key with its values in the order they were first written and its subkeys sorted by
// FoldRegistryName. Names are looked up without regard to letter case.
struct RegistryKey {
  std::string name;
  std::vector<RegistryValue> values;
  std::vector<RegistryKey> subkeys;

  RegistryValue* FindValue(std::string_view name);
  const RegistryValue* FindValue(std::string_view name) const;
  RegistryKey* FindSubkey(std::string_view name);
  const RegistryKey* FindSubkey(std::string_view name) const;
  // The subkey of that name, inserted at its sorted place when there is none. References to
  // other subkeys of this key do not survive an insertion.
  RegistryKey& AddSubkey(std::string_view name, bool* created = nullptr);
  bool RemoveSubkey(std::string_view name);
  bool RemoveValue(std::string_view name);
};

// The name as the registry compares and sorts names: ASCII letters in upper case, other bytes kept.
std::string FoldRegistryName(std::string_view name);

// The file's text for a root key whose name is the root's ("HKEY_LOCAL_MACHINE").
std::string FormatRegistryFile(const RegistryKey& root);

struct RegistryParseError {
  int line = 0;  // 1-based
  std::string reason;
};

// Reads a file's text into root (whose name says which root the sections must belong to).
// Returns false, leaving root unspecified, when the text is not a well-formed store file.
bool ParseRegistryFile(std::string_view text, RegistryKey& root, RegistryParseError& error);

}  // namespace platform
