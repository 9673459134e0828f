// The telephony line interface: the line functions, structures, result codes and messages of the
// published telephony API, in the 32-bit layout (DWORD and handles 4 bytes). The line service
// (src/lineservice) implements the functions; the library reaches them only through its binding,
// which loads the service at run time and looks each function up by these names.
//
// Variable-size structures (VARSTRING, LINEDEVCAPS, LINECALLINFO, LINETRANSLATEOUTPUT) start with
// dwTotalSize, set by the caller to the size of its buffer; the service sets dwNeededSize (what
// the whole answer takes) and dwUsedSize (what it wrote), never writes past dwTotalSize, and keeps
// variable parts (texts, binary blocks) inside dwUsedSize at the offsets it reports from the
// structure's start.
#pragma once

#include "platform/wintypes.h"

#include <cstdint>

using HLINEAPP = DWORD;
using HLINE = DWORD;
using HCALL = DWORD;
using HINSTANCE = HMODULE;
// Callback instance values and message parameters carry pointers (the instance is the caller's
// object), so they are pointer-sized.
using DWORD_PTR = std::uintptr_t;

// Delivered on the thread that called lineInitialize, while it processes its events.
// hDevice is the line or call the message is about, dwInstance the value given to lineOpen.
using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                              DWORD_PTR dwParam2, DWORD_PTR dwParam3);

