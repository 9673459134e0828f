// The ZModem frame format byte for byte: headers, escaping, subpackets, the parsers and the
// header routing table.
#include "qx/qxcrc.h"
#include "qx/qxzmodemframing.h"
#include "qx/qxzmodemrouting.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Records what the framing hands out; a sent frame can be fed back to a second framing.
class Recorder : public TZModemFramingEvents {
public:
  struct Block { QByteArray data; std::uint8_t frameEnd; };

  void FrameSend(const QByteArray& Bytes, bool AsBuffer) override {
    sent.append(Bytes);
    asBuffer.push_back(AsBuffer);
  }
  void FrameLog(TDetailLevel, const QString& Text) override { log.push_back(Text); }
  bool FrameLogs(TDetailLevel) const override { return true; }
  void HeaderReceived(const TZHeader& Header) override { headers.push_back(Header); }
  void HeaderInData(const TZHeader& Header) override { dataHeaders.push_back(Header); }
  void BlockReceived(const std::uint8_t* Data, int Length, std::uint8_t FrameEnd) override {
    blocks.push_back({QByteArray(reinterpret_cast<const char*>(Data), Length), FrameEnd});
  }
  void BadCrc() override { ++badCrcs; }

  QByteArray sent;
  std::vector<bool> asBuffer;
  std::vector<QString> log;
  std::vector<TZHeader> headers;
  std::vector<TZHeader> dataHeaders;
  std::vector<Block> blocks;
  int badCrcs = 0;
};

struct Side {
  Recorder events;
  TZModemFraming framing{events};

  void Feed(const QByteArray& bytes, bool expectData = false) {
    for (const char b : bytes) framing.Feed(static_cast<std::uint8_t>(b), expectData);
  }
};

QByteArray Bytes(std::initializer_list<int> values) {
  QByteArray out;
  for (const int v : values) out.append(char(v));
  return out;
}

QByteArray HexHeader(std::uint8_t type, std::uint32_t position) {
  Side side;
  side.framing.TxHeader().Set(type, position);
  side.framing.SendHexHeader();
  return side.events.sent;
}

QByteArray BinHeader(std::uint8_t type, std::uint32_t position, bool escapeControls = false) {
  Side side;
  side.framing.SetEscapeControls(escapeControls);
  side.framing.TxHeader().Set(type, position);
  side.framing.SendBinHeader();
  return side.events.sent;
}

QByteArray DataBlock(const QByteArray& data, std::uint8_t frameEnd, bool escapeControls = false) {
  Side side;
  side.framing.SetEscapeControls(escapeControls);
  side.framing.SendDataBlock(reinterpret_cast<const std::uint8_t*>(data.constData()), int(data.size()), frameEnd,
                             true);
  return side.events.sent;
}

// A 32-bit binary header as another sender would build it.
QByteArray Bin32Header(std::uint8_t type, std::uint32_t position) {
  QByteArray payload;
  payload.append(char(type));
  for (int i = 0; i < 4; ++i) payload.append(char(position >> (8 * i)));
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char b : payload) crc = UpdCrc32(static_cast<std::uint8_t>(b), crc);
  crc = ~crc;
  for (int i = 0; i < 4; ++i) payload.append(char(crc >> (8 * i)));
  QByteArray out = Bytes({ZPAD, ZDLE, ZBIN32});
  for (const char b : payload) {
    const auto v = static_cast<std::uint8_t>(b);
    if (v == 0x18 || v == 0x11 || v == 0x13 || v == 0x91 || v == 0x93) {
      out.append(char(ZDLE));
      out.append(char(v ^ 0x40));
    } else {
      out.append(b);
    }
  }
  return out;
}

