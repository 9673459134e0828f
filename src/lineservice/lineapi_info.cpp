// Exported functions that describe a call: its status and its information.
#include "lineservice/lineapi.h"
#include "lineservice/varstruct.h"

#include <cstring>

using namespace lineservice;

namespace {

constexpr DWORD kCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_BUSY |
                              LINECALLSTATE_CONNECTED | LINECALLSTATE_PROCEEDING | LINECALLSTATE_RINGBACK |
                              LINECALLSTATE_DISCONNECTED;

DWORD CallFeatures(const Call& call) {
  switch (call.state) {
    case LINECALLSTATE_OFFERING:
      return call.answering ? LINECALLFEATURE_DROP : LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP;
    case LINECALLSTATE_CONNECTED:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_GENERATEDIGITS | LINECALLFEATURE_MONITORDIGITS |
             LINECALLFEATURE_SETCALLPARAMS;
    case LINECALLSTATE_IDLE:
      return 0;
    default:
      return LINECALLFEATURE_DROP;
  }
}

DWORD PartyFlags(const std::string& number, const std::string& name) {
  DWORD flags = (number.empty() ? 0 : LINECALLPARTYID_ADDRESS) | (name.empty() ? 0 : LINECALLPARTYID_NAME);
  return flags ? flags : LINECALLPARTYID_UNKNOWN;
}

template <class T>
void Put(std::byte* base, std::size_t offset, const T& value) {
  std::memcpy(base + offset, &value, sizeof value);
}

}  // namespace

extern "C" {

LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  const auto call = s.service->FindCall(hCall);
  if (!call) return LINEERR_INVALCALLHANDLE;
  if (!lpCallStatus) return LINEERR_INVALPOINTER;
  VarStruct out(lpCallStatus, sizeof(LINECALLSTATUS));
  return out.Write([&](std::byte* base) {
    StoreDword(base, offsetof(LINECALLSTATUS, dwCallState), call->state);
    StoreDword(base, offsetof(LINECALLSTATUS, dwCallStateMode), call->stateMode);
    StoreDword(base, offsetof(LINECALLSTATUS, dwCallPrivilege), LINECALLPRIVILEGE_OWNER);
    StoreDword(base, offsetof(LINECALLSTATUS, dwCallFeatures), CallFeatures(*call));
    Put(base, offsetof(LINECALLSTATUS, tStateEntryTime), call->stateEntered);
  });
}

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  const auto call = s.service->FindCall(hCall);
  if (!call) return LINEERR_INVALCALLHANDLE;
  if (!lpCallInfo) return LINEERR_INVALPOINTER;
  const Call& c = *call;
  VarStruct out(lpCallInfo, sizeof(LINECALLINFO));
  const auto text = [&](std::size_t sizeField, std::size_t offsetField, const std::string& value) {
    if (!value.empty()) out.AddText(sizeField, offsetField, value);
  };
  text(offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDOffset), c.callerNumber);
  text(offsetof(LINECALLINFO, dwCallerIDNameSize), offsetof(LINECALLINFO, dwCallerIDNameOffset), c.callerName);
  text(offsetof(LINECALLINFO, dwCalledIDSize), offsetof(LINECALLINFO, dwCalledIDOffset), c.calledNumber);
  text(offsetof(LINECALLINFO, dwCalledIDNameSize), offsetof(LINECALLINFO, dwCalledIDNameOffset), c.calledName);
  return out.Write([&](std::byte* base) {
    StoreDword(base, offsetof(LINECALLINFO, hLine), c.line);
    StoreDword(base, offsetof(LINECALLINFO, dwLineDeviceID), c.device);
    StoreDword(base, offsetof(LINECALLINFO, dwBearerMode), c.bearerMode);
    StoreDword(base, offsetof(LINECALLINFO, dwRate), c.state == LINECALLSTATE_CONNECTED ? c.rate : 0);
    StoreDword(base, offsetof(LINECALLINFO, dwMediaMode), c.mediaMode);
    StoreDword(base, offsetof(LINECALLINFO, dwCallID), c.id);
    StoreDword(base, offsetof(LINECALLINFO, dwCallStates), kCallStates);
    StoreDword(base, offsetof(LINECALLINFO, dwMonitorDigitModes), c.monitorDigitModes);
    StoreDword(base, offsetof(LINECALLINFO, dwOrigin),
               c.direction == CallDirection::Outgoing                  ? LINECALLORIGIN_OUTBOUND
               : s.service->FindDevice(c.device)->IsAt() ? LINECALLORIGIN_EXTERNAL
                                                         : LINECALLORIGIN_INTERNAL);
    StoreDword(base, offsetof(LINECALLINFO, dwNumOwners), 1);
    const DWORD callerFlags = PartyFlags(c.callerNumber, c.callerName);
    StoreDword(base, offsetof(LINECALLINFO, dwCallerIDFlags),
               c.callerFlags ? (callerFlags & ~LINECALLPARTYID_UNKNOWN) | c.callerFlags : callerFlags);
    StoreDword(base, offsetof(LINECALLINFO, dwCalledIDFlags), PartyFlags(c.calledNumber, c.calledName));
  });
}

}  // extern "C"