// Result codes: 0 success, a positive request identifier for an asynchronous request (its outcome
// arrives as LINE_REPLY), or a negative LINEERR_ code. The list is kept as one table so that the
// message table and its tests see every code.
#define TAPI_LINE_ERRORS(X) \
  X(ALLOCATED, 0x80000001) \
  X(BADDEVICEID, 0x80000002) \
  X(BEARERMODEUNAVAIL, 0x80000003) \
  X(CALLUNAVAIL, 0x80000005) \
  X(COMPLETIONOVERRUN, 0x80000006) \
  X(CONFERENCEFULL, 0x80000007) \
  X(DIALBILLING, 0x80000008) \
  X(DIALDIALTONE, 0x80000009) \
  X(DIALPROMPT, 0x8000000a) \
  X(DIALQUIET, 0x8000000b) \
  X(INCOMPATIBLEAPIVERSION, 0x8000000c) \
  X(INCOMPATIBLEEXTVERSION, 0x8000000d) \
  X(INIFILECORRUPT, 0x8000000e) \
  X(INUSE, 0x8000000f) \
  X(INVALADDRESS, 0x80000010) \
  X(INVALADDRESSID, 0x80000011) \
  X(INVALADDRESSMODE, 0x80000012) \
  X(INVALADDRESSSTATE, 0x80000013) \
  X(INVALAPPHANDLE, 0x80000014) \
  X(INVALAPPNAME, 0x80000015) \
  X(INVALBEARERMODE, 0x80000016) \
  X(INVALCALLCOMPLMODE, 0x80000017) \
  X(INVALCALLHANDLE, 0x80000018) \
  X(INVALCALLPARAMS, 0x80000019) \
  X(INVALCALLPRIVILEGE, 0x8000001a) \
  X(INVALCALLSELECT, 0x8000001b) \
  X(INVALCALLSTATE, 0x8000001c) \
  X(INVALCALLSTATELIST, 0x8000001d) \
  X(INVALCARD, 0x8000001e) \
  X(INVALCOMPLETIONID, 0x8000001f) \
  X(INVALCONFCALLHANDLE, 0x80000020) \
  X(INVALCONSULTCALLHANDLE, 0x80000021) \
  X(INVALCOUNTRYCODE, 0x80000022) \
  X(INVALDEVICECLASS, 0x80000023) \
  X(INVALDEVICEHANDLE, 0x80000024) \
  X(INVALDIALPARAMS, 0x80000025) \
  X(INVALDIGITLIST, 0x80000026) \
  X(INVALDIGITMODE, 0x80000027) \
  X(INVALDIGITS, 0x80000028) \
  X(INVALEXTVERSION, 0x80000029) \
  X(INVALGROUPID, 0x8000002a) \
  X(INVALLINEHANDLE, 0x8000002b) \
  X(INVALLINESTATE, 0x8000002c) \
  X(INVALLOCATION, 0x8000002d) \
  X(INVALMEDIALIST, 0x8000002e) \
  X(INVALMEDIAMODE, 0x8000002f) \
  X(INVALMESSAGEID, 0x80000030) \
  X(INVALPARAM, 0x80000032) \
  X(INVALPARKID, 0x80000033) \
  X(INVALPARKMODE, 0x80000034) \
  X(INVALPOINTER, 0x80000035) \
  X(INVALPRIVSELECT, 0x80000036) \
  X(INVALRATE, 0x80000037) \
  X(INVALREQUESTMODE, 0x80000038) \
  X(INVALTERMINALID, 0x80000039) \
  X(INVALTERMINALMODE, 0x8000003a) \
  X(INVALTIMEOUT, 0x8000003b) \
  X(INVALTONE, 0x8000003c) \
  X(INVALTONELIST, 0x8000003d) \
  X(INVALTONEMODE, 0x8000003e) \
  X(INVALTRANSFERMODE, 0x8000003f) \
  X(LINEMAPPERFAILED, 0x80000040) \
  X(NOCONFERENCE, 0x80000041) \
  X(NODEVICE, 0x80000042) \
  X(NODRIVER, 0x80000043) \
  X(NOMEM, 0x80000044) \
  X(NOREQUEST, 0x80000045) \
  X(NOTOWNER, 0x80000046) \
  X(NOTREGISTERED, 0x80000047) \
  X(OPERATIONFAILED, 0x80000048) \
  X(OPERATIONUNAVAIL, 0x80000049) \
  X(RATEUNAVAIL, 0x8000004a) \
  X(RESOURCEUNAVAIL, 0x8000004b) \
  X(REQUESTOVERRUN, 0x8000004c) \
  X(STRUCTURETOOSMALL, 0x8000004d) \
  X(TARGETNOTFOUND, 0x8000004e) \
  X(TARGETSELF, 0x8000004f) \
  X(UNINITIALIZED, 0x80000050) \
  X(USERUSERINFOTOOBIG, 0x80000051) \
  X(REINIT, 0x80000052) \
  X(ADDRESSBLOCKED, 0x80000053) \
  X(BILLINGREJECTED, 0x80000054) \
  X(INVALFEATURE, 0x80000055) \
  X(NOMULTIPLEINSTANCE, 0x80000056) \
  X(INVALAGENTID, 0x80000057) \
  X(INVALAGENTGROUP, 0x80000058) \
  X(INVALPASSWORD, 0x80000059) \
  X(INVALAGENTSTATE, 0x8000005a) \
  X(INVALAGENTACTIVITY, 0x8000005b) \
  X(DIALVOICEDETECT, 0x8000005c) \
  X(USERCANCELLED, 0x8000005d) \
  X(INVALADDRESSTYPE, 0x8000005e) \
  X(INVALAGENTSESSIONSTATE, 0x8000005f) \
  X(DISCONNECTED, 0x80000060) \
  X(SERVICE_NOT_RUNNING, 0x80000061)

constexpr LONG LineError(DWORD code) { return static_cast<LONG>(code); }
#define TAPI_DECLARE_LINEERR(name, value) constexpr LONG LINEERR_##name = LineError(value);
TAPI_LINE_ERRORS(TAPI_DECLARE_LINEERR)
#undef TAPI_DECLARE_LINEERR

// Messages (dwMessage of the callback)
constexpr DWORD LINE_ADDRESSSTATE = 0;
constexpr DWORD LINE_CALLINFO = 1;       // hDevice call; dwParam1 the LINECALLINFOSTATE_ bits that changed
constexpr DWORD LINE_CALLSTATE = 2;      // hDevice call; dwParam1 state, dwParam2 mode, dwParam3 privilege
constexpr DWORD LINE_CLOSE = 3;          // hDevice line: the service closed it
constexpr DWORD LINE_DEVSPECIFIC = 4;
constexpr DWORD LINE_DEVSPECIFICFEATURE = 5;
constexpr DWORD LINE_GATHERDIGITS = 6;
constexpr DWORD LINE_GENERATE = 7;       // hDevice call; dwParam1 LINEGENERATETERM_
constexpr DWORD LINE_LINEDEVSTATE = 8;   // hDevice line; dwParam1 LINEDEVSTATE_; RINGING: dwParam2 ring mode, dwParam3 ring count
constexpr DWORD LINE_MONITORDIGITS = 9;  // hDevice call; dwParam1 the digit, dwParam2 LINEDIGITMODE_
constexpr DWORD LINE_MONITORMEDIA = 10;
constexpr DWORD LINE_MONITORTONE = 11;
constexpr DWORD LINE_REPLY = 12;         // dwParam1 request identifier, dwParam2 result (0 or LINEERR_)