TEST(ZModemSend, HexHeadersOnTheWire) {
  EXPECT_EQ(HexHeader(ZRQINIT, 0), QByteArray("**\x18" "B00000000000000\r\x8a\x11"));
  EXPECT_EQ(HexHeader(ZFIN, 0), QByteArray("**\x18" "B0800000000022d\r\x8a"));
  EXPECT_EQ(HexHeader(ZACK, 0x100).right(2), QByteArray("\r\x8a"));
  Side side;
  side.framing.TxHeader().SetFlags(ZRINIT, CANFDX | CANOVIO);
  side.framing.SendHexHeader();
  EXPECT_EQ(side.events.sent, QByteArray("**\x18" "B0100000003" "9a32\r\x8a\x11"));
  EXPECT_EQ(side.events.asBuffer, std::vector<bool>{false});
  EXPECT_EQ(side.events.log.back(), "zTxHexHdr: 42,01 [00,00,00,03] CRC=9A32");
}

TEST(ZModemSend, BinaryHeaderEscapesItsBytes) {
  // Position 0x18 needs its P0 escaped; the frame starts with a single ZPAD.
  const QByteArray header = BinHeader(ZDATA, 0x18);
  EXPECT_TRUE(header.startsWith(Bytes({0x2A, 0x18, 0x41, 0x0A, 0x18, 0x58, 0, 0, 0})));
  Side rx;
  rx.Feed(header);
  ASSERT_EQ(rx.events.headers.size(), 1u);
  EXPECT_EQ(rx.events.headers[0].Type, ZDATA);
  EXPECT_EQ(rx.events.headers[0].Position(), 0x18u);
  EXPECT_EQ(rx.events.headers[0].Format, ZBIN);
}

TEST(ZModemSend, EscapeByteTable) {
  struct Case { int value; QByteArray plain; QByteArray escaped; };
  const Case cases[] = {
      {0x18, Bytes({0x18, 0x58}), Bytes({0x18, 0x58})},
      {0x11, Bytes({0x18, 0x51}), Bytes({0x18, 0x51})},
      {0x13, Bytes({0x18, 0x53}), Bytes({0x18, 0x53})},
      {0x91, Bytes({0x18, 0xD1}), Bytes({0x18, 0xD1})},
      {0x93, Bytes({0x18, 0xD3}), Bytes({0x18, 0xD3})},
      {0x7F, Bytes({0x7F}), Bytes({0x7F})},
      {0xFF, Bytes({0xFF}), Bytes({0x18, 0x6D})},
      {0x0D, Bytes({0x0D}), Bytes({0x18, 0x4D})},
      {0x10, Bytes({0x10}), Bytes({0x18, 0x50})},
      {0x90, Bytes({0x90}), Bytes({0x18, 0xD0})},
      {0x00, Bytes({0x00}), Bytes({0x18, 0x40})},
      {0x41, Bytes({0x41}), Bytes({0x41})},
  };
  Side side;
  for (const Case& c : cases) {
    QByteArray out;
    side.framing.SetEscapeControls(false);
    side.framing.EscapeByte(std::uint8_t(c.value), out);
    EXPECT_EQ(out, c.plain) << c.value;
    out.clear();
    side.framing.SetEscapeControls(true);
    side.framing.EscapeByte(std::uint8_t(c.value), out);
    EXPECT_EQ(out, c.escaped) << c.value;
  }
}

TEST(ZModemSend, DataBlockLayout) {
  const QByteArray block = DataBlock("ab", ZCRCW);
  std::uint16_t crc = 0;
  for (const int b : {int('a'), int('b'), int(ZCRCW), 0, 0}) crc = UpdCrc16(std::uint8_t(b), crc);
  EXPECT_EQ(block, QByteArray("ab\x18k") + Bytes({crc >> 8, crc & 0xFF}));
  // An empty subpacket is just the frame end and the CRC.
  EXPECT_EQ(DataBlock(QByteArray(), ZCRCE).left(2), Bytes({0x18, 0x68}));
  EXPECT_EQ(DataBlock(QByteArray(), ZCRCE).size(), 4);
}

TEST(ZModemSend, ResendLastHeaderRepeatsItsFormat) {
  Side side;
  side.framing.ResendLastHeader();
  EXPECT_TRUE(side.events.sent.isEmpty());
  side.framing.TxHeader().Set(ZRPOS, 77);
  side.framing.SendHexHeader();
  side.framing.ResendLastHeader();
  EXPECT_EQ(side.events.sent, HexHeader(ZRPOS, 77) + HexHeader(ZRPOS, 77));
  side.events.sent.clear();
  side.framing.TxHeader().Set(ZEOF, 3000);
  side.framing.SendBinHeader();
  side.framing.ResendLastHeader();
  EXPECT_EQ(side.events.sent, BinHeader(ZEOF, 3000) + BinHeader(ZEOF, 3000));
}

