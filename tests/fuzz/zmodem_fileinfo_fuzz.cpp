// The file information block of a ZFILE subpacket on any bytes. Checks: the name a file may take
// has no folder part in any notation and is never "." or ".."; it is the tail of the sent name; a
// size is only announced by leading digits that fit 32 bits; the same information written again
// as a sender writes it reads back the same.
#include "fuzzcheck.h"

#include "qx/qxsysutils.h"
#include "qx/qxzmodemfileinfo.h"
#include "qx/qxzmodemframing.h"
#include "qx/qxzmodemtime.h"

#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // No subpacket is longer than this.
  const int length = int(std::min<std::size_t>(size, kMaxRxBlock));
  const TZFileInfo info = ParseFileInfo(data, length);

  FUZZ_CHECK(!info.Name.contains(u'/') && !info.Name.contains(u'\\') && !info.Name.contains(u':'));
  FUZZ_CHECK(info.Name != u"." && info.Name != u"..");
  FUZZ_CHECK(info.WireName.endsWith(info.Name));
  FUZZ_CHECK(!info.WireName.contains(QChar(0)));
  if (info.ModTime) FUZZ_CHECK(UnixTimeToDateTime(*info.ModTime).isValid());

  if (info.Name.isEmpty()) return 0;
  QByteArray again = info.Name.toLocal8Bit();
  again.append('\0');
  again.append(QByteArray::number(info.Size));
  again.append(' ');
  again.append(info.ModTime ? IntToOctal(std::uint32_t(*info.ModTime)).toLatin1() : QByteArray("0"));
  again.append(" 100644");
  again.append('\0');
  const TZFileInfo reread = ParseFileInfo(reinterpret_cast<const std::uint8_t*>(again.constData()), int(again.size()));
  FUZZ_CHECK(reread.Name == info.Name && reread.WireName == info.Name);
  FUZZ_CHECK(reread.Size == info.Size);
  FUZZ_CHECK(reread.ModTime == info.ModTime || (!reread.ModTime && info.ModTime == 0));
  return 0;
}