// Call states (LINE_CALLSTATE dwParam1, LINECALLSTATUS dwCallState)
constexpr DWORD LINECALLSTATE_IDLE = 0x00000001;
constexpr DWORD LINECALLSTATE_OFFERING = 0x00000002;
constexpr DWORD LINECALLSTATE_ACCEPTED = 0x00000004;
constexpr DWORD LINECALLSTATE_DIALTONE = 0x00000008;
constexpr DWORD LINECALLSTATE_DIALING = 0x00000010;
constexpr DWORD LINECALLSTATE_RINGBACK = 0x00000020;
constexpr DWORD LINECALLSTATE_BUSY = 0x00000040;
constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x00000080;
constexpr DWORD LINECALLSTATE_CONNECTED = 0x00000100;
constexpr DWORD LINECALLSTATE_PROCEEDING = 0x00000200;
constexpr DWORD LINECALLSTATE_ONHOLD = 0x00000400;
constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x00004000;
constexpr DWORD LINECALLSTATE_UNKNOWN = 0x00008000;

// Disconnect modes (LINE_CALLSTATE dwParam2 with LINECALLSTATE_DISCONNECTED)
constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x00000001;
constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x00000002;
constexpr DWORD LINEDISCONNECTMODE_REJECT = 0x00000004;
constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x00000020;
constexpr DWORD LINEDISCONNECTMODE_NOANSWER = 0x00000040;
constexpr DWORD LINEDISCONNECTMODE_BADADDRESS = 0x00000080;
constexpr DWORD LINEDISCONNECTMODE_UNREACHABLE = 0x00000100;
constexpr DWORD LINEDISCONNECTMODE_CONGESTION = 0x00000200;
constexpr DWORD LINEDISCONNECTMODE_INCOMPATIBLE = 0x00000400;
constexpr DWORD LINEDISCONNECTMODE_UNAVAIL = 0x00000800;
constexpr DWORD LINEDISCONNECTMODE_NODIALTONE = 0x00001000;

// Busy modes (LINE_CALLSTATE dwParam2 with LINECALLSTATE_BUSY)
constexpr DWORD LINEBUSYMODE_STATION = 0x00000001;
constexpr DWORD LINEBUSYMODE_TRUNK = 0x00000002;
constexpr DWORD LINEBUSYMODE_UNKNOWN = 0x00000004;
constexpr DWORD LINEBUSYMODE_UNAVAIL = 0x00000008;

// Privileges (lineOpen dwPrivileges, LINE_CALLSTATE dwParam3)
constexpr DWORD LINECALLPRIVILEGE_NONE = 0x00000001;
constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x00000002;
constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x00000004;

// Media modes
constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x00000002;
constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x00000004;
constexpr DWORD LINEMEDIAMODE_AUTOMATEDVOICE = 0x00000008;
constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x00000010;

// Bearer modes
constexpr DWORD LINEBEARERMODE_VOICE = 0x00000001;
constexpr DWORD LINEBEARERMODE_SPEECH = 0x00000002;
constexpr DWORD LINEBEARERMODE_DATA = 0x00000008;
constexpr DWORD LINEBEARERMODE_PASSTHROUGH = 0x00000040;

// Address modes, call parameter flags, digit modes
constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x00000001;
constexpr DWORD LINEADDRESSMODE_DIALABLEADDR = 0x00000002;
constexpr DWORD LINECALLPARAMFLAGS_SECURE = 0x00000001;
constexpr DWORD LINECALLPARAMFLAGS_IDLE = 0x00000002;
constexpr DWORD LINEDIGITMODE_PULSE = 0x00000001;
constexpr DWORD LINEDIGITMODE_DTMF = 0x00000002;
constexpr DWORD LINEDIGITMODE_DTMFEND = 0x00000004;
constexpr DWORD LINEGENERATETERM_DONE = 0x00000001;
constexpr DWORD LINEGENERATETERM_CANCEL = 0x00000002;

