#include "platform/registryfile.h"

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {

unsigned char Fold(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

int CompareNames(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return Fold(a[i]) < Fold(b[i]) ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

template <class Key>
auto FindSubkeyIn(Key& key, std::string_view name) -> decltype(key.subkeys.data()) {
  const auto found = std::lower_bound(key.subkeys.begin(), key.subkeys.end(), name,
                                      [](const RegistryKey& k, std::string_view n) { return CompareNames(k.name, n) < 0; });
  return found != key.subkeys.end() && CompareNames(found->name, name) == 0 ? &*found : nullptr;
}

template <class Key>
auto FindValueIn(Key& key, std::string_view name) -> decltype(key.values.data()) {
  const auto found = std::find_if(key.values.begin(), key.values.end(),
                                  [name](const RegistryValue& v) { return CompareNames(v.name, name) == 0; });
  return found != key.values.end() ? &*found : nullptr;
}

// --- Writing ---

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escape[5];
          std::snprintf(escape, sizeof escape, "\\x%02x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// Bytes as "01,02,...", wrapped before column 80 with a trailing backslash as regedit does.
void AppendHexBytes(std::string& out, std::size_t lineStart, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      out += ',';
      if (out.size() - lineStart > 76) {
        out += "\\\n  ";
        lineStart = out.size() - 2;
      }
    }
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
    out += hex;
  }
}

bool IsPlainString(const RegistryValue& value) {
  return value.type == REG_SZ && !value.data.empty() && value.data.find('\0') == value.data.size() - 1;
}

void AppendValue(std::string& out, const RegistryValue& value) {
  const std::size_t lineStart = out.size();
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  if (IsPlainString(value)) {
    AppendQuoted(out, std::string_view(value.data).substr(0, value.data.size() - 1));
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value.data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", number);
    out += text;
  } else {
    char prefix[24] = "hex:";
    if (value.type != REG_BINARY) std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    out += prefix;
    AppendHexBytes(out, lineStart, value.data);
  }
  out += '\n';
}

void AppendKey(std::string& out, const RegistryKey& key, const std::string& path) {
  out += '[' + path + "]\n";
  for (const auto& value : key.values) AppendValue(out, value);
  out += '\n';
  for (const auto& subkey : key.subkeys) AppendKey(out, subkey, path + '\\' + subkey.name);
}

// --- Reading ---

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string_view TrimStart(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, all of text.
bool ParseHexNumber(std::string_view text, DWORD& number) {
  if (text.empty() || text.size() > 8) return false;
  number = 0;
  for (const char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    number = (number << 4) | static_cast<DWORD>(digit);
  }
  return true;
}

// A quoted string at text[pos]; pos ends past the closing quote.
bool ParseQuoted(std::string_view text, std::size_t& pos, std::string& out, std::string& reason) {
  ++pos;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '"') return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (pos >= text.size()) break;
    const char escaped = text[pos++];
    switch (escaped) {
      case '"': case '\\': out += escaped; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        const int high = pos < text.size() ? HexDigit(text[pos]) : -1;
        const int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : -1;
        if (high < 0 || low < 0) {
          reason = "\\x must be followed by two hex digits";
          return false;
        }
        out += static_cast<char>(high * 16 + low);
        pos += 2;
        break;
      }
      default:
        reason = std::string("unknown escape \\") + escaped;
        return false;
    }
  }
  reason = "a string has no closing quote";
  return false;
}

// "01,02,..." (possibly empty) into bytes.
bool ParseHexBytes(std::string_view list, std::string& bytes) {
  list = TrimStart(TrimEnd(list));
  if (list.empty()) return true;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view item = TrimStart(TrimEnd(list.substr(0, comma)));
    if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0) return false;
    bytes += static_cast<char>(HexDigit(item[0]) * 16 + HexDigit(item[1]));
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

bool ParseValue(std::string_view line, RegistryValue& value, std::string& reason) {
  std::size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ParseQuoted(line, pos, value.name, reason)) {
    return false;
  }
  std::string_view rest = TrimStart(line.substr(pos));
  if (rest.empty() || rest[0] != '=') {
    reason = "a value name must be followed by '='";
    return false;
  }
  rest = TrimStart(rest.substr(1));
  if (!rest.empty() && rest[0] == '"') {
    std::size_t end = 0;
    if (!ParseQuoted(rest, end, value.data, reason)) return false;
    if (end != rest.size()) {
      reason = "text after a string";
      return false;
    }
    value.type = REG_SZ;
    value.data += '\0';
    return true;
  }
  if (rest.substr(0, 6) == "dword:") {
    DWORD number = 0;
    if (!ParseHexNumber(rest.substr(6), number)) {
      reason = "dword: must be followed by 1 to 8 hex digits";
      return false;
    }
    value.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
    return true;
  }
  std::string_view bytes;
  if (rest.substr(0, 4) == "hex:") {
    value.type = REG_BINARY;
    bytes = rest.substr(4);
  } else if (rest.substr(0, 4) == "hex(") {
    const std::size_t close = rest.find("):");
    if (close == std::string_view::npos || !ParseHexNumber(rest.substr(4, close - 4), value.type)) {
      reason = "hex( must be followed by a hex type number and \"):\"";
      return false;
    }
    bytes = rest.substr(close + 2);
  } else {
    reason = "a value must be a string, dword: or hex:";
    return false;
  }
  if (!ParseHexBytes(bytes, value.data)) {
    reason = "hex data must be two-digit hex bytes separated by commas";
    return false;
  }
  return true;
}

