#include "qx/qxzmodemframing.h"

#include "qx/qxcrc.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kCrc32Residue = 0xDEBB20E3u;

bool IsFrameEnd(std::uint8_t Value) { return Value >= ZCRCE && Value <= ZCRCW; }

bool IsLowerHexDigit(std::uint8_t Value) {
  return (Value >= '0' && Value <= '9') || (Value >= 'a' && Value <= 'f');
}

std::uint8_t HexValue(std::uint8_t Digit) { return Digit <= '9' ? Digit - '0' : Digit - 'a' + 10; }

void AppendHex(QByteArray& Out, std::uint8_t Value) {
  static const char kDigits[] = "0123456789abcdef";
  Out.append(kDigits[Value >> 4]);
  Out.append(kDigits[Value & 15]);
}

std::uint16_t Crc16Finish(std::uint16_t Crc) { return UpdCrc16(0, UpdCrc16(0, Crc)); }

// The second wire byte of each escaped value, or 0 for a byte sent as it is: always XON, XOFF and
// ZDLE with and without the high bit; with every control byte escaped also those and 0xFF.
constexpr std::array<std::uint8_t, 256> MakeEscapeTable(bool Controls) {
  std::array<std::uint8_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) {
    const bool fixed = v == 0x11 || v == 0x13 || v == 0x18 || v == 0x91 || v == 0x93;
    if (fixed || (Controls && (v & 0x60) == 0)) table[v] = static_cast<std::uint8_t>(v ^ 0x40);
  }
  if (Controls) table[0xFF] = ZRUB1;
  return table;
}

constexpr auto kEscapeFixed = MakeEscapeTable(false);
constexpr auto kEscapeAll = MakeEscapeTable(true);

// Writes Value as it goes on the wire, escaped by Table; returns the position after it.
char* PutEscaped(const std::array<std::uint8_t, 256>& Table, std::uint8_t Value, char* Out) {
  if (const std::uint8_t escaped = Table[Value]; escaped != 0) {
    *Out++ = char(ZDLE);
    *Out++ = char(escaped);
  } else {
    *Out++ = char(Value);
  }
  return Out;
}

// Bytes that stand for themselves inside a subpacket: not ZDLE, not a byte the line drops.
constexpr std::array<bool, 256> MakePlainTable(bool Controls) {
  std::array<bool, 256> table{};
  for (unsigned v = 0; v < 256; ++v) {
    const bool dropped = v == 0x11 || v == 0x13 || v == 0x91 || v == 0x93 || (Controls && (v & 0x60) == 0);
    table[v] = v != ZDLE && !dropped;
  }
  return table;
}

constexpr auto kPlainFixed = MakePlainTable(false);
constexpr auto kPlainAll = MakePlainTable(true);

}  // namespace

std::uint32_t TZHeader::Position() const {
  return P[0] | (std::uint32_t(P[1]) << 8) | (std::uint32_t(P[2]) << 16) | (std::uint32_t(P[3]) << 24);
}

void TZHeader::SetPosition(std::uint32_t Value) {
  for (int i = 0; i < 4; ++i)
    P[i] = static_cast<std::uint8_t>(Value >> (8 * i));
}

void TZHeader::Set(std::uint8_t AType, std::uint32_t APosition) {
  Type = AType;
  SetPosition(APosition);
}

void TZHeader::SetFlags(std::uint8_t AType, std::uint8_t F0, std::uint8_t F1, std::uint8_t F2, std::uint8_t F3) {
  Type = AType;
  P = {F3, F2, F1, F0};
}

TZModemFraming::TZModemFraming(TZModemFramingEvents& Events) : m_Events(Events) {
  // Room for the longest accepted subpacket; the byte after it marks an overlong one.
  m_Data.resize(kMaxRxBlock + 1);
}

void TZModemFraming::Log(TDetailLevel Level, const QString& Text) { m_Events.FrameLog(Level, Text); }