// String formats (VARSTRING dwStringFormat, LINEDEVCAPS dwStringFormat)
constexpr DWORD STRINGFORMAT_ASCII = 0x00000001;
constexpr DWORD STRINGFORMAT_DBCS = 0x00000002;
constexpr DWORD STRINGFORMAT_UNICODE = 0x00000003;
constexpr DWORD STRINGFORMAT_BINARY = 0x00000004;

// Call information states (LINE_CALLINFO dwParam1)
constexpr DWORD LINECALLINFOSTATE_OTHER = 0x00000001;
constexpr DWORD LINECALLINFOSTATE_BEARERMODE = 0x00000004;
constexpr DWORD LINECALLINFOSTATE_RATE = 0x00000008;
constexpr DWORD LINECALLINFOSTATE_MEDIAMODE = 0x00000010;
constexpr DWORD LINECALLINFOSTATE_ORIGIN = 0x00000100;
constexpr DWORD LINECALLINFOSTATE_CALLERID = 0x00008000;
constexpr DWORD LINECALLINFOSTATE_CALLEDID = 0x00010000;
constexpr DWORD LINECALLINFOSTATE_MONITORMODES = 0x08000000;

// Call origins and caller-ID flags (LINECALLINFO)
constexpr DWORD LINECALLORIGIN_OUTBOUND = 0x00000001;
constexpr DWORD LINECALLORIGIN_INTERNAL = 0x00000002;
constexpr DWORD LINECALLORIGIN_EXTERNAL = 0x00000004;
constexpr DWORD LINECALLORIGIN_UNKNOWN = 0x00000010;
constexpr DWORD LINECALLORIGIN_INBOUND = 0x00000080;
constexpr DWORD LINECALLPARTYID_BLOCKED = 0x00000001;
constexpr DWORD LINECALLPARTYID_OUTOFAREA = 0x00000002;
constexpr DWORD LINECALLPARTYID_NAME = 0x00000004;
constexpr DWORD LINECALLPARTYID_ADDRESS = 0x00000008;
constexpr DWORD LINECALLPARTYID_UNKNOWN = 0x00000020;
constexpr DWORD LINECALLPARTYID_UNAVAIL = 0x00000040;

// lineGetID selection
constexpr DWORD LINECALLSELECT_LINE = 0x00000001;
constexpr DWORD LINECALLSELECT_ADDRESS = 0x00000002;
constexpr DWORD LINECALLSELECT_CALL = 0x00000004;

// Line device states (LINE_LINEDEVSTATE dwParam1)
constexpr DWORD LINEDEVSTATE_OTHER = 0x00000001;
constexpr DWORD LINEDEVSTATE_RINGING = 0x00000002;
constexpr DWORD LINEDEVSTATE_CONNECTED = 0x00000004;
constexpr DWORD LINEDEVSTATE_DISCONNECTED = 0x00000008;
constexpr DWORD LINEDEVSTATE_INSERVICE = 0x00000040;
constexpr DWORD LINEDEVSTATE_OUTOFSERVICE = 0x00000080;
constexpr DWORD LINEDEVSTATE_OPEN = 0x00000200;
constexpr DWORD LINEDEVSTATE_CLOSE = 0x00000400;
constexpr DWORD LINEDEVSTATE_REINIT = 0x00040000;
constexpr DWORD LINEDEVSTATE_CONFIGCHANGE = 0x00200000;
constexpr DWORD LINEDEVSTATE_TRANSLATECHANGE = 0x00400000;
constexpr DWORD LINEDEVSTATE_REMOVED = 0x01000000;

// Line and call features (LINEDEVCAPS dwLineFeatures, LINECALLSTATUS dwCallFeatures)
constexpr DWORD LINEFEATURE_MAKECALL = 0x00000008;
constexpr DWORD LINECALLFEATURE_ANSWER = 0x00000004;
constexpr DWORD LINECALLFEATURE_DROP = 0x00000080;
constexpr DWORD LINECALLFEATURE_GENERATEDIGITS = 0x00000200;
constexpr DWORD LINECALLFEATURE_MONITORDIGITS = 0x00001000;
constexpr DWORD LINECALLFEATURE_SETCALLPARAMS = 0x00200000;

