// Exported functions on calls: placing, answering, dropping, digits, parameters.
#include "lineservice/atsettings.h"
#include "lineservice/datapath.h"
#include "lineservice/lineapi.h"

#include <cstring>

using namespace lineservice;

namespace {

constexpr DWORD kMinCallParams = offsetof(LINECALLPARAMS, dwOrigAddressSize);

bool SingleMediaMode(DWORD mode) { return mode == LINEMEDIAMODE_DATAMODEM || mode == LINEMEDIAMODE_AUTOMATEDVOICE; }
bool ValidBearerMode(DWORD mode) { return mode == LINEBEARERMODE_VOICE || mode == LINEBEARERMODE_PASSTHROUGH; }

bool ValidDigits(const char* digits, DWORD mode) {
  const std::size_t length = std::strlen(digits);
  if (length > kMaxText) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = digits[i];
    const bool digit = c >= '0' && c <= '9';
    const bool tone = c == '*' || c == '#' || (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd');
    if (!digit && !(mode == LINEDIGITMODE_DTMF && tone)) return false;
  }
  return true;
}

// The call behind a handle, with the checks every call request starts with.
LONG FindCall(const Locked& s, HCALL handle, std::shared_ptr<Call>& call) {
  if (!s.service) return LINEERR_UNINITIALIZED;
  call = s.service->FindCall(handle);
  return call ? 0 : LINEERR_INVALCALLHANDLE;
}

}  // namespace

extern "C" {

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD, const LINECALLPARAMS* lpCallParams) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  Line* line = s.service->FindLine(hLine);
  if (!line) return LINEERR_INVALLINEHANDLE;
  if (!lphCall) return LINEERR_INVALPOINTER;
  DWORD mediaMode = LINEMEDIAMODE_DATAMODEM;
  if (lpCallParams) {
    const LINECALLPARAMS& p = *lpCallParams;
    if (p.dwTotalSize < kMinCallParams) return LINEERR_STRUCTURETOOSMALL;
    if (p.dwBearerMode != 0 && !ValidBearerMode(p.dwBearerMode)) return LINEERR_INVALBEARERMODE;
    if (p.dwMediaMode != 0 && !SingleMediaMode(p.dwMediaMode)) return LINEERR_INVALMEDIAMODE;
    if (p.dwMediaMode != 0) mediaMode = p.dwMediaMode;
    if (p.dwAddressMode != 0 && p.dwAddressMode != LINEADDRESSMODE_ADDRESSID &&
        p.dwAddressMode != LINEADDRESSMODE_DIALABLEADDR)
      return LINEERR_INVALADDRESSMODE;
    if (p.dwAddressMode == LINEADDRESSMODE_ADDRESSID && p.dwAddressID != 0) return LINEERR_INVALADDRESSID;
  }
  if (!lpszDestAddress || !*lpszDestAddress) {
    Complain("lineMakeCall", "a modem needs a number to dial");
    return LINEERR_INVALADDRESS;
  }
  if (s.service->FindDevice(line->device)->IsAt()) {
    if (mediaMode != LINEMEDIAMODE_DATAMODEM) return LINEERR_INVALMEDIAMODE;
    const std::optional<DialString> dial = ModemDialString(lpszDestAddress, false);
    if (!dial) return LINEERR_INVALADDRESS;
    return s.service->MakeAtCall(*line, *dial, lphCall);
  }
  const std::optional<std::string> number = DialedNumber(lpszDestAddress);
  if (!number) return LINEERR_INVALADDRESS;
  return s.service->MakeCall(*line, *number, mediaMode, lphCall);
}

LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize) {
  Locked s;
  std::shared_ptr<Call> call;
  if (const LONG r = FindCall(s, hCall, call)) return r;
  if (lpsUserUserInfo && dwSize > 0) return LINEERR_USERUSERINFOTOOBIG;
  if (call->direction != CallDirection::Incoming || call->state != LINECALLSTATE_OFFERING || call->answering ||
      call->onHook)
    return LINEERR_INVALCALLSTATE;
  return s.service->Answer(*call);
}

LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize) {
  Locked s;
  std::shared_ptr<Call> call;
  if (const LONG r = FindCall(s, hCall, call)) return r;
  if (lpsUserUserInfo && dwSize > 0) return LINEERR_USERUSERINFOTOOBIG;
  if (call->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  // What the app wrote to the line just before hanging up still goes out first.
  if (auto taps = s.service->TapsToDrain(*call); !taps.empty()) {
    s.lock.unlock();
    for (auto& tap : taps) tap->Drain();
    s.lock.lock();
    s.service = Service::Current();
    if (const LONG r = FindCall(s, hCall, call)) return r;
    if (call->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  }
  return s.service->Drop(*call);
}

LONG lineDeallocateCall(HCALL hCall) {
  Locked s;
  std::shared_ptr<Call> call;
  if (const LONG r = FindCall(s, hCall, call)) return r;
  s.service->Deallocate(hCall);
  return 0;
}

LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate, const LINEDIALPARAMS*) {
  Locked s;
  std::shared_ptr<Call> call;
  if (const LONG r = FindCall(s, hCall, call)) return r;
  if (call->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  if (!ValidBearerMode(dwBearerMode)) return LINEERR_INVALBEARERMODE;
  if (dwMinRate > dwMaxRate) return LINEERR_INVALRATE;
  if (call->bearerMode != dwBearerMode) {
    call->bearerMode = dwBearerMode;
    if (const Line* line = s.service->FindLine(call->line))
      s.service->PostLine(*line, hCall, LINE_CALLINFO, LINECALLINFOSTATE_BEARERMODE);
  }
  return 0;
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) {
  Locked s;
  std::shared_ptr<Call> call;
  if (const LONG r = FindCall(s, hCall, call)) return r;
  if (dwDigitModes & ~(LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF | LINEDIGITMODE_DTMFEND)) return LINEERR_INVALDIGITMODE;
  if (call->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  if (call->monitorDigitModes != dwDigitModes) {
    call->monitorDigitModes = dwDigitModes;
    if (const Line* line = s.service->FindLine(call->line))
      s.service->PostLine(*line, hCall, LINE_CALLINFO, LINECALLINFOSTATE_MONITORMODES);
  }
  return 0;
}

LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, const char* lpszDigits, DWORD) {
  Locked s;
  std::shared_ptr<Call> call;
  if (const LONG r = FindCall(s, hCall, call)) return r;
  if (dwDigitMode != LINEDIGITMODE_PULSE && dwDigitMode != LINEDIGITMODE_DTMF) return LINEERR_INVALDIGITMODE;
  if (call->state != LINECALLSTATE_CONNECTED || call->onHook) return LINEERR_INVALCALLSTATE;
  if (s.service->FindDevice(call->device)->IsAt()) return LINEERR_OPERATIONUNAVAIL;  // the port carries data only
  if (!lpszDigits) return 0;  // cancels a generation in progress: digits go out at once, none is
  if (!ValidDigits(lpszDigits, dwDigitMode)) return LINEERR_INVALDIGITS;
  return s.service->GenerateDigits(*call, dwDigitMode, lpszDigits);
}

LONG lineGetAddressID(HLINE hLine, DWORD* lpdwAddressID, DWORD dwAddressMode, const char* lpsAddress, DWORD dwSize) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  const Line* line = s.service->FindLine(hLine);
  if (!line) return LINEERR_INVALLINEHANDLE;
  if (!lpdwAddressID || !lpsAddress) return LINEERR_INVALPOINTER;
  if (dwAddressMode != LINEADDRESSMODE_DIALABLEADDR) return LINEERR_INVALADDRESSMODE;
  const std::string address(lpsAddress, strnlen(lpsAddress, dwSize));
  const std::optional<std::string> number = DialedNumber(address);
  if (!number || *number != s.service->FindDevice(line->device)->modem.number) return LINEERR_INVALADDRESS;
  *lpdwAddressID = 0;
  return 0;
}

LONG lineUncompleteCall(HLINE hLine, DWORD) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  if (!s.service->FindLine(hLine)) return LINEERR_INVALLINEHANDLE;
  return LINEERR_INVALCOMPLETIONID;  // the service completes no calls, so no identifier is valid
}

}  // extern "C"
