// TqxCustomComm: the serial engine over a comm handle that a descendant supplies.
#pragma once

#include "framework/types.h"
#include "platform/wintypes.h"
#include "qx/qxbaseio.h"
#include "qx/qxcommthreads.h"
#include "qx/qxeventlist.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Configures the driver of the handle OpenDevice returns (queue sizes, time-outs, event mask,
// event character), runs an event thread and a message thread while open, receives data and comm
// events on the main thread (HandleCommEvent), sends with overlapped writes, reports line errors
// through CommError / OnCommError and mirrors CTS, DSR, carrier detect and ring onto monitor
// controls (any control with a "Checked" or Qt's "checked" property). The handle it gets is its
// own from then on: Close releases it.
//
// Threads: everything runs on the main thread except the two workers, which only wait, post and
// hand over. When the event thread finds the port dead it closes the handle at once and leaves the
// rest of the close (events, notifications, buffers) to the main thread.
class TqxCustomComm : public TqxBaseIO {
  Q_OBJECT
  Q_PROPERTY(QWidget* MonitorCTS READ MonitorCTS WRITE SetMonitorCTS)
  Q_PROPERTY(QWidget* MonitorDSR READ MonitorDSR WRITE SetMonitorDSR)
  Q_PROPERTY(QWidget* MonitorRLSD READ MonitorRLSD WRITE SetMonitorRLSD)
  Q_PROPERTY(QWidget* MonitorRing READ MonitorRing WRITE SetMonitorRing)
  Q_PROPERTY(bool EventListOnLine READ EventListOnLine WRITE SetEventListOnLine)
  Q_PROPERTY(TTraceStates TraceStates READ TraceStates WRITE SetTraceStates)
  Q_PROPERTY(TModemSignals ModemSignals READ GetModemSignals)
  Q_PROPERTY(char EventChar READ GetEventChar WRITE SetEventChar)
  Q_PROPERTY(quint16 BufferInSize READ GetBufferInSize WRITE SetBufferInSize)
  Q_PROPERTY(quint16 BufferOutSize READ GetBufferOutSize WRITE SetBufferOutSize)
  Q_PROPERTY(quint32 TimeoutRead READ TimeoutRead WRITE SetTimeoutRead)
  Q_PROPERTY(quint32 TimeoutWrite READ TimeoutWrite WRITE SetTimeoutWrite)

public:
  explicit TqxCustomComm(QObject* owner = nullptr);
  ~TqxCustomComm() override;

  // Closes a port that is open, then opens the device and sets it up; a device that cannot be
  // opened is a fatal error (code 1) with OpenErrorText as its message. So is an Open without a
  // Qt application object, whose event loop handles the port's events.
  void Open() override;
  void Close() override;
  void StartThread() override;
  void StopThread() override;
  // Waiting writes, bounded by the driver's write time-out, or without one by a line that takes
  // nothing for 5 s (ERROR_TIMEOUT); a failure goes to CommError(0, error).
  void SendChar(std::uint8_t Ch) override;
  void SendString(const QByteArray& S) override;
  // Does not wait; the data is copied, so the caller may reuse its buffer at once, and writes that
  // follow before it has gone out queue behind it in order. Its end shows as EV_TXEMPTY.
  void SendData(const char* Buffer, int Count) override;
  void PurgeInput() override;
  void PurgeOutput() override;
  // Both queues, then the handle's pending I/O is cancelled.
  void PurgeAll() override;

  virtual void GetDeviceName(QString& Name);
  // Queue sizes and time-outs from the stored values; descendants add their line settings.
  virtual void SetupDevice();
  virtual void SetEventChar(char Ch);
  virtual char GetEventChar();
  // A line error (CommCode from ClearCommError, SysError 0) or a failed write (CommCode 0): log
  // line, OnCommError, and with flFlashBuffers both queues purged.
  virtual void CommError(std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags State);

  // Closes the handle and its buffer; with StopEventThread also stops the event thread, purges
  // unsent output and releases the thread's wait first.
  void ClosePort(bool StopEventThread);
  // Sets the monitors from the modem lines, lights the ring monitor on tsRing, fires OnTraceState.
  void TraceNotify(TTraceStates States);
  // One comm event, on the main thread (the message thread hands it over).
  void HandleCommEvent(const MSG& Msg);
  // Bytes still in the driver's transmit queue; 0 when that cannot be read.
  std::uint32_t OutputQueueCount() override;
  // The driver's transmit queue size (BufferOutSize); 0 while closed.
  std::uint32_t OutputQueueSize() override;

  TTraceStates TraceStates() const { return m_TraceStates; }
  void SetTraceStates(TTraceStates Value);
  TModemSignals GetModemSignals();
  // While open: the driver's current queue sizes; closed: the stored ones.
  quint16 GetBufferInSize();
  void SetBufferInSize(quint16 Value);
  quint16 GetBufferOutSize();
  void SetBufferOutSize(quint16 Value);
  // Milliseconds per byte.
  quint32 TimeoutRead();
  void SetTimeoutRead(quint32 Value);
  quint32 TimeoutWrite();
  void SetTimeoutWrite(quint32 Value);
  void SetTimeouts(const COMMTIMEOUTS& Value);
  bool EventListOnLine() const { return m_EventListOnLine; }
  void SetEventListOnLine(bool Value) { m_EventListOnLine = Value; }
  TEventList& EventList() { return *m_EventList; }
  QString OpenErrorText() const { return m_OpenErrorText; }

