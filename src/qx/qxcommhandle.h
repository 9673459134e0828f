// TqxCommHandle: the serial engine on a comm handle made elsewhere.
#pragma once

#include "qx/qxcustomcomm.h"

#include <QString>

// Wraps an existing comm handle: one end of a virtual link, a device that another part of the
// program opened, or (device 0) the program's own standard input and output. A handle given with
// SetCommHandle belongs to this component from then on and is used by the next Open; once that
// port is closed, the handle is gone and a new one must be given.
class TqxCommHandle : public TqxCustomComm {
  Q_OBJECT

public:
  // The devices Devices lists.
  static constexpr int kStandardIO = 0;

  explicit TqxCommHandle(QObject* owner = nullptr);
  ~TqxCommHandle() override;

  // The handle given with SetCommHandle if any; else the standard input and output when
  // DeviceIndex selects them; else no device (ERROR_FILE_NOT_FOUND).
  HANDLE OpenDevice() override;
  void GetDeviceName(QString& Name) override;
  // Queue sizes and time-outs, and the event character kept while closed.
  void SetupDevice() override;
  int GetDeviceIndex() override { return m_DeviceIndex; }
  void SetDeviceIndex(int Index) override;
  void EnumDevices() override;

  // Takes Handle over for the next Open; a handle given before and not yet opened is closed.
  void SetCommHandle(HANDLE Handle);
  HANDLE CommHandle() const { return m_CommHandle; }

private:
  HANDLE m_CommHandle = INVALID_HANDLE_VALUE;
  int m_DeviceIndex = -1;
  QString m_OpenedName;
};
