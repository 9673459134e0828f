// Filling a caller's variable-size structure (VARSTRING, LINEDEVCAPS, LINECALLINFO,
// LINETRANSLATEOUTPUT): the fixed part, then the variable parts behind it, never past the
// caller's dwTotalSize. The whole answer is written or only its fixed part: when the parts do not
// fit, their size and offset fields stay 0 and dwNeededSize tells the caller what to allocate.
#pragma once

#include "platform/tapi.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lineservice {

class VarStruct {
public:
  // fixedSize: the structure's fixed part, the least dwTotalSize the service accepts.
  VarStruct(void* structure, DWORD fixedSize);

  // A part whose size and offset go into the fields at these byte offsets of the fixed part.
  void AddPart(std::size_t sizeField, std::size_t offsetField, std::string bytes);
  // An 8-bit text with its terminating zero, counted in its size as the published API does.
  void AddText(std::size_t sizeField, std::size_t offsetField, std::string_view text);
  // Replaces the bytes of part `index` by as many bytes (a value known only once the answer fits).
  void ReplacePart(std::size_t index, std::string bytes);

  DWORD NeededSize() const;
  // Whether the fixed part, and whether the whole answer, fit the caller's dwTotalSize.
  bool FixedFits() const { return m_Total >= m_Fixed; }
  bool Fits() const { return m_Total >= NeededSize(); }

  // LINEERR_STRUCTURETOOSMALL when the fixed part does not fit (dwNeededSize is still set when
  // there is room for it). Otherwise the fixed part is zeroed (dwTotalSize kept), `fill` writes
  // its fields, the parts are placed when they all fit, dwNeededSize and dwUsedSize are set; 0.
  LONG Write(const std::function<void(std::byte* fixed)>& fill);

private:
  struct Part {
    std::size_t sizeField;
    std::size_t offsetField;
    std::string bytes;
  };

  std::byte* const m_Base;
  const DWORD m_Total;
  const DWORD m_Fixed;
  std::vector<Part> m_Parts;
};

// A DWORD field of a structure at a byte offset (the structures are packed to 4 bytes).
void StoreDword(std::byte* base, std::size_t offset, DWORD value);

// dwTotalSize of a caller's structure; the caller has checked the pointer.
DWORD TotalSizeOf(const void* structure);

}  // namespace lineservice
