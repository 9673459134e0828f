// TqxBaseIO: the base class of every device component of the library.
#pragma once

#include "framework/format.h"
#include "framework/tcomponent.h"
#include "framework/types.h"
#include "platform/wintypes.h"
#include "qx/qxcustomlogfile.h"
#include "qx/qxdataprocessor.h"
#include "qx/qxdevice.h"
#include "qx/qxnotifylist.h"
#include "qx/qxthreadio.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

// Owns a device handle and its open/close life cycle, the list of devices the component can use,
// the handlers to notify of open, close and device changes, an optional terminal (a QPlainTextEdit
// or QTextEdit that shows received data and sends typed keys), the first processor of a data
// processor chain and a log sink. Descendants supply the device (OpenDevice, EnumDevices) and the
// sending. Terminal, DataProcessor and Log are not owned; each is cleared when it is destroyed.
//
// The terminal: the component watches the control's events. A typed character is sent with
// SendChar when TerminalUsage is tuSend or tuBoth, and shown only with TerminalEcho. Received data
// is shown when TerminalUsage is tuReceive or tuBoth: one byte as a typed key, a longer chunk as
// text inserted at the cursor (Latin-1, cut at zero bytes). What the component writes itself is
// never sent back.
class TqxBaseIO : public TComponent {
  Q_OBJECT
  Q_PROPERTY(int DeviceIndex READ GetDeviceIndex WRITE SetDeviceIndex)
  Q_PROPERTY(QWidget* Terminal READ Terminal WRITE SetTerminal)
  Q_PROPERTY(TTerminalUsage TerminalUsage READ TerminalUsage WRITE SetTerminalUsage)
  Q_PROPERTY(bool TerminalEcho READ TerminalEcho WRITE SetTerminalEcho)
  Q_PROPERTY(TqxCustomDataProcessor* DataProcessor READ DataProcessor WRITE SetDataProcessor)
  Q_PROPERTY(TqxCustomLogFile* Log READ Log WRITE SetLog)

public:
  explicit TqxBaseIO(QObject* owner = nullptr);
  ~TqxBaseIO() override;

  // Handle is valid.
  virtual bool IsOpen();
  // The device handle; the base has none (INVALID_HANDLE_VALUE).
  virtual HANDLE OpenDevice();
  virtual void CloseDevice(HANDLE Handle);
  // A Terminal or a DataProcessor takes received data.
  virtual bool HasDataConsumer();
  virtual void Open();
  virtual void Close();
  virtual void StartThread();
  virtual void StopThread();
  // The body of the worker thread (UseThread); runs on that thread.
  virtual void ThreadExecute(TqxThreadIO* Thread);
  // The library's error path: OnFatalError may clear RaiseException; the log gets
  // "Fatal Error: %u, %u, %s"; then Exception(ErrorMsg) is raised, or with ShowOnly shown and
  // execution continues. Nothing is raised or shown while loading.
  virtual void FatalError(std::uint32_t ErrorCode, std::uint32_t Detail, bool ShowOnly, const QString& ErrorMsg);
  virtual void NotifyClients(int Code);
  // A received chunk: the processor chain sees it first; the terminal shows it unless consumed.
  virtual void DataReceived(const char* Buffer, int Count);
  // Hands the transmit-empty event to the processor chain; true when a processor handled it.
  virtual bool ProcessorTxEmpty();
  // Tells the processor chain that an asynchronous write has completed.
  virtual void ProcessorWriteCompleted();
  // Bytes handed to SendData that the device has not sent yet, and the size of its transmit queue:
  // what a processor keeps the line fed with. The base has no queue (0 for both).
  virtual std::uint32_t OutputQueueCount() { return 0; }
  virtual std::uint32_t OutputQueueSize() { return 0; }
  virtual void SetDeviceIndex(int Index);
  virtual int GetDeviceIndex() = 0;
  // Appends Device to Devices under its Name; sets its Index and Owner.
  virtual void AddDevice(TqxDevice* Device);
  // Fills Devices.
  virtual void EnumDevices() = 0;
  virtual void ClearDevices();
  virtual void TerminalOutput(const char* Buffer, int Count);
  virtual void DevicesChanged();
  // Adds Handler unless present; returns its index.
  virtual int AddNotify(const TqxNotifyHandler& Handler);
  virtual void RemoveNotify(const TqxNotifyHandler& Handler);
  virtual void SendChar(std::uint8_t Ch) = 0;
  virtual void SendString(const QByteArray& S) = 0;
  virtual void SendData(const char* Buffer, int Count) = 0;
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;
  virtual void PurgeAll() = 0;
  // Copies Devices into Strings (enumerating first when there are none).
  virtual void GetDeviceList(TqxDeviceList* Strings);
  // A WM_DEVICECHANGE record for ports (or DBT_DEVNODES_CHANGED) gives DevicesChanged and true.
  virtual bool HandleDeviceChange(MSG& Message);

