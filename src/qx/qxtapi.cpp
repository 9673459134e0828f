#include "qx/qxtapi.h"

#include "platform/module.h"
#include "platform/winapi.h"

#include <string>

namespace qxtapi {

namespace {

constexpr const char* kTapiLibrary = "tapi32.dll";
constexpr const char* kTapiUiLibrary = "tapiui.dll";
constexpr DWORD kErrorTextSize = 1024;

// The two module handles, freed at the end of the program when still loaded (the UI library first),
// and the usage handles that lineInitialize gave out and lineShutdown has not ended.
struct Modules {
  HMODULE tapi = nullptr;
  HMODULE ui = nullptr;
  int usages = 0;
  ~Modules() {
    if (ui != nullptr) FreeLibrary(ui);
    if (tapi != nullptr) FreeLibrary(tapi);
  }
};

Modules& Loaded() {
  static Modules modules;
  return modules;
}

// The entry point, looked up by name at every call; null when the library or the function is
// not available.
template <class Function>
Function Entry(const char* name) {
  if (!TapiLoaded()) return nullptr;
  return reinterpret_cast<Function>(GetProcAddress(Loaded().tapi, name));
}

// -1 without calling when the entry point is not available.
template <class Function, class... Args>
LONG Call(const char* name, Args... args) {
  const Function entry = Entry<Function>(name);
  return entry != nullptr ? entry(args...) : -1;
}

}  // namespace

// The service's declaration in platform/tapi.h gives the function type; its symbol is never used.
#define QX_TAPI_CALL(name, ...) Call<decltype(&::name)>(#name, __VA_ARGS__)

bool TapiLoaded() {
  Modules& modules = Loaded();
  if (modules.tapi == nullptr) modules.tapi = LoadLibraryA(kTapiLibrary);
  return modules.tapi != nullptr;
}

void UnloadTapi() {
  Modules& modules = Loaded();
  if (FreeLibrary(modules.tapi)) modules.tapi = nullptr;
}

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, const char* lpszAppName,
                    DWORD* lpdwNumDevs) {
  const LONG result = QX_TAPI_CALL(lineInitialize, lphLineApp, hInstance, lpfnCallback, lpszAppName, lpdwNumDevs);
  if (result == 0) ++Loaded().usages;
  return result;
}

LONG lineShutdown(HLINEAPP& hLineApp) {
  const auto entry = Entry<decltype(&::lineShutdown)>("lineShutdown");
  if (entry == nullptr) return -1;
  const LONG result = entry(hLineApp);
  hLineApp = 0;
  // Another usage in this process (a second line component) still needs the library loaded.
  Modules& modules = Loaded();
  if (result == 0 && modules.usages > 0) --modules.usages;
  if (modules.usages == 0) UnloadTapi();
  return result;
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
  return QX_TAPI_CALL(lineNegotiateAPIVersion, hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion,
                      lpdwAPIVersion, lpExtensionID);
}

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               const char* lpszDeviceClass) {
  return QX_TAPI_CALL(lineGetID, hLine, dwAddressID, hCall, dwSelect, lpDeviceID, lpszDeviceClass);
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
              const LINECALLPARAMS* lpCallParams) {
  return QX_TAPI_CALL(lineOpen, hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance,
                      dwPrivileges, dwMediaModes, lpCallParams);
}

LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus) {
  return QX_TAPI_CALL(lineGetCallStatus, hCall, lpCallStatus);
}

LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize) {
  return QX_TAPI_CALL(lineDrop, hCall, lpsUserUserInfo, dwSize);
}

LONG lineDeallocateCall(HCALL hCall) { return QX_TAPI_CALL(lineDeallocateCall, hCall); }

LONG lineClose(HLINE hLine) { return QX_TAPI_CALL(lineClose, hLine); }

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams) {
  return QX_TAPI_CALL(lineMakeCall, hLine, lphCall, lpszDestAddress, dwCountryCode, lpCallParams);
}

LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize) {
  return QX_TAPI_CALL(lineAnswer, hCall, lpsUserUserInfo, dwSize);
}

LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass) {
  return QX_TAPI_CALL(lineConfigDialog, dwDeviceID, hwndOwner, lpszDeviceClass);
}

LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass) {
  return QX_TAPI_CALL(lineGetDevConfig, dwDeviceID, lpDeviceConfig, lpszDeviceClass);
}

LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, const char* lpszDeviceClass) {
  return QX_TAPI_CALL(lineSetDevConfig, dwDeviceID, lpDeviceConfig, dwSize, lpszDeviceClass);
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps) {
  return QX_TAPI_CALL(lineGetDevCaps, hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps);
}

LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD dwCard, DWORD dwTranslateOptions, LINETRANSLATEOUTPUT* lpTranslateOutput) {
  return QX_TAPI_CALL(lineTranslateAddress, hLineApp, dwDeviceID, dwAPIVersion, lpszAddressIn, dwCard,
                      dwTranslateOptions, lpTranslateOutput);
}

LONG lineGetAddressID(HLINE hLine, DWORD* lpdwAddressID, DWORD dwAddressMode, const char* lpsAddress, DWORD dwSize) {
  return QX_TAPI_CALL(lineGetAddressID, hLine, lpdwAddressID, dwAddressMode, lpsAddress, dwSize);
}

LONG lineUncompleteCall(HLINE hLine, DWORD dwCompletionID) {
  return QX_TAPI_CALL(lineUncompleteCall, hLine, dwCompletionID);
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) { return QX_TAPI_CALL(lineMonitorDigits, hCall, dwDigitModes); }

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo) { return QX_TAPI_CALL(lineGetCallInfo, hCall, lpCallInfo); }

LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams) {
  return QX_TAPI_CALL(lineSetCallParams, hCall, dwBearerMode, dwMinRate, dwMaxRate, lpDialParams);
}

#undef QX_TAPI_CALL

DWORD TapiMessageID(DWORD Code) {
  switch (Code >> 28) {
    case 0x8:
      return Code - 0x80000000u + 0xE000u;
    case 0x9:
      return Code - 0x90000000u + 0xF000u;
    default:
      return Code & 0xFFFF0000u;
  }
}

QString TapiErrorText(DWORD Code) {
  Modules& modules = Loaded();
  if (modules.ui == nullptr) modules.ui = LoadLibraryA(kTapiUiLibrary);
  if (modules.ui == nullptr) {
    // The name the user can look for on this system.
    return QStringLiteral("Unknown error. Can't load ") + QString::fromStdString(platform::HostLibraryName(kTapiUiLibrary));
  }
  std::string text(kErrorTextSize, '\0');
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, modules.ui, TapiMessageID(Code), 0, text.data(), kErrorTextSize, nullptr);
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(length));
}

}  // namespace qxtapi
