// The comm functions of winapi.h: each finds the comm device behind the handle and asks it.
#include "platform/commdevice.h"
#include "platform/commdevices.h"
#include "platform/fddevice.h"
#include "platform/ttydevice.h"
#include "platform/winapi.h"

#include <unistd.h>

namespace {

template <class Call>
BOOL OnComm(HANDLE handle, Call call) {
  const auto device = platform::LookupHandleAs<platform::CommDevice>(handle);
  return device ? call(*device) : FALSE;
}

HANDLE Register(std::shared_ptr<platform::CommDevice> device) {
  if (!device) return INVALID_HANDLE_VALUE;
  const HANDLE handle = platform::RegisterHandle(device);
  if (handle == INVALID_HANDLE_VALUE) device->Close();
  return handle;
}

}  // namespace

namespace platform {

HANDLE OpenTtyDevice(const char* path) { return Register(TtyDevice::Open(path)); }

BOOL WatchCommInput(HANDLE handle, InputWatcher watcher) {
  return OnComm(handle, [&](auto& device) { return device.SetInputWatcher(std::move(watcher)); });
}

HANDLE CreateFdDevice(int readFd, int writeFd, bool ownFds) {
  if (readFd < 0 || writeFd < 0) {
    if (ownFds) {
      if (readFd >= 0) ::close(readFd);
      if (writeFd >= 0 && writeFd != readFd) ::close(writeFd);
    }
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  return Register(FdDevice::Create(readFd, writeFd, ownFds));
}

}  // namespace platform

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return OnComm(file, [&](auto& device) { return device.ClearCommError(errors, stat); });
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  return OnComm(file, [&](auto& device) { return device.GetCommState(dcb); });
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  return OnComm(file, [&](auto& device) { return device.SetCommState(dcb); });
}

BOOL GetCommConfig(HANDLE file, COMMCONFIG* config, DWORD* size) {
  return OnComm(file, [&](auto& device) { return device.GetCommConfig(config, size); });
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStatus) {
  return OnComm(file, [&](auto& device) { return device.GetCommModemStatus(modemStatus); });
}

BOOL GetCommProperties(HANDLE file, COMMPROP* prop) {
  return OnComm(file, [&](auto& device) { return device.GetCommProperties(prop); });
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  return OnComm(file, [&](auto& device) { return device.GetCommTimeouts(timeouts); });
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  return OnComm(file, [&](auto& device) { return device.SetCommTimeouts(timeouts); });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  return OnComm(file, [&](auto& device) { return device.PurgeComm(flags); });
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
  return OnComm(file, [&](auto& device) { return device.SetCommMask(mask); });
}

BOOL GetCommMask(HANDLE file, DWORD* mask) {
  return OnComm(file, [&](auto& device) { return device.GetCommMask(mask); });
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return OnComm(file, [&](auto& device) { return device.SetupComm(inQueue, outQueue); });
}

BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  return OnComm(file, [&](auto& device) { return device.WaitCommEvent(file, mask, overlapped); });
}
