// A byte queue on a ring buffer: appends and takes are block copies. It grows as needed and never
// shrinks, so a steady stream runs without allocations.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace platform {

class ByteRing {
public:
  std::size_t size() const { return m_Size; }
  bool empty() const { return m_Size == 0; }
  void clear() { m_Head = m_Size = 0; }

  void Append(const unsigned char* data, std::size_t count) {
    if (count == 0) return;
    if (m_Size + count > m_Buffer.size()) Grow(m_Size + count);
    const std::size_t tail = (m_Head + m_Size) % m_Buffer.size();
    const std::size_t first = std::min(count, m_Buffer.size() - tail);
    std::memcpy(m_Buffer.data() + tail, data, first);
    std::memcpy(m_Buffer.data(), data + first, count - first);
    m_Size += count;
  }

  // Copies the first count bytes (at most size()) to out and removes them.
  void Take(unsigned char* out, std::size_t count) {
    count = std::min(count, m_Size);
    if (count == 0) return;
    const std::size_t first = std::min(count, m_Buffer.size() - m_Head);
    std::memcpy(out, m_Buffer.data() + m_Head, first);
    std::memcpy(out + first, m_Buffer.data(), count - first);
    m_Head = (m_Head + count) % m_Buffer.size();
    m_Size -= count;
  }

private:
  void Grow(std::size_t needed) {
    std::vector<unsigned char> bigger(std::max<std::size_t>({needed, m_Buffer.size() * 2, 4096}));
    const std::size_t held = m_Size;
    Take(bigger.data(), held);
    m_Buffer.swap(bigger);
    m_Head = 0;
    m_Size = held;
  }

  std::vector<unsigned char> m_Buffer;
  std::size_t m_Head = 0;
  std::size_t m_Size = 0;
};

}  // namespace platform
