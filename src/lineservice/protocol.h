// The virtual exchange's protocol between two virtual modems, on a Unix stream socket: frames of
// a type byte, a 32-bit little-endian payload length and the payload. The caller sends CALL; the
// callee answers BUSY, or RINGING once per ring and ANSWER when its owner answers; the caller
// confirms with CONNECT; then DATA and DIGITS flow both ways; HANGUP ends the call and the sender
// closes. Anything else (an unknown type, a payload over its limit, a malformed payload) is a
// protocol error: the peer is disconnected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lineservice {

enum class FrameType : std::uint8_t {
  Call = 1,
  Ringing = 2,
  Busy = 3,
  Answer = 4,
  Connect = 5,
  Data = 6,
  Digits = 7,
  Hangup = 8,
};

constexpr std::uint8_t kProtocolVersion = 1;
constexpr std::size_t kFrameHeader = 5;
constexpr std::size_t kMaxData = 65536;       // bytes of one DATA frame
constexpr std::size_t kMaxControl = 1024;     // payload of any other frame
constexpr std::size_t kMaxText = 255;         // numbers, names, digit strings

struct Frame {
  FrameType type;
  std::string payload;
};

std::string EncodeFrame(FrameType type, std::string_view payload = {});

// Cuts a byte stream into frames.
class FrameReader {
public:
  // Appends the bytes and moves every complete frame to `frames`; false on a protocol error
  // (the stream cannot be trusted any further).
  bool Feed(const char* data, std::size_t count, std::vector<Frame>& frames);

private:
  std::string m_Pending;
};

struct CallRequest {
  std::uint32_t maxRate = 0;
  std::uint32_t mediaMode = 0;
  std::string callerNumber;
  std::string callerName;
  std::string calledNumber;
};

struct DigitsMessage {
  std::uint32_t mode = 0;
  std::string digits;
};

std::string EncodeCallRequest(const CallRequest& request);
std::optional<CallRequest> DecodeCallRequest(std::string_view payload);
std::string EncodeNumber(std::uint32_t value);
std::optional<std::uint32_t> DecodeNumber(std::string_view payload);
std::string EncodeDigits(const DigitsMessage& digits);
std::optional<DigitsMessage> DecodeDigits(std::string_view payload);

}  // namespace lineservice