QString TZModemFraming::HeaderText(const char* Prefix, const TZHeader& Header, unsigned Crc) const {
  return QString::asprintf("%s: %.2X,%.2X [%.2X,%.2X,%.2X,%.2X] CRC=%.4X", Prefix, Header.Format, Header.Type,
                           Header.P[0], Header.P[1], Header.P[2], Header.P[3], Crc);
}

const std::array<std::uint8_t, 256>& TZModemFraming::EscapeTable() const {
  return m_EscapeControls ? kEscapeAll : kEscapeFixed;
}

void TZModemFraming::EscapeByte(std::uint8_t Value, QByteArray& Out) const {
  char wire[2];
  Out.append(wire, PutEscaped(EscapeTable(), Value, wire) - wire);
}

void TZModemFraming::SendHexHeader() {
  m_TxHeader.Format = ZHEX;
  QByteArray text("**\x18" "B");
  std::uint16_t crc = 0;
  AppendHex(text, m_TxHeader.Type);
  crc = UpdCrc16(m_TxHeader.Type, crc);
  for (const std::uint8_t p : m_TxHeader.P) {
    AppendHex(text, p);
    crc = UpdCrc16(p, crc);
  }
  crc = Crc16Finish(crc);
  if (m_Events.FrameLogs(dlDebug))
    Log(dlDebug, HeaderText("zTxHexHdr", m_TxHeader, crc));
  AppendHex(text, crc >> 8);
  AppendHex(text, crc & 0xFF);
  text.append('\r');
  text.append(char(0x8A));
  if (m_TxHeader.Type != ZFIN && m_TxHeader.Type != ZACK)
    text.append(char(XON));
  m_Events.FrameSend(text, false);
  ResetParser();
}

void TZModemFraming::SendBinHeader() {
  m_TxHeader.Format = m_Tx32 ? ZBIN32 : ZBIN;
  QByteArray text;
  text.append(char(ZPAD));
  text.append(char(ZDLE));
  text.append(char(m_TxHeader.Format));
  const std::uint8_t fields[5] = {m_TxHeader.Type, m_TxHeader.P[0], m_TxHeader.P[1], m_TxHeader.P[2], m_TxHeader.P[3]};
  for (const std::uint8_t f : fields) EscapeByte(f, text);
  unsigned shown = 0;
  if (m_Tx32) {
    const std::uint32_t crc = ~UpdCrc32Run(fields, 5, 0xFFFFFFFFu);
    for (int i = 0; i < 4; ++i) EscapeByte(static_cast<std::uint8_t>(crc >> (8 * i)), text);
    shown = crc;
  } else {
    std::uint16_t crc = 0;
    for (const std::uint8_t f : fields) crc = UpdCrc16(f, crc);
    crc = Crc16Finish(crc);
    EscapeByte(crc >> 8, text);
    EscapeByte(crc & 0xFF, text);
    shown = crc;
  }
  if (m_Events.FrameLogs(dlDebug))
    Log(dlDebug, HeaderText("zTxBinHdr", m_TxHeader, shown));
  m_Events.FrameSend(text, false);
  ResetParser();
}

void TZModemFraming::ResendLastHeader() {
  if (m_TxHeader.Format == ZBIN || m_TxHeader.Format == ZBIN32)
    SendBinHeader();
  else if (m_TxHeader.Format == ZHEX)
    SendHexHeader();
}

