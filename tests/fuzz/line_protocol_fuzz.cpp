// The virtual exchange's socket protocol on any bytes a far modem may send. The first byte
// chooses how the rest is cut into reads. Checks: the frames and the verdict do not depend on how
// the stream is cut; every frame keeps to its type's limit and, encoded again, gives back the
// bytes it was read from; a payload that decodes encodes back to itself.
#include "fuzzcheck.h"

#include "lineservice/protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace lineservice;

namespace {

void CheckPayload(const Frame& frame) {
  if (frame.type == FrameType::Call) {
    if (const auto request = DecodeCallRequest(frame.payload)) {
      FUZZ_CHECK(request->callerNumber.size() <= kMaxText && request->calledNumber.size() <= kMaxText);
      FUZZ_CHECK(EncodeCallRequest(*request) == frame.payload);
    }
  } else if (frame.type == FrameType::Digits) {
    if (const auto digits = DecodeDigits(frame.payload)) FUZZ_CHECK(EncodeDigits(*digits) == frame.payload);
  } else if (const auto number = DecodeNumber(frame.payload)) {
    FUZZ_CHECK(EncodeNumber(*number) == frame.payload);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  unsigned state = data[0] * 2654435761u + 1;
  const char* stream = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  FrameReader whole;
  std::vector<Frame> frames;
  const bool trusted = whole.Feed(stream, length, frames);

  FrameReader pieces;
  std::vector<Frame> pieceFrames;
  bool pieceTrusted = true;
  for (std::size_t at = 0; at < length && pieceTrusted;) {
    state = state * 1103515245u + 12345u;
    const std::size_t count = std::min<std::size_t>(length - at, 1 + (state >> 16) % 64);
    pieceTrusted = pieces.Feed(stream + at, count, pieceFrames);
    at += count;
  }
  FUZZ_CHECK(trusted == pieceTrusted);
  FUZZ_CHECK(frames.size() == pieceFrames.size());

  std::string encoded;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& frame = frames[i];
    FUZZ_CHECK(frame.type == pieceFrames[i].type && frame.payload == pieceFrames[i].payload);
    FUZZ_CHECK(frame.payload.size() <= (frame.type == FrameType::Data ? kMaxData : kMaxControl));
    encoded += EncodeFrame(frame.type, frame.payload);
    CheckPayload(frame);
  }
  FUZZ_CHECK(std::string(stream, encoded.size()) == encoded);
  return 0;
}
