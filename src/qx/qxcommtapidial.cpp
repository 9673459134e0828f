// TqxCommTAPI: placing calls, waiting for calls and answering them, and the voice mode.
#include "framework/format.h"
#include "qx/qxcommtapicomponent.h"
#include "qx/qxtapi.h"
#include "qx/qxtapibuffer.h"


namespace {

constexpr DWORD kTranslateOutputSize = 202;

const QString kCallFault = QStringLiteral("qxTAPI Error: Call was fault");
const QString kWaitFault = QStringLiteral("qxTAPI Error: Waiting for a incoming call was fault");

bool IsBlankOrControl(QChar ch) { return ch.unicode() <= 0x20; }

}  // namespace

QString TqxCommTAPI::BuildDialString() const {
  QString s;
  if (m_CountryCode != 0) s = Format(QStringLiteral("+%u "), {static_cast<unsigned>(m_CountryCode)});
  if (m_CountryCode != 0 && !m_AreaCode.isEmpty()) s = Format(QStringLiteral("%s(%s) "), {s, m_AreaCode});
  if (s.isEmpty()) s = m_Pulse ? QStringLiteral("p") : QStringLiteral("t");
  return s + m_Phone;
}

DWORD TqxCommTAPI::MediaMode() const { return m_Voice ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM; }

void TqxCommTAPI::MakeCall() {
  LogMessage(dlDetail, QString());
  ShutdownTapi();
  PlaceCall(false);
}

void TqxCommTAPI::MakeDirectCall() {
  ShutdownTapi();
  PlaceCall(true);
}

bool TqxCommTAPI::SelectCallDevice(std::uint32_t Detail, const QString& Fault) {
  m_DeviceModem->SelectDevice(CurrentDeviceID());
  if (m_DeviceModem->DeviceID() >= 0) return true;
  ReportTapiError(Detail, Format(QStringLiteral("%s\rDevice index (%d of %d) is not valid"),
                                 {Fault, m_DeviceModem->DeviceID(), DeviceCount()}));
  return false;
}

void TqxCommTAPI::PlaceCall(bool Direct) {
  if (!SelectCallDevice(6, kCallFault)) return;
  AcquireTapi();
  m_DeviceModem->WriteConfig();
  m_VoiceActive = m_Voice;
  m_LastResult = qxtapi::lineOpen(m_LineApp, static_cast<DWORD>(CurrentDeviceID()), &m_LineHandle, m_APIVersion, 0,
                          reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_NONE, MediaMode(), nullptr);
  bool accepted = false;
  if (m_LastResult < 0) {
    m_CallHandle = 0;
  } else {
    m_CallParams = LINECALLPARAMS{};
    m_CallParams.dwTotalSize = sizeof(LINECALLPARAMS);
    m_CallParams.dwBearerMode = LINEBEARERMODE_VOICE;
    m_CallParams.dwMediaMode = MediaMode();
    m_CallParams.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    m_CallParams.dwAddressMode = Direct ? LINEADDRESSMODE_ADDRESSID : LINEADDRESSMODE_DIALABLEADDR;
    QByteArray destination;
    DWORD country = 1;
    if (!Direct) {
      if (!m_Repeating) m_RetryCount = 0;
      const QString address = BuildDialString();
      TapiBuffer translated(kTranslateOutputSize);
      const LONG translation =
          qxtapi::lineTranslateAddress(m_LineApp, static_cast<DWORD>(CurrentDeviceID()), m_APIVersion,
                               address.toLatin1().constData(), 0, 0, translated.As<LINETRANSLATEOUTPUT>());
      const auto text = [&translated](DWORD sizeField, DWORD offsetField) {
        return translated.Text(translated.Field(offsetField), translated.Field(sizeField));
      };
      m_DialableAddress = text(offsetof(LINETRANSLATEOUTPUT, dwDialableStringSize),
                               offsetof(LINETRANSLATEOUTPUT, dwDialableStringOffset));
      m_DisplayableAddress = text(offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringSize),
                                  offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringOffset));
      country = translated.Field(offsetof(LINETRANSLATEOUTPUT, dwDestCountry));
      if (translation != 0 || m_DialableAddress.isEmpty()) {
        // Without a translation the address is dialled as it stands.
        LogFormat(dlDetail, QStringLiteral("Address not translated [%Xh]; dialing it untranslated"), {translation});
        m_DialableAddress = address;
        m_DisplayableAddress = address;
        country = static_cast<DWORD>(m_CountryCode);
      }
      LogMessage(dlSimple, QStringLiteral("Dial: ") + m_Phone + QStringLiteral(" Canonical:") + address +
                               QStringLiteral(" Dialable:") + m_DialableAddress);
      destination = m_DialableAddress.toLatin1();
    }
    const LONG request = qxtapi::lineMakeCall(m_LineHandle, &m_CallHandle, destination.constData(), country, &m_CallParams);
    m_LastResult = request;
    if (request < 0) {
      CloseCall();
    } else {
      // Set before the wait: call states that arrive during it (proceeding, busy, disconnected)
      // find the call being dialled, and are not overwritten afterwards.
      m_RepeatMode = 1;
      m_CallState = csDialing;
      const LONG reply = WaitReply(request, kWaitMs);
      accepted = reply == 0;
      if (!accepted) {
        CloseCall();
        m_LastResult = reply;
      }
    }
  }
  if (!accepted) {
    ShutdownTapi();
    ReportTapiError(6, kCallFault);
    return;
  }
  if (m_CallHandle != 0 && Log() != nullptr)
    Log()->WriteLevelFormat(dlSimple, QStringLiteral("Make Call Out : %s Device: %s"), {m_Phone, DeviceNameText()});
}

