// Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/ (the folder given
// as the argument): frames, blocks and files as this system's own code produces them, so that the
// fuzzers start from inputs that reach deep into each parser. Run by `scripts/fuzz seeds`.
#include "lineservice/atresult.h"
#include "lineservice/devconfig.h"
#include "lineservice/protocol.h"
#include "lineservice/varstruct.h"
#include "platform/registryfile.h"
#include "platform/tapi.h"
#include "qx/qxcrc.h"
#include "qx/qxzmodemframing.h"
#include "support/framebuilder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

std::filesystem::path g_Corpus;

void Seed(const char* target, const std::string& name, const std::string& bytes) {
  const std::filesystem::path folder = g_Corpus / target;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / ("seed-" + name), std::ios::binary) << bytes;
}

std::string Bytes(const QByteArray& bytes) { return std::string(bytes.constData(), std::size_t(bytes.size())); }

QByteArray Text(const std::string& text) { return QByteArray(text.data(), qsizetype(text.size())); }

// A 32-bit binary header, which senders such as sz use and this engine only receives.
QByteArray Bin32(FrameBuilder& peer, std::uint8_t type, std::uint32_t position) {
  TZHeader header;
  header.Set(type, position);
  QByteArray out("*\x18" "C");
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t b : {type, header.P[0], header.P[1], header.P[2], header.P[3]}) {
    peer.framing.EscapeByte(b, out);
    crc = UpdCrc32(b, crc);
  }
  crc = ~crc;
  for (int i = 0; i < 4; ++i) peer.framing.EscapeByte(std::uint8_t(crc >> (8 * i)), out);
  return out;
}

// A subpacket with a 32-bit CRC, as follows a 32-bit header.
QByteArray Block32(FrameBuilder& peer, const std::string& data, std::uint8_t frameEnd) {
  std::uint32_t crc = 0xFFFFFFFFu;
  QByteArray out;
  for (const char c : data) {
    peer.framing.EscapeByte(std::uint8_t(c), out);
    crc = UpdCrc32(std::uint8_t(c), crc);
  }
  crc = ~UpdCrc32(frameEnd, crc);
  out.append(char(ZDLE));
  out.append(char(frameEnd));
  for (int i = 0; i < 4; ++i) peer.framing.EscapeByte(std::uint8_t(crc >> (8 * i)), out);
  return out;
}

std::string Data(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    data[i] = char(seed >> 16);
  }
  return data;
}

std::string Info(const std::string& name, std::size_t size, const std::string& time = "14351234567") {
  return name + std::string(1, '\0') + std::to_string(size) + " " + time + " 100644 0 1 " + std::to_string(size) +
         std::string(1, '\0');
}

// A sender's whole session for one file: start, offer, data in subpackets, end of file, finish.
// From: where the data start, as the receiver asked with ZRPOS (resuming a file it has in part).
std::string SendSession(const std::string& name, const std::string& data, bool escapeControls, bool crc32,
                        std::uint8_t fileFlags = ZCBIN, std::size_t from = 0) {
  FrameBuilder peer;
  peer.framing.SetEscapeControls(escapeControls);
  QByteArray wire = "rz\r" + peer.Hex(ZRQINIT, 0);
  if (escapeControls) wire += peer.BinFlags(ZSINIT, TESCCTL) + peer.Block(QByteArray(1, '\0'), ZCRCW);
  const std::string info = Info(name, data.size());
  if (crc32) {
    TZHeader flags;
    flags.SetFlags(ZFILE, fileFlags);
    wire += Bin32(peer, ZFILE, flags.Position()) + Block32(peer, info, ZCRCW) + Bin32(peer, ZDATA, std::uint32_t(from));
  } else {
    wire += peer.BinFlags(ZFILE, fileFlags) + peer.Block(Text(info), ZCRCW) + peer.Bin(ZDATA, std::uint32_t(from));
  }
  for (std::size_t at = from;; at += 256) {
    const std::string piece = data.substr(std::min(at, data.size()), 256);
    const bool last = at + 256 >= data.size();
    const std::uint8_t end = last ? ZCRCE : (at / 256) % 3 == 1 ? ZCRCQ : ZCRCG;
    wire += crc32 ? Block32(peer, piece, end) : peer.Block(Text(piece), end);
    if (last) break;
  }
  wire += peer.Hex(ZEOF, std::uint32_t(data.size())) + peer.Hex(ZFIN, 0) + "OO";
  return Bytes(wire);
}

