// The session states of the ZModem engine and the table that routes each received header.
#pragma once

#include <cstdint>

// One state variable serves both directions; the comment names what the state waits for.
enum TzState : std::uint8_t {
  zsWaitStart = 0,       // idle: the start command "rz\r"
  zsWaitQInit = 1,       // receiving: ZRQINIT
  zsWaitFile = 2,        // receiving: ZFILE (or ZSINIT) after ZRINIT
  zsWaitFileInfo = 3,    // receiving: the file information subpacket
  zsWaitData = 4,        // receiving: ZDATA after ZRPOS or ZACK
  zsReceiveData = 5,     // receiving: file data subpackets and ZEOF
  zsWaitFin = 6,         // receiving: the next ZFILE or ZFIN; sending: the receiver's final ZFIN
  zsWaitRInit = 7,       // sending: ZRINIT (or ZCHALLENGE) after ZRQINIT
  zsWaitRPos = 8,        // sending: ZRPOS (or ZSKIP) after ZFILE
  zsStreaming = 9,       // sending: file data going out
  zsWaitEofAnswer = 10,  // sending: ZRINIT (or ZRPOS) after ZEOF
  zsWaitAck = 11,        // receiving: ZACK to ZCHALLENGE; sending: ZACK after a repositioned block
  zsWaitAttention = 12,  // receiving: the ZSINIT subpacket
  zsWaitSInitAck = 13,   // sending: ZACK to ZSINIT
};

// Whether a data subpacket rather than a header is expected in State.
bool ExpectsData(TzState State);

// The handler a received header goes to.
enum class TzRoute {
  None,
  DoRInit,
  DoZSInit,
  DoZSkip,
  ResendLastHeader,
  DoChallenge,
  RemoteAbort,
  DoQInit,
  DoZFile,
  DoZData,
  DoZFin,
  DoRPos,
  DoInterruptRPos,
  DoZAck,
};

// Routes a header of Type received in State: first by type, then by state. Each handler still
// checks the type itself.
TzRoute RouteHeader(std::uint8_t Type, TzState State);
