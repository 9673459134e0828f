#include "qx/qxcustomcomm.h"

#include "framework/exception.h"
#include "framework/format.h"
#include "platform/winapi.h"
#include "qx/qxwin32.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMetaProperty>
#include <QScopedValueRollback>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace {

constexpr DWORD kCommConfigSize = sizeof(COMMCONFIG);
constexpr DWORD kDcbSize = sizeof(DCB);
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
constexpr DWORD kPurgeAll = kPurgeInput | kPurgeOutput;
// A message thread that is told to stop ends within this (its hand-over wait is broken at once).
constexpr auto kMsgThreadBound = std::chrono::milliseconds(1000);
// A waiting write that the line stops taking is given up after this long without progress (or
// after the driver's own time-out for it, when that is longer).
constexpr auto kWriteStallBound = std::chrono::milliseconds(5000);
constexpr DWORD kWriteWaitStepMs = 50;
// Most bytes one hand-over reads beyond those waiting when it began.
constexpr std::uint64_t kReadPerEvent = 256 * 1024;

// The driver's event bit of a trace state: the ordinal up to tsRing, one higher from tsRx80Full on
// (EV_PERR has no trace state).
DWORD EventBit(TTraceState state) {
  const unsigned ordinal = state;
  return DWORD{1} << (state <= tsRing ? ordinal : ordinal + 1);
}

constexpr TTraceState kAllStates[] = {tsRxChar, tsRxFlag, tsTxEmpty, tsCTS,   tsDSR,      tsRLSD,
                                      tsBreak,  tsErr,    tsRing,    tsRx80Full, tsEvent1, tsEvent2};

DWORD EventMaskOf(TTraceStates states) {
  DWORD mask = EV_RXCHAR;
  for (const TTraceState state : kAllStates)
    if (states.Contains(state)) mask |= EventBit(state);
  return mask;
}

TTraceStates TraceStatesOf(DWORD mask) {
  TTraceStates states;
  for (const TTraceState state : kAllStates)
    if ((mask & EventBit(state)) != 0) states.Include(state);
  return states;
}

// Sets a monitor's "Checked" (or Qt's "checked") property; a control without one is left alone.
void SetChecked(QObject* monitor, bool value) {
  if (monitor == nullptr) return;
  const QMetaObject* const meta = monitor->metaObject();
  int index = meta->indexOfProperty("Checked");
  if (index < 0) index = meta->indexOfProperty("checked");
  if (index < 0) return;
  const QMetaProperty property = meta->property(index);
  if (property.isWritable()) property.write(monitor, value);
}

// The status byte of a COMSTAT record: its hold bits, as TComStateFlags stores them.
TComStateFlags StateFlagsOf(const COMSTAT& stat) {
  std::uint8_t bits = 0;
  std::memcpy(&bits, &stat, 1);
  return TComStateFlags::FromBits(static_cast<std::uint8_t>(bits & 0x7F));
}

}  // namespace

TqxCustomComm::TqxCustomComm(QObject* owner) : TqxBaseIO(owner), m_EventList(std::make_unique<TEventList>()) {
  // Registered before any port runs, so that the threads never race to register them.
  qxCommMsgComEvent();
  qxCommMsgQuitComEvent();
  m_Timeouts.WriteTotalTimeoutMultiplier = 100;
  m_CommConfig.dwSize = kCommConfigSize;
  m_CommConfig.dcb.DCBlength = kDcbSize;
  m_WritesDone = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  SetBufferInSize(4096);
  SetBufferOutSize(4096);
}

TqxCustomComm::~TqxCustomComm() {
  SetDataProcessor(nullptr);
  OnTraceState = nullptr;
  try {
    Close();
  } catch (...) {
    // A destructor must not raise; the port is closed all the same.
    TqxBaseIO::Close();
  }
  StopThread();
  SetTerminal(nullptr);
  CloseHandle(m_WritesDone);
}

