#include "lineservice/protocol.h"

namespace lineservice {

namespace {

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutText(std::string& out, std::string_view text) {
  text = text.substr(0, kMaxText);
  out.push_back(static_cast<char>(text.size()));
  out.append(text);
}

// Reads fields from a payload front to back; any read past the end fails the whole decode.
class PayloadReader {
public:
  explicit PayloadReader(std::string_view payload) : m_Rest(payload) {}
  std::optional<std::uint32_t> U32() {
    if (m_Rest.size() < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t(std::uint8_t(m_Rest[i])) << (8 * i);
    m_Rest.remove_prefix(4);
    return value;
  }
  std::optional<std::uint8_t> U8() {
    if (m_Rest.empty()) return std::nullopt;
    const auto value = std::uint8_t(m_Rest[0]);
    m_Rest.remove_prefix(1);
    return value;
  }
  std::optional<std::string> Text() {
    const auto size = U8();
    if (!size || m_Rest.size() < *size) return std::nullopt;
    std::string text(m_Rest.substr(0, *size));
    m_Rest.remove_prefix(*size);
    if (text.find('\0') != std::string::npos) return std::nullopt;
    return text;
  }
  bool AtEnd() const { return m_Rest.empty(); }

private:
  std::string_view m_Rest;
};

bool KnownType(std::uint8_t type) {
  return type >= std::uint8_t(FrameType::Call) && type <= std::uint8_t(FrameType::Hangup);
}

}  // namespace

std::string EncodeFrame(FrameType type, std::string_view payload) {
  std::string frame;
  frame.reserve(kFrameHeader + payload.size());
  frame.push_back(static_cast<char>(type));
  PutU32(frame, static_cast<std::uint32_t>(payload.size()));
  frame.append(payload);
  return frame;
}

bool FrameReader::Feed(const char* data, std::size_t count, std::vector<Frame>& frames) {
  m_Pending.append(data, count);
  std::size_t at = 0;
  while (m_Pending.size() - at >= kFrameHeader) {
    const auto type = std::uint8_t(m_Pending[at]);
    PayloadReader header(std::string_view(m_Pending).substr(at + 1, 4));
    const std::uint32_t length = *header.U32();
    if (!KnownType(type)) return false;
    const std::size_t limit = FrameType(type) == FrameType::Data ? kMaxData : kMaxControl;
    if (length > limit) return false;
    if (m_Pending.size() - at - kFrameHeader < length) break;
    frames.push_back(Frame{FrameType(type), m_Pending.substr(at + kFrameHeader, length)});
    at += kFrameHeader + length;
  }
  m_Pending.erase(0, at);
  return true;
}

std::string EncodeCallRequest(const CallRequest& request) {
  std::string out;
  out.push_back(static_cast<char>(kProtocolVersion));
  PutU32(out, request.maxRate);
  PutU32(out, request.mediaMode);
  PutText(out, request.callerNumber);
  PutText(out, request.callerName);
  PutText(out, request.calledNumber);
  return out;
}

std::optional<CallRequest> DecodeCallRequest(std::string_view payload) {
  PayloadReader in(payload);
  const auto version = in.U8();
  if (!version || *version != kProtocolVersion) return std::nullopt;
  CallRequest request;
  const auto rate = in.U32(), media = in.U32();
  auto number = in.Text(), name = in.Text(), called = in.Text();
  if (!rate || !media || !number || !name || !called || !in.AtEnd()) return std::nullopt;
  request.maxRate = *rate;
  request.mediaMode = *media;
  request.callerNumber = std::move(*number);
  request.callerName = std::move(*name);
  request.calledNumber = std::move(*called);
  return request;
}

std::string EncodeNumber(std::uint32_t value) {
  std::string out;
  PutU32(out, value);
  return out;
}

std::optional<std::uint32_t> DecodeNumber(std::string_view payload) {
  PayloadReader in(payload);
  const auto value = in.U32();
  if (!value || !in.AtEnd()) return std::nullopt;
  return value;
}

std::string EncodeDigits(const DigitsMessage& digits) {
  std::string out;
  PutU32(out, digits.mode);
  PutText(out, digits.digits);
  return out;
}

std::optional<DigitsMessage> DecodeDigits(std::string_view payload) {
  PayloadReader in(payload);
  const auto mode = in.U32();
  auto digits = in.Text();
  if (!mode || !digits || !in.AtEnd()) return std::nullopt;
  return DigitsMessage{*mode, std::move(*digits)};
}

}  // namespace lineservice