  QWidget* MonitorCTS() const { return m_MonitorCTS; }
  void SetMonitorCTS(QWidget* Value) { SetMonitor(m_MonitorCTS, Value); }
  QWidget* MonitorDSR() const { return m_MonitorDSR; }
  void SetMonitorDSR(QWidget* Value) { SetMonitor(m_MonitorDSR, Value); }
  QWidget* MonitorRLSD() const { return m_MonitorRLSD; }
  void SetMonitorRLSD(QWidget* Value) { SetMonitor(m_MonitorRLSD, Value); }
  QWidget* MonitorRing() const { return m_MonitorRing; }
  void SetMonitorRing(QWidget* Value) { SetMonitor(m_MonitorRing, Value); }

  TOnListEvent OnListEvent;
  TOnReceived OnAfterReceive;
  TOnSent OnAfterSend;
  TOnTraceEvent OnTraceState;
  TOnCommErrorEvent OnCommError;

protected:
  void Notification(QObject* component, TOperation operation) override;

  // The cached device settings: RefreshState reads them from the driver while open, ApplyState
  // writes them back (false with the system error when the driver refuses them).
  void RefreshState();
  bool ApplyState();
  DCB& Dcb() { return m_CommConfig.dcb; }
  COMMCONFIG& CommConfig() { return m_CommConfig; }
  // Re-reads the driver's settings, puts back the event character set through EventChar (which
  // would otherwise be lost when it was set while closed), lets Adjust change them and writes them
  // back: how descendants apply their stored line settings at open. False with the system error
  // when the driver refuses them.
  bool UpdateState(const std::function<void(DCB&)>& Adjust);
  // Sets a monitor's "Checked" (or Qt's "checked"); a control without one is left alone.
  static void SetMonitorChecked(QWidget* Monitor, bool Value);

private:
  friend class TCommThread;

  // An asynchronous write with its own record and a copy of its bytes, kept until it completes.
  struct PendingWrite {
    OVERLAPPED overlapped{};
    QByteArray data;
  };

  void SetMonitor(QWidget*& monitor, QWidget* Value);
  // Writes on the WriteOverlap record and waits for the write, within the bounds of SendChar.
  bool WriteWaiting(const void* Buffer, DWORD Count);
  // Reads what is waiting (at most the receive buffer per read) and passes it on, chunk by chunk,
  // and then what arrived meanwhile, within a bound.
  void ReceiveData(std::uint32_t waiting);
  // Bytes in the input queue now; 0 when a line error came first (kept for the next event).
  std::uint32_t StillWaiting(HANDLE handle);
  // Hands Mask (and Flags, the event's lParam) to HandleCommEvent once the caller is back in the
  // event loop, if the port is still the one open now.
  void QueueCommEvent(DWORD Mask, LPARAM Flags = 0);
  void ReleasePendingWrites(bool all);
  // The event thread's close after a failed wait: the handle now, the rest on the main thread.
  void ClosePortFromEventThread(HANDLE handle);
  // Closes the handle only if it is still the current one; true when this call closed it.
  bool ReleaseHandle(HANDLE handle, bool onMainThread);
  // The close steps after the handle is gone, once per close: buffers, OnDeviceClosed,
  // NotifyClients(1).
  void FinishClosePort();
  // FinishClosePort when a close is owed; on the main thread, also as the event thread's queued call.
  Q_INVOKABLE void FinishPendingClose();
  // Ends threads left from a port that is no longer the current one.
  void ReleaseStaleThreads();

  std::unique_ptr<TMsgThread> m_MsgThread;
  std::unique_ptr<TCommThread> m_CommThread;
  COMSTAT m_ComStat{};
  COMMPROP m_CommProp{};
  COMMTIMEOUTS m_Timeouts{};
  QString m_OpenErrorText;
  std::unique_ptr<TEventList> m_EventList;
  TTraceStates m_TraceStates;
  bool m_EventListOnLine = false;
  quint16 m_BufferOutSize = 0;
  quint16 m_BufferInSize = 0;
  // Shared so that a handler closing the port cannot pull the chunk from under the reader.
  std::shared_ptr<std::vector<char>> m_ReceiveBuffer;
  bool m_Receiving = false;  // ReceiveData is running (an inner one reads into its own buffer)
  DWORD m_HeldErrors = 0;    // line errors OutputQueueCount took, for the next event to report
  QWidget* m_MonitorRLSD = nullptr;
  QWidget* m_MonitorRing = nullptr;
  QWidget* m_MonitorCTS = nullptr;
  QWidget* m_MonitorDSR = nullptr;
  COMMCONFIG m_CommConfig{};
  std::deque<std::unique_ptr<PendingWrite>> m_PendingWrites;
  // Signalled by each asynchronous write as it completes; the event thread watches it.
  HANDLE m_WritesDone = INVALID_HANDLE_VALUE;
  // Whoever takes the handle out (main thread or event thread) does so under this lock, so that
  // exactly one of them closes it and owes the rest of the close.
  std::mutex m_HandleMutex;
  std::atomic<bool> m_FinishPending{false};
};
