// The byte level of the ZModem engine: protocol characters, headers, escaping, the building of
// headers and data subpackets, and the parsers that decode the received byte stream. It does no
// I/O of its own: frames are handed to, and decoded frames reported to, a TZModemFramingEvents.
#pragma once

#include "framework/types.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// Protocol characters.
constexpr std::uint8_t ZPAD = 0x2A;
constexpr std::uint8_t ZDLE = 0x18;
constexpr std::uint8_t ZBIN = 'A';
constexpr std::uint8_t ZHEX = 'B';
constexpr std::uint8_t ZBIN32 = 'C';
constexpr std::uint8_t ZVBIN = 'a';
constexpr std::uint8_t ZVHEX = 'b';
constexpr std::uint8_t ZVBIN32 = 'c';
constexpr std::uint8_t ZCRCE = 0x68;
constexpr std::uint8_t ZCRCG = 0x69;
constexpr std::uint8_t ZCRCQ = 0x6A;
constexpr std::uint8_t ZCRCW = 0x6B;
constexpr std::uint8_t ZRUB0 = 0x6C;
constexpr std::uint8_t ZRUB1 = 0x6D;
constexpr std::uint8_t XON = 0x11;
constexpr std::uint8_t XOFF = 0x13;

// Header types, numbered as the protocol numbers them.
enum TzHeaderType : std::uint8_t {
  ZRQINIT, ZRINIT, ZSINIT, ZACK, ZFILE, ZSKIP, ZNAK, ZABORT, ZFIN, ZRPOS, ZDATA, ZEOF,
  ZFERR, ZCRC, ZCHALLENGE, ZCOMPL, ZCAN
};

// Flag bits of ZRINIT's ZF0 (receiver capabilities) and ZSINIT's ZF0.
constexpr std::uint8_t CANFDX = 0x01;
constexpr std::uint8_t CANOVIO = 0x02;
constexpr std::uint8_t CANFC32 = 0x20;
constexpr std::uint8_t ESCCTL = 0x40;
constexpr std::uint8_t TESCCTL = 0x40;
// ZFILE's ZF0: binary transfer, resume an interrupted file.
constexpr std::uint8_t ZCBIN = 1;
constexpr std::uint8_t ZCRESUM = 3;

// Most data bytes a received subpacket may carry; a longer one is refused as a CRC error.
constexpr int kMaxRxBlock = 8192;
// Most data bytes this engine puts in one subpacket.
constexpr int kMaxTxBlock = 1024;

// A header: its format letter ('A', 'B' or 'C'; 0 while none), its type and four bytes P0..P3.
// A file position is stored little-endian in P0..P3; the flag bytes count the other way (ZF0 = P3).
struct TZHeader {
  std::uint8_t Format = 0;
  std::uint8_t Type = 0;
  std::array<std::uint8_t, 4> P{};

  std::uint32_t Position() const;
  void SetPosition(std::uint32_t Value);
  std::uint8_t ZF0() const { return P[3]; }
  std::uint8_t ZF1() const { return P[2]; }
  // Type and P0..P3 at once; the format letter is set when the header is sent.
  void Set(std::uint8_t AType, std::uint32_t Position);
  void SetFlags(std::uint8_t AType, std::uint8_t F0, std::uint8_t F1 = 0, std::uint8_t F2 = 0, std::uint8_t F3 = 0);
};

// What the framing hands to its owner: bytes to send and frames decoded from the received stream.
class TZModemFramingEvents {
public:
  virtual ~TZModemFramingEvents() = default;
  // AsBuffer: a block of a file stream (asynchronous send); otherwise a control frame (text).
  virtual void FrameSend(const QByteArray& Bytes, bool AsBuffer) = 0;
  virtual void FrameLog(TDetailLevel Level, const QString& Text) = 0;
  // Whether a log line of Level would be written; lines are only built when it is.
  virtual bool FrameLogs(TDetailLevel Level) const = 0;
  // A header with a correct CRC arrived while a header was expected.
  virtual void HeaderReceived(const TZHeader& Header) = 0;
  // A header with a correct CRC arrived where the next data subpacket would begin (ZEOF, or a
  // ZDATA that some senders put after each frame end).
  virtual void HeaderInData(const TZHeader& Header) = 0;
  // A data subpacket with a correct CRC; Data stays valid until the next byte is fed.
  virtual void BlockReceived(const std::uint8_t* Data, int Length, std::uint8_t FrameEnd) = 0;
  // A header or subpacket failed its CRC (or a subpacket was too long).
  virtual void BadCrc() = 0;
};

