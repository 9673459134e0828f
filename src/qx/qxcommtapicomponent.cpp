// TqxCommTAPI: telephony start and shutdown, the line callback and call state machine, connection,
// disconnection, hang-up and the reply wait. Dialing and answering are in qxcommtapidial.cpp, the
// device list and stored configurations in qxcommtapidevices.cpp.
#include "qx/qxcommtapicomponent.h"

#include "framework/format.h"
#include "platform/winapi.h"
#include "qx/qxtapi.h"
#include "qx/qxtapibuffer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

constexpr DWORD kCommIdSize = 283;
constexpr DWORD kCallInfoSize = 2392;
// A call information answer larger than this is not asked for again.
constexpr DWORD kCallInfoLimit = 1u << 20;
constexpr DWORD kCallStatusSize = sizeof(LINECALLSTATUS);
constexpr DWORD kNoLimit = 0xFFFFFFFFu;

// Lets the application process its pending events, then sleeps 10 ms: the pace of every wait.
void ProcessPendingMessages() {
  QCoreApplication::processEvents();
  Sleep(10);
}

}  // namespace

TqxCommTAPI::TqxCommTAPI(QObject* owner)
    : TqxCustomComm(owner),
      m_RepeatTimer(std::make_unique<TqxTimer>()),
      m_DeviceModem(std::make_unique<TqxModemDevice>(this)) {
  SetLogPrefix(QStringLiteral("qxCommTAPI: "));
  m_RepeatTimer->SetEnabled(false);
  m_RepeatTimer->SetInterval(3000);
  m_RepeatTimer->SetOnTimer([this](QObject*) { RepeatTimerFired(); });
}

TqxCommTAPI::~TqxCommTAPI() {
  // Closing processes events; no handler of the owner's runs while this component goes away.
  OnLineBusy = nullptr;
  OnLineConnected = nullptr;
  OnLineDoingConnection = nullptr;
  OnTone = nullptr;
  OnLineDisconnected = nullptr;
  OnCallState = nullptr;
  OnDTMF = nullptr;
  OnRing = nullptr;
  OnAfterReceive = nullptr;
  OnTraceState = nullptr;
  m_RepeatTimer->SetEnabled(false);
  SetDataProcessor(nullptr);
  try {
    ShutdownTapi();
  } catch (...) {
    // A destructor must not raise; what could be closed is closed.
  }
  ClearDevices();
}

HANDLE TqxCommTAPI::OpenDevice() {
  if (m_LineHandle == 0) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  if (m_VoiceActive) qxtapi::lineSetCallParams(m_CallHandle, LINEBEARERMODE_PASSTHROUGH, 0, 0, nullptr);
  const HANDLE handle = LineCommHandle(m_LineHandle, nullptr);
  if (handle == INVALID_HANDLE_VALUE) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return handle;
}

HANDLE TqxCommTAPI::LineCommHandle(HLINE Line, QString* ModemName) {
  TapiBuffer id(kCommIdSize);
  id.SetField(offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_BINARY);
  if (qxtapi::lineGetID(Line, 0, 0, LINECALLSELECT_LINE, id.As<VARSTRING>(), "comm/datamodem") != 0)
    return INVALID_HANDLE_VALUE;
  const DWORD offset = id.Field(offsetof(VARSTRING, dwStringOffset));
  const DWORD size = id.Field(offsetof(VARSTRING, dwStringSize));
  if (size < sizeof(DWORD) || !id.Holds(offset, size)) return INVALID_HANDLE_VALUE;
  // The device name follows the handle, zero-terminated, at most 255 characters.
  if (ModemName != nullptr) *ModemName = id.Text(offset + 4, std::min<DWORD>(size - 4, 256));
  return id.Field(offset);
}

void TqxCommTAPI::Close() {
  if (IsOpen() && m_VoiceActive) qxtapi::lineSetCallParams(m_CallHandle, LINEBEARERMODE_VOICE, 0, 0, nullptr);
  TqxCustomComm::Close();
}

void TqxCommTAPI::GetDeviceName(QString& Name) {
  const TqxDeviceTAPI* const device = SelectedDevice();
  Name = device != nullptr ? device->PortName : QString();
}

void TqxCommTAPI::SetupDevice() {
  TqxCustomComm::SetupDevice();
  // The modem driver has set rate, framing and flow control; they stay.
  UpdateState([this](DCB& dcb) {
    dcb.fAbortOnError = 1;
    dcb.EvtChar = m_EventCharValue;
  });
}

