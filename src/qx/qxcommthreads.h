// The two worker threads of an open comm port and the thread messages that link them.
#pragma once

#include "framework/thread.h"
#include "platform/wintypes.h"

#include <atomic>

class TqxCustomComm;

// Identifiers of the registered messages "qxCommMsgComEvent" (one comm event: wParam = the event
// mask; lParam = kCommWritesCompleted when asynchronous writes have completed) and
// "qxCommMsgQuitComEvent" (the message thread ends), registered on first use.
UINT qxCommMsgComEvent();
UINT qxCommMsgQuitComEvent();
constexpr LPARAM kCommWritesCompleted = 1;

// The message thread: takes each comm event posted to it and hands it to the main thread
// (TqxCustomComm::HandleCommEvent), waiting until it has been handled; events that queued up
// meanwhile go over together, as one event with their masks or-ed. Stop breaks that wait, so
// the thread always ends by itself. Its queue exists before its id is published.
class TMsgThread : public TThread {
public:
  // Handle: the port it serves; the thread leaves once Comm no longer has it open.
  TMsgThread(TqxCustomComm* Comm, HANDLE Handle);
  ~TMsgThread() override;

  // Asks the thread to end: terminate request, then the quit message.
  void Stop();
  // The thread's id for PostThreadMessage, 0 until its body has begun.
  DWORD ThreadId() const { return m_ThreadId.load(); }
  HANDLE Handle() const { return m_Handle; }

protected:
  void Execute() override;

private:
  TqxCustomComm* const m_Comm;
  const HANDLE m_Handle;
  std::atomic<DWORD> m_ThreadId{0};
  MSG m_Msg{};
};

// The event thread: waits for the driver's comm events on Handle and posts each event mask to the
// message thread, and tells it when asynchronous writes have completed. A wait that fails for good makes it close the port and stop the message thread.
// Told to stop, it cancels its pending wait before it ends, so the object may go while the port
// stays open.
class TCommThread : public TThread {
public:
  // WritesDone: the event the port's asynchronous writes signal as they complete.
  TCommThread(TqxCustomComm* Comm, HANDLE Handle, TMsgThread* MsgThread, HANDLE WritesDone);
  ~TCommThread() override;

  // Sets the terminate request and releases a wait in progress.
  void Stop();
  HANDLE Handle() const { return m_Handle; }

protected:
  void Execute() override;

private:
  void CancelWait();
  bool StillOpen() const;
  void PostEvent(DWORD Mask, LPARAM Flags = 0);
  // Waits for the pending comm event (a write completing meanwhile is posted); WAIT_OBJECT_0 once
  // it has completed, WAIT_TIMEOUT when told to stop.
  DWORD AwaitEvent();

  TqxCustomComm* const m_Comm;
  const HANDLE m_Handle;
  TMsgThread* const m_MsgThread;
  const HANDLE m_WritesDone;
  OVERLAPPED m_Overlapped{};  // its event: manual-reset, lives as long as this object
  DWORD m_Mask = 0;
};