// The sending and receiving halves of the frame format, with the state they keep between bytes.
class TZModemFraming {
public:
  explicit TZModemFraming(TZModemFramingEvents& Events);

  // Escape every control byte, not only the fixed set (the session's escape-controls flag).
  bool EscapeControls() const { return m_EscapeControls; }
  void SetEscapeControls(bool Value) { m_EscapeControls = Value; }
  // Binary headers, and the subpackets of their frames, go out with CRC-32 (the receiver announced
  // CANFC32), else with CRC-16.
  void SetCrc32Sent(bool Value) { m_Tx32 = Value; }

  // The transmit header record; it keeps the last header sent so that it can be sent again.
  TZHeader& TxHeader() { return m_TxHeader; }
  const TZHeader& TxHeader() const { return m_TxHeader; }
  void SendHexHeader();
  void SendBinHeader();
  void ResendLastHeader();
  // Data bytes (Count may be 0) as one subpacket ending in FrameEnd, with the CRC of the last header
  // sent (32 bits after a 32-bit header).
  void SendDataBlock(const std::uint8_t* Data, int Count, std::uint8_t FrameEnd, bool AsBuffer);
  // Appends the one or two wire bytes standing for Value.
  void EscapeByte(std::uint8_t Value, QByteArray& Out) const;

  // Back to hunting for a header; also clears the subpacket state.
  void ResetParser();
  void ResetData();

  // One received byte; ExpectData: a data subpacket is expected rather than a header.
  void Feed(std::uint8_t B, bool ExpectData);
  // While a data subpacket is expected: takes the bytes at the start of Data that are subpacket
  // data as they stand, exactly as Feed would one by one, and returns how many (0 when Data must
  // go through Feed). Long subpackets pass through here in runs.
  int FeedPlainData(const std::uint8_t* Data, int Count);
  // The last byte that counted for escape decoding.
  std::uint8_t PreviousByte() const { return m_PreviousByte; }
  void SetPreviousByte(std::uint8_t Value) { m_PreviousByte = Value; }
  // Whether the receiver checks subpackets with CRC-32 (after a 32-bit header).
  bool Crc32Data() const { return m_Data32; }

private:
  enum class THeaderResult { None, Complete, Bad };
  // The hunt for a header's lead-in: any number of ZPAD, ZDLE, then the format letter.
  enum class THunt : std::uint8_t { Idle, Pad, PadDle };

  void Log(TDetailLevel Level, const QString& Text);
  void ResetHeader();
  // The escape-decoded value of a received byte; sets the skip flag for bytes the line drops.
  std::uint8_t Decode(std::uint8_t B);
  void NotePrevious(std::uint8_t B);
  // One byte while a header is expected: parses it and reports what it completes.
  void FeedHeader(std::uint8_t B, std::uint8_t Decoded);
  void Hunt(std::uint8_t Raw);
  // After a binary header failed its CRC: the received bytes from a header lead-in found among
  // its bytes on, which are parsed again; empty when there is none.
  QByteArray InnerHeaderStart() const;
  THeaderResult ParseHeaderByte(std::uint8_t Raw, std::uint8_t Decoded);
  bool HeaderCrcOk() const;
  TZHeader RxHeader() const;
  void ParseDataByte(std::uint8_t Raw, std::uint8_t Decoded);
  void RefuseBlock();
  const std::array<std::uint8_t, 256>& EscapeTable() const;
  QString HeaderText(const char* Prefix, const TZHeader& Header, unsigned Crc) const;

  TZModemFramingEvents& m_Events;
  bool m_EscapeControls = false;
  bool m_Tx32 = false;
  TZHeader m_TxHeader;
  bool m_Skip = false;
  std::uint8_t m_PreviousByte = 0;
  bool m_InHexTail = false;

  // Header parser: format letter (0 while hunting), type, P0..P3 and up to four CRC bytes.
  THunt m_Hunt = THunt::Idle;
  std::array<std::uint8_t, 10> m_RxBlock{};
  // The bytes of a binary header as received, after its format letter.
  std::array<std::uint8_t, 48> m_RxRaw{};
  int m_RxRawCount = 0;
  int m_RxCount = 0;
  int m_RxExpected = 0;
  std::uint32_t m_RxCrc = 0;
  bool m_Rx32 = false;

  // Subpacket parser. The CRC width follows the format of the last header received.
  std::vector<std::uint8_t> m_Data;
  int m_DataCount = 0;
  int m_DataLength = 0;
  std::uint8_t m_FrameEnd = 0;
  bool m_InTrailer = false;
  int m_TrailerCount = 0;
  std::uint32_t m_DataCrc = 0;
  bool m_Data32 = false;
};