TEST(ZModemReceive, HeaderAcceptanceRules) {
  const QByteArray hex = HexHeader(ZRPOS, 0xABCDEF);
  const QByteArray bin = BinHeader(ZRPOS, 0xABCDEF);
  const QByteArray bin32 = Bin32Header(ZRPOS, 0xABCDEF);
  const QByteArray upper = hex.left(4) + hex.mid(4, 14).toUpper() + hex.mid(18);
  struct Case { const char* name; QByteArray bytes; bool accepted; };
  const Case cases[] = {
      {"hex", hex, true},
      {"hex with uppercase digits", upper, false},
      // Any number of ZPAD before ZDLE, for every kind.
      {"hex with one ZPAD", hex.mid(1), true},
      {"hex with three ZPAD", "*" + hex, true},
      {"binary", bin, true},
      {"binary with two ZPAD", "*" + bin, true},
      {"32-bit binary", bin32, true},
      {"32-bit binary with three ZPAD", "**" + bin32, true},
      {"variable-length", Bytes({ZPAD, ZDLE, ZVBIN, 9, 0, 0, 0, 0, 0, 0, 0, 0}), false},
      // A stray start of a header leaves the parser ready for the next one.
      {"after a variable-length lead-in", Bytes({ZPAD, ZDLE, ZVHEX}) + "0102" + hex, true},
      {"after a hex header cut short", hex.left(9) + hex, true},
      {"after a binary header cut short", bin.left(5) + bin, true},
      {"after a 32-bit header cut short", bin32.left(4) + bin32, true},
      {"after a lone ZPAD ZDLE", Bytes({ZPAD, ZDLE, 'x'}) + bin, true},
  };
  for (const Case& c : cases) {
    Side rx;
    rx.Feed(c.bytes);
    ASSERT_EQ(rx.events.headers.size(), c.accepted ? 1u : 0u) << c.name;
    EXPECT_EQ(rx.events.badCrcs, 0) << c.name;
    if (c.accepted) {
      EXPECT_EQ(rx.events.headers[0].Type, ZRPOS) << c.name;
      EXPECT_EQ(rx.events.headers[0].Position(), 0xABCDEFu) << c.name;
    }
  }
}

TEST(ZModemReceive, CorruptHeadersAreCrcErrors) {
  QByteArray hex = HexHeader(ZRPOS, 0x1234);
  hex[8] = hex[8] == '0' ? '1' : '0';
  QByteArray bin = BinHeader(ZRPOS, 0x1234);
  bin[4] = char(bin[4] ^ 1);
  QByteArray bin32 = Bin32Header(ZRPOS, 0x1234);
  bin32[5] = char(bin32[5] ^ 4);
  for (const QByteArray& bytes : {hex, bin, bin32}) {
    Side rx;
    rx.Feed(bytes);
    EXPECT_TRUE(rx.events.headers.empty());
    EXPECT_EQ(rx.events.badCrcs, 1);
  }
}

TEST(ZModemReceive, FlowControlBytesInsideFrames) {
  // Ignored inside a binary header...
  QByteArray bin = BinHeader(ZDATA, 500);
  bin.insert(5, char(XON));
  bin.insert(7, char(XOFF));
  Side rx;
  rx.Feed(bin);
  ASSERT_EQ(rx.events.headers.size(), 1u);
  EXPECT_EQ(rx.events.headers[0].Position(), 500u);
  // ...but they end a hex header silently.
  QByteArray hex = HexHeader(ZRPOS, 500);
  hex.insert(8, char(XON));
  Side rx2;
  rx2.Feed(hex);
  EXPECT_TRUE(rx2.events.headers.empty());
  EXPECT_EQ(rx2.events.badCrcs, 0);
}