void TqxCustomComm::Open() {
  Close();
  ReleaseStaleThreads();
  // Every event is handed over to the application's thread; without one there is no thread to
  // hand it to, and handling it on a worker would race the caller.
  if (QCoreApplication::instance() == nullptr) {
    m_OpenErrorText = QStringLiteral("The port cannot be opened without an application object: "
                                     "its events are handled in the application's event loop.");
    FatalError(1, 0, false, m_OpenErrorText);
    return;
  }
  TqxBaseIO::Open();
  if (!IsOpen()) {
    const DWORD error = GetLastError();
    QString name;
    GetDeviceName(name);
    SetLastError(error);
    m_OpenErrorText = Format(QStringLiteral("Device \"%s\" Open Error !!!\r%s"), {name, SystemErrorText()});
    FatalError(1, 0, false, m_OpenErrorText);
    return;
  }
  const quint16 size = GetBufferInSize();
  m_ReceiveBuffer = std::make_shared<std::vector<char>>(std::max<std::size_t>(size, 1), 0);
  m_EventList->EnsureBuffer(size);
  QString name;
  GetDeviceName(name);
  LogFormat(dlSimple, QStringLiteral("The port %s succesful opened"), {name});
  StartThread();
  SetupDevice();
  SetTraceStates(m_TraceStates);
  TraceNotify({tsTxEmpty});
  NotifyClients(2);
  // Bytes that arrived before the event mask was written raise no event of their own: hand them
  // over as one reception once the caller is back in the event loop.
  QueueCommEvent(EV_RXCHAR);
}

void TqxCustomComm::QueueCommEvent(DWORD Mask, LPARAM Flags) {
  const HANDLE handle = Handle();
  QMetaObject::invokeMethod(
      this,
      [this, handle, Mask, Flags] {
        if (Handle() != handle) return;
        MSG event{};
        event.message = qxCommMsgComEvent();
        event.wParam = Mask;
        event.lParam = Flags;
        HandleCommEvent(event);
      },
      Qt::QueuedConnection);
}

void TqxCustomComm::Close() {
  if (IsOpen() || m_FinishPending.load()) {
    try {
      ClosePort(true);
      StopThread();
      LogMessage(dlSimple, QStringLiteral("The port is succesful closed"));
    } catch (...) {
      TqxBaseIO::Close();
    }
  }
  TraceNotify({tsTxEmpty});
}

void TqxCustomComm::ClosePort(bool StopEventThread) {
  const HANDLE handle = Handle();
  if (handle != INVALID_HANDLE_VALUE) {
    if (StopEventThread) {
      if (m_CommThread) m_CommThread->Stop();
      if (OutputQueueCount() > 0) PurgeAll();
      // Also completes the event thread's pending wait.
      SetCommMask(handle, EV_RX80FULL);
    }
    ReleaseHandle(handle, true);
  }
  FinishPendingClose();
}

bool TqxCustomComm::ReleaseHandle(HANDLE handle, bool onMainThread) {
  const std::lock_guard lock(m_HandleMutex);
  if (Handle() != handle) return false;
  // Owed before the handle reads as closed: a Close that finds it closed finishes the close at once.
  m_FinishPending.store(true);
  // The event thread must not make virtual calls: the main thread may be destroying the
  // descendant meanwhile. It closes the handle itself, as the base CloseDevice would.
  if (onMainThread)
    CloseDevice(handle);
  else
    CloseHandle(handle);
  SetHandle(INVALID_HANDLE_VALUE);
  return true;
}

void TqxCustomComm::ClosePortFromEventThread(HANDLE handle) {
  // By name, so that nothing of this thread travels in the queued call.
  if (ReleaseHandle(handle, false)) QMetaObject::invokeMethod(this, "FinishPendingClose", Qt::QueuedConnection);
}

void TqxCustomComm::FinishPendingClose() {
  if (m_FinishPending.exchange(false)) FinishClosePort();
}

void TqxCustomComm::FinishClosePort() {
  m_ReceiveBuffer.reset();
  m_HeldErrors = 0;
  ReleasePendingWrites(true);
  if (OnDeviceClosed) {
    try {
      OnDeviceClosed(this);
    } catch (...) {
    }
  }
  NotifyClients(1);
}

