// The file information block of a ZFILE subpacket, as a sender announces a file: its name, then
// blank-separated fields of which the size and the modification time (octal seconds since 1970)
// are used. Reading it does no I/O, so that it can be checked on any bytes.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

struct TZFileInfo {
  // The name as sent, decoded in the file system's encoding.
  QString WireName;
  // The name the file may take in the receive folder: everything up to the last '/', '\' or ':'
  // removed. Empty when nothing usable is left (an empty name, "." or ".."): the file is refused.
  QString Name;
  // The announced size: the field's leading decimal digits; 0 (unknown) when it has none or they
  // do not fit 32 bits.
  std::uint32_t Size = 0;
  // The announced modification time; none when the field is missing or "0".
  std::optional<std::int32_t> ModTime;
};

TZFileInfo ParseFileInfo(const std::uint8_t* Data, int Length);
