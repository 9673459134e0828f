// What an AT modem sends, read by the line service without any I/O: result codes (verbose and
// numeric, with rate and protocol suffixes), caller-ID lines, and the line splitter, fed
// malformed and hostile input; and the commands the settings of a configuration turn into.
#include "lineservice/atresult.h"
#include "lineservice/atsettings.h"
#include "lineservice/callerid.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace lineservice;

namespace {

struct ResultCase {
  const char* line;
  AtResultKind kind;
  DWORD rate;
  bool errorControl;
  bool compression;
};

TEST(AtResults, VerboseNumericAndMalformedLines) {
  using K = AtResultKind;
  const ResultCase cases[] = {
      {"OK", K::Ok, 0, false, false},
      {"  ok ", K::Ok, 0, false, false},
      {"CONNECT", K::Connect, 0, false, false},
      {"CONNECT 33600", K::Connect, 33600, false, false},
      {"CONNECT 33600/LAPM/V42BIS", K::Connect, 33600, true, true},
      {"CONNECT 28800/REL-LAPM", K::Connect, 28800, true, false},
      {"CONNECT 14400/ARQ/V32/LAPM/V42BIS", K::Connect, 14400, true, true},
      {"CONNECT 9600/NONE", K::Connect, 9600, false, false},
      {"CONNECT 2400/MNP5", K::Connect, 2400, true, true},
      {"CONNECT 115200bps", K::Connect, 115200, false, false},
      {"CONNECT 99999999999999", K::Connect, 0, false, false},  // no rate rather than an overflow
      {"CONNECT ABC", K::Connect, 0, false, false},
      {"CONNECTED", K::Unknown, 0, false, false},
      {"CARRIER 26400", K::Carrier, 26400, false, false},
      {"CARRIER", K::Unknown, 0, false, false},
      {"PROTOCOL: LAPM", K::Protocol, 0, true, false},
      {"PROTOCOL: NONE", K::Protocol, 0, false, false},
      {"COMPRESSION: V42BIS", K::Compression, 0, false, true},
      {"COMPRESSION: CLASS 5", K::Compression, 0, false, true},
      {"COMPRESSION: NONE", K::Compression, 0, false, false},
      {"RING", K::Ring, 0, false, false},
      {"RINGING", K::Ringing, 0, false, false},
      {"NO CARRIER", K::NoCarrier, 0, false, false},
      {"NO DIALTONE", K::NoDialtone, 0, false, false},
      {"NO DIAL TONE", K::NoDialtone, 0, false, false},
      {"BUSY", K::Busy, 0, false, false},
      {"NO ANSWER", K::NoAnswer, 0, false, false},
      {"ERROR", K::Error, 0, false, false},
      {"0", K::Ok, 0, false, false},
      {"1", K::Connect, 0, false, false},
      {"3", K::NoCarrier, 0, false, false},
      {"7", K::Busy, 0, false, false},
      {"12", K::Connect, 9600, false, false},
      {"84", K::Connect, 33600, false, false},
      {"9", K::Unknown, 0, false, false},
      {"0000", K::Unknown, 0, false, false},
      {"010", K::Unknown, 0, false, false},  // a register's value, not code 10
      {"", K::Unknown, 0, false, false},
      {"ATDT123", K::Unknown, 0, false, false},
      {"NO CARRIERS", K::Unknown, 0, false, false},
      {"OK OK", K::Unknown, 0, false, false},
      {"\xff\xfe OK", K::Unknown, 0, false, false},
  };
  for (const ResultCase& c : cases) {
    const AtResult r = ParseResult(c.line);
    EXPECT_EQ(r.kind, c.kind) << c.line;
    EXPECT_EQ(r.rate, c.rate) << c.line;
    EXPECT_EQ(r.errorControl, c.errorControl) << c.line;
    EXPECT_EQ(r.compression, c.compression) << c.line;
  }
  EXPECT_TRUE(ParseResult("12").numeric);
  EXPECT_FALSE(ParseResult("CONNECT 9600").numeric);
  for (int code : {0, 5, 12, 19, 84})
    EXPECT_EQ(ParseResult(NumericResultText(code)).kind, ParseResult(std::to_string(code)).kind);
  EXPECT_EQ(NumericConnectCode(33600), 84);
  EXPECT_EQ(NumericConnectCode(12345), 1) << "a rate without a code of its own is plain CONNECT";
}

TEST(AtResults, LineSplitterKeepsLinesBoundedAndDropsControlBytes) {
  LineSplitter splitter;
  std::vector<std::string> lines;
  const auto feed = [&](const std::string& bytes) {
    for (char c : bytes)
      if (auto line = splitter.Feed(c)) lines.push_back(*line);
  };
  feed(std::string("\r\nOK\r\n\r\n\n\rCONN") + '\0' + "ECT 9600\x07\r");
  EXPECT_EQ(lines, (std::vector<std::string>{"OK", "CONNECT 9600"}));
  lines.clear();
  feed(std::string(100000, 'x'));  // a modem that never ends its line
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), LineSplitter::kMaxLine);
  EXPECT_TRUE(splitter.Partial().empty()) << "the rest of an overlong line is not kept";
  feed("\r\nRING\r\n");
  EXPECT_EQ(lines.back(), "RING");
}

