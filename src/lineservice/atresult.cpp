#include "lineservice/atresult.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace lineservice {

namespace {

struct NumericCode {
  int code;
  std::string_view text;
  DWORD rate;
};

// The codes of the Hayes command set and the rate codes most modems share.
constexpr std::array kNumericCodes{
    NumericCode{0, "OK", 0},           NumericCode{1, "CONNECT", 0},        NumericCode{2, "RING", 0},
    NumericCode{3, "NO CARRIER", 0},   NumericCode{4, "ERROR", 0},          NumericCode{5, "CONNECT 1200", 1200},
    NumericCode{6, "NO DIALTONE", 0},  NumericCode{7, "BUSY", 0},           NumericCode{8, "NO ANSWER", 0},
    NumericCode{10, "CONNECT 2400", 2400},   NumericCode{11, "CONNECT 4800", 4800},
    NumericCode{12, "CONNECT 9600", 9600},   NumericCode{13, "CONNECT 7200", 7200},
    NumericCode{14, "CONNECT 12000", 12000}, NumericCode{15, "CONNECT 14400", 14400},
    NumericCode{16, "CONNECT 19200", 19200}, NumericCode{17, "CONNECT 38400", 38400},
    NumericCode{18, "CONNECT 57600", 57600}, NumericCode{19, "CONNECT 115200", 115200},
    NumericCode{59, "CONNECT 16800", 16800}, NumericCode{61, "CONNECT 21600", 21600},
    NumericCode{62, "CONNECT 24000", 24000}, NumericCode{63, "CONNECT 26400", 26400},
    NumericCode{64, "CONNECT 28800", 28800}, NumericCode{84, "CONNECT 33600", 33600},
    NumericCode{91, "CONNECT 31200", 31200},
};

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A rate in bits per second: digits, optionally followed by "BPS"; 0 when it is none.
DWORD Rate(std::string_view token) {
  if (token.size() > 3 && token.substr(token.size() - 3) == "BPS") token.remove_suffix(3);
  if (!AllDigits(token) || token.size() > 9) return 0;
  DWORD rate = 0;
  for (char c : token) rate = rate * 10 + DWORD(c - '0');
  return rate;
}

std::vector<std::string_view> Tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool cut = i == text.size() || text[i] == ' ' || text[i] == '/' || text[i] == ':' || text[i] == ',' ||
                     text[i] == '-' || text[i] == '\t';
    if (!cut) continue;
    if (i > start) tokens.push_back(text.substr(start, i - start));
    start = i + 1;
  }
  return tokens;
}

// The error control and compression that the protocol words of a result name.
void ReadProtocol(std::string_view words, AtResult& result) {
  static constexpr std::string_view kErrorControl[] = {"ARQ", "REL", "LAPM", "MNP", "MNP2", "MNP3",
                                                       "MNP4", "V42", "ALT", "ECL", "EC"};
  static constexpr std::string_view kCompression[] = {"V42BIS", "MNP5", "V44", "CLASS5", "BTLZ", "COMPRESSED"};
  const auto tokens = Tokens(words);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::string_view token = tokens[i];
    if (token == "CLASS" && i + 1 < tokens.size() && tokens[i + 1] == "5") token = "CLASS5";
    if (std::find(std::begin(kErrorControl), std::end(kErrorControl), token) != std::end(kErrorControl))
      result.errorControl = true;
    // Compression runs over error control (V.42bis over V.42, MNP 5 over MNP 4).
    if (std::find(std::begin(kCompression), std::end(kCompression), token) != std::end(kCompression))
      result.errorControl = result.compression = true;
  }
}

bool StartsWithWord(std::string_view line, std::string_view word) {
  if (line.substr(0, word.size()) != word) return false;
  return line.size() == word.size() || line[word.size()] == ' ' || line[word.size()] == '/' ||
         line[word.size()] == ':';
}

}  // namespace

AtResult ParseResult(std::string_view raw) {
  const std::string upper = Upper(Trim(raw));
  const std::string_view line = upper;
  AtResult result;
  if (AllDigits(line)) {
    // Result codes are never zero-padded; a register's value is ("ATS12?" answers "050").
    if (line.size() > 3 || (line.size() > 1 && line.front() == '0')) return result;
    const int code = std::stoi(std::string(line));
    const auto known = std::find_if(kNumericCodes.begin(), kNumericCodes.end(),
                                    [&](const NumericCode& c) { return c.code == code; });
    if (known == kNumericCodes.end()) return result;
    result = ParseResult(known->text);
    result.numeric = true;
    return result;
  }
  static constexpr std::pair<std::string_view, AtResultKind> kPlain[] = {
      {"OK", AtResultKind::Ok},
      {"RING", AtResultKind::Ring},
      {"NO CARRIER", AtResultKind::NoCarrier},
      {"ERROR", AtResultKind::Error},
      {"NO DIALTONE", AtResultKind::NoDialtone},
      {"NO DIAL TONE", AtResultKind::NoDialtone},
      {"BUSY", AtResultKind::Busy},
      {"NO ANSWER", AtResultKind::NoAnswer},
      {"RINGING", AtResultKind::Ringing},
      {"RINGBACK", AtResultKind::Ringing},
  };
  for (const auto& [text, kind] : kPlain)
    if (line == text) {
      result.kind = kind;
      return result;
    }
  if (StartsWithWord(line, "CONNECT")) {
    result.kind = AtResultKind::Connect;
    const auto tokens = Tokens(line.substr(7));
    if (!tokens.empty()) result.rate = Rate(tokens.front());
    ReadProtocol(line.substr(7), result);
    return result;
  }
  if (StartsWithWord(line, "CARRIER")) {
    const auto tokens = Tokens(line.substr(7));
    if (tokens.empty() || !(result.rate = Rate(tokens.front()))) return AtResult{};
    result.kind = AtResultKind::Carrier;
    return result;
  }
  if (StartsWithWord(line, "PROTOCOL")) {
    result.kind = AtResultKind::Protocol;
    ReadProtocol(line.substr(8), result);
    return result;
  }
  if (StartsWithWord(line, "COMPRESSION")) {
    result.kind = AtResultKind::Compression;
    const auto words = Tokens(line.substr(11));
    result.compression = !words.empty() && words.front() != "NONE";
    return result;
  }
  return result;
}

std::string_view NumericResultText(int code) {
  for (const auto& c : kNumericCodes)
    if (c.code == code) return c.text;
  return {};
}

int NumericConnectCode(DWORD rate) {
  for (const auto& c : kNumericCodes)
    if (c.rate != 0 && c.rate == rate) return c.code;
  return 1;
}

std::optional<std::string> LineSplitter::Feed(char byte) {
  if (byte == '\r' || byte == '\n') {
    m_Overlong = false;
    if (m_Line.empty()) return std::nullopt;
    std::string line;
    line.swap(m_Line);
    return line;
  }
  const auto c = static_cast<unsigned char>(byte);
  if ((c < 0x20 && c != '\t') || c == 0x7F || m_Overlong) return std::nullopt;
  if (m_Line.size() >= kMaxLine) {
    // The rest of an overlong line is dropped; what was kept counts as a line of its own.
    m_Overlong = true;
    std::string line;
    line.swap(m_Line);
    return line;
  }
  m_Line.push_back(byte);
  return std::nullopt;
}

void LineSplitter::Clear() {
  m_Line.clear();
  m_Overlong = false;
}

}  // namespace lineservice
