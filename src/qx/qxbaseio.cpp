#include "qx/qxbaseio.h"

#include "framework/exception.h"
#include "framework/messages.h"
#include "framework/thread.h"
#include "platform/winapi.h"
#include "qx/qxwin32.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QThread>

#include <cctype>

namespace {

// Keeps WritingTerminal set while the component writes into its Terminal, also when that raises.
class WritingGuard {
public:
  explicit WritingGuard(bool& flag) : m_Flag(flag) { m_Flag = true; }
  ~WritingGuard() { m_Flag = false; }
  WritingGuard(const WritingGuard&) = delete;
  WritingGuard& operator=(const WritingGuard&) = delete;

private:
  bool& m_Flag;
};

// The key a typed character comes with, so that the control edits as for a real key press.
int KeyOf(std::uint8_t ch) {
  switch (ch) {
    case '\b':
      return Qt::Key_Backspace;
    case '\t':
      return Qt::Key_Tab;
    case '\r':
      return Qt::Key_Return;
    case 0x1B:
      return Qt::Key_Escape;
    default:
      return (ch >= 0x20 && ch < 0x7F) ? std::toupper(ch) : Qt::Key_unknown;
  }
}

bool ShowsReceived(TTerminalUsage usage) { return usage == tuReceive || usage == tuBoth; }

bool SendsTyped(TTerminalUsage usage) { return usage == tuSend || usage == tuBoth; }

}  // namespace

TqxBaseIO::TqxBaseIO(QObject* owner) : TComponent(owner), m_NotifyList(std::make_unique<TqxNotifyList>()) {
  m_ReadOverlap.hEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  m_WriteOverlap.hEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
}

TqxBaseIO::~TqxBaseIO() {
  // A descendant stops its thread in its own destructor; this only makes sure none outlives us.
  if (m_Thread) {
    m_Thread->Terminate();
    m_Thread->WaitFor();
  }
  CloseHandle(m_ReadOverlap.hEvent);
  CloseHandle(m_WriteOverlap.hEvent);
  ClearDevices();
}

bool TqxBaseIO::IsOpen() { return Handle() != INVALID_HANDLE_VALUE; }

HANDLE TqxBaseIO::OpenDevice() { return INVALID_HANDLE_VALUE; }

void TqxBaseIO::CloseDevice(HANDLE Handle) { CloseHandle(Handle); }

bool TqxBaseIO::HasDataConsumer() { return m_Terminal != nullptr || m_DataProcessor != nullptr; }

void TqxBaseIO::Open() {
  SetHandle(OpenDevice());
  if (!IsOpen()) return;
  if (m_UseThread) StartThread();
  if (OnDeviceOpened) {
    try {
      OnDeviceOpened(this);
    } catch (...) {
    }
  }
}

void TqxBaseIO::Close() {
  const HANDLE handle = Handle();
  if (handle != INVALID_HANDLE_VALUE) {
    CloseDevice(handle);
    if (m_UseThread) StopThread();
    if (OnDeviceClosed) {
      try {
        OnDeviceClosed(this);
      } catch (...) {
      }
    }
  }
  SetHandle(INVALID_HANDLE_VALUE);
}

void TqxBaseIO::StartThread() {
  m_ThreadStopped = false;
  // A thread left from an earlier open is ended before the new one starts.
  if (m_Thread) {
    m_Thread->Terminate();
    m_Thread->WaitFor();
  }
  m_Thread = std::make_unique<TqxThreadIO>(this);
  m_Thread->Start();
}

void TqxBaseIO::StopThread() {
  if (m_ThreadStopped) return;
  m_ThreadStopped = true;
  if (!m_Thread) return;
  m_Thread->Terminate();
  // Not bounded: the body runs on this component, so it must have ended before we go on.
  m_Thread->WaitFor();
  m_Thread.reset();
}

void TqxBaseIO::ThreadExecute(TqxThreadIO*) {}

void TqxBaseIO::FatalError(std::uint32_t ErrorCode, std::uint32_t Detail, bool ShowOnly, const QString& ErrorMsg) {
  bool RaiseException = true;
  if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
  if (m_Log != nullptr)
    m_Log->WriteLevelFormat(dlSimple, QStringLiteral("Fatal Error: %u, %u, %s"), {ErrorCode, Detail, ErrorMsg});
  if (!RaiseException || IsLoading()) return;
  if (!ShowOnly) throw Exception(ErrorMsg);
  QCoreApplication* const app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() != app->thread()) {
    // A worker thread must not open a message box: the main thread shows it.
    TThread::Queue([ErrorMsg] { ShowException(Exception(ErrorMsg)); });
    return;
  }
  ShowException(Exception(ErrorMsg));
}

