#include "qx/qxzmodemrouting.h"

#include "qx/qxzmodemframing.h"

bool ExpectsData(TzState State) {
  return State == zsWaitFileInfo || State == zsReceiveData || State == zsWaitAttention;
}

TzRoute RouteHeader(std::uint8_t Type, TzState State) {
  switch (Type) {
    case ZRINIT:
      // A receiver repeats ZRINIT while it starts up; one that arrives after the file was offered
      // is such a repetition, and a lost offer is repeated by the time-out.
      if (State == zsWaitRInit || State == zsWaitEofAnswer) return TzRoute::DoRInit;
      return TzRoute::None;
    case ZSINIT:
      return TzRoute::DoZSInit;
    case ZSKIP:
      return TzRoute::DoZSkip;
    case ZNAK:
      return TzRoute::ResendLastHeader;
    case ZCHALLENGE:
      return State == zsWaitRInit ? TzRoute::DoChallenge : TzRoute::None;
    case ZCAN:
      return TzRoute::RemoteAbort;
    default:
      break;
  }
  switch (State) {
    case zsWaitQInit: return TzRoute::DoQInit;
    case zsWaitFile: return TzRoute::DoZFile;
    case zsWaitData: return TzRoute::DoZData;
    case zsWaitFin: return TzRoute::DoZFin;
    case zsWaitRPos: return TzRoute::DoRPos;
    case zsStreaming:
    case zsWaitEofAnswer: return TzRoute::DoInterruptRPos;
    case zsWaitAck:
    case zsWaitSInitAck: return TzRoute::DoZAck;
    default: return TzRoute::None;
  }
}