RegistryKey* OpenSection(RegistryKey& root, std::string_view path, std::string& reason) {
  RegistryKey* key = nullptr;
  while (true) {
    const std::size_t separator = path.find('\\');
    const std::string_view name = path.substr(0, separator);
    if (name.empty()) {
      reason = "a key name is empty";
      return nullptr;
    }
    if (key == nullptr) {
      if (CompareNames(name, root.name) != 0) {
        reason = "a section outside " + root.name;
        return nullptr;
      }
      key = &root;
    } else {
      key = &key->AddSubkey(name);
    }
    if (separator == std::string_view::npos) return key;
    path.remove_prefix(separator + 1);
  }
}

}  // namespace

RegistryValue* RegistryKey::FindValue(std::string_view name) { return FindValueIn(*this, name); }
const RegistryValue* RegistryKey::FindValue(std::string_view name) const { return FindValueIn(*this, name); }
RegistryKey* RegistryKey::FindSubkey(std::string_view name) { return FindSubkeyIn(*this, name); }
const RegistryKey* RegistryKey::FindSubkey(std::string_view name) const { return FindSubkeyIn(*this, name); }

RegistryKey& RegistryKey::AddSubkey(std::string_view name, bool* created) {
  const auto found = std::lower_bound(subkeys.begin(), subkeys.end(), name,
                                      [](const RegistryKey& k, std::string_view n) { return CompareNames(k.name, n) < 0; });
  const bool isNew = found == subkeys.end() || CompareNames(found->name, name) != 0;
  if (created) *created = isNew;
  if (!isNew) return *found;
  RegistryKey key;
  key.name = std::string(name);
  return *subkeys.insert(found, std::move(key));
}

bool RegistryKey::RemoveSubkey(std::string_view name) {
  const RegistryKey* found = FindSubkey(name);
  if (!found) return false;
  subkeys.erase(subkeys.begin() + (found - subkeys.data()));
  return true;
}

bool RegistryKey::RemoveValue(std::string_view name) {
  const RegistryValue* found = FindValue(name);
  if (!found) return false;
  values.erase(values.begin() + (found - values.data()));
  return true;
}

std::string FoldRegistryName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(Fold(c));
  return folded;
}

std::string FormatRegistryFile(const RegistryKey& root) {
  std::string out = "REGEDIT4\n\n";
  AppendKey(out, root, root.name);
  return out;
}

bool ParseRegistryFile(std::string_view text, RegistryKey& root, RegistryParseError& error) {
  int number = 0;
  std::string reason;
  const auto nextLine = [&text, &number](std::string_view& line) {
    if (text.empty()) return false;
    const std::size_t end = text.find('\n');
    line = TrimEnd(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    return true;
  };
  const auto fail = [&](std::string why) {
    error = RegistryParseError{std::max(number, 1), std::move(why)};  // an empty text fails on its line 1
    return false;
  };
  std::string_view line;
  if (!nextLine(line) || line != "REGEDIT4") return fail("the first line must be REGEDIT4");
  RegistryKey* current = nullptr;
  while (nextLine(line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 2) return fail("a section must end with ']'");
      current = OpenSection(root, line.substr(1, line.size() - 2), reason);
      if (!current) return fail(reason);
      continue;
    }
    if (line[0] != '@' && line[0] != '"') return fail("a line must be a section, a value or a comment");
    if (!current) return fail("a value before the first section");
    const int first = number;
    std::string joined(line);
    while (!joined.empty() && joined.back() == '\\' && nextLine(line)) {
      joined.pop_back();
      joined += TrimStart(line);
    }
    RegistryValue value;
    if (!ParseValue(joined, value, reason)) {
      number = first;
      return fail(reason);
    }
    if (current->FindValue(value.name)) {
      number = first;
      return fail("the value \"" + value.name + "\" appears twice in one key");
    }
    current->values.push_back(std::move(value));
  }
  return true;
}

}  // namespace platform
