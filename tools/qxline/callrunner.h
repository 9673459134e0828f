// Runs one qxline call command: dialing a number, or waiting for calls and answering them, with
// the call joined to standard input and output or to a command.
#pragma once

#include "calljoin.h"
#include "lineoptions.h"
#include "linesession.h"

#include <memory>
#include <sys/types.h>

class MainThreadCall;
class QTimer;

class CallRunner {
public:
  CallRunner(LineSession& session, const LineOptions& options);
  ~CallRunner();

  // Both run the event loop until they are done; the program's exit code.
  int Dial(DWORD device);
  int Answer(DWORD device);

private:
  void OnCallState(HCALL call, DWORD state, DWORD mode);
  void Offered(HCALL call);
  void Connected(HCALL call);
  void Disconnected(DWORD mode);
  // Ends the call from this side once the joined input has ended.
  void HangUp();
  // The call is over on both sides: release it, then quit or wait for the next call.
  void CallOver();
  bool StartCommand(int& input, int& output);
  void AwaitCommand();

  LineSession& m_Session;
  const LineOptions m_Options;
  const std::unique_ptr<MainThreadCall> m_HangUpCall;  // HangUp on the main thread, asked for by the join
  bool m_Answering = false;
  HCALL m_Call = 0;
  int m_Rings = 0;
  DWORD m_RingingCall = 0;  // the call identifier the rings are counted for
  bool m_Connected = false;
  bool m_EverConnected = false;
  bool m_HangingUp = false;
  int m_ExitCode = 0;
  pid_t m_Command = -1;
  std::unique_ptr<CallJoin> m_Join;
  QTimer* m_CommandWatch = nullptr;
};
