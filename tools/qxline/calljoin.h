// Joins a call's comm handle to a pair of file descriptors (standard input and output, or a
// command's pipes): what arrives on the input goes out on the call, what arrives on the call
// goes to the output. Two threads, one per direction.
#pragma once

#include "platform/wintypes.h"

#include <atomic>
#include <functional>
#include <thread>

class CallJoin {
public:
  // inputEnded runs (on the input thread) once the input has ended and all of it was written to
  // the call and has left the handle's queue.
  CallJoin(HANDLE comm, int inputFd, int outputFd, std::function<void()> inputEnded);
  // Stops both threads and closes the comm handle.
  ~CallJoin();
  CallJoin(const CallJoin&) = delete;
  CallJoin& operator=(const CallJoin&) = delete;

  // The far end hung up: what the call still holds goes to the output, then the output thread ends.
  void FinishOutput();
  // This side hangs up: nothing more is read from the call (on an AT modem the modem's answers to
  // the hang-up arrive on the same port, and are the line service's).
  void StopOutput();

private:
  void CopyInput();
  void CopyOutput();

  const HANDLE m_Comm;
  const int m_InputFd;
  const int m_OutputFd;
  const std::function<void()> m_InputEnded;
  std::atomic<bool> m_Stop{false};
  std::atomic<bool> m_Finish{false};
  std::atomic<bool> m_StopOutput{false};
  std::thread m_Input;
  std::thread m_Output;
};
