// TqxDeviceTAPI: one modem line of the telephony line component's device list.
#pragma once

#include "platform/tapi.h"
#include "qx/qxdevice.h"

#include <QString>

// A line device that could be opened and reports a "comm/datamodem" identifier: its telephony
// device identifier (list positions and identifiers may differ, since devices that fail are not
// listed), the names the library gives it, its wave devices (0 when none) and its capabilities.
class TqxDeviceTAPI : public TqxDevice {
public:
  int DeviceID = 0;
  QString ModemName;  // Name is the same text
  QString PortName;   // "???" when the library does not report one
  DWORD WaveInID = 0;
  DWORD WaveOutID = 0;
  DWORD BearerModes = 0;
  DWORD MediaModes = 0;
  LINEDEVCAPS DevCaps{};
};
