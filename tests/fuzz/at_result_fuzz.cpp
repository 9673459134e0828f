// What an AT-command modem sends, on any bytes: the line splitter cuts it into lines and each line
// (and the partial one left at the end) is read as a result code. Checks: lines are never empty,
// never longer than their bound, hold no line ends or control bytes, and are pieces of what was
// sent; a result reads the same in any letter case and with blanks around it; rates, error control
// and compression only come with the results that carry them; a numeric code means what its text
// means.
#include "fuzzcheck.h"

#include "lineservice/atresult.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace lineservice;

namespace {

bool Same(const AtResult& a, const AtResult& b) {
  return a.kind == b.kind && a.rate == b.rate && a.errorControl == b.errorControl && a.compression == b.compression &&
         a.numeric == b.numeric;
}

void CheckResult(const std::string& line) {
  const AtResult result = ParseResult(line);
  std::string lower = line;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(Same(ParseResult(lower), result));
  FUZZ_CHECK(Same(ParseResult(" \t" + line + "\t "), result));

  switch (result.kind) {
    case AtResultKind::Unknown:
      FUZZ_CHECK(Same(result, AtResult{}));
      return;
    case AtResultKind::Carrier: FUZZ_CHECK(result.rate != 0); break;
    case AtResultKind::Connect: break;
    default: FUZZ_CHECK(result.rate == 0); break;
  }
  if (result.kind != AtResultKind::Connect && result.kind != AtResultKind::Protocol)
    FUZZ_CHECK(!result.errorControl);
  else if (result.compression)
    FUZZ_CHECK(result.errorControl);  // compression runs over error control
  if (result.kind != AtResultKind::Connect && result.kind != AtResultKind::Protocol &&
      result.kind != AtResultKind::Compression)
    FUZZ_CHECK(!result.compression);

  if (result.numeric) {
    const std::string_view text = NumericResultText(std::stoi(line));
    FUZZ_CHECK(!text.empty());
    AtResult verbose = ParseResult(text);
    verbose.numeric = true;
    FUZZ_CHECK(Same(verbose, result));
  }
  if (result.kind == AtResultKind::Connect && result.rate != 0) {
    const int code = NumericConnectCode(result.rate);
    const AtResult numeric = ParseResult(std::to_string(code));
    FUZZ_CHECK(numeric.kind == AtResultKind::Connect && numeric.numeric);
    FUZZ_CHECK(numeric.rate == (code == 1 ? 0 : result.rate));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // What the splitter keeps: the bytes without control bytes (tab stays), line ends as they came.
  std::string kept;
  for (std::size_t i = 0; i < size; ++i) {
    const auto c = data[i];
    if (c >= 0x20 ? c != 0x7F : (c == '\t' || c == '\r' || c == '\n')) kept.push_back(char(c));
  }

  LineSplitter splitter;
  std::size_t from = 0;  // lines come in order: each is found after the one before
  for (std::size_t i = 0; i < size; ++i) {
    const auto line = splitter.Feed(char(data[i]));
    FUZZ_CHECK(splitter.Partial().size() <= LineSplitter::kMaxLine);
    if (!line) continue;
    FUZZ_CHECK(!line->empty() && line->size() <= LineSplitter::kMaxLine);
    FUZZ_CHECK(line->find_first_of("\r\n") == std::string::npos);
    const std::size_t at = kept.find(*line, from);
    FUZZ_CHECK(at != std::string::npos);
    from = at + line->size();
    CheckResult(*line);
  }
  if (!splitter.Partial().empty()) CheckResult(splitter.Partial());
  splitter.Clear();
  FUZZ_CHECK(splitter.Partial().empty());
  return 0;
}
