// The command line of the AT modem emulator, read without I/O: what follows "AT" cut into
// commands ("E0", "&F", "S7=30", "S0?", "+VCID=1", "DT101"). A dial command takes the rest of the
// line; an answer command ends it. Unknown letters and broken syntax make the whole line an ERROR,
// as on a modem.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct EmulatorCommand {
  std::string name;  // upper case: "E", "&F", "\N", "%C", "S", "+VCID", "D", "A"
  int number = -1;   // the digits after a letter, or the register of S; -1 when none
  enum Kind { Plain, Set, Query } kind = Plain;  // S and + commands: "=value" or "?"
  std::string value;  // "=value" (digits), or the dial string of D
};

// The commands of one line, given the text after its "AT"; nullopt for an ERROR.
std::optional<std::vector<EmulatorCommand>> ParseEmulatorCommands(std::string_view line);
