// The registry store's file reader on any text. Checks: a text it accepts, written out again,
// reads back to the same tree, and that tree writes out to the same text; every key's subkeys are
// sorted and found by name in any letter case, and every value is found by its name.
#include "fuzzcheck.h"

#include "platform/registryfile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool SameTree(const platform::RegistryKey& a, const platform::RegistryKey& b) {
  if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    const auto &x = a.values[i], &y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  for (std::size_t i = 0; i < a.subkeys.size(); ++i)
    if (!SameTree(a.subkeys[i], b.subkeys[i])) return false;
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

void CheckLookups(const platform::RegistryKey& key) {
  for (std::size_t i = 0; i < key.subkeys.size(); ++i) {
    const platform::RegistryKey& subkey = key.subkeys[i];
    if (i > 0) FUZZ_CHECK(platform::FoldRegistryName(key.subkeys[i - 1].name) < platform::FoldRegistryName(subkey.name));
    FUZZ_CHECK(key.FindSubkey(Lower(subkey.name)) == &subkey);
    CheckLookups(subkey);
  }
  for (const platform::RegistryValue& value : key.values) FUZZ_CHECK(key.FindValue(Lower(value.name)) == &value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::RegistryKey root;
  root.name = "HKEY_LOCAL_MACHINE";
  platform::RegistryParseError error;
  if (!platform::ParseRegistryFile(text, root, error)) {
    FUZZ_CHECK(error.line >= 1 && !error.reason.empty());
    return 0;
  }
  CheckLookups(root);
  const std::string written = platform::FormatRegistryFile(root);
  platform::RegistryKey again;
  again.name = root.name;
  FUZZ_CHECK(platform::ParseRegistryFile(written, again, error));
  FUZZ_CHECK(SameTree(root, again));
  FUZZ_CHECK(platform::FormatRegistryFile(again) == written);
  return 0;
}