void TqxBaseIO::NotifyClients(int Code) { m_NotifyList->Notify(this, Code); }

void TqxBaseIO::DataReceived(const char* Buffer, int Count) {
  TProcessorFlags Flags;
  if (m_DataProcessor != nullptr) m_DataProcessor->DataReceived(Buffer, Count, Flags);
  if (m_Terminal != nullptr && !Flags.Contains(pfConsumed)) TerminalOutput(Buffer, Count);
}

bool TqxBaseIO::ProcessorTxEmpty() {
  bool Handled = false;
  if (m_DataProcessor != nullptr) m_DataProcessor->TxEmpty(Handled);
  return Handled;
}

void TqxBaseIO::ProcessorWriteCompleted() {
  if (m_DataProcessor != nullptr) m_DataProcessor->WriteCompleted();
}

void TqxBaseIO::SetDeviceIndex(int) { NotifyClients(qxNotifyDevicesChanged); }

void TqxBaseIO::AddDevice(TqxDevice* Device) {
  Device->Index = static_cast<int>(m_Devices.size());
  m_Devices.append({Device->Name, Device});
  Device->Owner = this;
}

void TqxBaseIO::ClearDevices() {
  if (m_OwnsDevices)
    for (const auto& entry : std::as_const(m_Devices)) delete entry.second;
  m_Devices.clear();
}

void TqxBaseIO::TerminalOutput(const char* Buffer, int Count) {
  if (Buffer == nullptr || Count < 1) return;
  const WritingGuard writing(m_WritingTerminal);
  if (m_TerminalWindow.isNull()) return;
  if (Count == 1) {
    SendTerminalKey(static_cast<std::uint8_t>(Buffer[0]));
    return;
  }
  const char* const end = Buffer + Count;
  for (const char* piece = Buffer; piece < end;) {
    const char* zero = piece;
    while (zero < end && *zero != '\0') ++zero;
    if (zero > piece) InsertTerminalText(QString::fromLatin1(piece, zero - piece));
    piece = zero + 1;
  }
}

void TqxBaseIO::DevicesChanged() { NotifyClients(qxNotifyDevicesChanged); }

int TqxBaseIO::AddNotify(const TqxNotifyHandler& Handler) {
  const int index = m_NotifyList->IndexOf(Handler);
  return index >= 0 ? index : m_NotifyList->Add(Handler);
}

void TqxBaseIO::RemoveNotify(const TqxNotifyHandler& Handler) {
  const int index = m_NotifyList->IndexOf(Handler);
  if (index >= 0) m_NotifyList->Delete(index);
}

void TqxBaseIO::GetDeviceList(TqxDeviceList* Strings) {
  if (m_Devices.isEmpty()) EnumDevices();
  if (Strings == nullptr) return;
  Strings->clear();
  for (const auto& entry : std::as_const(m_Devices)) Strings->append(entry);
}

bool TqxBaseIO::HandleDeviceChange(MSG& Message) {
  if (Message.message != WM_DEVICECHANGE) return false;
  bool act = Message.wParam == DBT_DEVNODES_CHANGED;
  if (Message.wParam == DBT_DEVICEARRIVAL || Message.wParam == DBT_DEVICEREMOVECOMPLETE) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(Message.lParam);
    act = header != nullptr && header->dbch_devicetype == DBT_DEVTYP_PORT;
  }
  if (!act) return false;
  DevicesChanged();
  return true;
}

bool TqxBaseIO::GetActive() { return (IsDesigning() || IsLoading()) ? m_StoredActive : IsOpen(); }

void TqxBaseIO::SetActive(bool Value) {
  if (IsLoading()) {
    m_StoredActive = Value;
    return;
  }
  if (Value == GetActive() && !IsDesigning()) return;
  if (Value)
    Open();
  else
    Close();
  if (IsDesigning()) {
    // A design-time open only tests the device: the result is kept, the device closed again.
    m_StoredActive = IsOpen();
    if (m_StoredActive) Close();
  }
}

void TqxBaseIO::SetTerminal(QWidget* Value) {
  if (m_Terminal != nullptr) m_Terminal->removeEventFilter(this);
  if (Value != nullptr) Value->installEventFilter(this);
  m_TerminalWindow = nullptr;
  m_Terminal = Value;
  if (IsDesigning() && Value != nullptr && m_TerminalUsage == tuNone) m_TerminalUsage = tuBoth;
  SetTerminalUsage(m_TerminalUsage);
  if (Value != nullptr) FreeNotification(Value);
}

