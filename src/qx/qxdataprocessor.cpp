#include "qx/qxdataprocessor.h"

#include "framework/exception.h"
#include "qx/qxbaseio.h"
#include "qx/qxcustomlogfile.h"
#include "qx/qxtimer.h"

#include <algorithm>
#include <climits>

namespace {

TqxNotifyHandler NotifyHandlerOf(TqxCustomDataProcessor* processor) {
  return TqxNotifyHandler::Of<TqxCustomDataProcessor, &TqxCustomDataProcessor::HandleNotify>(processor);
}

}  // namespace

TqxCustomDataProcessor::TqxCustomDataProcessor(QObject* owner)
    : TComponent(owner), m_Timer(std::make_unique<TqxTimer>()) {
  m_Timer->SetEnabled(false);
  m_Timer->SetOnTimer([this](QObject*) { TimerTick(); });
}

TqxCustomDataProcessor::~TqxCustomDataProcessor() { SetIO(nullptr); }

void TqxCustomDataProcessor::HandleNotify(TqxBaseIO*, int Code) {
  if (Code == qxNotifyClosed)
    MediumClosed();
  else if (Code == qxNotifyOpened)
    MediumOpened();
}

void TqxCustomDataProcessor::MediumClosed() { LogMessage(dlDebug, QStringLiteral("Medium Closed")); }

void TqxCustomDataProcessor::MediumOpened() { LogMessage(dlDebug, QStringLiteral("Medium Opened")); }

void TqxCustomDataProcessor::SetDataProcessor(TqxCustomDataProcessor* Value) {
  // A chain that leads back here would hand every chunk round forever.
  for (const TqxCustomDataProcessor* next = Value; next != nullptr; next = next->DataProcessor())
    if (next == this) return;
  m_DataProcessor = Value;
  if (Value != nullptr) {
    FreeNotification(Value);
    Value->SetIO(m_IO);
  }
}

void TqxCustomDataProcessor::SetIO(TqxBaseIO* Component) {
  if ((Component == nullptr || Component != m_IO) && m_IO != nullptr) m_IO->RemoveNotify(NotifyHandlerOf(this));
  m_IO = Component;
  if (Component != nullptr) {
    FreeNotification(Component);
    Component->AddNotify(NotifyHandlerOf(this));
  }
}

void TqxCustomDataProcessor::SetActive(bool Value) { m_Active = Value; }

void TqxCustomDataProcessor::SendData(const char* Buffer, std::uint32_t Len) {
  if (Len == 0 || Buffer == nullptr) return;
  // Sending through a processor never fails for its caller: the protocol notices by itself.
  try {
    bool flHandled = false;
    if (OnDataSend) OnDataSend(this, Buffer, Len, false, flHandled);
    if (flHandled) {
      // Stand in for the transmit-empty event of the bypassed port.
      m_Timer->SetEnabled(false);
      m_Timer->SetEnabled(true);
    } else if (m_IO != nullptr) {
      for (std::uint32_t sent = 0; sent < Len;) {
        const int piece = static_cast<int>(std::min<std::uint32_t>(Len - sent, INT_MAX));
        m_IO->SendData(Buffer + sent, piece);
        sent += static_cast<std::uint32_t>(piece);
      }
    }
  } catch (...) {
  }
}

void TqxCustomDataProcessor::SendString(const QByteArray& S) {
  if (S.isEmpty()) return;
  try {
    bool flHandled = false;
    if (OnDataSend) {
      const QByteArray copy = S;
      OnDataSend(this, copy.constData(), static_cast<std::uint32_t>(copy.size()), true, flHandled);
    }
    if (!flHandled && m_IO != nullptr) m_IO->SendString(S);
  } catch (...) {
  }
}

void TqxCustomDataProcessor::TimerTick() {
  m_Timer->SetEnabled(false);
  bool Handled = false;
  TxEmpty(Handled);
}

void TqxCustomDataProcessor::StartTimer(std::uint32_t Interval) {
  m_Timer->SetEnabled(false);
  if (Interval != 0) {
    m_Timer->SetInterval(Interval);
    m_Timer->SetEnabled(true);
  }
}

void TqxCustomDataProcessor::FatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const QString& ErrorMsg) {
  bool RaiseException = true;
  if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
  if (m_Log != nullptr)
    m_Log->WriteLevelFormat(dlSimple, QStringLiteral("Fatal Error: %u, %u, %s"), {ErrorCode, Detail, ErrorMsg});
  if (RaiseException) throw Exception(ErrorMsg);
}

void TqxCustomDataProcessor::DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags) {
  if (m_DataProcessor != nullptr) m_DataProcessor->DataReceived(Buffer, Count, Flags);
}

void TqxCustomDataProcessor::DataReceived(const char* Buffer, int Count) {
  TProcessorFlags Flags;
  DataReceived(Buffer, Count, Flags);
}

void TqxCustomDataProcessor::TxEmpty(bool&) {}

void TqxCustomDataProcessor::WriteCompleted() {}

void TqxCustomDataProcessor::SetLog(TqxCustomLogFile* Value) {
  m_Log = Value;
  if (Value != nullptr) FreeNotification(Value);
}

void TqxCustomDataProcessor::LogMessage(TDetailLevel Level, const QString& Text) {
  if (m_Log != nullptr) m_Log->WriteLevel(Level, m_LogPrefix + Text);
}

void TqxCustomDataProcessor::LogFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args) {
  if (m_Log != nullptr) m_Log->WriteLevelFormat(Level, m_LogPrefix + Fmt, Args);
}

void TqxCustomDataProcessor::Notification(QObject* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  // The dying component is past its own destructor: it is forgotten, never called.
  if (component == m_DataProcessor)
    SetDataProcessor(nullptr);
  else if (component == m_IO)
    m_IO = nullptr;
  else if (component == m_Log)
    SetLog(nullptr);
}