void TZModemFraming::SendDataBlock(const std::uint8_t* Data, int Count, std::uint8_t FrameEnd, bool AsBuffer) {
  // Worst case: every byte escaped, the frame end, four escaped CRC bytes.
  QByteArray text(2 * Count + 10, Qt::Uninitialized);
  char* out = text.data();
  const auto& escape = EscapeTable();
  for (int i = 0; i < Count; ++i) out = PutEscaped(escape, Data[i], out);
  *out++ = char(ZDLE);
  *out++ = char(FrameEnd);
  unsigned shown = 0;
  // A subpacket is checked as its frame's header was: CRC-32 after a 32-bit header.
  if (m_TxHeader.Format == ZBIN32) {
    // CRC-32 does not start from zero: a subpacket whose frame end was lost on the line, read on
    // into the next one, fails its check (with CRC-16 the two together would pass).
    const std::uint32_t crc = ~UpdCrc32(FrameEnd, UpdCrc32Run(Data, Count, 0xFFFFFFFFu));
    for (int i = 0; i < 4; ++i) out = PutEscaped(escape, static_cast<std::uint8_t>(crc >> (8 * i)), out);
    shown = crc;
  } else {
    const std::uint16_t crc = Crc16Finish(UpdCrc16(FrameEnd, UpdCrc16Run(Data, Count, 0)));
    out = PutEscaped(escape, static_cast<std::uint8_t>(crc >> 8), out);
    out = PutEscaped(escape, static_cast<std::uint8_t>(crc & 0xFF), out);
    shown = crc;
  }
  text.truncate(out - text.data());
  m_Events.FrameSend(text, AsBuffer);
  if (m_Events.FrameLogs(dlDebug))
    Log(dlDebug, QString::asprintf("zTxBinBlock!!!  [%.4X]", shown));
}

void TZModemFraming::ResetHeader() {
  m_Hunt = THunt::Idle;
  m_RxRawCount = 0;
  m_RxBlock.fill(0);
  m_RxCount = 0;
  m_RxExpected = 0;
  m_RxCrc = 0;
  m_Rx32 = false;
}

void TZModemFraming::ResetParser() {
  ResetHeader();
  ResetData();
}

void TZModemFraming::ResetData() {
  m_DataCount = 0;
  m_DataLength = 0;
  m_FrameEnd = 0;
  m_InTrailer = false;
  m_TrailerCount = 0;
  m_DataCrc = m_Data32 ? 0xFFFFFFFFu : 0;
}

void TZModemFraming::Feed(std::uint8_t B, bool ExpectData) {
  // The line end that closes a hex header is no part of a subpacket that follows it.
  if (m_InHexTail) {
    if (B == '\r' || B == '\n' || B == 0x8A) return;
    m_InHexTail = false;
  }
  const std::uint8_t decoded = Decode(B);
  if (ExpectData) {
    ParseDataByte(B, decoded);
    NotePrevious(B);
  } else {
    FeedHeader(B, decoded);
  }
}

std::uint8_t TZModemFraming::Decode(std::uint8_t B) {
  m_Skip = false;
  switch (B) {
    case 0x11: case 0x13: case 0x18: case 0x91: case 0x93:
      m_Skip = true;
      return B;
    case ZCRCE: case ZCRCG: case ZCRCQ: case ZCRCW:
      return B;
    case ZRUB0:
      return m_PreviousByte == ZDLE ? 0x7F : B;
    case ZRUB1:
      return m_PreviousByte == ZDLE ? 0xFF : B;
    default:
      if (m_EscapeControls && (B & 0x60) == 0) m_Skip = true;
      return (B & 0x60) == 0x40 && m_PreviousByte == ZDLE ? B ^ 0x40 : B;
  }
}

void TZModemFraming::NotePrevious(std::uint8_t B) {
  if (B == ZDLE || !m_Skip) m_PreviousByte = B;
}

void TZModemFraming::FeedHeader(std::uint8_t B, std::uint8_t Decoded) {
  const THeaderResult result = ParseHeaderByte(B, Decoded);
  if (result == THeaderResult::Bad) {
    // A header cut short by the start of the next one: that one is read from its lead-in.
    const QByteArray inner = InnerHeaderStart();
    ResetParser();
    if (inner.isEmpty()) {
      m_Events.BadCrc();
      NotePrevious(B);
      return;
    }
    m_PreviousByte = 0;
    for (const char raw : inner) FeedHeader(static_cast<std::uint8_t>(raw), Decode(static_cast<std::uint8_t>(raw)));
    return;
  }
  if (result == THeaderResult::Complete) {
    const TZHeader header = RxHeader();
    m_Data32 = header.Format == ZBIN32;
    m_Events.HeaderReceived(header);
    // A cancel header ends the session; the parser is left as it is.
    if (header.Type == ZCAN) return;
    ResetParser();
    m_InHexTail = header.Format == ZHEX;
  }
  NotePrevious(B);
}