// LINEDEVCAPS
constexpr DWORD LINEDEVCAPFLAGS_CLOSEDROP = 0x00000020;
constexpr DWORD LINEDEVCAPFLAGS_DIALBILLING = 0x00000040;
constexpr DWORD LINEDEVCAPFLAGS_DIALQUIET = 0x00000080;
constexpr DWORD LINEDEVCAPFLAGS_DIALDIALTONE = 0x00000100;
constexpr DWORD LINEANSWERMODE_NONE = 0x00000001;

// lineTranslateAddress results (LINETRANSLATEOUTPUT dwTranslateResults)
constexpr DWORD LINETRANSLATERESULT_CANONICAL = 0x00000001;
constexpr DWORD LINETRANSLATERESULT_INTERNATIONAL = 0x00000002;
constexpr DWORD LINETRANSLATERESULT_LONGDISTANCE = 0x00000004;
constexpr DWORD LINETRANSLATERESULT_LOCAL = 0x00000008;
constexpr DWORD LINETRANSLATERESULT_NOTRANSLATION = 0x00000800;

// API versions
constexpr DWORD TAPI_VERSION1_0 = 0x00010003;
constexpr DWORD TAPI_VERSION1_4 = 0x00010004;
constexpr DWORD TAPI_VERSION2_0 = 0x00020000;
constexpr DWORD TAPI_VERSION2_1 = 0x00020001;
constexpr DWORD TAPI_VERSION2_2 = 0x00020002;
constexpr DWORD TAPI_VERSION3_0 = 0x00030000;

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// A variable answer of lineGetID and lineGetDevConfig: the string or binary block at
// dwStringOffset from the structure's start, dwStringSize bytes long.
struct VARSTRING {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwStringFormat;
  DWORD dwStringSize;
  DWORD dwStringOffset;
};

struct LINEEXTENSIONID {
  DWORD dwExtensionID0;
  DWORD dwExtensionID1;
  DWORD dwExtensionID2;
  DWORD dwExtensionID3;
};

struct LINEDIALPARAMS {
  DWORD dwDialPause;
  DWORD dwDialSpeed;
  DWORD dwDigitDuration;
  DWORD dwWaitForDialtone;
};

struct LINECALLPARAMS {
  DWORD dwTotalSize;
  DWORD dwBearerMode;
  DWORD dwMinRate;
  DWORD dwMaxRate;
  DWORD dwMediaMode;
  DWORD dwCallParamFlags;
  DWORD dwAddressMode;
  DWORD dwAddressID;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigAddressSize;
  DWORD dwOrigAddressOffset;
  DWORD dwDisplayableAddressSize;
  DWORD dwDisplayableAddressOffset;
  DWORD dwCalledPartySize;
  DWORD dwCalledPartyOffset;
  DWORD dwCommentSize;
  DWORD dwCommentOffset;
  DWORD dwUserUserInfoSize;
  DWORD dwUserUserInfoOffset;
  DWORD dwHighLevelCompSize;
  DWORD dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize;
  DWORD dwLowLevelCompOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
  DWORD dwPredictiveAutoTransferStates;
  DWORD dwTargetAddressSize;
  DWORD dwTargetAddressOffset;
  DWORD dwSendingFlowspecSize;
  DWORD dwSendingFlowspecOffset;
  DWORD dwReceivingFlowspecSize;
  DWORD dwReceivingFlowspecOffset;
  DWORD dwDeviceClassSize;
  DWORD dwDeviceClassOffset;
  DWORD dwDeviceConfigSize;
  DWORD dwDeviceConfigOffset;
  DWORD dwCallDataSize;
  DWORD dwCallDataOffset;
  DWORD dwNoAnswerTimeout;
  DWORD dwCallingPartyIDSize;
  DWORD dwCallingPartyIDOffset;
  DWORD dwAddressType;
};

struct LINECALLSTATUS {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwCallState;
  DWORD dwCallStateMode;
  DWORD dwCallPrivilege;
  DWORD dwCallFeatures;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
  DWORD dwCallFeatures2;
  SYSTEMTIME tStateEntryTime;
};

