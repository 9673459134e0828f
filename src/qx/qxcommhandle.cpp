#include "qx/qxcommhandle.h"

#include "framework/format.h"
#include "platform/commdevices.h"
#include "platform/winapi.h"

#include <unistd.h>

#include <utility>

namespace {

const QString kStandardIOName = QStringLiteral("Standard input and output");

}  // namespace

TqxCommHandle::TqxCommHandle(QObject* owner) : TqxCustomComm(owner) {}

TqxCommHandle::~TqxCommHandle() {
  if (m_CommHandle != INVALID_HANDLE_VALUE) CloseHandle(m_CommHandle);
}

HANDLE TqxCommHandle::OpenDevice() {
  if (m_CommHandle != INVALID_HANDLE_VALUE) {
    m_OpenedName = Format(QStringLiteral("Comm handle %Xh"), {m_CommHandle});
    return std::exchange(m_CommHandle, INVALID_HANDLE_VALUE);
  }
  if (m_DeviceIndex == kStandardIO) {
    m_OpenedName = kStandardIOName;
    return platform::CreateFdDevice(STDIN_FILENO, STDOUT_FILENO, false);
  }
  m_OpenedName.clear();
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

void TqxCommHandle::GetDeviceName(QString& Name) {
  if (!m_OpenedName.isEmpty())
    Name = m_OpenedName;
  else if (m_CommHandle != INVALID_HANDLE_VALUE)
    Name = Format(QStringLiteral("Comm handle %Xh"), {m_CommHandle});
  else if (m_DeviceIndex == kStandardIO)
    Name = kStandardIOName;
  else
    TqxCustomComm::GetDeviceName(Name);
}

void TqxCommHandle::SetupDevice() {
  TqxCustomComm::SetupDevice();
  UpdateState([](DCB&) {});
}

void TqxCommHandle::SetDeviceIndex(int Index) {
  m_DeviceIndex = Index;
  TqxCustomComm::SetDeviceIndex(Index);
}

void TqxCommHandle::EnumDevices() {
  ClearDevices();
  auto* device = new TqxDevice;
  device->Name = kStandardIOName;
  AddDevice(device);
}

void TqxCommHandle::SetCommHandle(HANDLE Handle) {
  if (m_CommHandle != INVALID_HANDLE_VALUE && m_CommHandle != Handle) CloseHandle(m_CommHandle);
  m_CommHandle = Handle;
}
