// The buffer the telephony component hands to the telephony library for a variable-size answer,
// filled with any bytes as a faulty library might fill it, read as the component reads it: a
// VARSTRING's string, the texts of a LINECALLINFO, fields at offsets the answer names. The first
// two bytes choose the buffer's size. Checks (with the sanitizers watching every read): whatever
// the answer says, nothing is read outside the buffer or past its used part, and a text is never
// longer than its field.
#include "fuzzcheck.h"

#include "platform/tapi.h"
#include "qx/qxtapibuffer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

void ReadText(const TapiBuffer& buffer, DWORD offset, DWORD size) {
  const bool holds = buffer.Holds(offset, size);
  if (holds) FUZZ_CHECK(std::uint64_t(offset) + size <= buffer.UsedSize());
  const QString text = buffer.Text(offset, size);
  FUZZ_CHECK(text.size() <= qsizetype(size));
  if (!holds) FUZZ_CHECK(text.isEmpty());
}

void ReadPart(const TapiBuffer& buffer, std::size_t sizeField, std::size_t offsetField) {
  ReadText(buffer, buffer.Field(DWORD(offsetField)), buffer.Field(DWORD(sizeField)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const DWORD bufferSize = DWORD(data[0] | (data[1] << 8)) % 4096;
  data += 2;
  size -= 2;
  TapiBuffer buffer(bufferSize);
  FUZZ_CHECK(buffer.Size() == bufferSize);
  FUZZ_CHECK(buffer.UsedSize() <= bufferSize);
  // The answer as the library wrote it, dwTotalSize included.
  if (bufferSize > 0) std::memcpy(buffer.Data(), data, std::min<std::size_t>(size, bufferSize));
  FUZZ_CHECK(buffer.UsedSize() <= bufferSize);

  ReadPart(buffer, offsetof(VARSTRING, dwStringSize), offsetof(VARSTRING, dwStringOffset));
  ReadPart(buffer, offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDOffset));
  ReadPart(buffer, offsetof(LINECALLINFO, dwCallerIDNameSize), offsetof(LINECALLINFO, dwCallerIDNameOffset));
  ReadPart(buffer, offsetof(LINECALLINFO, dwCalledIDSize), offsetof(LINECALLINFO, dwCalledIDOffset));
  ReadPart(buffer, offsetof(LINECALLINFO, dwCalledIDNameSize), offsetof(LINECALLINFO, dwCalledIDNameOffset));
  // Fields at offsets the answer itself names, with the 16-bit reads of the modem settings.
  for (DWORD at = 0; at + 4 <= std::min<DWORD>(bufferSize, 64); at += 4) {
    const DWORD offset = buffer.Field(at);
    buffer.Field(offset);
    buffer.Word(offset);
    ReadText(buffer, offset, buffer.Field(offset + 4));
  }
  // Fields at and past the end read as 0 and writes there are dropped.
  for (DWORD at = bufferSize >= 3 ? bufferSize - 3 : 0; at <= bufferSize + 4; ++at) {
    if (at + 4 > bufferSize) FUZZ_CHECK(buffer.Field(at) == 0);
    if (at + 2 > bufferSize) FUZZ_CHECK(buffer.Word(at) == 0);
    buffer.SetField(at, 0xFFFFFFFFu);
    buffer.SetWord(at, 0xFFFF);
  }
  return 0;
}