void TqxCommTAPI::SetEventChar(char Ch) {
  if (IsConnected()) {
    TqxCustomComm::SetEventChar(Ch);
    m_EventCharValue = TqxCustomComm::GetEventChar();
  } else {
    m_EventCharValue = Ch;
  }
}

char TqxCommTAPI::GetEventChar() { return m_EventCharValue; }

int TqxCommTAPI::CurrentDeviceID() const {
  const TqxDeviceTAPI* const device = SelectedDevice();
  return device != nullptr ? device->DeviceID : -1;
}

TqxDeviceTAPI* TqxCommTAPI::SelectedDevice() const {
  if (m_DeviceIndex < 0 || m_DeviceIndex >= DeviceCount()) return nullptr;
  return static_cast<TqxDeviceTAPI*>(Device(m_DeviceIndex));
}

QString TqxCommTAPI::DeviceNameText() const {
  const TqxDeviceTAPI* const device = SelectedDevice();
  return device != nullptr ? device->Name : QStringLiteral("Error TAPI Device Name");
}

bool TqxCommTAPI::IsConnected() { return m_LineApp != 0 && m_LineHandle != 0 && m_CallHandle != 0 && IsOpen(); }

void TqxCommTAPI::InitializeTapi() {
  m_APIVersion = TAPI_VERSION2_0;
  m_LastResult = qxtapi::lineInitialize(&m_LineApp, GetModuleHandleA(nullptr), &LineCallback, nullptr, &m_NumDevices);
  std::uint32_t detail = 0;
  QString message;
  if (m_LastResult < 0) {
    m_LineApp = 0;
    detail = 3;
    message = QStringLiteral("qxTAPI Fatal Error: Initialize Fatal Error");
  } else if (m_NumDevices == 0) {
    qxtapi::lineShutdown(m_LineApp);
    detail = 2;
    message = QStringLiteral("qxTAPI Fatal Error: no one TAPI devices was found");
  } else {
    // Negotiated once, on device 0, for every device.
    LINEEXTENSIONID extension{};
    m_LastResult = qxtapi::lineNegotiateAPIVersion(m_LineApp, 0, 0x00010000, 0x00090000, &m_APIVersion, &extension);
    if (m_LastResult < 0) {
      qxtapi::lineShutdown(m_LineApp);
      detail = 4;
      message = QStringLiteral("qxTAPI Fatal Error: lineNegotiateAPIVersion");
    }
  }
  if (m_LineApp == 0) ReportTapiError(detail, message);
}

void TqxCommTAPI::AcquireTapi() {
  if (m_UsageCount == 0 && m_LineApp == 0) InitializeTapi();
  ++m_UsageCount;
}

void TqxCommTAPI::ReleaseTapi() {
  const int before = m_UsageCount--;
  if (before == 1 && m_LineApp != 0) ShutdownTapi();
}

void TqxCommTAPI::ShutdownTapi() {
  // Whatever ends telephony use also ends a repeat that waits for its time.
  m_RepeatTimer->SetEnabled(false);
  m_RepeatMode = 0;
  CloseCall();
  if (m_LineApp != 0) qxtapi::lineShutdown(m_LineApp);
  m_UsageCount = 0;
}

TqxCommTAPI::TapiUse::TapiUse(TqxCommTAPI& Component) : m_Component(Component) { Component.AcquireTapi(); }

TqxCommTAPI::TapiUse::~TapiUse() {
  try {
    m_Component.ReleaseTapi();
  } catch (...) {
    // Closing goes on; a failure while ending telephony use has nobody left to report to.
  }
}

void TqxCommTAPI::ReportTapiError(std::uint32_t Detail, const QString& Message) {
  const QString text = Format(QStringLiteral("qxCommLib TAPI error:\r%s\rTAPI Error Code [%Xh]\r%s"),
                              {Message, m_LastResult, qxtapi::TapiErrorText(static_cast<DWORD>(m_LastResult))});
  FatalError(2, Detail, false, text);
}

LONG TqxCommTAPI::WaitReply(LONG RequestID, DWORD TimeoutMs) {
  m_Replies[RequestID].reset();
  const QDeadlineTimer deadline(TimeoutMs == kNoLimit ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                      : QDeadlineTimer(static_cast<qint64>(TimeoutMs)));
  LONG result = -1;
  while (true) {
    const auto& reply = m_Replies[RequestID];
    if (reply) {
      result = *reply;
      break;
    }
    if (deadline.hasExpired()) break;
    ProcessPendingMessages();
  }
  m_Replies.erase(RequestID);
  return result;
}