TEST(CallerIdLines, FieldsTheirSpellingsAndMalformedValues) {
  struct Case {
    const char* line;
    std::optional<CallerIdField> field;
    const char* value;
  };
  using F = CallerIdField;
  const Case cases[] = {
      {"DATE = 0321", F::Date, "0321"},
      {"DATE=03211405", F::Date, "03211405"},
      {"TIME = 1405", F::Time, "1405"},
      {"NMBR = 5551234", F::Number, "5551234"},
      {"nmbr=555-1234", F::Number, "555-1234"},
      {"DDN_NMBR= +49 30 1234", F::Number, "+49 30 1234"},
      {"CALLER NUMBER: 101", F::Number, "101"},
      {"NMBR = P", F::Number, "P"},
      {"NMBR = O", F::Number, "O"},
      {"NAME = JOHN DOE", F::Name, "JOHN DOE"},
      {"CALLER NAME: Virtual Modem 1", F::Name, "Virtual Modem 1"},
      {"MESG = 060342", F::Message, "060342"},
      {"DATE = 321", std::nullopt, ""},
      {"DATE = 03x1", std::nullopt, ""},
      {"TIME = 14:05", std::nullopt, ""},
      {"NMBR = JOHN", std::nullopt, ""},
      {"NMBR =", std::nullopt, ""},
      {"NAME = ", std::nullopt, ""},
      {"NAME", std::nullopt, ""},
      {"COLOUR = RED", std::nullopt, ""},
      {"RING", std::nullopt, ""},
      {"= 5551234", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseCallerIdLine(c.line);
    ASSERT_EQ(parsed.has_value(), c.field.has_value()) << c.line;
    if (!parsed) continue;
    EXPECT_EQ(parsed->field, *c.field) << c.line;
    EXPECT_EQ(parsed->value, c.value) << c.line;
  }
  EXPECT_FALSE(ParseCallerIdLine("NAME = " + std::string(kMaxCallerIdValue + 1, 'A'))) << "values are bounded";
  EXPECT_FALSE(ParseCallerIdLine(std::string("NAME = A\x01")));

  CallerId id;
  EXPECT_TRUE(id.Apply(*ParseCallerIdLine("NMBR = 5551234")));
  EXPECT_FALSE(id.Apply(*ParseCallerIdLine("NMBR = 5551234"))) << "the same again changes nothing";
  EXPECT_FALSE(id.Apply(*ParseCallerIdLine("DATE = 03211405")));
  EXPECT_EQ(id.date, "0321");
  EXPECT_EQ(id.time, "1405");
  EXPECT_TRUE(id.Apply(*ParseCallerIdLine("NAME = P")));
  EXPECT_TRUE(id.nameWithheld);
  EXPECT_EQ(id.name, "");
  EXPECT_TRUE(id.Apply(*ParseCallerIdLine("NMBR = O")));
  EXPECT_TRUE(id.numberUnavailable);
  EXPECT_EQ(id.number, "");
}

// A configuration block with the given modem options and settings.
DEVCFG Config(DWORD options, DWORD speakerMode, DWORD volume, DWORD setupTimer, DWORD inactivity) {
  DEVCFG c{};
  c.modemSettings.dwPreferredModemOptions = options;
  c.modemSettings.dwSpeakerMode = speakerMode;
  c.modemSettings.dwSpeakerVolume = volume;
  c.modemSettings.dwCallSetupFailTimer = setupTimer;
  c.modemSettings.dwInactivityTimeout = inactivity;
  return c;
}

std::vector<std::string> Texts(const std::vector<AtCommand>& commands) {
  std::vector<std::string> texts;
  for (const auto& c : commands) texts.push_back(c.text);
  return texts;
}

TEST(AtSettings, TheConfigurationChoosesTheTemplatesSent) {
  const AtTemplates generic;
  struct Case {
    DEVCFG config;
    const char* settings;
  };
  const Case cases[] = {
      {Config(MDM_ERROR_CONTROL | MDM_COMPRESSION | MDM_FLOWCONTROL_HARD, MDMSPKR_DIAL, MDMVOL_LOW, 60, 10),
       "ATM1L1X4\\N3%C1&K3S7=60S30=1\r"},
      {Config(MDM_BLIND_DIAL | MDM_FLOWCONTROL_SOFT, MDMSPKR_OFF, MDMVOL_HIGH, 45, 0), "ATM0L3X3\\N0%C0&K4S7=45S30=0\r"},
      {Config(MDM_FORCED_EC | MDM_ERROR_CONTROL, MDMSPKR_CALLSETUP, MDMVOL_MEDIUM, 999, 95),
       "ATM3L2X4\\N2%C0&K0S7=255S30=10\r"},  // registers hold a byte; inactivity in tens of seconds
  };
  for (const Case& c : cases) {
    const auto texts = Texts(InitCommands(generic, c.config, ""));
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "ATZ\r");
    EXPECT_EQ(texts[1], "AT&FE0V1Q0&C1&D2S0=0\r");
    EXPECT_EQ(texts[2], c.settings);
    EXPECT_EQ(texts[3], "AT+VCID=1\r");
  }
  const auto commands = InitCommands(generic, cases[0].config, "S12=10");
  EXPECT_TRUE(commands[3].optional) << "a modem without caller ID may refuse it";
  EXPECT_EQ(commands.back().text, "ATS12=10\r") << "the user's init string comes last, given its prefix";
  EXPECT_EQ(InitCommands(generic, cases[0].config, "at&c0").back().text, "at&c0\r");

  // Templates of the driver key replace the generic ones; an empty one is not sent.
  const AtTemplates custom({{"speakermode_dial", "M9"}, {"Compression_On", ""}, {"CallerId", "AT#CID=1<cr>"},
                            {"Terminator", "<h0d><lf>"}});
  const auto texts = Texts(InitCommands(custom, cases[0].config, ""));
  EXPECT_EQ(texts[2], "ATM9L1X4\\N3&K3S7=60S30=1\r\n");
  EXPECT_EQ(texts[3], "AT#CID=1\r");
  EXPECT_EQ(ExpandEscapes("<cr><#><x>", 7), "\r7<x>");
  EXPECT_EQ(DialCommand(generic, "102", true), "ATDP102\r");
}

