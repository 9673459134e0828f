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

// Four bytes at a time. The CRC-16 register R stands for R mod P, so after four bytes it holds
// R x^32 + v1 x^24 + v2 x^16 + v3 x^8 + v4 mod P: Shifted[k][b] is b x^(16 + 8k) mod P (Shifted[0]
// is the byte-wise table), and v3, v4 enter unreduced. For the reflected CRC-32, Shifted[k][b] is
// the table entry of b followed by k zero bytes.
constexpr std::array<std::array<std::uint16_t, 256>, 4> MakeCrc16Slices() {
  std::array<std::array<std::uint16_t, 256>, 4> slices{};
  slices[0] = kCrc16Values;
  for (int k = 1; k < 4; ++k)
    for (unsigned b = 0; b < 256; ++b) {
      const unsigned r = slices[k - 1][b];
      slices[k][b] = static_cast<std::uint16_t>(kCrc16Values[(r >> 8) & 0xFF] ^ (r << 8));
    }
  return slices;
}

constexpr std::array<std::array<std::uint32_t, 256>, 4> MakeCrc32Slices() {
  std::array<std::array<std::uint32_t, 256>, 4> slices{};
  slices[0] = kCrc32Values;
  for (int k = 1; k < 4; ++k)
    for (unsigned b = 0; b < 256; ++b) {
      const std::uint32_t r = slices[k - 1][b];
      slices[k][b] = kCrc32Values[r & 0xFF] ^ (r >> 8);
    }
  return slices;
}

constexpr auto kCrc16Slices = MakeCrc16Slices();
constexpr auto kCrc32Slices = MakeCrc32Slices();

static_assert(kCrc16Values[1] == 0x1021 && kCrc16Values[255] == 0x1EF0);
static_assert(kCrc32Values[1] == 0x77073096u && kCrc32Values[255] == 0x2D02EF8Du);

}  // namespace

const std::array<std::uint16_t, 256> qxcrc_detail::kCrc16Table = kCrc16Values;
const std::array<std::uint32_t, 256> qxcrc_detail::kCrc32Table = kCrc32Values;

std::uint16_t UpdCrc16Run(const std::uint8_t* Data, int Count, std::uint16_t Crc) {
  unsigned r = Crc;
  int i = 0;
  for (; i + 4 <= Count; i += 4) {
    r = kCrc16Slices[3][(r >> 8) & 0xFF] ^ kCrc16Slices[2][r & 0xFF] ^ kCrc16Slices[1][Data[i]] ^
        kCrc16Slices[0][Data[i + 1]] ^ (unsigned{Data[i + 2]} << 8) ^ Data[i + 3];
    r &= 0xFFFF;
  }
  auto crc = static_cast<std::uint16_t>(r);
  for (; i < Count; ++i) crc = UpdCrc16(Data[i], crc);
  return crc;
}

std::uint32_t UpdCrc32Run(const std::uint8_t* Data, int Count, std::uint32_t Crc) {
  int i = 0;
  for (; i + 4 <= Count; i += 4) {
    Crc ^= std::uint32_t{Data[i]} | std::uint32_t{Data[i + 1]} << 8 | std::uint32_t{Data[i + 2]} << 16 |
           std::uint32_t{Data[i + 3]} << 24;
    Crc = kCrc32Slices[3][Crc & 0xFF] ^ kCrc32Slices[2][(Crc >> 8) & 0xFF] ^ kCrc32Slices[1][(Crc >> 16) & 0xFF] ^
          kCrc32Slices[0][Crc >> 24];
  }
  for (; i < Count; ++i) Crc = UpdCrc32(Data[i], Crc);
  return Crc;
}
