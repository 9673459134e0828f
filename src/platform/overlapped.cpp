// ReadFile, WriteFile and the completion side of overlapped requests, for every kind of handle.
#include "platform/commdevice.h"
#include "platform/event.h"
#include "platform/winapi.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// CloseHandle takes the handle out of the table before the device completes its requests, so a
// record may still be pending for a moment after its handle has gone. Waits (bounded) until it is
// not, so that a caller told ERROR_INVALID_HANDLE may reuse or free the record at once.
void SettleRecord(OVERLAPPED* overlapped) {
  if (!overlapped) return;
  std::atomic_ref<ULONG_PTR> status(overlapped->Internal);
  const auto event = platform::EventFromHandle(overlapped->hEvent);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (status.load(std::memory_order_acquire) == platform::kIoPending && std::chrono::steady_clock::now() < end) {
    if (event) event->Wait(10);
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
  const auto object = platform::LookupHandle(file);
  if (!object) {
    if (read) *read = 0;
    return FALSE;
  }
  return object->Read(file, buffer, toRead, read, overlapped);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
  const auto object = platform::LookupHandle(file);
  if (!object) {
    if (written) *written = 0;
    return FALSE;
  }
  return object->Write(file, buffer, toWrite, written, overlapped);
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  const auto object = platform::LookupHandle(file);
  if (!object) {
    SettleRecord(overlapped);
    return platform::Fail(ERROR_INVALID_HANDLE);
  }
  if (!overlapped) return platform::Fail(ERROR_INVALID_PARAMETER);
  // A comm device knows its own requests, so the wait does not depend on the record's event
  // (which another waiter may have consumed, or which may be 0).
  if (const auto device = std::dynamic_pointer_cast<platform::CommDevice>(object)) {
    if (!device->AwaitCompletion(overlapped, wait != FALSE)) return platform::Fail(ERROR_IO_INCOMPLETE);
  }
  std::atomic_ref<ULONG_PTR> status(overlapped->Internal);
  if (status.load(std::memory_order_acquire) == platform::kIoPending) {
    if (!wait) return platform::Fail(ERROR_IO_INCOMPLETE);
    const auto event = platform::EventFromHandle(overlapped->hEvent);
    if (!event) return platform::Fail(ERROR_INVALID_PARAMETER);  // nothing to wait on
    while (status.load(std::memory_order_acquire) == platform::kIoPending) event->Wait(INFINITE);
  }
  const DWORD error = status.load(std::memory_order_acquire);
  if (transferred) *transferred = std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load(std::memory_order_relaxed);
  return error == ERROR_SUCCESS ? TRUE : platform::Fail(error);
}

BOOL CancelIo(HANDLE file) {
  const auto object = platform::LookupHandle(file);
  if (!object) return FALSE;
  // Requests on other kinds of handles complete before their call returns; nothing to cancel.
  if (const auto device = std::dynamic_pointer_cast<platform::CommDevice>(object)) return device->CancelIo(file);
  return TRUE;
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  if (!overlapped) return CancelIo(file);
  const auto object = platform::LookupHandle(file);
  if (!object) return FALSE;
  if (const auto device = std::dynamic_pointer_cast<platform::CommDevice>(object)) return device->CancelRequest(file, overlapped);
  return platform::Fail(ERROR_NOT_FOUND);
}