TEST(ZModemReceive, SubpacketRoundTripAndDecoding) {
  QByteArray all;
  for (int i = 0; i < 256; ++i) all.append(char(i));
  for (const bool escape : {false, true}) {
    Side rx;
    rx.framing.SetEscapeControls(escape);
    rx.Feed(DataBlock(all, ZCRCG, escape) + DataBlock("x", ZCRCW, escape), true);
    ASSERT_EQ(rx.events.blocks.size(), 2u);
    EXPECT_EQ(rx.events.blocks[0].data, all);
    EXPECT_EQ(rx.events.blocks[0].frameEnd, ZCRCG);
    EXPECT_EQ(rx.events.blocks[1].data, "x");
    EXPECT_EQ(rx.events.blocks[1].frameEnd, ZCRCW);
  }
  // The escapes other senders use for 0x7F and 0xFF.
  std::uint16_t crc = 0;
  for (const int b : {0x7F, 0xFF, 0x18, int(ZCRCE), 0, 0}) crc = UpdCrc16(std::uint8_t(b), crc);
  Side rx;
  rx.Feed(Bytes({0x18, 0x6C, 0x18, 0x6D, 0x18, 0x58, 0x18, ZCRCE, crc >> 8, crc & 0xFF}), true);
  ASSERT_EQ(rx.events.blocks.size(), 1u);
  EXPECT_EQ(rx.events.blocks[0].data, Bytes({0x7F, 0xFF, 0x18}));
}

TEST(ZModemReceive, BadSubpacketCrc) {
  QByteArray block = DataBlock("hello", ZCRCG);
  block[1] = 'E';
  Side rx;
  rx.Feed(block + DataBlock("ok", ZCRCG), true);
  EXPECT_EQ(rx.events.badCrcs, 1);
  ASSERT_EQ(rx.events.blocks.size(), 1u);
  EXPECT_EQ(rx.events.blocks[0].data, "ok");
}

TEST(ZModemReceive, SubpacketSizeLimit) {
  const QByteArray largest(kMaxRxBlock, 'z');
  Side rx;
  rx.Feed(DataBlock(largest, ZCRCG) + DataBlock(largest + "z", ZCRCG), true);
  ASSERT_EQ(rx.events.blocks.size(), 1u);
  EXPECT_EQ(rx.events.blocks[0].data.size(), kMaxRxBlock);
  EXPECT_GE(rx.events.badCrcs, 1);
}

TEST(ZModemReceive, EndOfFileAtTheStartOfASubpacket) {
  // Within the first 16 data bytes a ZEOF header is recognised...
  Side rx;
  rx.Feed(DataBlock("abc", ZCRCE) + "0123456" + BinHeader(ZEOF, 3), true);
  ASSERT_EQ(rx.events.dataHeaders.size(), 1u);
  EXPECT_EQ(rx.events.dataHeaders[0].Position(), 3u);
  // ...later it is data.
  Side late;
  late.Feed(QByteArray(20, 'd') + BinHeader(ZEOF, 3), true);
  EXPECT_TRUE(late.events.dataHeaders.empty());
  // So is a ZDATA that opens a new frame; the subpacket after it is read from its start.
  Side other;
  other.Feed(BinHeader(ZDATA, 3) + DataBlock("next", ZCRCG), true);
  ASSERT_EQ(other.events.dataHeaders.size(), 1u);
  EXPECT_EQ(other.events.dataHeaders[0].Type, ZDATA);
  ASSERT_EQ(other.events.blocks.size(), 1u);
  EXPECT_EQ(other.events.blocks[0].data, "next");
  // A hex header there, or one with an extra ZPAD, is recognised too, and what follows a hex
  // header's line end starts the next subpacket.
  for (const QByteArray& next : {HexHeader(ZEOF, 3), "*" + BinHeader(ZEOF, 3), "**" + HexHeader(ZEOF, 3)}) {
    Side after;
    after.Feed(DataBlock("abc", ZCRCE) + next, true);
    ASSERT_EQ(after.events.dataHeaders.size(), 1u) << next.toHex().constData();
    EXPECT_EQ(after.events.dataHeaders[0].Type, ZEOF);
    EXPECT_EQ(after.events.dataHeaders[0].Position(), 3u);
  }
  Side hexData;
  hexData.Feed(HexHeader(ZDATA, 3) + DataBlock("next", ZCRCW), true);
  ASSERT_EQ(hexData.events.blocks.size(), 1u);
  EXPECT_EQ(hexData.events.blocks[0].data, "next");
  // A broken header there is not an error of the subpacket.
  QByteArray broken = BinHeader(ZEOF, 3);
  broken[4] = char(broken[4] ^ 1);
  Side noisy;
  noisy.Feed(broken, true);
  EXPECT_EQ(noisy.events.badCrcs, 0);
  EXPECT_TRUE(noisy.events.dataHeaders.empty());
}

