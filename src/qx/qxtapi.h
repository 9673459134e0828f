// qxtapi: the library's access to the telephony library ("tapi32.dll", the line service) without
// linking it. The library is loaded on first use; every line function the line component needs is
// reached through a wrapper of the same name and parameters, which looks the function up by name at
// each call and returns -1 instead of calling when the library or the function is not there.
// Callers treat -1 like any failed request (every negative result is a failure).
//
// The wrappers live in namespace qxtapi so that they can never bind to the service's own exported
// symbols: the component always goes through the run-time lookup. Main thread only; the module
// handles are not locked.
#pragma once

#include "platform/tapi.h"

#include <QString>

namespace qxtapi {

// Loads "tapi32.dll" unless it is loaded; whether it is loaded now. A failed load is tried again at
// the next call.
bool TapiLoaded();
// Frees the telephony library; its handle is forgotten only when the release succeeds.
void UnloadTapi();

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, const char* lpszAppName,
                    DWORD* lpdwNumDevs);
// Takes the variable holding the usage handle: when the function is there it shuts down, sets the
// variable to 0 (whatever the result), unloads the library unless another usage handle of this
// process is still open, and returns the result; otherwise -1 and the variable is left as it was.
// The next wrapper call loads the library afresh.
LONG lineShutdown(HLINEAPP& hLineApp);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               const char* lpszDeviceClass);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams);
LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus);
LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDeallocateCall(HCALL hCall);
LONG lineClose(HLINE hLine);
LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass);
LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass);
LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, const char* lpszDeviceClass);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps);
LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD dwCard, DWORD dwTranslateOptions, LINETRANSLATEOUTPUT* lpTranslateOutput);
LONG lineGetAddressID(HLINE hLine, DWORD* lpdwAddressID, DWORD dwAddressMode, const char* lpsAddress, DWORD dwSize);
LONG lineUncompleteCall(HLINE hLine, DWORD dwCompletionID);
LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo);
LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams);

// The message-table identifier of a result code: line errors 0x8xxxxxxx map to 0xE000 + the low
// bits, phone errors 0x9xxxxxxx to 0xF000 + the low bits, anything else to Code AND 0xFFFF0000.
DWORD TapiMessageID(DWORD Code);
// The telephony UI library's ("tapiui.dll") text for a result code; empty when its table has no
// such message; "Unknown error. Can't load <library>" when the UI library cannot be loaded (tried
// again at the next call). Once loaded, the UI library stays loaded.
QString TapiErrorText(DWORD Code);

}  // namespace qxtapi