void TqxCommTAPI::RecordReply(LONG RequestID, LONG Result) {
  const auto awaited = m_Replies.find(RequestID);
  if (awaited == m_Replies.end()) {
    // A late answer to a request whose wait ran out must not end a wait for another.
    LogFormat(dlDebug, QStringLiteral("Reply [%d] to an earlier request ignored"), {RequestID});
    return;
  }
  awaited->second = Result;
}

void TqxCommTAPI::LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                               DWORD_PTR dwParam2, DWORD_PTR) {
  auto* const component = reinterpret_cast<TqxCommTAPI*>(dwInstance);
  if (component == nullptr || dwMessage > LINE_REPLY) return;
  component->HandleLineMessage(hDevice, dwMessage, dwParam1, dwParam2);
}

void TqxCommTAPI::HandleLineMessage(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
  switch (dwMessage) {
    case LINE_CALLINFO:
      UpdateCallInfo(hDevice, static_cast<DWORD>(dwParam1));
      break;
    case LINE_CALLSTATE:
      HandleCallState(hDevice, static_cast<DWORD>(dwParam1), static_cast<DWORD>(dwParam2));
      break;
    case LINE_MONITORDIGITS:
      if (OnDTMF) OnDTMF(this, static_cast<char>(dwParam1 & 0xFF));
      break;
    case LINE_MONITORTONE:
      if (OnTone) OnTone(this);
      break;
    case LINE_REPLY:
      RecordReply(static_cast<LONG>(static_cast<DWORD>(dwParam1)), static_cast<LONG>(static_cast<DWORD>(dwParam2)));
      break;
    default:
      break;
  }
}

void TqxCommTAPI::HandleCallState(HCALL Call, DWORD State, DWORD Mode) {
  UpdateCallInfo(Call, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID);
  if (OnCallState) OnCallState(this, State, Mode);
  switch (State) {
    case LINECALLSTATE_OFFERING:
      CallOffering(Call);
      break;
    case LINECALLSTATE_BUSY:
      if (OnLineBusy) OnLineBusy(this);
      break;
    case LINECALLSTATE_CONNECTED:
      CallConnected(Call);
      break;
    case LINECALLSTATE_PROCEEDING:
      CallProceeding();
      break;
    case LINECALLSTATE_DISCONNECTED:
      if (Mode == LINEDISCONNECTMODE_BUSY && OnLineBusy) OnLineBusy(this);
      CallDisconnected(Call);
      break;
    default:
      break;
  }
}

void TqxCommTAPI::UpdateCallInfo(HCALL Call, DWORD InfoStates) {
  auto info = std::make_unique<TapiBuffer>(kCallInfoSize);
  LONG result = qxtapi::lineGetCallInfo(Call, info->As<LINECALLINFO>());
  if (result == LINEERR_STRUCTURETOOSMALL) {
    const DWORD needed = info->Field(offsetof(LINECALLINFO, dwNeededSize));
    if (needed < sizeof(LINECALLINFO) || needed > kCallInfoLimit) return;
    info = std::make_unique<TapiBuffer>(needed);
    result = qxtapi::lineGetCallInfo(Call, info->As<LINECALLINFO>());
  }
  if (result != 0) return;
  // A text without size or offset, or outside the answer, keeps its previous value.
  const auto take = [&info](QString& text, DWORD sizeField, DWORD offsetField) {
    const DWORD size = info->Field(sizeField);
    const DWORD offset = info->Field(offsetField);
    if (size > 0 && offset > 0 && info->Holds(offset, size)) text = info->Text(offset, size);
  };
  if ((InfoStates & LINECALLINFOSTATE_CALLERID) != 0) {
    take(m_CallerID, offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDOffset));
    take(m_CallerIDName, offsetof(LINECALLINFO, dwCallerIDNameSize), offsetof(LINECALLINFO, dwCallerIDNameOffset));
  }
  if ((InfoStates & LINECALLINFOSTATE_CALLEDID) != 0) {
    take(m_CalledID, offsetof(LINECALLINFO, dwCalledIDSize), offsetof(LINECALLINFO, dwCalledIDOffset));
    take(m_CalledIDName, offsetof(LINECALLINFO, dwCalledIDNameSize), offsetof(LINECALLINFO, dwCalledIDNameOffset));
  }
}

void TqxCommTAPI::CallProceeding() {
  m_CallState = csProceeding;
  if (OnLineDoingConnection) OnLineDoingConnection(this);
}

