// TqxCustomDataProcessor: the base of protocol engines that sit behind an I/O component.
#pragma once

#include "framework/format.h"
#include "framework/tcomponent.h"
#include "framework/types.h"
#include "qx/qxcustomlogfile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class TqxBaseIO;
class TqxTimer;

// Flags a processor sets on a received chunk.
enum TProcessorFlag {
  pfConsumed  // the protocol took the chunk: the terminal does not show it
};
using TProcessorFlags = TSet<TProcessorFlag, std::uint8_t>;

// A processor sees every received chunk of its I/O component before the terminal does, may hide it
// from the terminal, and sends through the I/O component. Processors form a chain through their
// DataProcessor property; every processor of a chain is attached to the same I/O component (IO) and
// hears its open and close notifications. None of them owns the others, the I/O component or Log.
class TqxCustomDataProcessor : public TComponent {
  Q_OBJECT
  Q_PROPERTY(bool Active READ Active WRITE SetActive)
  Q_PROPERTY(TqxCustomDataProcessor* DataProcessor READ DataProcessor WRITE SetDataProcessor)
  Q_PROPERTY(TqxCustomLogFile* Log READ Log WRITE SetLog)

public:
  explicit TqxCustomDataProcessor(QObject* owner = nullptr);
  ~TqxCustomDataProcessor() override;

  // The notification handler on the I/O component's notify list: 1 closed, 2 opened.
  virtual void HandleNotify(TqxBaseIO* Sender, int Code);
  virtual void MediumClosed();
  virtual void MediumOpened();
  // Chains Value behind this processor and attaches it to this processor's IO; itself is refused.
  // The former next processor stays attached to the I/O component.
  virtual void SetDataProcessor(TqxCustomDataProcessor* Value);
  // Attaches to Component (null detaches): moves this processor's handler to its notify list.
  virtual void SetIO(TqxBaseIO* Component);
  virtual void SetActive(bool Value);
  // Sends through OnDataSend or IO; every failure on the way is dropped. A buffer that OnDataSend
  // took is followed by TxEmpty after Timer's interval, as the bypassed port would have reported.
  virtual void SendData(const char* Buffer, std::uint32_t Len);
  virtual void SendString(const QByteArray& S);
  virtual void TimerTick();
  // Runs TimerTick once after Interval milliseconds; 0 only stops the timer.
  virtual void StartTimer(std::uint32_t Interval);
  virtual void FatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const QString& ErrorMsg);
  // A received chunk: a descendant processes it, then calls this base, which hands it on down the
  // chain with the same Flags. A descendant that overrides one form adds
  // `using TqxCustomDataProcessor::DataReceived;` to keep the other.
  virtual void DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags);
  virtual void DataReceived(const char* Buffer, int Count);
  // The transmit queue ran empty.
  virtual void TxEmpty(bool& Handled);
  // An asynchronous write of the I/O component has completed: its transmit queue has room again.
  virtual void WriteCompleted();

  TqxBaseIO* IO() const { return m_IO; }
  TqxCustomDataProcessor* DataProcessor() const { return m_DataProcessor; }
  bool Active() const { return m_Active; }
  TqxCustomLogFile* Log() const { return m_Log; }
  void SetLog(TqxCustomLogFile* Value);
  TqxTimer& Timer() const { return *m_Timer; }
  QString LogPrefix() const { return m_LogPrefix; }

  // LogPrefix + Text at Level; an empty text is written as it is.
  void LogMessage(TDetailLevel Level, const QString& Text);
  // LogPrefix + Fmt formatted with Args at Level.
  void LogFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args);

  TOnFatalErrorEvent OnFatalError;
  TDataSendEvent OnDataSend;

protected:
  void Notification(QObject* component, TOperation operation) override;
  void SetLogPrefix(const QString& prefix) { m_LogPrefix = prefix; }

private:
  TqxBaseIO* m_IO = nullptr;
  TqxCustomDataProcessor* m_DataProcessor = nullptr;
  bool m_Active = false;
  TqxCustomLogFile* m_Log = nullptr;
  std::unique_ptr<TqxTimer> m_Timer;
  QString m_LogPrefix;
};
