// The two checksum updates that protect every ZModem header and data subpacket.
#pragma once

#include <array>
#include <cstdint>

// The byte-wise tables behind the updates; inline because the updates run once per byte on the line.
namespace qxcrc_detail {
extern const std::array<std::uint16_t, 256> kCrc16Table;
extern const std::array<std::uint32_t, 256> kCrc32Table;
}  // namespace qxcrc_detail

// CRC-16 of the CCITT polynomial 0x1021, most significant bit first, the new byte entering at the
// low end. Fed from 0 over a message and two zero bytes it yields the CRC-16/XMODEM of the message;
// fed over a message and its received CRC (high byte first) it leaves 0 when the message is intact.
inline std::uint16_t UpdCrc16(std::uint8_t Value, std::uint16_t Crc) {
  return static_cast<std::uint16_t>(qxcrc_detail::kCrc16Table[(Crc >> 8) & 0xFF] ^ (Crc << 8) ^ Value);
}

// UpdCrc16 over Count bytes in order, four at a time: what long subpackets are checked with.
std::uint16_t UpdCrc16Run(const std::uint8_t* Data, int Count, std::uint16_t Crc);

// Reflected CRC-32 of the IEEE 802.3 polynomial (0xEDB88320). Start with 0xFFFFFFFF; a message
// followed by its complemented CRC, least significant byte first, leaves the residue 0xDEBB20E3.
inline std::uint32_t UpdCrc32(std::uint8_t Value, std::uint32_t Crc) {
  return qxcrc_detail::kCrc32Table[(Crc ^ Value) & 0xFF] ^ (Crc >> 8);
}

// UpdCrc32 over Count bytes in order, four at a time.
std::uint32_t UpdCrc32Run(const std::uint8_t* Data, int Count, std::uint32_t Crc);
