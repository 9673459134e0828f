// TEventList: the byte patterns a comm port watches for in the data it receives.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <vector>

// Each pattern keeps how far it has matched, so a pattern split across two received chunks is
// still found. Matching restarts naively: after a mismatch only the current byte is tried as a new
// start, so overlapping prefixes are missed (A,A,B is not found in A,A,A,B).
class TEventList {
public:
  struct Entry {
    std::uint32_t MatchPos = 0;   // pattern bytes matched so far
    std::uint32_t Length = 0;
    QByteArray Pattern;
    std::uint32_t MatchedAt = 0;  // position in the chunk of the byte that completed the pattern
  };

  TEventList() = default;
  TEventList(const TEventList&) = delete;
  TEventList& operator=(const TEventList&) = delete;

  // Appends a copy of Pattern (an empty one is refused: it would match before any byte);
  // returns its index, or -1.
  int Add(const QByteArray& Pattern);
  void Delete(int Index);
  void Clear();
  int Count() const { return static_cast<int>(m_Entries.size()); }
  Entry& Get(int Index) { return *m_Entries.at(static_cast<std::size_t>(Index)); }
  std::uint32_t MaxPatternLength() const { return m_MaxPatternLength; }

  // Makes EventBuffer hold a pattern, Bytes of data and the terminating zero.
  void EnsureBuffer(std::uint32_t Bytes);
  const char* EventBuffer() const { return m_EventBuffer.data(); }
  std::uint32_t EventBufferSize() const { return static_cast<std::uint32_t>(m_EventBuffer.size()); }

  // Feeds one received byte to every pattern in index order; the index of the first pattern it
  // completes (the later ones do not see the byte), or -1.
  int Match(std::uint8_t B);
  // EventBuffer := pattern Index, then Count bytes of Data, then a zero; returns Length + Count.
  // Data beyond the buffer's room is cut off.
  int BuildEventData(int Index, const char* Data, int Count);

private:
  void UpdateMaxPatternLength();

  std::vector<std::unique_ptr<Entry>> m_Entries;
  std::vector<char> m_EventBuffer;
  std::uint32_t m_MaxPatternLength = 0;
  std::uint32_t m_DataRoom = 0;  // the most data bytes EnsureBuffer was asked for
};