void TqxCustomComm::StartThread() {
  ReleaseStaleThreads();
  if (!m_MsgThread) m_MsgThread = std::make_unique<TMsgThread>(this, Handle());
  if (!m_CommThread) m_CommThread = std::make_unique<TCommThread>(this, Handle(), m_MsgThread.get(), m_WritesDone);
}

void TqxCustomComm::StopThread() {
  // The event thread goes first: it posts to the message thread.
  m_CommThread.reset();
  if (m_MsgThread) {
    m_MsgThread->Stop();
    const auto end = std::chrono::steady_clock::now() + kMsgThreadBound;
    while (!m_MsgThread->Finished() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!m_MsgThread->Finished())
      LogMessage(dlDetail, QStringLiteral("The message thread is late to end"));
    m_MsgThread.reset();
  }
}

void TqxCustomComm::ReleaseStaleThreads() {
  const HANDLE handle = Handle();
  const bool staleEvents = m_CommThread && m_CommThread->Handle() != handle;
  const bool staleMessages = m_MsgThread && m_MsgThread->Handle() != handle;
  if (staleEvents || staleMessages) StopThread();
}

void TqxCustomComm::SendChar(std::uint8_t Ch) {
  if (!IsOpen()) return;
  LogFormat(dlDebug, QStringLiteral("Try to send char %2Xh ..."), {Ch});
  if (!WriteWaiting(&Ch, 1)) CommError(0, GetLastError(), {});
}

void TqxCustomComm::SendString(const QByteArray& S) {
  if (!IsOpen() || S.isEmpty()) return;
  LogFormat(dlDebug, QStringLiteral("Try to send string %s ..."), {S});
  if (!WriteWaiting(S.constData(), static_cast<DWORD>(S.size()))) CommError(0, GetLastError(), {});
}

