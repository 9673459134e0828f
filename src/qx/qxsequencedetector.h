// SequenceDetector: spots a fixed byte sequence in a stream fed one byte at a time.
#pragma once

#include <cstdint>

// After a mismatch it restarts naively (at 1 when the byte equals the first pattern byte, else at 0),
// so a match whose start overlaps a failed partial match is missed. The pattern is not owned.
struct SequenceDetector {
  std::uint32_t Position = 0;
  std::uint32_t Length = 0;
  const std::uint8_t* Pattern = nullptr;

  // True when B completes the pattern; matching then starts over.
  bool Feed(std::uint8_t B);
};