TEST(AtSettings, SettingsLinesStayShort) {
  const AtTemplates longOnes({{"SpeakerMode_Dial", "M1&A3&B1&H1&R2"}, {"SpeakerVolume_Low", "L1&I0&N0&U0"},
                              {"Blind_Off", "X4&Y1S9=6"}, {"ErrorControl_On", "&M4"}});
  const auto texts = Texts(InitCommands(longOnes, Config(MDM_ERROR_CONTROL, MDMSPKR_DIAL, MDMVOL_LOW, 60, 10), ""));
  ASSERT_GT(texts.size(), 4u) << "long settings are split over several lines";
  for (std::size_t i = 2; i + 1 < texts.size(); ++i)
    EXPECT_LE(texts[i].size(), std::strlen("AT") + kMaxSettingsLine + 1 + 14) << texts[i];
}

TEST(AtSettings, DialStrings) {
  struct Case {
    const char* address;
    bool valid;
    const char* digits;
    bool pulse;
  };
  const Case cases[] = {
      {"t 1-0-2", true, "102", false},
      {"P(030) 123.45", true, "03012345", true},
      {"9W,555*1#", true, "9W,555*1#", false},
      {"102", true, "102", false},
      {"+49 30 1", false, "", false},
      {"12;", false, "", false},
      {"", false, "", false},
      {"t", false, "", false},
      {"12\r+++", false, "", false},
  };
  for (const Case& c : cases) {
    const auto dial = ModemDialString(c.address, false);
    ASSERT_EQ(dial.has_value(), c.valid) << c.address;
    if (!dial) continue;
    EXPECT_EQ(dial->digits, c.digits) << c.address;
    EXPECT_EQ(dial->pulse, c.pulse) << c.address;
  }
  EXPECT_FALSE(ModemDialString(std::string(kMaxDialString + 1, '1'), false));
}

}  // namespace
