#include "qx/qxeventlist.h"

#include <algorithm>
#include <cstring>

int TEventList::Add(const QByteArray& Pattern) {
  if (Pattern.isEmpty()) return -1;
  auto entry = std::make_unique<Entry>();
  entry->Pattern = Pattern;
  entry->Length = static_cast<std::uint32_t>(Pattern.size());
  m_Entries.push_back(std::move(entry));
  UpdateMaxPatternLength();
  // A longer pattern needs more room in front of the data the buffer was sized for.
  if (!m_EventBuffer.empty()) EnsureBuffer(m_DataRoom);
  return Count() - 1;
}

void TEventList::Delete(int Index) {
  m_Entries.erase(m_Entries.begin() + Index);
  UpdateMaxPatternLength();
}

void TEventList::Clear() {
  while (!m_Entries.empty()) Delete(0);
}

void TEventList::EnsureBuffer(std::uint32_t Bytes) {
  m_DataRoom = std::max(m_DataRoom, Bytes);
  const std::size_t need = std::size_t{m_MaxPatternLength} + m_DataRoom + 4;
  if (m_EventBuffer.size() < need) m_EventBuffer.assign(need, 0);
}

int TEventList::Match(std::uint8_t B) {
  for (std::size_t i = 0; i < m_Entries.size(); ++i) {
    Entry& entry = *m_Entries[i];
    const auto* pattern = reinterpret_cast<const std::uint8_t*>(entry.Pattern.constData());
    std::uint32_t p = entry.MatchPos;
    if (pattern[p] == B)
      ++p;
    else if (pattern[0] == B)
      p = 1;
    else
      p = 0;
    entry.MatchPos = p;
    if (p >= entry.Length) {
      entry.MatchedAt = p;
      entry.MatchPos = 0;
      return static_cast<int>(i);
    }
  }
  return -1;
}

int TEventList::BuildEventData(int Index, const char* Data, int Count) {
  const Entry& entry = Get(Index);
  const std::size_t length = entry.Length;
  EnsureBuffer(0);
  const std::size_t room = m_EventBuffer.size() - length - 1;
  const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(std::max(Count, 0)), room);
  std::memcpy(m_EventBuffer.data(), entry.Pattern.constData(), length);
  if (count > 0) std::memcpy(m_EventBuffer.data() + length, Data, count);
  m_EventBuffer[length + count] = 0;
  return static_cast<int>(length + count);
}

void TEventList::UpdateMaxPatternLength() {
  m_MaxPatternLength = 0;
  for (const auto& entry : m_Entries) m_MaxPatternLength = std::max(m_MaxPatternLength, entry->Length);
}