bool TqxCustomComm::WriteWaiting(const void* Buffer, DWORD Count) {
  const HANDLE handle = Handle();
  OVERLAPPED& record = WriteOverlap();
  std::memset(&record, 0, offsetof(OVERLAPPED, hEvent));
  DWORD written = 0;
  if (WriteFile(handle, Buffer, Count, &written, &record)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  // The driver's time-out ends the write; without one, a line that takes nothing (flow control
  // held, say) gives it up after the stall bound. A close ends it at once.
  const std::uint64_t timeout =
      std::uint64_t(m_Timeouts.WriteTotalTimeoutMultiplier) * Count + m_Timeouts.WriteTotalTimeoutConstant;
  const auto bound = std::max<std::chrono::milliseconds>(kWriteStallBound, std::chrono::milliseconds(timeout + 1000));
  std::uint32_t queued = OutputQueueCount();
  auto moved = std::chrono::steady_clock::now();
  for (;;) {
    if (GetOverlappedResult(handle, &record, &written, FALSE)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
    WaitForSingleObject(record.hEvent, kWriteWaitStepMs);
    const auto now = std::chrono::steady_clock::now();
    if (const std::uint32_t left = OutputQueueCount(); left != queued) {
      queued = left;
      moved = now;
    } else if (now - moved > bound) {
      CancelIoEx(handle, &record);
      GetOverlappedResult(handle, &record, &written, TRUE);
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
  }
}

void TqxCustomComm::SendData(const char* Buffer, int Count) {
  if (!IsOpen()) return;
  LogFormat(dlDebug, QStringLiteral("Try to send the data with %d length ..."), {Count});
  ReleasePendingWrites(false);
  auto write = std::make_unique<PendingWrite>();
  write->overlapped.hEvent = m_WritesDone;
  if (Count > 0) write->data = QByteArray(Buffer, Count);
  if (WriteOverlappedAsync(Handle(), write->data.constData(), static_cast<DWORD>(write->data.size()),
                           &write->overlapped)) {
    m_PendingWrites.push_back(std::move(write));
    LogMessage(dlDebug, QStringLiteral("... the data transmittion is OK!"));
  } else {
    CommError(0, GetLastError(), {});
  }
}

void TqxCustomComm::ReleasePendingWrites(bool all) {
  if (all) {
    m_PendingWrites.clear();
    return;
  }
  // Writes complete in order, so the finished ones are at the front.
  const HANDLE handle = Handle();
  while (!m_PendingWrites.empty()) {
    DWORD written = 0;
    if (!GetOverlappedResult(handle, &m_PendingWrites.front()->overlapped, &written, FALSE) &&
        GetLastError() == ERROR_IO_INCOMPLETE)
      break;
    m_PendingWrites.pop_front();
  }
}

void TqxCustomComm::PurgeInput() {
  if (IsOpen()) PurgeComm(Handle(), kPurgeInput);
}

void TqxCustomComm::PurgeOutput() {
  if (IsOpen()) PurgeComm(Handle(), kPurgeOutput);
}

void TqxCustomComm::PurgeAll() {
  if (!IsOpen()) return;
  PurgeComm(Handle(), kPurgeAll);
  CancelPendingIo(Handle());
}

void TqxCustomComm::GetDeviceName(QString& Name) { Name = QStringLiteral("Unknown"); }

void TqxCustomComm::SetupDevice() {
  SetupComm(Handle(), m_BufferInSize, m_BufferOutSize);
  SetTimeouts(m_Timeouts);
}

void TqxCustomComm::SetEventChar(char Ch) {
  Dcb().EvtChar = Ch;
  ApplyState();
}

char TqxCustomComm::GetEventChar() {
  RefreshState();
  return Dcb().EvtChar;
}

void TqxCustomComm::CommError(std::uint32_t CommCode, std::uint32_t SysError, TComStateFlags State) {
  bool flFlashBuffers = false;
  LogFormat(dlDetail, QStringLiteral("Communication Error %d:%d"), {CommCode, SysError});
  if (OnCommError) OnCommError(this, CommCode, SysError, State, flFlashBuffers);
  if (flFlashBuffers) PurgeAll();
}

void TqxCustomComm::TraceNotify(TTraceStates States) {
  const TModemSignals lines = GetModemSignals();
  SetChecked(m_MonitorCTS, lines.Contains(msCTS));
  SetChecked(m_MonitorDSR, lines.Contains(msDSR));
  SetChecked(m_MonitorRLSD, lines.Contains(msRLSD));
  if (States.Contains(tsRing)) SetChecked(m_MonitorRing, true);
  if (OnTraceState) OnTraceState(this, States);
}

void TqxCustomComm::HandleCommEvent(const MSG& Msg) {
  if (Msg.message != qxCommMsgComEvent()) return;
  const DWORD mask = static_cast<DWORD>(Msg.wParam);
  try {
    // A hand-over that was already running when the port closed finds no handle.
    const HANDLE handle = Handle();
    if (handle == INVALID_HANDLE_VALUE) return;
    DWORD errors = 0;
    if (!ClearCommError(handle, &errors, &m_ComStat)) return;
    errors |= std::exchange(m_HeldErrors, 0);
    if (errors != 0) {
      CommError(errors, 0, StateFlagsOf(m_ComStat));
      // The data waits for the next event, as with every line error, and CommError stood for the
      // error's own bits. The rest may come from other events folded into this one: it is handled
      // right after, so that no transmit-empty or line change is lost.
      const DWORD rest = mask & ~(EV_RXCHAR | EV_ERR | EV_BREAK);
      if ((rest != 0 || Msg.lParam != 0) && Handle() == handle) QueueCommEvent(rest, Msg.lParam);
      return;
    }
    if ((mask & EV_RXCHAR) != 0 && m_ComStat.cbInQue > 0) {
      const bool taken = m_TraceStates.Contains(tsRxChar) || OnAfterReceive || m_EventListOnLine ||
                         m_EventList->Count() > 0 || HasDataConsumer();
      if (taken) ReceiveData(m_ComStat.cbInQue);
    }
    // A handler above may have closed the port; the rest of this event belongs to it.
    if (Handle() != handle) return;
    if ((mask & EV_TXEMPTY) != 0) {
      const bool handled = ProcessorTxEmpty();
      if (m_TraceStates.Contains(tsTxEmpty) && !handled && OnAfterSend) OnAfterSend(this);
    }
    if ((Msg.lParam & kCommWritesCompleted) != 0 && Handle() == handle) {
      ReleasePendingWrites(false);
      ProcessorWriteCompleted();
    }
    const TTraceStates states = TraceStatesOf(mask & ~(EV_RXCHAR | EV_TXEMPTY));
    if (!states.IsEmpty()) TraceNotify(states);
  } catch (const Exception& error) {
    FatalError(1, GetLastError(), true, error.Message());
  }
}

void TqxCustomComm::ReceiveData(std::uint32_t waiting) {
  // A handler that runs the event loop may handle the next event inside this one; that one reads
  // into a buffer of its own, so the chunk in hand stays intact.
  std::shared_ptr<std::vector<char>> buffer = m_ReceiveBuffer;
  if (!buffer) return;
  if (m_Receiving) buffer = std::make_shared<std::vector<char>>(buffer->size(), 0);
  const QScopedValueRollback<bool> receiving(m_Receiving, true);
  const HANDLE handle = Handle();
  // What arrives while the chunks are handled is read in the same hand-over too, up to a bound that
  // keeps the event loop turning: a stream costs one hand-over a burst, not one a chunk.
  std::uint64_t budget = std::max<std::uint64_t>(waiting, kReadPerEvent);
  while (Handle() == handle) {
    if (waiting == 0 && (budget == 0 || (waiting = StillWaiting(handle)) == 0)) return;
    const DWORD want = std::min<DWORD>(waiting, static_cast<DWORD>(buffer->size()));
    DWORD count = 0;
    if (!ReadOverlapped(handle, buffer->data(), want, &ReadOverlap()) ||
        !GetOverlappedResult(handle, &ReadOverlap(), &count, FALSE) || count == 0)
      return;
    waiting -= std::min<DWORD>(count, waiting);
    budget -= std::min<std::uint64_t>(count, budget);
    const char* const data = buffer->data();
    DataReceived(data, static_cast<int>(count));
    bool flHandled = false;
    if (m_EventListOnLine && m_EventList->Count() > 0) {
      for (DWORD i = 0; i < count; ++i) {
        const int k = m_EventList->Match(static_cast<std::uint8_t>(data[i]));
        if (k < 0) continue;
        m_EventList->Get(k).MatchedAt = i;
        if (OnListEvent) {
          const int n = m_EventList->BuildEventData(k, data + i + 1, static_cast<int>(count - i - 1));
          OnListEvent(this, k, m_EventList->EventBuffer(), n, flHandled);
        }
      }
    }
    if (!flHandled && m_TraceStates.Contains(tsRxChar) && OnAfterReceive) OnAfterReceive(this, data, count);
  }
}

std::uint32_t TqxCustomComm::StillWaiting(HANDLE handle) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle, &errors, &stat)) return 0;
  if (errors == 0) return stat.cbInQue;
  // A line error stops the reading; the next event reports it, and its data waits for that one.
  m_HeldErrors |= errors;
  return 0;
}