QByteArray TZModemFraming::InnerHeaderStart() const {
  if (m_RxBlock[0] != ZBIN && m_RxBlock[0] != ZBIN32) return {};
  const auto* raw = reinterpret_cast<const char*>(m_RxRaw.data());
  for (int start = 0; start < m_RxRawCount; ++start) {
    if (m_RxRaw[start] != ZPAD) continue;
    int i = start;
    while (i < m_RxRawCount && m_RxRaw[i] == ZPAD) ++i;
    if (i + 1 < m_RxRawCount && m_RxRaw[i] == ZDLE &&
        (m_RxRaw[i + 1] == ZBIN || m_RxRaw[i + 1] == ZHEX || m_RxRaw[i + 1] == ZBIN32))
      return QByteArray(raw + start, m_RxRawCount - start);
    start = i - 1;
  }
  return {};
}

int TZModemFraming::FeedPlainData(const std::uint8_t* Data, int Count) {
  // Only inside a subpacket, past the reach of a header that may stand in its place (and of one
  // that began within it), and not right after a ZDLE: there every byte but the special ones is
  // data as it stands.
  if (m_InHexTail || m_InTrailer || m_DataCount < 16 || m_RxBlock[0] != 0 || m_PreviousByte == ZDLE) return 0;
  const auto& plain = m_EscapeControls ? kPlainAll : kPlainFixed;
  const int room = std::min(Count, kMaxRxBlock - m_DataCount);
  int n = 0;
  while (n < room && plain[Data[n]]) ++n;
  if (n == 0) return 0;
  m_DataCrc = m_Data32 ? UpdCrc32Run(Data, n, m_DataCrc) : UpdCrc16Run(Data, n, static_cast<std::uint16_t>(m_DataCrc));
  std::copy(Data, Data + n, m_Data.begin() + m_DataCount);
  m_DataCount += n;
  m_PreviousByte = Data[n - 1];
  m_Skip = false;
  return n;
}

TZHeader TZModemFraming::RxHeader() const {
  TZHeader header;
  header.Format = m_RxBlock[0];
  header.Type = m_RxBlock[1];
  for (int i = 0; i < 4; ++i) header.P[i] = m_RxBlock[2 + i];
  return header;
}

bool TZModemFraming::HeaderCrcOk() const {
  return m_Rx32 ? m_RxCrc == kCrc32Residue : (m_RxCrc & 0xFFFF) == 0;
}

void TZModemFraming::Hunt(std::uint8_t Raw) {
  switch (m_Hunt) {
    case THunt::Idle:
      if (Raw == ZPAD) m_Hunt = THunt::Pad;
      break;
    case THunt::Pad:
      m_Hunt = Raw == ZPAD ? THunt::Pad : Raw == ZDLE ? THunt::PadDle : THunt::Idle;
      break;
    case THunt::PadDle:
      m_Hunt = Raw == ZPAD ? THunt::Pad : THunt::Idle;
      if (Raw == ZBIN || Raw == ZBIN32) {
        m_RxBlock[0] = Raw;
        m_RxCount = 3;
      } else if (Raw == ZHEX) {
        m_RxBlock[0] = Raw;
        m_RxCount = 4;
      } else if ((Raw == ZVBIN || Raw == ZVHEX || Raw == ZVBIN32) && m_Events.FrameLogs(dlDebug)) {
        Log(dlDebug, "zRxVBLOCK!!!");  // variable-length headers are refused; the hunt goes on
      }
      break;
  }
}

