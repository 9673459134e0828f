#include "qx/qxcommthreads.h"

#include "platform/winapi.h"
#include "qx/qxcustomcomm.h"

#include <cstring>

namespace {

// How often a thread that waits re-checks its terminate request, so that no wait is unbounded.
constexpr DWORD kPollMs = 100;

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
  // The request comes before the post: a thread whose id is not out yet sees the request once it
  // has published its id, and one whose id is out has a queue that takes the post.
  Terminate();
  const DWORD id = ThreadId();
  if (id != 0) PostThreadMessage(id, qxCommMsgQuitComEvent(), 0, 0);
}

void TMsgThread::Execute() {
  if (m_Comm == nullptr) return;
  MSG probe{};
  PeekMessage(&probe, nullptr, WM_NULL, WM_NULL, PM_NOREMOVE);  // creates the queue
  m_ThreadId.store(GetCurrentThreadId());
  const UINT comEvent = qxCommMsgComEvent();
  const UINT quit = qxCommMsgQuitComEvent();
  while (!Terminated()) {
    const BOOL got = GetMessage(&m_Msg, nullptr, FIRST_REGISTERED_MESSAGE, MAXIMUM_REGISTERED_MESSAGE);
    if (got == 0 || got == -1) break;
    if (m_Comm->Handle() != m_Handle || Terminated() || m_Msg.message == quit) break;
    if (m_Msg.hwnd == nullptr && m_Msg.message == comEvent) {
      // Events that queued up while the main thread was busy go over with this one, their masks
      // or-ed: one hand-over for a burst. WM_QUIT, which every retrieval takes, ends the loop after.
      MSG msg = m_Msg;
      bool quit = false;
      MSG next{};
      while (!quit && PeekMessage(&next, nullptr, comEvent, comEvent, PM_REMOVE)) {
        if (next.message == comEvent) {
          msg.wParam |= next.wParam;
          msg.lParam |= next.lParam;
        } else {
          quit = true;
        }
      }
      // The port opens only under an application object, whose thread handles every event.
      TqxCustomComm* const comm = m_Comm;
      Synchronize([comm, msg] { comm->HandleCommEvent(msg); });
      if (quit) break;
    } else {
      DispatchMessage(&m_Msg);
    }
  }
}

TCommThread::TCommThread(TqxCustomComm* Comm, HANDLE Handle, TMsgThread* MsgThread, HANDLE WritesDone)
    : m_Comm(Comm), m_Handle(Handle), m_MsgThread(MsgThread), m_WritesDone(WritesDone) {
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

void TCommThread::CancelWait() {
  // The pending wait would write m_Mask and m_Overlapped when it completes, perhaps after this
  // object is gone; once cancelled (or completed, or ended by a close) it no longer can.
  CancelIoEx(m_Handle, &m_Overlapped);
  DWORD ignored = 0;
  GetOverlappedResult(m_Handle, &m_Overlapped, &ignored, TRUE);
}

bool TCommThread::StillOpen() const { return m_Comm->Handle() == m_Handle; }

void TCommThread::PostEvent(DWORD Mask, LPARAM Flags) {
  const UINT comEvent = qxCommMsgComEvent();
  while (!Terminated() && StillOpen()) {
    const DWORD id = m_MsgThread != nullptr ? m_MsgThread->ThreadId() : 0;
    if (id != 0 && PostThreadMessage(id, comEvent, Mask, Flags)) return;
    Sleep(1);
  }
}

DWORD TCommThread::AwaitEvent() {
  const HANDLE events[] = {m_Overlapped.hEvent, m_WritesDone};
  const DWORD count = m_WritesDone != INVALID_HANDLE_VALUE ? 2 : 1;
  for (;;) {
    const DWORD waited = WaitForMultipleObjects(count, events, FALSE, kPollMs);
    if (waited == WAIT_OBJECT_0 + 1) {
      // The queue has room again: whoever keeps it fed hears of it while the comm wait goes on.
      PostEvent(0, kCommWritesCompleted);
      continue;
    }
    if (waited == WAIT_TIMEOUT && !Terminated()) continue;
    return Terminated() ? WAIT_TIMEOUT : waited;
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
          const DWORD waited = AwaitEvent();
          if (Terminated()) {
            CancelWait();
            break;
          }
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