std::uint32_t TqxCustomComm::OutputQueueCount() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(Handle(), &errors, &stat)) return 0;
  // Asking takes the line errors too; they are kept for the event handling that reports them.
  m_HeldErrors |= errors;
  return stat.cbOutQue;
}

std::uint32_t TqxCustomComm::OutputQueueSize() { return IsOpen() ? GetBufferOutSize() : 0; }

void TqxCustomComm::SetTraceStates(TTraceStates Value) {
  const DWORD mask = EventMaskOf(Value);
  m_TraceStates = Value;
  if (IsOpen()) SetCommMask(Handle(), mask);
}

TModemSignals TqxCustomComm::GetModemSignals() {
  TModemSignals lines;
  DWORD status = 0;
  if (!IsOpen() || !GetCommModemStatus(Handle(), &status)) return lines;
  if ((status & MS_CTS_ON) != 0) lines.Include(msCTS);
  if ((status & MS_DSR_ON) != 0) lines.Include(msDSR);
  if ((status & MS_RING_ON) != 0) lines.Include(msRing);
  if ((status & MS_RLSD_ON) != 0) lines.Include(msRLSD);
  return lines;
}

quint16 TqxCustomComm::GetBufferInSize() {
  if (IsOpen() && GetCommProperties(Handle(), &m_CommProp) && (m_CommProp.dwCurrentRxQueue & 0xFFFF) != 0)
    m_BufferInSize = static_cast<quint16>(m_CommProp.dwCurrentRxQueue);
  return m_BufferInSize;
}

