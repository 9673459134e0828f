// The command templates of an AT modem, as a modem driver key keeps them in its "Settings"
// subkey (one REG_SZ value per template), with the defaults of a generic Hayes-compatible modem
// for those it lacks; and the commands that put a device configuration into effect. No I/O.
#pragma once

#include "platform/modemconfig.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lineservice {

// The generic templates, by name, in the order docs/at-modems.md lists them and add-modem writes them.
const std::vector<std::pair<std::string_view, std::string_view>>& GenericTemplates();

class AtTemplates {
public:
  AtTemplates() = default;
  // The stored templates; names compare without regard to case, unknown ones are kept and unused.
  explicit AtTemplates(const std::vector<std::pair<std::string, std::string>>& stored);

  // The stored template, else the generic one; empty for an unknown name.
  std::string Get(std::string_view name) const;
  // A template with its escapes expanded: <cr>, <lf>, <hXX> (a byte in hex), and <#> replaced by
  // `number` when given.
  std::string Expand(std::string_view name, std::optional<DWORD> number = std::nullopt) const;

private:
  std::map<std::string, std::string> m_Stored;  // by upper-case name
};

std::string ExpandEscapes(std::string_view text, std::optional<DWORD> number = std::nullopt);

struct AtCommand {
  std::string text;        // as sent, prefix and terminator included
  bool optional = false;   // an ERROR answer is tolerated (caller ID on a modem without it)
};

// What opening the modem sends, in order: Reset, Init, the settings of the configuration
// (speaker, volume, blind dial, error control, compression, flow control, call set-up and
// inactivity timers) in lines of at most kMaxSettingsLine characters, caller ID on, then the
// user's init string (with the prefix added when it lacks one).
constexpr std::size_t kMaxSettingsLine = 40;
std::vector<AtCommand> InitCommands(const AtTemplates& templates, const DEVCFG& config, const std::string& userInit);

// The dial command: prefix, DialPrefix, Tone or Pulse, the dial string, DialSuffix, terminator.
std::string DialCommand(const AtTemplates& templates, const std::string& dialString, bool pulse);

// The dial string for a modem from a dialable address: digits, * # A-D, and the dial modifiers
// , W @ ! kept; blanks, dashes, dots and parentheses dropped; a leading T or P chooses tone or
// pulse (a P inside switches as modems do). Nullopt for anything else, or more than kMaxDialString.
constexpr std::size_t kMaxDialString = 60;
struct DialString {
  std::string digits;
  bool pulse = false;
};
std::optional<DialString> ModemDialString(std::string_view address, bool pulseByDefault);

}  // namespace lineservice