struct LINECALLINFO {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  HLINE hLine;
  DWORD dwLineDeviceID;
  DWORD dwAddressID;
  DWORD dwBearerMode;
  DWORD dwRate;
  DWORD dwMediaMode;
  DWORD dwAppSpecific;
  DWORD dwCallID;
  DWORD dwRelatedCallID;
  DWORD dwCallParamFlags;
  DWORD dwCallStates;
  DWORD dwMonitorDigitModes;
  DWORD dwMonitorMediaModes;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigin;
  DWORD dwReason;
  DWORD dwCompletionID;
  DWORD dwNumOwners;
  DWORD dwNumMonitors;
  DWORD dwCountryCode;
  DWORD dwTrunk;
  DWORD dwCallerIDFlags;
  DWORD dwCallerIDSize;
  DWORD dwCallerIDOffset;
  DWORD dwCallerIDNameSize;
  DWORD dwCallerIDNameOffset;
  DWORD dwCalledIDFlags;
  DWORD dwCalledIDSize;
  DWORD dwCalledIDOffset;
  DWORD dwCalledIDNameSize;
  DWORD dwCalledIDNameOffset;
  DWORD dwConnectedIDFlags;
  DWORD dwConnectedIDSize;
  DWORD dwConnectedIDOffset;
  DWORD dwConnectedIDNameSize;
  DWORD dwConnectedIDNameOffset;
  DWORD dwRedirectionIDFlags;
  DWORD dwRedirectionIDSize;
  DWORD dwRedirectionIDOffset;
  DWORD dwRedirectionIDNameSize;
  DWORD dwRedirectionIDNameOffset;
  DWORD dwRedirectingIDFlags;
  DWORD dwRedirectingIDSize;
  DWORD dwRedirectingIDOffset;
  DWORD dwRedirectingIDNameSize;
  DWORD dwRedirectingIDNameOffset;
  DWORD dwAppNameSize;
  DWORD dwAppNameOffset;
  DWORD dwDisplayableAddressSize;
  DWORD dwDisplayableAddressOffset;
  DWORD dwCalledPartySize;
  DWORD dwCalledPartyOffset;
  DWORD dwCommentSize;
  DWORD dwCommentOffset;
  DWORD dwDisplaySize;
  DWORD dwDisplayOffset;
  DWORD dwUserUserInfoSize;
  DWORD dwUserUserInfoOffset;
  DWORD dwHighLevelCompSize;
  DWORD dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize;
  DWORD dwLowLevelCompOffset;
  DWORD dwChargingInfoSize;
  DWORD dwChargingInfoOffset;
  DWORD dwTerminalModesSize;
  DWORD dwTerminalModesOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
  DWORD dwCallTreatment;
  DWORD dwCallDataSize;
  DWORD dwCallDataOffset;
  DWORD dwSendingFlowspecSize;
  DWORD dwSendingFlowspecOffset;
  DWORD dwReceivingFlowspecSize;
  DWORD dwReceivingFlowspecOffset;
  DWORD dwCallerIDAddressType;
  DWORD dwCalledIDAddressType;
  DWORD dwConnectedIDAddressType;
  DWORD dwRedirectionIDAddressType;
  DWORD dwRedirectingIDAddressType;
};

