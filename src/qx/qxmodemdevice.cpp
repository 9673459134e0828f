#include "qx/qxmodemdevice.h"

#include "framework/exception.h"
#include "framework/format.h"
#include "platform/modemconfig.h"
#include "platform/tapi.h"
#include "qx/qxcommtapicomponent.h"
#include "qx/qxmodemkeys.h"
#include "qx/qxregistry.h"
#include "qx/qxtapi.h"

#include <cstddef>

namespace {

constexpr DWORD kConfigBufferSize = 2048;
constexpr DWORD kInitStringSize = 4096;

// Positions in the configuration buffer: the VARSTRING header, then the block at byte 24.
constexpr DWORD kBlock = sizeof(VARSTRING);
constexpr DWORD kBlockSizeAt = offsetof(VARSTRING, dwStringSize);
constexpr DWORD kBlockOffsetAt = offsetof(VARSTRING, dwStringOffset);
constexpr DWORD kOptionsAt = kBlock + offsetof(DEVCFG, dfgHdr.fwOptions);
constexpr DWORD kBaudRateAt = kBlock + offsetof(DEVCFG, dcb) + offsetof(DCB, BaudRate);
constexpr DWORD kDcbFlagsAt = kBaudRateAt + 4;
constexpr DWORD kSubTypeAt = kBlock + offsetof(DEVCFG, dwProviderSubType);
constexpr DWORD kSettings = kBlock + offsetof(DEVCFG, modemSettings);
constexpr DWORD kCallFailTimerAt = kSettings + offsetof(MODEMSETTINGS, dwCallSetupFailTimer);
constexpr DWORD kInactivityAt = kSettings + offsetof(MODEMSETTINGS, dwInactivityTimeout);
constexpr DWORD kSpeakerVolAt = kSettings + offsetof(MODEMSETTINGS, dwSpeakerVolume);
constexpr DWORD kSpeakerModeAt = kSettings + offsetof(MODEMSETTINGS, dwSpeakerMode);
constexpr DWORD kPreferredAt = kSettings + offsetof(MODEMSETTINGS, dwPreferredModemOptions);
constexpr DWORD kNegotiatedAt = kSettings + offsetof(MODEMSETTINGS, dwNegotiatedModemOptions);
constexpr DWORD kConnectRateAt = kSettings + offsetof(MODEMSETTINGS, dwNegotiatedDCERate);
constexpr DWORD kSettingsEnd = kConnectRateAt + 4;
static_assert(kBlockSizeAt == 16 && kOptionsAt == 32 && kBaudRateAt == 48 && kDcbFlagsAt == 52 && kSubTypeAt == 72 &&
              kSettings == 84 && kCallFailTimerAt == 100 && kInactivityAt == 104 && kSpeakerVolAt == 108 &&
              kSpeakerModeAt == 112 && kPreferredAt == 116 && kNegotiatedAt == 120 && kConnectRateAt == 124);

constexpr DWORD kProviderModem = 6;  // PST_MODEM
// DCB flag word: fOutxCtsFlow 0x4, fOutX 0x100, fInX 0x200, fRtsControl 0x3000.
constexpr DWORD kDcbFlowBits = 0x3304;
constexpr DWORD kDcbSoftFlow = 0x0300;
constexpr DWORD kDcbHardFlow = 0x2004;  // fOutxCtsFlow, RTS_CONTROL_HANDSHAKE
constexpr DWORD kWrittenOptions = MDM_COMPRESSION | MDM_ERROR_CONTROL | MDM_FORCED_EC | MDM_FLOWCONTROL_HARD |
                                  MDM_FLOWCONTROL_SOFT | MDM_SPEED_ADJUST | MDM_BLIND_DIAL;

TStreamProtocol FlowControlOf(DWORD modemOptions) {
  if ((modemOptions & MDM_FLOWCONTROL_SOFT) != 0) return spXonXoff;
  if ((modemOptions & MDM_FLOWCONTROL_HARD) != 0) return spHardware;
  return spNone;
}

// The three connection options a modem option word carries.
TModemOptions OptionsOf(DWORD modemOptions) {
  TModemOptions options;
  if ((modemOptions & MDM_ERROR_CONTROL) != 0) options.Include(moErrorControl);
  if ((modemOptions & MDM_COMPRESSION) != 0) options.Include(moCompression);
  if ((modemOptions & MDM_FORCED_EC) != 0) options.Include(moForcedConnection);
  return options;
}

}  // namespace

TqxModemDevice::TqxModemDevice(TqxCommTAPI* Owner) : m_ConfigBuffer(kConfigBufferSize), m_Owner(Owner) {}

TqxModemDevice::~TqxModemDevice() = default;

bool TqxModemDevice::Active() const { return m_DeviceID >= 0 && m_Owner->LineApp() != 0; }