  // The stored value while loading or designing; otherwise IsOpen.
  bool GetActive();
  void SetActive(bool Value);

  QWidget* Terminal() const { return m_Terminal; }
  void SetTerminal(QWidget* Value);
  TTerminalUsage TerminalUsage() const { return m_TerminalUsage; }
  void SetTerminalUsage(TTerminalUsage Value);
  bool TerminalEcho() const { return m_TerminalEcho; }
  void SetTerminalEcho(bool Value) { m_TerminalEcho = Value; }
  // Where received data is shown: the Terminal while usage shows received data, else null.
  QWidget* TerminalWindow() const { return m_TerminalWindow; }
  TqxCustomDataProcessor* DataProcessor() const { return m_DataProcessor; }
  void SetDataProcessor(TqxCustomDataProcessor* Value);
  TqxCustomLogFile* Log() const { return m_Log; }
  void SetLog(TqxCustomLogFile* Value);

  HANDLE Handle() const { return m_Handle.load(); }
  QString LogPrefix() const { return m_LogPrefix; }
  bool UseThread() const { return m_UseThread; }
  TqxThreadIO* Thread() const { return m_Thread.get(); }

  int DeviceCount() const { return static_cast<int>(m_Devices.size()); }
  TqxDevice* Device(int Index) const;
  const TqxNotifyList& NotifyList() const { return *m_NotifyList; }

  // An empty text writes the sink's banner; otherwise LogPrefix + Text at Level.
  void LogMessage(TDetailLevel Level, const QString& Text);
  // LogPrefix + Fmt (joined before formatting) formatted with Args at Level.
  void LogFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args);

  void Loaded() override;

  TOnFatalErrorEvent OnFatalError;
  TNotifyEvent OnDeviceClosed;
  TNotifyEvent OnDeviceOpened;

protected:
  void Notification(QObject* component, TOperation operation) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

  void SetHandle(HANDLE Value) { m_Handle.store(Value); }
  void SetLogPrefix(const QString& Value) { m_LogPrefix = Value; }
  void SetUseThread(bool Value) { m_UseThread = Value; }
  void SetOwnsDevices(bool Value) { m_OwnsDevices = Value; }
  OVERLAPPED& ReadOverlap() { return m_ReadOverlap; }
  OVERLAPPED& WriteOverlap() { return m_WriteOverlap; }
  OVERLAPPED& AsyncWriteOverlap() { return m_AsyncWriteOverlap; }

private:
  // Inserts text at the Terminal's cursor.
  void InsertTerminalText(const QString& text);
  // Delivers one byte to the Terminal as a typed key.
  void SendTerminalKey(std::uint8_t ch);

  std::unique_ptr<TqxNotifyList> m_NotifyList;
  TqxCustomLogFile* m_Log = nullptr;
  TqxCustomDataProcessor* m_DataProcessor = nullptr;
  // Device names with their objects; the objects are owned while OwnsDevices.
  QList<std::pair<QString, TqxDevice*>> m_Devices;
  // A guarded pointer: a destroyed Terminal never receives output.
  QPointer<QWidget> m_TerminalWindow;
  TTerminalUsage m_TerminalUsage = tuNone;
  QWidget* m_Terminal = nullptr;
  bool m_TerminalEcho = false;
  bool m_WritingTerminal = false;
  std::unique_ptr<TqxThreadIO> m_Thread;
  bool m_StoredActive = false;
  // A worker thread may close the device, so the handle is shared between threads.
  std::atomic<HANDLE> m_Handle{INVALID_HANDLE_VALUE};
  QString m_LogPrefix;
  bool m_OwnsDevices = true;
  OVERLAPPED m_ReadOverlap{};
  OVERLAPPED m_WriteOverlap{};
  OVERLAPPED m_AsyncWriteOverlap{};
  bool m_UseThread = false;
  bool m_ThreadStopped = false;
};