void TqxCommTAPI::WaitForCall() {
  LogMessage(dlDetail, QString());
  ShutdownTapi();
  if (!SelectCallDevice(7, kWaitFault)) return;
  AcquireTapi();
  if (m_LineApp == 0) return;  // the start failed and was reported
  m_DeviceModem->WriteConfig();
  m_VoiceActive = m_Voice;
  m_LastResult = qxtapi::lineOpen(m_LineApp, static_cast<DWORD>(CurrentDeviceID()), &m_LineHandle, m_APIVersion, 0,
                          reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
                          MediaMode(), nullptr);
  if (m_LastResult < 0) {
    m_LineHandle = 0;
    ShutdownTapi();
    ReportTapiError(7, kWaitFault);
    return;
  }
  if (Log() != nullptr)
    Log()->WriteLevelFormat(dlSimple, QStringLiteral("Device [%s] wait for incoming call ..."), {DeviceNameText()});
  if (!m_Repeating) m_RetryCount = 0;
  m_RepeatMode = 2;
  m_CallState = csWaiting;
}

bool TqxCommTAPI::IsOffered(HCALL Call) {
  LINECALLSTATUS status{};
  status.dwTotalSize = sizeof status;
  return qxtapi::lineGetCallStatus(Call, &status) == 0 && (status.dwCallState & LINECALLSTATE_OFFERING) != 0;
}

void TqxCommTAPI::CallOffering(HCALL Call) {
  // Offerings queued before the call was answered or given back (one per ring) are late news:
  // only a call still offered to a waiting line counts.
  if (m_CallState != csWaiting || !IsOffered(Call)) {
    LogFormat(dlDebug, QStringLiteral("Offering of call [%u] ignored"), {Call});
    return;
  }
  LogMessage(dlDebug, QStringLiteral("Ring!"));
  ++m_RingCount;
  m_CallHandle = 0;
  SetMonitorChecked(MonitorRing(), true);
  if (TraceStates().Contains(tsRing) && OnTraceState) OnTraceState(this, {tsRing});
  // True answers the call; the handler may decide either way.
  bool ignore = m_RingCount >= m_RingsBeforeAnswer;
  if (OnRing) OnRing(this, ignore);
  if (!ignore) {
    // The library offers the call again at the next ring.
    qxtapi::lineDeallocateCall(Call);
    return;
  }
  const LONG request = qxtapi::lineAnswer(Call, nullptr, 0);
  m_LastResult = request;
  if (request < 0) {
    ReportTapiError(9, QStringLiteral("qxTAPI Error: Aswer on the incoming call was fault"));
    return;
  }
  // Set before the wait, so that a connection or disconnection during it finds the answered call.
  m_CallState = csAnswered;
  m_CallHandle = Call;
  m_LastResult = WaitReply(request, kWaitMs);
  if (m_LastResult < 0) {
    // Refused or late: the line goes on waiting.
    if (m_CallState == csAnswered) {
      m_CallState = csWaiting;
      m_CallHandle = 0;
    }
    return;
  }
  LogMessage(dlSimple, QStringLiteral("Answer"));
}

void TqxCommTAPI::SetVoice(bool Value) {
  if (!Value) {
    m_Voice = false;
    return;
  }
  // With no device selected there is nothing that could support it.
  m_Voice = m_DeviceModem->SupportsWave(0) && m_DeviceModem->SupportsWave(1);
  if (!m_Voice) ReportTapiError(10, QStringLiteral("qxTAPI Error: Device does not support Voice features"));
}

void TqxCommTAPI::SetAreaCode(const QString& Value) {
  qsizetype start = 0;
  qsizetype end = Value.size();
  while (start < end && IsBlankOrControl(Value[start])) ++start;
  while (end > start && IsBlankOrControl(Value[end - 1])) --end;
  m_AreaCode = Value.mid(start, end - start);
}
