#include "qx/qxcrc.h"

#include <array>

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[i] = static_cast<std::uint16_t>(crc);
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc32Table = MakeCrc32Table();

static_assert(kCrc16Table[1] == 0x1021 && kCrc16Table[255] == 0x1EF0);
static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[255] == 0x2D02EF8Du);

}  // namespace

std::uint16_t UpdCrc16(std::uint8_t Value, std::uint16_t Crc) {
  return static_cast<std::uint16_t>(kCrc16Table[(Crc >> 8) & 0xFF] ^ (Crc << 8) ^ Value);
}

std::uint32_t UpdCrc32(std::uint8_t Value, std::uint32_t Crc) {
  return kCrc32Table[(Crc ^ Value) & 0xFF] ^ (Crc >> 8);
}
