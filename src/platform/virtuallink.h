// A virtual serial link: two connected comm handles in one process, what one end writes the other
// reads. Its owner plays the part of the hardware: it sets the modem lines each end sees, can pace
// delivery at a line rate, injects faults for tests and raises line errors and breaks.
//
// Closing one end leaves the other on a dead line: its writes complete as if sent and are
// discarded, its reads get nothing more (they still end by their time-outs), its modem lines stay
// as the owner set them. The link object and the two handles live independently: either may go
// first, and destroying the link object closes nothing.
#pragma once

#include "platform/wintypes.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// Faults applied to the bytes one end writes, decided byte by byte from the link's seed so that a
// run is reproducible. Rates are probabilities per byte (0 to 1); positions count the bytes this
// end has written since the link was made, from 0. An inserted byte goes before the byte at that
// position; a dropped byte never arrives; a corrupted byte arrives with some bits flipped.
struct LinkFaults {
  double corruptRate = 0;
  double dropRate = 0;
  double insertRate = 0;
  std::vector<std::uint64_t> corruptAt;
  std::vector<std::uint64_t> dropAt;
  std::vector<std::uint64_t> insertAt;
};

struct VirtualLinkOptions {
  DWORD bitsPerSecond = 0;  // 10 bits a byte; 0 delivers as fast as the reader takes the bytes
  std::uint64_t seed = 0;
  LinkFaults faults[2];     // faults[s]: on the bytes end s writes
  DWORD modemLines[2] = {MS_CTS_ON | MS_DSR_ON, MS_CTS_ON | MS_DSR_ON};  // what end s sees
  std::size_t timingLog = 0;  // how many of the latest bytes of each direction keep their timing
};

// When one byte written by an end fell due and was handed to the other end. Due times follow
// due(i) = max(written(i), due(i-1)) + 10 / bitsPerSecond while the link is paced.
struct ByteTiming {
  std::uint64_t index;  // position among the bytes this end has written
  std::chrono::steady_clock::time_point written;
  std::chrono::steady_clock::time_point due;
  std::chrono::steady_clock::time_point delivered;
};

class VirtualLink {
public:
  // nullptr with the last error set when the handle table is full.
  static std::shared_ptr<VirtualLink> Create(const VirtualLinkOptions& options = {});
  ~VirtualLink();
  VirtualLink(const VirtualLink&) = delete;
  VirtualLink& operator=(const VirtualLink&) = delete;

  // The comm handle of end 0 or 1 (released with CloseHandle).
  HANDLE End(int side) const;
  // Whether end `side`'s handle is still open (false once CloseHandle has released it).
  bool EndOpen(int side) const;

  // The modem lines (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON) end `side` sees; each change
  // raises EV_CTS, EV_DSR, EV_RLSD at that end, and EV_RING when RI turns on.
  void SetModemLines(int side, DWORD lines);
  DWORD ModemLines(int side) const;

  void SetBitsPerSecond(DWORD bitsPerSecond);
  DWORD BitsPerSecond() const;
  void SetFaults(int side, const LinkFaults& faults);

  // End `side` receives line errors (CE_FRAME, CE_OVERRUN, CE_RXPARITY: EV_ERR; CE_BREAK: EV_BREAK),
  // reported by its ClearCommError.
  void RaiseLineError(int side, DWORD errors);

  // The kept timings of the bytes end `side` has written, oldest first.
  std::vector<ByteTiming> Timings(int side) const;
  // Bytes end `side` has written that reached the other end (inserted ones not counted).
  std::uint64_t BytesDelivered(int side) const;

  struct Core;

private:
  explicit VirtualLink(std::shared_ptr<Core> core);

  std::shared_ptr<Core> m_Core;
  HANDLE m_Ends[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

}  // namespace platform