struct LINEDEVCAPS {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwProviderInfoSize;
  DWORD dwProviderInfoOffset;
  DWORD dwSwitchInfoSize;
  DWORD dwSwitchInfoOffset;
  DWORD dwPermanentLineID;
  DWORD dwLineNameSize;
  DWORD dwLineNameOffset;
  DWORD dwStringFormat;
  DWORD dwAddressModes;
  DWORD dwNumAddresses;
  DWORD dwBearerModes;
  DWORD dwMaxRate;
  DWORD dwMediaModes;
  DWORD dwGenerateToneModes;
  DWORD dwGenerateToneMaxNumFreq;
  DWORD dwGenerateDigitModes;
  DWORD dwMonitorToneMaxNumFreq;
  DWORD dwMonitorToneMaxNumEntries;
  DWORD dwMonitorDigitModes;
  DWORD dwGatherDigitsMinTimeout;
  DWORD dwGatherDigitsMaxTimeout;
  DWORD dwMedCtlDigitMaxListSize;
  DWORD dwMedCtlMediaMaxListSize;
  DWORD dwMedCtlToneMaxListSize;
  DWORD dwMedCtlCallStateMaxListSize;
  DWORD dwDevCapFlags;
  DWORD dwMaxNumActiveCalls;
  DWORD dwAnswerMode;
  DWORD dwRingModes;
  DWORD dwLineStates;
  DWORD dwUUIAcceptSize;
  DWORD dwUUIAnswerSize;
  DWORD dwUUIMakeCallSize;
  DWORD dwUUIDropSize;
  DWORD dwUUISendUserUserInfoSize;
  DWORD dwUUICallInfoSize;
  LINEDIALPARAMS MinDialParams;
  LINEDIALPARAMS MaxDialParams;
  LINEDIALPARAMS DefaultDialParams;
  DWORD dwNumTerminals;
  DWORD dwTerminalCapsSize;
  DWORD dwTerminalCapsOffset;
  DWORD dwTerminalTextEntrySize;
  DWORD dwTerminalTextSize;
  DWORD dwTerminalTextOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
  DWORD dwLineFeatures;
  DWORD dwSettableDevStatus;
  DWORD dwDeviceClassesSize;
  DWORD dwDeviceClassesOffset;
  GUID PermanentLineGuid;
  DWORD dwAddressTypes;
  GUID ProtocolGuid;
  DWORD dwAvailableTracking;
};

struct LINETRANSLATEOUTPUT {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwDialableStringSize;
  DWORD dwDialableStringOffset;
  DWORD dwDisplayableStringSize;
  DWORD dwDisplayableStringOffset;
  DWORD dwCurrentCountry;
  DWORD dwDestCountry;
  DWORD dwTranslateResults;
};

static_assert(sizeof(VARSTRING) == 24 && offsetof(VARSTRING, dwStringOffset) == 20);
static_assert(sizeof(LINEEXTENSIONID) == 16);
static_assert(sizeof(LINECALLPARAMS) == 180 && offsetof(LINECALLPARAMS, dwAddressMode) == 24 &&
              offsetof(LINECALLPARAMS, DialParams) == 32);
static_assert(sizeof(LINECALLSTATUS) == 56 && offsetof(LINECALLSTATUS, dwCallState) == 12);
static_assert(offsetof(LINECALLINFO, hLine) == 12 && offsetof(LINECALLINFO, dwCallerIDSize) == 112 &&
              offsetof(LINECALLINFO, dwCallerIDOffset) == 116 && offsetof(LINECALLINFO, dwCalledIDNameOffset) == 144 &&
              sizeof(LINECALLINFO) == 344);
static_assert(sizeof(LINEDEVCAPS) == 292 && offsetof(LINEDEVCAPS, dwBearerModes) == 52 &&
              offsetof(LINEDEVCAPS, dwMediaModes) == 60 && offsetof(LINEDEVCAPS, dwLineFeatures) == 236);
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40 && offsetof(LINETRANSLATEOUTPUT, dwDialableStringOffset) == 16 &&
              offsetof(LINETRANSLATEOUTPUT, dwDestCountry) == 32);

// The line functions, with the published prototypes. Every function checks its handles, pointers
// and sizes and answers with the matching LINEERR_ code instead of failing in the caller's memory.
extern "C" {
LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, const char* lpszAppName,
                    DWORD* lpdwNumDevs);
LONG lineShutdown(HLINEAPP hLineApp);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams);
LONG lineClose(HLINE hLine);
LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               const char* lpszDeviceClass);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps);
LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass);
LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, const char* lpszDeviceClass);
LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass);
LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD dwCard, DWORD dwTranslateOptions, LINETRANSLATEOUTPUT* lpTranslateOutput);
LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDeallocateCall(HCALL hCall);
LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus);
LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo);
LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams);
LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, const char* lpszDigits, DWORD dwDuration);
LONG lineGetAddressID(HLINE hLine, DWORD* lpdwAddressID, DWORD dwAddressMode, const char* lpsAddress, DWORD dwSize);
LONG lineUncompleteCall(HLINE hLine, DWORD dwCompletionID);
}