TqxModemDevice::ConfigKind TqxModemDevice::ReadBuffer() {
  m_ConfigBuffer = TapiBuffer(kConfigBufferSize);
  m_ConfigBuffer.SetField(offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_BINARY);
  if (qxtapi::lineGetDevConfig(static_cast<DWORD>(m_DeviceID), m_ConfigBuffer.As<VARSTRING>(), "comm/datamodem") != 0)
    return ConfigKind::Unreadable;
  // The settings are read at fixed positions: the block must start right after the header and
  // lie inside the answer.
  const DWORD size = m_ConfigBuffer.Field(kBlockSizeAt);
  if (m_ConfigBuffer.Field(kBlockOffsetAt) != kBlock || !m_ConfigBuffer.Holds(kBlock, size))
    return ConfigKind::Unreadable;
  if (size < kSettingsEnd - kBlock || m_ConfigBuffer.Field(kSubTypeAt) != kProviderModem) return ConfigKind::Other;
  return ConfigKind::Modem;
}

void TqxModemDevice::ReadConfig() {
  if (!Active() || ReadBuffer() != ConfigKind::Modem) return;
  const TapiBuffer& config = m_ConfigBuffer;
  m_InactivityTimeout = config.Field(kInactivityAt);
  m_CallFailTimer = config.Field(kCallFailTimerAt);
  m_BaudRateOfConnect = config.Field(kConnectRateAt);
  // A value outside the enumeration keeps the field.
  const DWORD mode = config.Field(kSpeakerModeAt) & 0xFF;
  if (mode <= smDial) m_SpeakerMode = static_cast<TSpeakMode>(mode);
  const DWORD volume = config.Field(kSpeakerVolAt) & 0xFF;
  if (volume <= svHigh) m_SpeakerVol = static_cast<TSpeakVol>(volume);
  m_BaudRateMax = config.Field(kBaudRateAt);
  const DWORD preferred = config.Field(kPreferredAt);
  m_FlowControl = FlowControlOf(preferred);
  m_Options = OptionsOf(preferred);
  if ((preferred & MDM_BLIND_DIAL) == 0) m_Options.Include(moWaitTone);
  const DWORD negotiated = config.Field(kNegotiatedAt);
  m_FlowControlOfConnect = FlowControlOf(negotiated);
  m_OptionsOfConnect = OptionsOf(negotiated);
  const WORD terminal = config.Word(kOptionsAt);
  if ((terminal & TERMINAL_PRE) != 0) m_Options.Include(moPreTerminal);
  if ((terminal & TERMINAL_POST) != 0) m_Options.Include(moPostTerminal);
  if ((terminal & LAUNCH_LIGHTS) != 0) m_Options.Include(moShowIcon);
}

void TqxModemDevice::WriteConfig() {
  if (!Active()) return;
  const ConfigKind kind = ReadBuffer();
  if (kind == ConfigKind::Unreadable) return;
  TapiBuffer& config = m_ConfigBuffer;
  // Another kind of device gets its configuration back unchanged.
  if (kind == ConfigKind::Modem) {
    config.SetField(kInactivityAt, m_InactivityTimeout);
    config.SetField(kCallFailTimerAt, m_CallFailTimer);
    config.SetField(kSpeakerModeAt, m_SpeakerMode);
    config.SetField(kSpeakerVolAt, m_SpeakerVol);
    config.SetField(kBaudRateAt, m_BaudRateMax);
    DWORD flags = config.Field(kDcbFlagsAt) & ~kDcbFlowBits;
    DWORD preferred = config.Field(kPreferredAt) & ~kWrittenOptions;
    if (m_FlowControl == spXonXoff) {
      flags |= kDcbSoftFlow;
      preferred |= MDM_FLOWCONTROL_SOFT;
    } else if (m_FlowControl == spHardware) {
      flags |= kDcbHardFlow;
      preferred |= MDM_FLOWCONTROL_HARD;
    }
    if (m_Options.Contains(moErrorControl)) preferred |= MDM_ERROR_CONTROL | MDM_SPEED_ADJUST;
    if (m_Options.Contains(moCompression)) preferred |= MDM_COMPRESSION | MDM_SPEED_ADJUST;
    if (m_Options.Contains(moForcedConnection)) preferred |= MDM_FORCED_EC | MDM_SPEED_ADJUST;
    if (!m_Options.Contains(moWaitTone)) preferred |= MDM_BLIND_DIAL;
    config.SetField(kDcbFlagsAt, flags);
    config.SetField(kPreferredAt, preferred);
    WORD terminal = 0;
    if (m_Options.Contains(moPreTerminal)) terminal |= TERMINAL_PRE;
    if (m_Options.Contains(moPostTerminal)) terminal |= TERMINAL_POST;
    if (m_Options.Contains(moShowIcon)) terminal |= LAUNCH_LIGHTS;
    config.SetWord(kOptionsAt, terminal);
  }
  qxtapi::lineSetDevConfig(static_cast<DWORD>(m_DeviceID), config.Bytes() + kBlock, config.Field(kBlockSizeAt),
                           "comm/datamodem");
}