TEST(ZModemReceive, ThirtyTwoBitHeaderSelectsCrc32Subpackets) {
  Side rx;
  rx.Feed(Bin32Header(ZDATA, 0));
  ASSERT_EQ(rx.events.headers.size(), 1u);
  EXPECT_TRUE(rx.framing.Crc32Data());
  rx.framing.ResetParser();
  QByteArray block("data");
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char b : block + char(ZCRCG)) crc = UpdCrc32(std::uint8_t(b), crc);
  crc = ~crc;
  block += Bytes({ZDLE, ZCRCG});
  for (int i = 0; i < 4; ++i) block.append(char(crc >> (8 * i)));
  rx.Feed(block, true);
  ASSERT_EQ(rx.events.blocks.size(), 1u);
  EXPECT_EQ(rx.events.blocks[0].data, "data");
  // A 16-bit header switches back.
  rx.Feed(BinHeader(ZDATA, 4));
  EXPECT_FALSE(rx.framing.Crc32Data());
}

TEST(ZModemRouting, Table) {
  struct Case { std::uint8_t type; TzState state; TzRoute route; };
  const Case cases[] = {
      {ZRINIT, zsWaitRInit, TzRoute::DoRInit},
      {ZRINIT, zsWaitEofAnswer, TzRoute::DoRInit},
      {ZRINIT, zsWaitRPos, TzRoute::None},  // a receiver's repeated ZRINIT at start-up
      {ZRINIT, zsWaitFile, TzRoute::None},
      {ZSINIT, zsWaitStart, TzRoute::DoZSInit},
      {ZSINIT, zsWaitFin, TzRoute::DoZSInit},
      {ZSKIP, zsWaitRPos, TzRoute::DoZSkip},
      {ZNAK, zsWaitData, TzRoute::ResendLastHeader},
      {ZCHALLENGE, zsWaitRInit, TzRoute::DoChallenge},
      {ZCHALLENGE, zsWaitRPos, TzRoute::None},
      {ZCAN, zsWaitData, TzRoute::RemoteAbort},
      {ZRQINIT, zsWaitQInit, TzRoute::DoQInit},
      {ZFILE, zsWaitFile, TzRoute::DoZFile},
      {ZDATA, zsWaitData, TzRoute::DoZData},
      {ZFIN, zsWaitFin, TzRoute::DoZFin},
      {ZRPOS, zsWaitRPos, TzRoute::DoRPos},
      {ZRPOS, zsStreaming, TzRoute::DoInterruptRPos},
      {ZACK, zsWaitEofAnswer, TzRoute::DoInterruptRPos},
      {ZACK, zsWaitAck, TzRoute::DoZAck},
      {ZACK, zsWaitSInitAck, TzRoute::DoZAck},
      {ZFILE, zsWaitStart, TzRoute::None},
      {ZDATA, zsReceiveData, TzRoute::None},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RouteHeader(c.type, c.state), c.route) << int(c.type) << " in " << int(c.state);
  EXPECT_TRUE(ExpectsData(zsWaitFileInfo));
  EXPECT_TRUE(ExpectsData(zsReceiveData));
  EXPECT_TRUE(ExpectsData(zsWaitAttention));
  EXPECT_FALSE(ExpectsData(zsWaitData));
}

}  // namespace
