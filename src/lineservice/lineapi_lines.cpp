// Exported functions on usage handles, devices and lines.
#include "lineservice/atmodem.h"
#include "lineservice/lineapi.h"
#include "lineservice/varstruct.h"

#include <algorithm>
#include <cctype>

using namespace lineservice;

namespace lineservice {

std::string DeviceClass(const char* name) {
  std::string text(name ? name : "");
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace lineservice

namespace {

constexpr DWORD kValidPrivileges[] = {LINECALLPRIVILEGE_NONE, LINECALLPRIVILEGE_MONITOR, LINECALLPRIVILEGE_OWNER,
                                      LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER};

// The checks every request on a device of a usage handle starts with.
LONG CheckAppDevice(const Locked& s, HLINEAPP app, DWORD device) {
  if (!s.service) return LINEERR_UNINITIALIZED;
  if (!s.service->FindApp(app)) return LINEERR_INVALAPPHANDLE;
  if (!s.service->FindDevice(device)) return LINEERR_BADDEVICEID;
  return 0;
}

LONG CheckDevice(const Locked& s, DWORD device) {
  if (!s.service) return LINEERR_UNINITIALIZED;
  return s.service->FindDevice(device) ? 0 : LINEERR_BADDEVICEID;
}

}  // namespace

extern "C" {

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, const char*, DWORD* lpdwNumDevs) {
  if (!lphLineApp || !lpfnCallback || !lpdwNumDevs) return LINEERR_INVALPOINTER;
  return Service::Initialize(lpfnCallback, lphLineApp, lpdwNumDevs);
}

LONG lineShutdown(HLINEAPP hLineApp) { return Service::Shutdown(hLineApp); }

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
  Locked s;
  if (const LONG r = CheckAppDevice(s, hLineApp, dwDeviceID)) return r;
  if (!lpdwAPIVersion || !lpExtensionID) return LINEERR_INVALPOINTER;
  if (dwAPILowVersion > dwAPIHighVersion || dwAPIHighVersion < kLowestVersion || dwAPILowVersion > kHighestVersion)
    return LINEERR_INCOMPATIBLEAPIVERSION;
  *lpdwAPIVersion = std::min(dwAPIHighVersion, kHighestVersion);
  *lpExtensionID = LINEEXTENSIONID{};
  return 0;
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS*) {
  Locked s;
  if (const LONG r = CheckAppDevice(s, hLineApp, dwDeviceID)) return r;
  if (!lphLine) return LINEERR_INVALPOINTER;
  if (!VersionSupported(dwAPIVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (std::find(std::begin(kValidPrivileges), std::end(kValidPrivileges), dwPrivileges) == std::end(kValidPrivileges))
    return LINEERR_INVALPRIVSELECT;
  const DWORD mediaModes = s.service->FindDevice(dwDeviceID)->IsAt() ? kAtMediaModes : kDeviceMediaModes;
  if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) && (dwMediaModes == 0 || (dwMediaModes & ~mediaModes)))
    return LINEERR_INVALMEDIAMODE;
  // An owner line of an AT modem holds its port: opened and initialised first, without the lock.
  if (const std::shared_ptr<AtModem> modem = s.service->ModemForLine(dwDeviceID, dwPrivileges)) {
    s.lock.unlock();
    std::string why;
    const LONG opened = modem->AwaitOpened(why);
    s.lock.lock();
    s.service = Service::Current();
    if (const LONG r = CheckAppDevice(s, hLineApp, dwDeviceID)) return r;
    if (opened != 0) {
      s.service->ReleaseModemIfUnused(dwDeviceID);
      return opened;
    }
    if (s.service->FindDevice(dwDeviceID)->at != modem) return LINEERR_OPERATIONFAILED;  // lost meanwhile
  }
  return s.service->OpenLine(hLineApp, dwDeviceID, dwCallbackInstance, dwPrivileges, dwMediaModes, lphLine);
}

LONG lineClose(HLINE hLine) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  if (!s.service->FindLine(hLine)) return LINEERR_INVALLINEHANDLE;
  s.service->CloseLine(hLine);
  return 0;
}

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               const char* lpszDeviceClass) {
  Locked s;
  if (!s.service) return LINEERR_UNINITIALIZED;
  Line* line = nullptr;
  if (dwSelect == LINECALLSELECT_LINE || dwSelect == LINECALLSELECT_ADDRESS) {
    line = s.service->FindLine(hLine);
    if (!line) return LINEERR_INVALLINEHANDLE;
    if (dwSelect == LINECALLSELECT_ADDRESS && dwAddressID != 0) return LINEERR_INVALADDRESSID;
  } else if (dwSelect == LINECALLSELECT_CALL) {
    const auto call = s.service->FindCall(hCall);
    if (!call) return LINEERR_INVALCALLHANDLE;
    line = s.service->FindLine(call->line);
    if (!line) return LINEERR_INVALCALLHANDLE;
  } else {
    return LINEERR_INVALCALLSELECT;
  }
  if (!lpDeviceID || !lpszDeviceClass) return LINEERR_INVALPOINTER;
  return s.service->FillDeviceId(*line, DeviceClass(lpszDeviceClass), lpDeviceID);
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps) {
  Locked s;
  if (const LONG r = CheckAppDevice(s, hLineApp, dwDeviceID)) return r;
  if (!VersionSupported(dwAPIVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (!lpLineDevCaps) return LINEERR_INVALPOINTER;
  return s.service->FillDevCaps(dwDeviceID, lpLineDevCaps);
}

LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass) {
  Locked s;
  if (const LONG r = CheckDevice(s, dwDeviceID)) return r;
  if (!lpDeviceConfig || !lpszDeviceClass) return LINEERR_INVALPOINTER;
  if (DeviceClass(lpszDeviceClass) != "comm/datamodem") return LINEERR_INVALDEVICECLASS;
  return s.service->FillDevConfig(dwDeviceID, lpDeviceConfig);
}

LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, const char* lpszDeviceClass) {
  Locked s;
  if (const LONG r = CheckDevice(s, dwDeviceID)) return r;
  if (!lpDeviceConfig || !lpszDeviceClass) return LINEERR_INVALPOINTER;
  if (DeviceClass(lpszDeviceClass) != "comm/datamodem") return LINEERR_INVALDEVICECLASS;
  return s.service->StoreConfig(dwDeviceID, lpDeviceConfig, dwSize);
}

LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD dwCard, DWORD dwTranslateOptions, LINETRANSLATEOUTPUT* lpTranslateOutput) {
  Locked s;
  if (const LONG r = CheckAppDevice(s, hLineApp, dwDeviceID)) return r;
  if (!VersionSupported(dwAPIVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (!lpszAddressIn || !lpTranslateOutput) return LINEERR_INVALPOINTER;
  if (dwTranslateOptions & ~kTranslateOptions) return LINEERR_INVALPARAM;
  if (dwCard != 0 && (dwTranslateOptions & 0x1)) return LINEERR_INVALCARD;  // LINETRANSLATEOPTION_CARDOVERRIDE
  const std::optional<Translation> t = TranslateAddress(lpszAddressIn, ReadLocation(), dwTranslateOptions);
  if (!t) return LINEERR_INVALADDRESS;
  VarStruct out(lpTranslateOutput, sizeof(LINETRANSLATEOUTPUT));
  out.AddText(offsetof(LINETRANSLATEOUTPUT, dwDialableStringSize), offsetof(LINETRANSLATEOUTPUT, dwDialableStringOffset),
              t->dialable);
  out.AddText(offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringSize),
              offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringOffset), t->displayable);
  return out.Write([&](std::byte* base) {
    StoreDword(base, offsetof(LINETRANSLATEOUTPUT, dwCurrentCountry), t->currentCountry);
    StoreDword(base, offsetof(LINETRANSLATEOUTPUT, dwDestCountry), t->destCountry);
    StoreDword(base, offsetof(LINETRANSLATEOUTPUT, dwTranslateResults), t->results);
  });
}

}  // extern "C"