void ZModemSeeds() {
  // zmodem_framing: a flag byte (escaping, chunking), then a stream.
  const std::string both = SendSession("file.bin", Data(700, 1), false, false);
  Seed("zmodem_framing", "session", std::string(1, '\x10') + both);
  Seed("zmodem_framing", "session-escaped", std::string(1, '\x21') + SendSession("e.bin", Data(300, 2), true, false));
  Seed("zmodem_framing", "session-crc32", std::string(1, '\x42') + SendSession("c.bin", Data(300, 3), false, true));
  FrameBuilder peer;
  const QByteArray receiver = peer.HexFlags(ZRINIT, CANFDX | CANOVIO) + peer.Hex(ZRPOS, 0) + peer.Hex(ZACK, 1024) +
                              peer.Hex(ZSKIP, 0) + peer.Hex(ZFIN, 0);
  Seed("zmodem_framing", "receiver", std::string(1, '\x07') + Bytes(receiver));
  const QByteArray cut = "**\x18" + peer.Hex(ZDATA, 77) + QByteArray(8, '\x18') +
                         peer.Block(QByteArray("ab\x18\x11\x13\x91\x93\x7f\xff"), ZCRCW);
  Seed("zmodem_framing", "cut-short", std::string(1, '\x00') + Bytes(cut));

  // zmodem_fileinfo: ZFILE subpackets as senders write them, with names to be refused or cut.
  Seed("zmodem_fileinfo", "plain", Info("report.txt", 12345));
  Seed("zmodem_fileinfo", "path", Info("../../etc/passwd", 1, "0"));
  Seed("zmodem_fileinfo", "dos-path", Info("C:\\TEMP\\A.TXT", 4294967295u, "17777777777"));
  Seed("zmodem_fileinfo", "dot-dot", Info("..", 5));
  Seed("zmodem_fileinfo", "name-only", std::string("only a name"));
  Seed("zmodem_fileinfo", "latin1", Info("caf\xe9 \x1b[2J.txt", 99999999999u, "777x"));

  // zmodem_session: an options byte, a chunking byte, then what a sender sends.
  const std::string data = Data(1500, 4);
  Seed("zmodem_session", "new-file", std::string("\x41\x05") + SendSession("new.bin", data, false, false));
  Seed("zmodem_session", "taken-resume", std::string("\x44\x06") + SendSession("taken", data, false, false, ZCRESUM, 24));
  Seed("zmodem_session", "taken-overwrite", std::string("\x42\x07") + SendSession("taken", data, false, false));
  Seed("zmodem_session", "link", std::string("\x43\x08") + SendSession("link", data, false, false));
  Seed("zmodem_session", "dangling", std::string("\x42\x09") + SendSession("dangling", data, false, true));
  Seed("zmodem_session", "hard-resume", std::string("\x46\x0a") + SendSession("hard", data, false, false, ZCRESUM));
  Seed("zmodem_session", "escape-path", std::string("\x61\x0b") + SendSession("../outside/victim", data, true, false));
  Seed("zmodem_session", "empty-file", std::string("\x01\x0c") + SendSession("empty", "", false, false));
  const QByteArray challenge = "rz\r" + peer.Hex(ZRQINIT, 0) + peer.Hex(ZACK, 12345) + peer.BinFlags(ZFILE, ZCBIN) +
                               peer.Block(Text(Info("c", 3)), ZCRCW);
  Seed("zmodem_session", "challenge", std::string("\x49\x0d") + Bytes(challenge));
}

void RegistrySeeds() {
  platform::RegistryKey root;
  root.name = "HKEY_LOCAL_MACHINE";
  platform::RegistryKey& modem =
      root.AddSubkey("SYSTEM").AddSubkey("CurrentControlSet").AddSubkey("Control").AddSubkey("Class").AddSubkey(
          "{4D36E96D-E325-11CE-BFC1-08002BE10318}").AddSubkey("0000");
  modem.values.push_back({"FriendlyName", REG_SZ, std::string("Virtual Modem 1\0", 16)});
  modem.values.push_back({"AttachedTo", REG_SZ, std::string("virtual\0", 8)});
  modem.values.push_back({"UserInit", REG_SZ, std::string("AT&F \"quoted\" \\ \t\x01\xe9\0", 22)});
  modem.values.push_back({"Number", REG_SZ, std::string("101\0", 4)});
  modem.values.push_back({"DevConfig", REG_BINARY, lineservice::DevConfigBytes(lineservice::DefaultDevConfig())});
  modem.values.push_back({"Unpaced", REG_DWORD, std::string("\x01\0\0\0", 4)});
  modem.values.push_back({"", REG_MULTI_SZ, std::string("a\0b\0\0", 5)});
  modem.values.push_back({"Odd", REG_SZ, std::string("no terminating zero")});
  Seed("registry_file", "modems", platform::FormatRegistryFile(root));
  platform::RegistryKey user;
  user.name = "HKEY_LOCAL_MACHINE";
  user.AddSubkey("Software").AddSubkey("qxComm").AddSubkey("Telephony").values.push_back(
      {"RingCadence", REG_SZ, std::string("2000,4000\0", 10)});
  Seed("registry_file", "telephony", platform::FormatRegistryFile(user) + "; a comment\n[HKEY_LOCAL_MACHINE\\software]\n");
}

