#include "lineservice/atsettings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace lineservice {

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = char(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

const std::vector<std::pair<std::string_view, std::string_view>>& GenericTemplates() {
  static const std::vector<std::pair<std::string_view, std::string_view>> templates{
      {"Prefix", "AT"},
      {"Terminator", "<cr>"},
      {"Reset", "ATZ<cr>"},
      {"Init", "AT&FE0V1Q0&C1&D2S0=0<cr>"},
      {"CallerId", "AT+VCID=1<cr>"},
      {"DialPrefix", "D"},
      {"DialSuffix", ""},
      {"Tone", "T"},
      {"Pulse", "P"},
      {"Answer", "ATA<cr>"},
      {"Hangup", "ATH<cr>"},
      {"SpeakerMode_Off", "M0"},
      {"SpeakerMode_Dial", "M1"},
      {"SpeakerMode_On", "M2"},
      {"SpeakerMode_Setup", "M3"},
      {"SpeakerVolume_Low", "L1"},
      {"SpeakerVolume_Med", "L2"},
      {"SpeakerVolume_High", "L3"},
      {"Blind_Off", "X4"},
      {"Blind_On", "X3"},
      {"ErrorControl_On", "\\N3"},
      {"ErrorControl_Off", "\\N0"},
      {"ErrorControl_Forced", "\\N2"},
      {"Compression_On", "%C1"},
      {"Compression_Off", "%C0"},
      {"FlowControl_Hard", "&K3"},
      {"FlowControl_Soft", "&K4"},
      {"FlowControl_Off", "&K0"},
      {"CallSetupFailTimer", "S7=<#>"},
      {"InactivityTimeout", "S30=<#>"},
      {"InactivityScale", "10"},
  };
  return templates;
}

AtTemplates::AtTemplates(const std::vector<std::pair<std::string, std::string>>& stored) {
  for (const auto& [name, value] : stored) m_Stored[Upper(name)] = value;
}

std::string AtTemplates::Get(std::string_view name) const {
  if (const auto it = m_Stored.find(Upper(name)); it != m_Stored.end()) return it->second;
  for (const auto& [generic, value] : GenericTemplates())
    if (Upper(generic) == Upper(name)) return std::string(value);
  return {};
}

std::string AtTemplates::Expand(std::string_view name, std::optional<DWORD> number) const {
  return ExpandEscapes(Get(name), number);
}

std::string ExpandEscapes(std::string_view text, std::optional<DWORD> number) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<') {
      const std::size_t close = text.find('>', i);
      if (close != std::string_view::npos) {
        const std::string escape = Upper(text.substr(i + 1, close - i - 1));
        if (escape == "CR") out += '\r';
        else if (escape == "LF") out += '\n';
        else if (escape == "#" && number) out += std::to_string(*number);
        else if (escape.size() == 3 && escape[0] == 'H' && HexDigit(escape[1]) >= 0 && HexDigit(escape[2]) >= 0)
          out += char(HexDigit(escape[1]) * 16 + HexDigit(escape[2]));
        else out.append(text.substr(i, close - i + 1));  // not an escape: as it stands
        i = close;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::vector<AtCommand> InitCommands(const AtTemplates& t, const DEVCFG& config, const std::string& userInit) {
  const MODEMSETTINGS& m = config.modemSettings;
  const DWORD options = m.dwPreferredModemOptions;
  static constexpr const char* kSpeaker[] = {"SpeakerMode_Off", "SpeakerMode_Dial", "SpeakerMode_On", "SpeakerMode_Setup"};
  static constexpr const char* kVolume[] = {"SpeakerVolume_Low", "SpeakerVolume_Med", "SpeakerVolume_High"};
  const DWORD scale = std::max<DWORD>(1, DWORD(std::strtoul(t.Get("InactivityScale").c_str(), nullptr, 10)));
  std::vector<std::string> settings{
      t.Expand(kSpeaker[std::min<DWORD>(m.dwSpeakerMode, 3)]),
      t.Expand(kVolume[std::min<DWORD>(m.dwSpeakerVolume, 2)]),
      t.Expand(options & MDM_BLIND_DIAL ? "Blind_On" : "Blind_Off"),
      t.Expand(options & MDM_FORCED_EC       ? "ErrorControl_Forced"
               : options & MDM_ERROR_CONTROL ? "ErrorControl_On"
                                             : "ErrorControl_Off"),
      t.Expand(options & MDM_COMPRESSION ? "Compression_On" : "Compression_Off"),
      t.Expand(options & MDM_FLOWCONTROL_HARD   ? "FlowControl_Hard"
               : options & MDM_FLOWCONTROL_SOFT ? "FlowControl_Soft"
                                                : "FlowControl_Off"),
      // Registers hold a byte.
      t.Expand("CallSetupFailTimer", std::min<DWORD>(m.dwCallSetupFailTimer, 255)),
      t.Expand("InactivityTimeout", std::min<DWORD>((m.dwInactivityTimeout + scale - 1) / scale, 255)),
  };
  const std::string prefix = t.Expand("Prefix"), terminator = t.Expand("Terminator");
  std::vector<AtCommand> commands;
  for (const char* name : {"Reset", "Init"})
    if (std::string text = t.Expand(name); !text.empty()) commands.push_back({std::move(text)});
  std::string line;
  for (const std::string& setting : settings) {
    if (setting.empty()) continue;
    if (!line.empty() && line.size() + setting.size() > kMaxSettingsLine) {
      commands.push_back({prefix + line + terminator});
      line.clear();
    }
    line += setting;
  }
  if (!line.empty()) commands.push_back({prefix + line + terminator});
  if (std::string text = t.Expand("CallerId"); !text.empty()) commands.push_back({std::move(text), true});
  if (!userInit.empty()) {
    const bool prefixed = Upper(userInit.substr(0, prefix.size())) == Upper(prefix);
    commands.push_back({(prefixed ? "" : prefix) + userInit + terminator});
  }
  return commands;
}

std::string DialCommand(const AtTemplates& t, const std::string& dialString, bool pulse) {
  return t.Expand("Prefix") + t.Expand("DialPrefix") + t.Expand(pulse ? "Pulse" : "Tone") + dialString +
         t.Expand("DialSuffix") + t.Expand("Terminator");
}

std::optional<DialString> ModemDialString(std::string_view address, bool pulseByDefault) {
  DialString dial;
  dial.pulse = pulseByDefault;
  bool first = true;
  for (char c : address) {
    const char upper = char(std::toupper(static_cast<unsigned char>(c)));
    if (c == ' ' || c == '-' || c == '.' || c == '(' || c == ')') continue;
    if ((upper == 'T' || upper == 'P') && first) {
      dial.pulse = upper == 'P';
    } else if ((c >= '0' && c <= '9') || c == '*' || c == '#' || (upper >= 'A' && upper <= 'D') || c == ',' ||
               upper == 'W' || c == '@' || c == '!' || upper == 'T' || upper == 'P') {
      dial.digits += upper;
    } else {
      return std::nullopt;
    }
    first = false;
  }
  if (dial.digits.empty() || dial.digits.size() > kMaxDialString) return std::nullopt;
  return dial;
}

}  // namespace lineservice
