// TqxCommTAPI: the device list, the device selection, the configuration dialog and the device
// configurations stored in the registry.
#include "framework/format.h"
#include "platform/winapi.h"
#include "qx/qxcommtapicomponent.h"
#include "qx/qxregistry.h"
#include "qx/qxtapi.h"
#include "qx/qxtapibuffer.h"
#include "qx/qxwin32.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>


namespace {

constexpr DWORD kIdSize = 283;
constexpr DWORD kDevCapsSize = sizeof(LINEDEVCAPS);
// The stored configuration: the device index byte, then the VARSTRING answer of lineGetDevConfig.
constexpr DWORD kStoredSize = 2048;
constexpr DWORD kConfigSize = kStoredSize - 1;
constexpr DWORD kVarStringSize = sizeof(VARSTRING);

// A lineGetID answer of the device's open line; false when the request fails.
bool LineId(HLINE Line, const char* DeviceClass, TapiBuffer& Id) {
  Id.SetField(offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_BINARY);
  return qxtapi::lineGetID(Line, 0, 0, LINECALLSELECT_LINE, Id.As<VARSTRING>(), DeviceClass) == 0;
}

DWORD StringOffset(const TapiBuffer& Id) { return Id.Field(offsetof(VARSTRING, dwStringOffset)); }
DWORD StringSize(const TapiBuffer& Id) { return Id.Field(offsetof(VARSTRING, dwStringSize)); }

// The first (Index 0) or second 32-bit value of a binary answer.
bool IdValue(const TapiBuffer& Id, DWORD Index, DWORD& Value) {
  const DWORD at = StringOffset(Id) + Index * 4;
  if (StringSize(Id) < (Index + 1) * 4 || !Id.Holds(at, 4)) return false;
  Value = Id.Field(at);
  return true;
}

// The device's configuration block as lineGetDevConfig gives it, in a VARSTRING.
LONG ReadDevConfig(int DeviceID, TapiBuffer& Config) {
  Config.SetField(offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_BINARY);
  return qxtapi::lineGetDevConfig(static_cast<DWORD>(DeviceID), Config.As<VARSTRING>(), "comm/datamodem");
}

}  // namespace

void TqxCommTAPI::EnumDevices() {
  ClearDevices();
  const TapiUse use(*this);
  if (m_LineApp == 0) return;
  for (DWORD i = 0; i < m_NumDevices; ++i) {
    // Each device is probed on a line of its own: the component's line and call stay as they are.
    HLINE probe = 0;
    m_LastResult = qxtapi::lineOpen(m_LineApp, i, &probe, m_APIVersion, 0, reinterpret_cast<DWORD_PTR>(this),
                            LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr);
    if (m_LastResult < 0) continue;
    QString modemName;
    const HANDLE comm = LineCommHandle(probe, &modemName);
    if (comm == INVALID_HANDLE_VALUE) {
      qxtapi::lineClose(probe);
      continue;
    }
    // The listing has no use for the comm handle that comes with the name.
    CloseHandle(comm);
    auto device = std::make_unique<TqxDeviceTAPI>();
    device->ModemName = modemName;
    device->DeviceID = static_cast<int>(i);
    TapiBuffer port(kIdSize);
    device->PortName = LineId(probe, "comm/datamodem/portname", port)
                           ? port.Text(StringOffset(port), StringSize(port))
                           : QStringLiteral("???");
    TapiBuffer wave(kIdSize);
    if (LineId(probe, "wave/in/out", wave) && IdValue(wave, 0, device->WaveInID)) {
      IdValue(wave, 1, device->WaveOutID);
    } else {
      TapiBuffer waveOut(kIdSize);
      if (LineId(probe, "wave/out", waveOut)) IdValue(waveOut, 0, device->WaveOutID);
      TapiBuffer waveIn(kIdSize);
      if (LineId(probe, "wave/in", waveIn)) IdValue(waveIn, 0, device->WaveInID);
    }
    device->DevCaps.dwTotalSize = kDevCapsSize;
    qxtapi::lineGetDevCaps(m_LineApp, i, m_APIVersion, 0, &device->DevCaps);
    device->BearerModes = device->DevCaps.dwBearerModes;
    device->MediaModes = device->DevCaps.dwMediaModes;
    device->Name = device->ModemName;
    AddDevice(device.release());
    qxtapi::lineClose(probe);
  }
}

void TqxCommTAPI::DevicesChanged() {
  EnumDevices();
  TqxCustomComm::DevicesChanged();
}

int TqxCommTAPI::GetDeviceIndex() { return m_DeviceIndex; }

