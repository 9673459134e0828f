// A device configuration block as lineSetDevConfig is given it, or as it is read from the store,
// on any bytes. Checks: a block that is accepted is written back as the service stores it, is
// accepted again unchanged, keeps its settings within their ranges and carries no call state.
#include "fuzzcheck.h"

#include "lineservice/devconfig.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace lineservice;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string why;
  const auto config = ParseDevConfig(data, size, &why);
  if (!config) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  const DEVCFG& c = *config;
  FUZZ_CHECK(c.dfgHdr.dwSize == kDevConfigSize && c.dfgHdr.dwVersion == DEVCFG_VERSION);
  FUZZ_CHECK(c.dcb.BaudRate >= 110 && c.dcb.ByteSize >= 5 && c.dcb.ByteSize <= 8);
  FUZZ_CHECK(c.modemSettings.dwNegotiatedDCERate == 0 && c.modemSettings.dwNegotiatedModemOptions == 0);
  FUZZ_CHECK(MaxRate(c) == c.dcb.BaudRate);

  const std::string stored = DevConfigBytes(c);
  FUZZ_CHECK(stored.size() == kDevConfigSize);
  const auto again = ParseDevConfig(stored.data(), stored.size(), &why);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(DevConfigBytes(*again) == stored);
  return 0;
}
