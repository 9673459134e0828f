#include "qx/qxcommport.h"

#include "framework/format.h"
#include "framework/serialdevices.h"
#include "platform/commdevices.h"
#include "platform/winapi.h"
#include "qx/qxwin32.h"

#include <QDir>

TqxCommPort::TqxCommPort(QObject* owner) : TqxCustomComm(owner) {}

TqxCommPort::~TqxCommPort() = default;

HANDLE TqxCommPort::OpenDevice() {
  if (m_Port.isEmpty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return platform::OpenTtyDevice(QFile::encodeName(m_Port).constData());
}

void TqxCommPort::GetDeviceName(QString& Name) {
  if (m_Port.isEmpty())
    TqxCustomComm::GetDeviceName(Name);
  else
    Name = m_Port;
}

void TqxCommPort::SetupDevice() {
  TqxCustomComm::SetupDevice();
  if (!ApplyLineSettings()) SetupFailed();
}

void TqxCommPort::SetupFailed() {
  const DWORD error = GetLastError();
  QString name;
  GetDeviceName(name);
  SetLastError(error);
  const QString text = Format(QStringLiteral("Device \"%s\" Setup Error !!!\r%s"), {name, SystemErrorText()});
  Close();
  FatalError(1, error, false, text);
}

bool TqxCommPort::ApplyLineSettings() {
  return UpdateState([this](DCB& dcb) {
    dcb.BaudRate = m_BaudRate;
    dcb.ByteSize = m_ByteSize;
    dcb.Parity = static_cast<BYTE>(m_Parity);
    dcb.StopBits = static_cast<BYTE>(m_StopBits);
    dcb.fBinary = 1;
    dcb.fParity = m_Parity != paNone ? 1 : 0;
    dcb.fOutxCtsFlow = m_FlowControl == spHardware ? 1 : 0;
    dcb.fRtsControl = m_FlowControl == spHardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = m_FlowControl == spXonXoff ? 1 : 0;
    dcb.fInX = m_FlowControl == spXonXoff ? 1 : 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  });
}

void TqxCommPort::LineSettingsChanged() {
  if (IsOpen() && !ApplyLineSettings()) SetupFailed();
}

void TqxCommPort::SetBaudRate(quint32 Value) {
  m_BaudRate = Value;
  LineSettingsChanged();
}

void TqxCommPort::SetByteSize(quint8 Value) {
  m_ByteSize = Value;
  LineSettingsChanged();
}

void TqxCommPort::SetParity(TParity Value) {
  m_Parity = Value;
  LineSettingsChanged();
}

void TqxCommPort::SetStopBits(TStopBits Value) {
  m_StopBits = Value;
  LineSettingsChanged();
}

void TqxCommPort::SetFlowControl(TStreamProtocol Value) {
  m_FlowControl = Value;
  LineSettingsChanged();
}

int TqxCommPort::GetDeviceIndex() {
  if (DeviceCount() == 0) EnumDevices();
  for (int i = 0; i < DeviceCount(); ++i)
    if (Device(i)->Name == m_Port) return i;
  return -1;
}

void TqxCommPort::SetDeviceIndex(int Index) {
  if (DeviceCount() == 0) EnumDevices();
  if (Index >= 0 && Index < DeviceCount()) m_Port = Device(Index)->Name;
  TqxCustomComm::SetDeviceIndex(Index);
}

void TqxCommPort::EnumDevices() {
  ClearDevices();
  const QDir folder(m_DeviceFolder);
  for (const QString& name : SerialDeviceNames(m_DeviceFolder)) {
    auto* device = new TqxDevice;
    device->Name = folder.filePath(name);
    AddDevice(device);
  }
}

void TqxCommPort::DevicesChanged() {
  EnumDevices();
  TqxCustomComm::DevicesChanged();
}