void TqxModemDevice::Assign(QObject* Source) {
  auto* const source = qobject_cast<TqxModemDevice*>(Source);
  if (source == nullptr) {
    const QString kind = Source != nullptr ? QString::fromLatin1(Source->metaObject()->className()) : QStringLiteral("nil");
    throw Exception(Format(QStringLiteral("Cannot assign a %s to a %s"), {kind, QStringLiteral("TqxModemDevice")}));
  }
  m_InactivityTimeout = source->InactivityTimeout();
  m_CallFailTimer = source->CallFailTimer();
  m_SpeakerMode = source->SpeakerMode();
  m_SpeakerVol = source->SpeakerVol();
  m_Options = source->Options();
  m_FlowControl = source->FlowControl();
  WriteConfig();
}

void TqxModemDevice::SelectDevice(int ID) {
  if (ID == m_DeviceID) return;
  m_DeviceID = ID;
  m_RegistryKey.clear();
  if (ID < 0) return;
  if (const TqxDeviceTAPI* const device = m_Owner->SelectedDevice()) m_RegistryKey = FindModemKey(device->ModemName);
}

bool TqxModemDevice::SupportsWave(int Direction) const {
  const TqxDeviceTAPI* const device = m_Owner->SelectedDevice();
  if (device == nullptr) return false;
  return (Direction == 0 ? device->WaveOutID : device->WaveInID) != 0;
}

QString TqxModemDevice::InitString() const {
  ScopedRegKey key;
  QString text;
  if (m_RegistryKey.isEmpty() || !key.Open(HKEY_LOCAL_MACHINE, m_RegistryKey, KEY_QUERY_VALUE)) return text;
  ReadRegistryText(key.Get(), "UserInit", kInitStringSize, text);
  return text;
}

void TqxModemDevice::SetInitString(const QString& Value) {
  ScopedRegKey key;
  if (m_RegistryKey.isEmpty() || !key.Open(HKEY_LOCAL_MACHINE, m_RegistryKey, KEY_WRITE)) return;
  const QByteArray text = Value.toLatin1();
  RegSetValueExA(key.Get(), "UserInit", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.constData()),
                 static_cast<DWORD>(text.size() + 1));
}

TSpeakVol TqxModemDevice::SpeakerVol() {
  ReadConfig();
  return m_SpeakerVol;
}

void TqxModemDevice::SetSpeakerVol(TSpeakVol Value) {
  m_SpeakerVol = Value;
  WriteConfig();
}

TSpeakMode TqxModemDevice::SpeakerMode() {
  ReadConfig();
  return m_SpeakerMode;
}

void TqxModemDevice::SetSpeakerMode(TSpeakMode Value) {
  m_SpeakerMode = Value;
  WriteConfig();
}

quint32 TqxModemDevice::InactivityTimeout() {
  ReadConfig();
  return m_InactivityTimeout;
}

void TqxModemDevice::SetInactivityTimeout(quint32 Value) {
  m_InactivityTimeout = Value;
  WriteConfig();
}

quint32 TqxModemDevice::CallFailTimer() {
  ReadConfig();
  return m_CallFailTimer;
}

void TqxModemDevice::SetCallFailTimer(quint32 Value) {
  m_CallFailTimer = Value;
  WriteConfig();
}

quint32 TqxModemDevice::BaudRateOfConnect() {
  ReadConfig();
  return m_BaudRateOfConnect;
}

quint32 TqxModemDevice::BaudRateMax() {
  ReadConfig();
  return m_BaudRateMax;
}

void TqxModemDevice::SetBaudRateMax(quint32 Value) {
  m_BaudRateMax = Value;
  WriteConfig();
}

TModemOptions TqxModemDevice::Options() {
  ReadConfig();
  return m_Options;
}

void TqxModemDevice::SetOptions(TModemOptions Value) {
  m_Options = Value;
  WriteConfig();
}

TModemOptions TqxModemDevice::OptionsOfConnect() {
  ReadConfig();
  return m_OptionsOfConnect;
}

TStreamProtocol TqxModemDevice::FlowControl() {
  ReadConfig();
  return m_FlowControl;
}

void TqxModemDevice::SetFlowControl(TStreamProtocol Value) {
  m_FlowControl = Value;
  WriteConfig();
}

TStreamProtocol TqxModemDevice::FlowControlOfConnect() {
  ReadConfig();
  return m_FlowControlOfConnect;
}
