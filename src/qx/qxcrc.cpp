#include "qx/qxcrc.h"

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

constexpr auto kCrc16Values = MakeCrc16Table();
constexpr auto kCrc32Values = MakeCrc32Table();

static_assert(kCrc16Values[1] == 0x1021 && kCrc16Values[255] == 0x1EF0);
static_assert(kCrc32Values[1] == 0x77073096u && kCrc32Values[255] == 0x2D02EF8Du);

}  // namespace

const std::array<std::uint16_t, 256> qxcrc_detail::kCrc16Table = kCrc16Values;
const std::array<std::uint32_t, 256> qxcrc_detail::kCrc32Table = kCrc32Values;
