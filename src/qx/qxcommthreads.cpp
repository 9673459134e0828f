#include "qx/qxcommthreads.h"

#include "platform/winapi.h"
#include "qx/qxcustomcomm.h"

#include <QCoreApplication>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// How often a thread that waits re-checks its terminate request, so that no wait is unbounded.
constexpr DWORD kPollMs = 100;
// How long Stop keeps trying to deliver the quit message to a thread whose queue is not there yet.
constexpr auto kQuitPostBound = std::chrono::milliseconds(1000);

}  // namespace

UINT qxCommMsgComEvent() {
  static const UINT id = RegisterWindowMessage("qxCommMsgComEvent");
  return id;
}

UINT qxCommMsgQuitComEvent() {
  static const UINT id = RegisterWindowMessage("qxCommMsgQuitComEvent");
  return id;
}

TMsgThread::TMsgThread(TqxCustomComm* Comm, HANDLE Handle) : m_Comm(Comm), m_Handle(Handle) { Start(); }

TMsgThread::~TMsgThread() {
  Stop();
  WaitFor();
}

void TMsgThread::Stop() {
  Terminate();
  // The queue exists only once the thread has asked for its first message; until then the post
  // fails and is retried, unless the thread ends first.
  const auto end = std::chrono::steady_clock::now() + kQuitPostBound;
  while (!Finished() && !PostQuit() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool TMsgThread::PostQuit() {
  const DWORD id = ThreadId();
  return id != 0 && PostThreadMessage(id, qxCommMsgQuitComEvent(), 0, 0);
}

void TMsgThread::Execute() {
  if (m_Comm == nullptr) return;
  m_ThreadId.store(GetCurrentThreadId());
  const UINT comEvent = qxCommMsgComEvent();
  const UINT quit = qxCommMsgQuitComEvent();
  while (!Terminated()) {
    const BOOL got = GetMessage(&m_Msg, nullptr, FIRST_REGISTERED_MESSAGE, MAXIMUM_REGISTERED_MESSAGE);
    if (got == 0 || got == -1) break;
    if (m_Comm->Handle() != m_Handle || Terminated() || m_Msg.message == quit) break;
    if (m_Msg.hwnd == nullptr && m_Msg.message == comEvent) {
      TqxCustomComm* const comm = m_Comm;
      const MSG msg = m_Msg;
      if (QCoreApplication::instance() != nullptr)
        Synchronize([comm, msg] { comm->HandleCommEvent(msg); });
      else
        comm->HandleCommEvent(msg);
    } else {
      DispatchMessage(&m_Msg);
    }
  }
}

TCommThread::TCommThread(TqxCustomComm* Comm, HANDLE Handle, TMsgThread* MsgThread)
    : m_Comm(Comm), m_Handle(Handle), m_MsgThread(MsgThread) {
  m_Overlapped.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  Start();
}

TCommThread::~TCommThread() {
  Stop();
  WaitFor();
  CloseHandle(m_Overlapped.hEvent);
}

void TCommThread::Stop() {
  Terminate();
  PulseEvent(m_Overlapped.hEvent);
}

bool TCommThread::StillOpen() const { return m_Comm->Handle() == m_Handle; }

void TCommThread::PostEvent(DWORD Mask) {
  const UINT comEvent = qxCommMsgComEvent();
  while (!Terminated() && StillOpen()) {
    const DWORD id = m_MsgThread != nullptr ? m_MsgThread->ThreadId() : 0;
    if (id != 0 && PostThreadMessage(id, comEvent, Mask, 0)) return;
    Sleep(1);
  }
}

void TCommThread::Execute() {
  if (m_Handle != INVALID_HANDLE_VALUE) {
    do {
      std::memset(&m_Overlapped, 0, offsetof(OVERLAPPED, hEvent));
      m_Mask = 0;
      DWORD mask = 0;
      if (WaitCommEvent(m_Handle, &m_Mask, &m_Overlapped)) {
        mask = m_Mask;
      } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
          DWORD waited;
          do {
            waited = WaitForSingleObject(m_Overlapped.hEvent, kPollMs);
          } while (waited == WAIT_TIMEOUT && !Terminated());
          if (Terminated()) break;
          // The completed wait has written the mask.
          mask = waited == WAIT_OBJECT_0 ? m_Mask : 0;
        } else if (error == ERROR_INVALID_PARAMETER && m_Mask == 0) {
          // No event mask yet: Open writes it right after starting this thread.
          Sleep(1);
        } else if (error == ERROR_INVALID_HANDLE) {
          break;
        } else {
          m_Comm->ClosePortFromEventThread(m_Handle);
          break;
        }
      }
      if (mask != 0) PostEvent(mask);
    } while (!Terminated() && StillOpen());
  }
  if (m_MsgThread != nullptr) m_MsgThread->Stop();
}