void TqxBaseIO::SetTerminalUsage(TTerminalUsage Value) {
  m_TerminalUsage = Value;
  if (m_Terminal != nullptr) m_TerminalWindow = ShowsReceived(Value) ? m_Terminal : nullptr;
}

void TqxBaseIO::SetDataProcessor(TqxCustomDataProcessor* Value) {
  // Another processor replaces the former one entirely: the former stops hearing this component.
  if (m_DataProcessor != nullptr && m_DataProcessor != Value) m_DataProcessor->SetIO(nullptr);
  m_DataProcessor = Value;
  if (Value != nullptr) {
    Value->SetIO(this);
    FreeNotification(Value);
  }
}

void TqxBaseIO::SetLog(TqxCustomLogFile* Value) {
  m_Log = Value;
  if (Value != nullptr) FreeNotification(Value);
}

TqxDevice* TqxBaseIO::Device(int Index) const {
  if (Index < 0 || Index >= DeviceCount())
    throw Exception(Format("List index out of bounds (%d)", {Index}));
  return m_Devices[Index].second;
}

void TqxBaseIO::LogMessage(TDetailLevel Level, const QString& Text) {
  if (m_Log == nullptr) return;
  if (Text.isEmpty())
    m_Log->WriteHeader();
  else
    m_Log->WriteLevel(Level, m_LogPrefix + Text);
}

void TqxBaseIO::LogFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args) {
  if (m_Log != nullptr) m_Log->WriteLevelFormat(Level, m_LogPrefix + Fmt, Args);
}

void TqxBaseIO::Loaded() {
  TComponent::Loaded();
  try {
    SetTerminal(m_Terminal);
    SetTerminalUsage(m_TerminalUsage);
    SetActive(m_StoredActive);
  } catch (const std::exception& error) {
    // Loading goes on; the reason is shown under the fixed heading.
    const auto* own = dynamic_cast<const Exception*>(&error);
    const QString reason = own != nullptr ? own->Message() : QString::fromLocal8Bit(error.what());
    ShowMessageBox(static_cast<QWidget*>(ForegroundWindow()), QStringLiteral("error\n") + reason,
                   QStringLiteral("Error"), MessageIcon::Error);
  } catch (...) {
    ShowMessageBox(static_cast<QWidget*>(ForegroundWindow()), QStringLiteral("error"), QStringLiteral("Error"),
                   MessageIcon::Error);
  }
}

void TqxBaseIO::Notification(QObject* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  // The dying component is past its own destructor (a processor has detached itself there), so
  // it is only forgotten, never called; Qt drops the event filter on the dying Terminal.
  if (component == m_DataProcessor) {
    m_DataProcessor = nullptr;
  } else if (component == m_Terminal) {
    m_Terminal = nullptr;
    m_TerminalWindow = nullptr;
  } else if (component == m_Log) {
    m_Log = nullptr;
  }
}

bool TqxBaseIO::eventFilter(QObject* watched, QEvent* event) {
  if (watched != m_Terminal || event->type() != QEvent::KeyPress || m_WritingTerminal ||
      !SendsTyped(m_TerminalUsage))
    return false;
  const QString text = static_cast<QKeyEvent*>(event)->text();
  if (text.isEmpty()) return false;
  for (const QChar ch : text) SendChar(static_cast<std::uint8_t>(ch.unicode() & 0xFF));
  // Without echo the remote side shows the character when it echoes it.
  return !m_TerminalEcho;
}

void TqxBaseIO::InsertTerminalText(const QString& text) {
  // Output is not undoable: a terminal's undo history would only grow with what it received.
  if (auto* plain = qobject_cast<QPlainTextEdit*>(m_TerminalWindow.data())) {
    const bool undo = plain->isUndoRedoEnabled();
    plain->setUndoRedoEnabled(false);
    plain->insertPlainText(text);
    plain->setUndoRedoEnabled(undo);
    plain->ensureCursorVisible();
  } else if (auto* rich = qobject_cast<QTextEdit*>(m_TerminalWindow.data())) {
    const bool undo = rich->isUndoRedoEnabled();
    rich->setUndoRedoEnabled(false);
    rich->insertPlainText(text);
    rich->setUndoRedoEnabled(undo);
    rich->ensureCursorVisible();
  } else if (auto* line = qobject_cast<QLineEdit*>(m_TerminalWindow.data())) {
    line->insert(text);
  }
}

void TqxBaseIO::SendTerminalKey(std::uint8_t ch) {
  QKeyEvent press(QEvent::KeyPress, KeyOf(ch), Qt::NoModifier, QString(QChar(ch)));
  QCoreApplication::sendEvent(m_TerminalWindow.data(), &press);
}