void TqxCommTAPI::SetDeviceIndex(int Value) {
  if (DeviceCount() == 0) {
    m_DeviceIndex = -1;
  } else {
    m_DeviceIndex = std::min(Value, DeviceCount() - 1);
    const TapiUse use(*this);
    m_DeviceModem->SelectDevice(CurrentDeviceID());
    m_DeviceModem->ReadConfig();
  }
  TqxCustomComm::SetDeviceIndex(Value);
}

void TqxCommTAPI::SetDeviceModem(TqxModemDevice* Value) { m_DeviceModem->Assign(Value); }

void TqxCommTAPI::ConfigDialog() {
  const TapiUse use(*this);
  m_DeviceModem->SelectDevice(CurrentDeviceID());
  m_DeviceModem->WriteConfig();
  qxtapi::lineConfigDialog(static_cast<DWORD>(CurrentDeviceID()), ForegroundWindow(), "comm/datamodem");
  m_DeviceModem->ReadConfig();
}

void TqxCommTAPI::SaveConfig(HKEY RootKey, const QString& Key, const QString& ValueName) {
  const TapiUse use(*this);
  if (SelectedDevice() == nullptr) {
    ReportTapiError(8, QStringLiteral("Save config Error Device"));
    return;
  }
  TapiBuffer config(kConfigSize);
  // An answer that did not fit the buffer cannot be stored whole.
  const bool read = ReadDevConfig(CurrentDeviceID(), config) >= 0;
  const DWORD needed = config.Field(offsetof(VARSTRING, dwNeededSize));
  if (!read || needed > kConfigSize) {
    ReportTapiError(9, QStringLiteral("Save config Error Device"));
    return;
  }
  QByteArray stored(1, static_cast<char>(m_DeviceIndex & 0xFF));
  stored.append(config.Bytes(), needed);
  ScopedRegKey key;
  LONG error = key.Create(RootKey, Key, KEY_WRITE) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  if (error == ERROR_SUCCESS)
    error = RegSetValueExA(key.Get(), ValueName.toLatin1().constData(), 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>(stored.constData()), static_cast<DWORD>(stored.size()));
  if (error != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(error));
    ReportTapiError(9, Format(QStringLiteral("Save config Error Device\rThe registry value \"%s\" cannot be written: %s"),
                              {ValueName, SystemErrorText()}));
  }
}

void TqxCommTAPI::LoadConfig(HKEY RootKey, const QString& Key, const QString& ValueName, bool KeepDeviceIndex) {
  const TapiUse use(*this);
  if (SelectedDevice() == nullptr) {
    ReportTapiError(5, QStringLiteral("Load config Error Device Not Found"));
    return;
  }
  ScopedRegKey key;
  if (!key.Create(RootKey, Key, KEY_READ)) return;
  const QByteArray name = ValueName.toLatin1();
  DWORD storedSize = 0;
  if (RegQueryValueExA(key.Get(), name.constData(), nullptr, nullptr, nullptr, &storedSize) != ERROR_SUCCESS) return;
  TapiBuffer config(kConfigSize);
  const QString fault = QStringLiteral("Load config Error Device");
  if (ReadDevConfig(CurrentDeviceID(), config) < 0) {
    ReportTapiError(6, fault);
    return;
  }
  // The stored value must fit the buffer and the device's configuration, and hold the block it
  // announces: nothing is read past what was stored.
  const DWORD fits = std::min(kStoredSize, 1 + config.Field(offsetof(VARSTRING, dwNeededSize)));
  QByteArray stored(static_cast<qsizetype>(std::max(storedSize, DWORD{1})), '\0');
  DWORD readSize = storedSize;
  DWORD blockSize = 0;
  DWORD blockOffset = 0;
  bool usable = storedSize <= fits && storedSize >= 1 + kVarStringSize &&
                RegQueryValueExA(key.Get(), name.constData(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(stored.data()), &readSize) == ERROR_SUCCESS;
  if (usable) {
    std::memcpy(&blockSize, stored.constData() + 1 + offsetof(VARSTRING, dwStringSize), sizeof blockSize);
    std::memcpy(&blockOffset, stored.constData() + 1 + offsetof(VARSTRING, dwStringOffset), sizeof blockOffset);
    usable = blockOffset == kVarStringSize && blockSize <= readSize - 1 - kVarStringSize;
  }
  if (!usable) {
    ReportTapiError(6, fault);
    return;
  }
  if (!KeepDeviceIndex) SetDeviceIndex(static_cast<std::uint8_t>(stored[0]));
  // Like SaveConfig, this leaves LastResult alone: reports show the previous request's code.
  if (qxtapi::lineSetDevConfig(static_cast<DWORD>(CurrentDeviceID()), stored.constData() + 1 + kVarStringSize, blockSize,
                       "comm/datamodem") < 0)
    ReportTapiError(7, fault);
}