void LineSeeds() {
  using namespace lineservice;
  const std::string call =
      EncodeFrame(FrameType::Call, EncodeCallRequest(CallRequest{115200, 0x10, "101", "Virtual Modem 1", "102"}));
  const std::string answer = EncodeFrame(FrameType::Ringing, EncodeNumber(1)) +
                             EncodeFrame(FrameType::Answer, EncodeNumber(57600)) + EncodeFrame(FrameType::Connect);
  const std::string data = EncodeFrame(FrameType::Data, "hello over the call\r\n") +
                           EncodeFrame(FrameType::Digits, EncodeDigits(DigitsMessage{2, "123*#"})) +
                           EncodeFrame(FrameType::Hangup);
  Seed("line_protocol", "call", std::string(1, '\x01') + call + answer + data);
  Seed("line_protocol", "busy", std::string(1, '\x02') + call + EncodeFrame(FrameType::Busy));
  Seed("line_protocol", "cut", std::string(1, '\x03') + data.substr(0, data.size() - 3));

  DEVCFG config = DefaultDevConfig();
  Seed("devconfig", "default", DevConfigBytes(config));
  config.dcb.BaudRate = 9600;
  config.dcb.ByteSize = 7;
  config.dcb.Parity = EVENPARITY;
  config.modemSettings.dwSpeakerMode = MDMSPKR_OFF;
  config.modemSettings.dwNegotiatedDCERate = 9600;
  Seed("devconfig", "slow", DevConfigBytes(config) + std::string(16, '\0'));
}

// What a modem answers: its numeric codes and their texts as the result parser knows them, a call
// set up with its intermediate results, and caller-ID reports as modems format them.
void AtSeeds() {
  std::string verbose, numeric;
  for (int code = 0; code < 100; ++code) {
    const std::string_view text = lineservice::NumericResultText(code);
    if (text.empty()) continue;
    verbose += "\r\n" + std::string(text) + "\r\n";
    numeric += std::to_string(code) + "\r";
  }
  Seed("at_result", "verbose-codes", verbose);
  Seed("at_result", "numeric-codes", numeric);
  Seed("at_result", "dial", "ATZ\r\r\nOK\r\nATDT5551234\r\r\nRINGING\r\nCARRIER 28800\r\nPROTOCOL: LAPM\r\n"
                            "COMPRESSION: V42BIS\r\nCONNECT 33600/ARQ/V42BIS\r\nlogin: ");
  Seed("at_result", "answer", "\r\nRING\r\n\r\nRING\r\nATA\r\r\nCONNECT 115200 bps REL-LAPM\r\n\x1b\x7f\t"
                              "ATS12?\r050\r\nNO DIAL TONE\r\n" + std::string(300, 'x') + "\r\nCONNECT");

  Seed("caller_id", "report", "RING\r\n\r\nDATE = 0321\r\nTIME = 1405\r\nNMBR = 5551234\r\nNAME = JOHN DOE\r\n"
                              "\r\nRING\r\n");
  Seed("caller_id", "withheld", "DATE=03211405\r\nNMBR=P\r\nNAME=O\r\nMESG = 060342\r\nNMBR = 5551234\r\n");
  Seed("caller_id", "spellings", "CALLER NUMBER: +1 555-123 4567\r\nCALLER NAME: Jane\r\nDDN_NMBR= 102#\r\n"
                                 "CALLER ID = *31#5551234\r\nTIME = 25:61\r\nNUMBER = none\r\n");
}

// A variable-size answer as the line service writes it, behind the two bytes of the buffer size.
template <class T>
std::string Answer(DWORD bufferSize, const std::function<void(lineservice::VarStruct&)>& parts) {
  std::vector<std::byte> buffer(std::max<std::size_t>(bufferSize, sizeof(T)));
  const DWORD total = bufferSize;
  std::memcpy(buffer.data(), &total, sizeof total);
  lineservice::VarStruct out(buffer.data(), sizeof(T));
  parts(out);
  out.Write([](std::byte*) {});
  std::string seed{char(bufferSize & 0xFF), char(bufferSize >> 8)};
  seed.append(reinterpret_cast<const char*>(buffer.data()), bufferSize);
  return seed;
}

void TapiSeeds() {
  using lineservice::VarStruct;
  Seed("tapi_buffer", "comm-id", Answer<VARSTRING>(283, [](VarStruct& out) {
         out.AddPart(offsetof(VARSTRING, dwStringSize), offsetof(VARSTRING, dwStringOffset),
                     std::string("\x07\0\0\0Virtual Modem 1\0", 20));
       }));
  Seed("tapi_buffer", "call-info", Answer<LINECALLINFO>(sizeof(LINECALLINFO) + 64, [](VarStruct& out) {
         out.AddText(offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDOffset), "101");
         out.AddText(offsetof(LINECALLINFO, dwCallerIDNameSize), offsetof(LINECALLINFO, dwCallerIDNameOffset),
                     "Virtual Modem 1");
         out.AddText(offsetof(LINECALLINFO, dwCalledIDSize), offsetof(LINECALLINFO, dwCalledIDOffset), "102");
       }));
  Seed("tapi_buffer", "too-small", Answer<VARSTRING>(sizeof(VARSTRING), [](VarStruct& out) {
         out.AddText(offsetof(VARSTRING, dwStringSize), offsetof(VARSTRING, dwStringOffset), "does not fit");
       }));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  g_Corpus = argv[1];
  ZModemSeeds();
  RegistrySeeds();
  LineSeeds();
  TapiSeeds();
  AtSeeds();
  return 0;
}
