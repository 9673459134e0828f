#include "emulatorcommands.h"

#include <cctype>

namespace {

constexpr std::string_view kPlainLetters = "ABEHILMOQVXZCNPTWY";

bool Digit(char c) { return c >= '0' && c <= '9'; }

// The digits at `at`, or -1 when there are none (more than three are an error: -2).
int Number(std::string_view text, std::size_t& at) {
  std::size_t start = at;
  while (at < text.size() && Digit(text[at])) ++at;
  if (at == start) return -1;
  if (at - start > 3) return -2;
  return std::stoi(std::string(text.substr(start, at - start)));
}

}  // namespace

std::optional<std::vector<EmulatorCommand>> ParseEmulatorCommands(std::string_view raw) {
  std::string line;
  for (char c : raw) line += char(std::toupper(static_cast<unsigned char>(c)));
  std::vector<EmulatorCommand> commands;
  std::size_t at = 0;
  while (at < line.size()) {
    const char c = line[at++];
    if (c == ' ') continue;
    EmulatorCommand command;
    if (c == 'D') {
      command.name = "D";
      command.value = std::string(raw.substr(at));
      commands.push_back(std::move(command));
      return commands;
    }
    if (c == '&' || c == '\\' || c == '%') {
      if (at >= line.size() || !std::isalpha(static_cast<unsigned char>(line[at]))) return std::nullopt;
      command.name = std::string(1, c) + line[at++];
      command.number = Number(line, at);
    } else if (c == 'S') {
      command.name = "S";
      command.number = Number(line, at);
      if (command.number < 0 || command.number > 99 || at >= line.size()) return std::nullopt;
      if (line[at] == '?') {
        command.kind = EmulatorCommand::Query;
        ++at;
      } else if (line[at] == '=') {
        ++at;
        const int value = Number(line, at);
        if (value < 0 || value > 255) return std::nullopt;
        command.kind = EmulatorCommand::Set;
        command.value = std::to_string(value);
      } else {
        return std::nullopt;
      }
    } else if (c == '+' || c == '#') {
      command.name = std::string(1, c);
      while (at < line.size() && std::isalpha(static_cast<unsigned char>(line[at]))) command.name += line[at++];
      if (command.name.size() == 1) return std::nullopt;
      if (at < line.size() && line[at] == '?') {
        command.kind = EmulatorCommand::Query;
        ++at;
      } else if (at < line.size() && line[at] == '=') {
        ++at;
        command.kind = EmulatorCommand::Set;
        while (at < line.size() && (Digit(line[at]) || line[at] == ',')) command.value += line[at++];
        if (command.value.empty() && at < line.size() && line[at] == '?') {
          command.kind = EmulatorCommand::Query;  // "=?": the range, answered as a query
          ++at;
        }
      }
    } else if (kPlainLetters.find(c) != std::string_view::npos) {
      command.name = std::string(1, c);
      command.number = Number(line, at);
      if (c == 'A') {  // answers; the rest of the line is not read
        commands.push_back(std::move(command));
        return commands;
      }
    } else {
      return std::nullopt;
    }
    if (command.number == -2) return std::nullopt;
    commands.push_back(std::move(command));
  }
  return commands;
}
