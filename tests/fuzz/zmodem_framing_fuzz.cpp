// The ZModem frame parser on any received bytes. The first byte chooses the escaping of control
// bytes and how the rest is cut into chunks. Checks:
// - the chunked path that the component takes (runs of plain data through FeedPlainData, the rest
//   through Feed) reports exactly what feeding byte by byte reports;
// - every subpacket is at most kMaxRxBlock bytes and ends in a frame end;
// - every header and subpacket received, built again by this framing, reads back the same.
#include "fuzzcheck.h"

#include "qx/qxzmodemframing.h"
#include "support/framebuilder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Decodes a stream as a session would: a subpacket is expected after ZFILE, ZSINIT and ZDATA
// until a frame end that ends the frame.
class Recorder : public TZModemFramingEvents {
public:
  explicit Recorder(bool escapeControls) { framing.SetEscapeControls(escapeControls); }

  void HeaderReceived(const TZHeader& h) override {
    Note('H', h);
    expectData = h.Type == ZFILE || h.Type == ZDATA || h.Type == ZSINIT;
    inStream = h.Type == ZDATA;
  }
  void HeaderInData(const TZHeader& h) override {
    Note('I', h);
    expectData = h.Type == ZDATA;
    inStream = expectData;
  }
  void BlockReceived(const std::uint8_t* data, int length, std::uint8_t frameEnd) override {
    FUZZ_CHECK(length >= 0 && length <= kMaxRxBlock);
    FUZZ_CHECK(frameEnd >= ZCRCE && frameEnd <= ZCRCW);
    blocks.emplace_back(reinterpret_cast<const char*>(data), std::size_t(length));
    blockEnds.push_back(frameEnd);
    events += 'D' + std::to_string(length) + char(frameEnd);
    if (!inStream || frameEnd == ZCRCE || frameEnd == ZCRCW) expectData = false;
  }
  void BadCrc() override { events += 'X'; }
  void FrameSend(const QByteArray&, bool) override {}
  void FrameLog(TDetailLevel, const QString&) override {}
  bool FrameLogs(TDetailLevel) const override { return false; }

  TZModemFraming framing{*this};
  std::string events;
  std::vector<TZHeader> headers;
  std::vector<std::string> blocks;
  std::vector<std::uint8_t> blockEnds;
  bool expectData = false;
  bool inStream = false;

private:
  void Note(char kind, const TZHeader& h) {
    FUZZ_CHECK(h.Format == ZBIN || h.Format == ZHEX || h.Format == ZBIN32);
    headers.push_back(h);
    events += kind;
    events += std::string(reinterpret_cast<const char*>(&h.Type), 1);
    events += std::string(reinterpret_cast<const char*>(h.P.data()), 4);
  }
};

void FeedAll(Recorder& r, const QByteArray& bytes) {
  for (const char c : bytes) r.framing.Feed(std::uint8_t(c), r.expectData);
}

void CheckHeaderRoundTrip(const TZHeader& h, bool escapeControls) {
  FrameBuilder out;
  out.framing.SetEscapeControls(escapeControls);
  Recorder back(escapeControls);
  FeedAll(back, h.Format == ZHEX ? out.Hex(h.Type, h.Position()) : out.Bin(h.Type, h.Position()));
  FUZZ_CHECK(back.headers.size() == 1);
  FUZZ_CHECK(back.headers[0].Type == h.Type && back.headers[0].P == h.P);
}

void CheckBlockRoundTrip(const std::string& data, std::uint8_t frameEnd, bool escapeControls) {
  FrameBuilder out;
  out.framing.SetEscapeControls(escapeControls);
  Recorder back(escapeControls);
  back.expectData = true;
  FeedAll(back, out.Block(QByteArray(data.data(), qsizetype(data.size())), frameEnd));
  FUZZ_CHECK(back.blocks.size() == 1 && back.headers.empty());
  FUZZ_CHECK(back.blocks[0] == data && back.blockEnds[0] == frameEnd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool escapeControls = (data[0] & 1) != 0;
  const unsigned chunkSeed = data[0] >> 1;
  ++data;
  --size;

  Recorder single(escapeControls);
  for (std::size_t i = 0; i < size; ++i) single.framing.Feed(data[i], single.expectData);

  // In chunks of 1 to 128 bytes, as the serial engine hands them over.
  Recorder chunked(escapeControls);
  unsigned state = chunkSeed * 2654435761u + 1;
  for (std::size_t at = 0; at < size;) {
    state = state * 1103515245u + 12345u;
    const std::size_t end = std::min<std::size_t>(size, at + 1 + (state >> 16) % 128);
    for (std::size_t i = at; i < end; ++i) {
      if (chunked.expectData) {
        if (const int run = chunked.framing.FeedPlainData(data + i, int(end - i)); run > 0) {
          FUZZ_CHECK(std::size_t(run) <= end - i);
          i += std::size_t(run) - 1;
          continue;
        }
      }
      chunked.framing.Feed(data[i], chunked.expectData);
    }
    at = end;
  }
  FUZZ_CHECK(single.events == chunked.events);

  for (const TZHeader& h : single.headers) CheckHeaderRoundTrip(h, escapeControls);
  for (std::size_t i = 0; i < single.blocks.size(); ++i)
    CheckBlockRoundTrip(single.blocks[i], single.blockEnds[i], escapeControls);
  return 0;
}