void TqxCustomComm::SetBufferInSize(quint16 Value) {
  if (IsOpen())
    SetupComm(Handle(), Value, GetBufferOutSize());
  else
    m_BufferInSize = Value;
}

quint16 TqxCustomComm::GetBufferOutSize() {
  if (IsOpen() && GetCommProperties(Handle(), &m_CommProp) && (m_CommProp.dwCurrentTxQueue & 0xFFFF) != 0)
    m_BufferOutSize = static_cast<quint16>(m_CommProp.dwCurrentTxQueue);
  return m_BufferOutSize;
}

void TqxCustomComm::SetBufferOutSize(quint16 Value) {
  if (IsOpen())
    SetupComm(Handle(), GetBufferInSize(), Value);
  else
    m_BufferOutSize = Value;
}

quint32 TqxCustomComm::TimeoutRead() {
  if (IsOpen()) GetCommTimeouts(Handle(), &m_Timeouts);
  return m_Timeouts.ReadTotalTimeoutMultiplier;
}

void TqxCustomComm::SetTimeoutRead(quint32 Value) {
  m_Timeouts.ReadTotalTimeoutMultiplier = Value;
  SetTimeouts(m_Timeouts);
}

quint32 TqxCustomComm::TimeoutWrite() {
  if (IsOpen()) GetCommTimeouts(Handle(), &m_Timeouts);
  return m_Timeouts.WriteTotalTimeoutMultiplier;
}

void TqxCustomComm::SetTimeoutWrite(quint32 Value) {
  m_Timeouts.WriteTotalTimeoutMultiplier = Value;
  SetTimeouts(m_Timeouts);
}

void TqxCustomComm::SetTimeouts(const COMMTIMEOUTS& Value) {
  m_Timeouts = Value;
  if (IsOpen()) SetCommTimeouts(Handle(), &m_Timeouts);
}

void TqxCustomComm::RefreshState() {
  m_CommConfig.dwSize = kCommConfigSize;
  m_CommConfig.dcb.DCBlength = kDcbSize;
  if (!IsOpen()) return;
  DWORD size = m_CommConfig.dwSize;
  GetCommConfig(Handle(), &m_CommConfig, &size);
  GetCommState(Handle(), &m_CommConfig.dcb);
}

bool TqxCustomComm::ApplyState() {
  m_CommConfig.dcb.DCBlength = kDcbSize;
  return !IsOpen() || SetCommState(Handle(), &m_CommConfig.dcb);
}

bool TqxCustomComm::UpdateState(const std::function<void(DCB&)>& Adjust) {
  const char eventChar = m_CommConfig.dcb.EvtChar;
  RefreshState();
  m_CommConfig.dcb.EvtChar = eventChar;
  Adjust(m_CommConfig.dcb);
  return ApplyState();
}

void TqxCustomComm::SetMonitorChecked(QWidget* Monitor, bool Value) { SetChecked(Monitor, Value); }

void TqxCustomComm::Notification(QObject* component, TOperation operation) {
  TqxBaseIO::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  for (QWidget** monitor : {&m_MonitorCTS, &m_MonitorDSR, &m_MonitorRLSD, &m_MonitorRing}) {
    if (*monitor == component) {
      *monitor = nullptr;
      break;
    }
  }
}

void TqxCustomComm::SetMonitor(QWidget*& monitor, QWidget* Value) {
  monitor = Value;
  if (Value != nullptr) FreeNotification(Value);
}