TZModemFraming::THeaderResult TZModemFraming::ParseHeaderByte(std::uint8_t Raw, std::uint8_t Decoded) {
  const std::uint8_t format = m_RxBlock[0];
  switch (format) {
    case 0:
      Hunt(Raw);
      return THeaderResult::None;

    case ZBIN:
    case ZBIN32: {
      if (m_RxRawCount < int(m_RxRaw.size())) m_RxRaw[m_RxRawCount++] = Raw;
      if (m_Skip) return THeaderResult::None;
      if (m_RxCount == 3) {
        m_Rx32 = format == ZBIN32;
        m_RxExpected = m_Rx32 ? 9 : 7;
        m_RxCrc = m_Rx32 ? 0xFFFFFFFFu : 0;
      }
      const int index = m_RxCount - 3;
      if (index < m_RxExpected) {
        m_RxBlock[1 + index] = Decoded;
        m_RxCrc = m_Rx32 ? UpdCrc32(Decoded, m_RxCrc) : UpdCrc16(Decoded, static_cast<std::uint16_t>(m_RxCrc));
      }
      ++m_RxCount;
      if (m_RxCount - 3 < m_RxExpected) return THeaderResult::None;
      break;
    }

    default: {  // ZHEX
      // A byte that is no digit ends the hex header; it may begin the next one.
      if (!IsLowerHexDigit(Raw)) {
        ResetHeader();
        Hunt(Raw);
        return THeaderResult::None;
      }
      if (m_RxCount == 4) {
        m_RxExpected = 14;
        m_RxCrc = 0;
        m_Rx32 = false;
      }
      const int digit = m_RxCount - 4;
      if (digit < m_RxExpected) {
        std::uint8_t& slot = m_RxBlock[1 + digit / 2];
        if (digit % 2 == 0) {
          slot = static_cast<std::uint8_t>(HexValue(Raw) << 4);
        } else {
          slot |= HexValue(Raw);
          m_RxCrc = UpdCrc16(slot, static_cast<std::uint16_t>(m_RxCrc));
        }
      }
      ++m_RxCount;
      if (m_RxCount - 4 < m_RxExpected) return THeaderResult::None;
      break;
    }
  }

  if (m_Events.FrameLogs(dlDetail))
    Log(dlDetail, HeaderText("zRxHdr", RxHeader(), m_RxBlock[6]));
  return HeaderCrcOk() ? THeaderResult::Complete : THeaderResult::Bad;
}

void TZModemFraming::RefuseBlock() {
  ResetData();
  m_Events.BadCrc();
  ResetParser();
}

void TZModemFraming::ParseDataByte(std::uint8_t Raw, std::uint8_t Decoded) {
  // A header may come where the next subpacket would begin (one that began there is read to its
  // end). What merely looks like the start of one inside data is not an error of the subpacket.
  if ((m_DataCount < 16 || m_RxBlock[0] != 0) && !m_InTrailer) {
    const THeaderResult result = ParseHeaderByte(Raw, Decoded);
    if (result != THeaderResult::None) {
      const TZHeader header = RxHeader();
      ResetHeader();
      if (result == THeaderResult::Complete) {
        // What looked like the start of a subpacket was the header.
        m_Data32 = header.Format == ZBIN32;
        ResetParser();
        m_InHexTail = header.Format == ZHEX;
        m_Events.HeaderInData(header);
        return;
      }
    }
  }
  if (m_Skip) return;

  m_DataCrc = m_Data32 ? UpdCrc32(Decoded, m_DataCrc) : UpdCrc16(Decoded, static_cast<std::uint16_t>(m_DataCrc));
  if (m_InTrailer) {
    if (--m_TrailerCount > 0) return;
    if (m_Events.FrameLogs(dlDebug)) Log(dlDebug, "zRxBinBlock");
    const bool ok = m_Data32 ? m_DataCrc == kCrc32Residue : (m_DataCrc & 0xFFFF) == 0;
    if (ok) {
      m_Events.BlockReceived(m_Data.data(), m_DataLength, m_FrameEnd);
      ResetParser();
    } else {
      RefuseBlock();
    }
  } else if (IsFrameEnd(Decoded) && m_PreviousByte == ZDLE) {
    m_FrameEnd = Decoded;
    m_InTrailer = true;
    m_DataLength = m_DataCount;
    m_TrailerCount = m_Data32 ? 4 : 2;
  } else if (m_DataCount >= kMaxRxBlock) {
    RefuseBlock();
  } else {
    m_Data[m_DataCount++] = Decoded;
  }
}
