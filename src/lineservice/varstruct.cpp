#include "lineservice/varstruct.h"

#include <cstring>

namespace lineservice {

void StoreDword(std::byte* base, std::size_t offset, DWORD value) { std::memcpy(base + offset, &value, sizeof value); }

DWORD TotalSizeOf(const void* structure) {
  DWORD total = 0;
  std::memcpy(&total, structure, sizeof total);
  return total;
}

VarStruct::VarStruct(void* structure, DWORD fixedSize)
    : m_Base(static_cast<std::byte*>(structure)), m_Total(TotalSizeOf(structure)), m_Fixed(fixedSize) {}

void VarStruct::AddPart(std::size_t sizeField, std::size_t offsetField, std::string bytes) {
  m_Parts.push_back(Part{sizeField, offsetField, std::move(bytes)});
}

void VarStruct::AddText(std::size_t sizeField, std::size_t offsetField, std::string_view text) {
  std::string bytes(text);
  bytes.push_back('\0');
  AddPart(sizeField, offsetField, std::move(bytes));
}

void VarStruct::ReplacePart(std::size_t index, std::string bytes) {
  if (index < m_Parts.size() && bytes.size() == m_Parts[index].bytes.size()) m_Parts[index].bytes = std::move(bytes);
}

DWORD VarStruct::NeededSize() const {
  std::size_t needed = m_Fixed;
  for (const Part& part : m_Parts) needed += part.bytes.size();
  return static_cast<DWORD>(needed);
}

LONG VarStruct::Write(const std::function<void(std::byte* fixed)>& fill) {
  constexpr std::size_t kNeededField = 4, kUsedField = 8;
  const DWORD needed = NeededSize();
  if (!FixedFits()) {
    if (m_Total >= kNeededField + sizeof(DWORD)) StoreDword(m_Base, kNeededField, needed);
    return LINEERR_STRUCTURETOOSMALL;
  }
  std::memset(m_Base + sizeof(DWORD), 0, m_Fixed - sizeof(DWORD));
  fill(m_Base);
  DWORD used = m_Fixed;
  if (needed <= m_Total) {
    for (const Part& part : m_Parts) {
      std::memcpy(m_Base + used, part.bytes.data(), part.bytes.size());
      StoreDword(m_Base, part.sizeField, static_cast<DWORD>(part.bytes.size()));
      StoreDword(m_Base, part.offsetField, used);
      used += static_cast<DWORD>(part.bytes.size());
    }
  }
  StoreDword(m_Base, kNeededField, needed);
  StoreDword(m_Base, kUsedField, used);
  return 0;
}

}  // namespace lineservice
