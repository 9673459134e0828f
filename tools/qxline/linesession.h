// One use of the telephony library by qxline: the usage handle, one open line and the line's
// messages, handed on as events on the main thread.
#pragma once

#include "platform/tapi.h"

#include <QString>

#include <functional>

class LineSession {
public:
  LineSession() = default;
  ~LineSession();
  LineSession(const LineSession&) = delete;
  LineSession& operator=(const LineSession&) = delete;

  // lineInitialize and the version; false with the reason.
  bool Start(QString& error);
  DWORD DeviceCount() const { return m_DeviceCount; }
  // Opens line device `device`; false with the reason.
  bool Open(DWORD device, DWORD privileges, QString& error);
  HLINE Line() const { return m_Line; }
  // The comm handle of the open line's data path (the caller closes it), or INVALID_HANDLE_VALUE.
  HANDLE CommHandle();
  // The caller ID (number and name) or called ID of a call, as "number (name)".
  QString CallerOf(HCALL call);
  DWORD RateOf(HCALL call);
  // The call's identifier, the same for every offering of one incoming call; 0 when unknown.
  DWORD CallIdOf(HCALL call);

  std::function<void(HCALL call, DWORD state, DWORD mode)> OnCallState;
  std::function<void(DWORD request, LONG result)> OnReply;

  // The text of a result code.
  static QString ErrorText(LONG code);

private:
  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);

  HLINEAPP m_App = 0;
  HLINE m_Line = 0;
  DWORD m_DeviceCount = 0;
  DWORD m_Version = 0;
};
