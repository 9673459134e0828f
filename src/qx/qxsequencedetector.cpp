#include "qx/qxsequencedetector.h"

bool SequenceDetector::Feed(std::uint8_t B) {
  if (Length == 0) return false;
  if (B == Pattern[Position]) {
    ++Position;
    if (Position >= Length) {
      Position = 0;
      return true;
    }
    return false;
  }
  Position = (B == Pattern[0]) ? 1 : 0;
  return false;
}