void TqxCommTAPI::CallConnected(HCALL Call) {
  m_CallHandle = Call;
  if (m_VoiceActive) qxtapi::lineMonitorDigits(Call, m_Pulse ? LINEDIGITMODE_PULSE : LINEDIGITMODE_DTMF);
  // In voice mode the data path is opened only when modem lines are traced.
  if (!m_VoiceActive || !TraceStates().IsEmpty()) Open();
  m_CallState = csConnected;
  m_DeviceModem->SelectDevice(CurrentDeviceID());
  m_DeviceModem->ReadConfig();
  LogFormat(dlSimple, QStringLiteral("Connected [%u] hCom [%u] CallerID [%s]"),
            {m_DeviceModem->BaudRateOfConnect(), Handle(), m_CallerID});
  if (OnLineConnected) OnLineConnected(this);
}

void TqxCommTAPI::CallDisconnected(HCALL Call) {
  if (m_CallState == csClosing) return;
  LogMessage(dlSimple, QStringLiteral("Begin Handle Disconnection"));
  m_CallHandle = Call;
  const int saved = m_RepeatMode;
  CloseCall();
  LogMessage(dlSimple, QStringLiteral("Done Disconnection"));
  if (OnLineDisconnected) OnLineDisconnected(this, true);
  if (m_Retries == 0) return;
  // The first attempt counts: with Retries n there are at most n - 1 repeats.
  m_RepeatMode = saved;
  ++m_RetryCount;
  if (m_Retries == -1 || m_RetryCount < m_Retries) {
    m_RepeatTimer->SetEnabled(true);
    // Without a pause the repeat runs as soon as this handling is over, not inside it: repeats
    // that failed at once would otherwise nest without end. Like a timer tick, it drops what it
    // raises (the failure has been reported through OnFatalError and the log).
    if (m_RepeatTimer->Interval() == 0)
      QMetaObject::invokeMethod(
          this,
          [this] {
            if (!m_RepeatTimer->Enabled()) return;
            try {
              RepeatTimerFired();
            } catch (...) {
            }
          },
          Qt::QueuedConnection);
  }
}

void TqxCommTAPI::RepeatTimerFired() {
  m_RepeatTimer->SetEnabled(false);
  // A repeat keeps the count; only a call from outside starts it anew. (The count cannot be put
  // back after the repeat: its disconnection may already have been handled inside it.)
  const QScopedValueRollback<bool> repeating(m_Repeating, true);
  if (m_RepeatMode == 1)
    MakeCall();
  else if (m_RepeatMode == 2)
    WaitForCall();
}

void TqxCommTAPI::HangUp() {
  if (m_CallState == csClosing) return;
  LogMessage(dlDetail, QStringLiteral("Begin HangUp"));
  ShutdownTapi();
  LogMessage(dlSimple, QStringLiteral("HangUp"));
  if (OnLineDisconnected) OnLineDisconnected(this, false);
}

void TqxCommTAPI::CloseCall() {
  switch (m_CallState) {
    case csClosing:
      return;
    case csIdle:
      if (m_LineHandle != 0) qxtapi::lineClose(m_LineHandle);
      m_LineHandle = 0;
      return;
    default:
      break;
  }
  m_CallState = csClosing;
  Close();
  if (m_CallHandle != 0) {
    if (!IsCallIdle()) {
      m_LastResult = qxtapi::lineDrop(m_CallHandle, nullptr, 0);
      if (m_LastResult >= 0 && WaitReply(m_LastResult, kWaitMs) == 0) WaitCallIdle();
    }
    qxtapi::lineDeallocateCall(m_CallHandle);
    m_CallHandle = 0;
    LogMessage(dlDetail, QStringLiteral("Call closed"));
  }
  if (m_LineHandle != 0) {
    qxtapi::lineClose(m_LineHandle);
    LogFormat(dlDetail, QStringLiteral("Line closed [%s]"), {DeviceNameText()});
  }
  m_LineHandle = 0;
  m_RingCount = 0;
  m_RepeatMode = 0;
  m_CallState = csIdle;
}

bool TqxCommTAPI::IsCallIdle() {
  if (m_CallHandle == 0) return false;
  LINECALLSTATUS status{};
  status.dwTotalSize = kCallStatusSize;
  if (qxtapi::lineGetCallStatus(m_CallHandle, &status) != 0) return false;
  return (status.dwCallState & LINECALLSTATE_IDLE) != 0;
}

void TqxCommTAPI::WaitCallIdle() {
  const QDeadlineTimer deadline(kWaitMs);
  while (m_CallHandle != 0 && !IsCallIdle()) {
    if (deadline.hasExpired()) {
      LogFormat(dlDetail, QStringLiteral("The call is not idle after %u ms; it is closed all the same"), {kWaitMs});
      return;
    }
    ProcessPendingMessages();
  }
}
