// TqxCommTAPI: the modem line component over the telephony library.
#pragma once

#include "framework/types.h"
#include "platform/tapi.h"
#include "qx/qxcustomcomm.h"
#include "qx/qxdevicetapi.h"
#include "qx/qxmodemdevice.h"
#include "qx/qxtimer.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

// The telephony events. The sender comes first; Ignore may be changed by the handler.
using TNotifyCallDisconnect = std::function<void(QObject* Com, bool ByRemote)>;
using TOnLineError = std::function<void(QObject* Com, std::uint32_t ErrorCode)>;
using TOnLineCallState = std::function<void(QObject* Com, std::uint32_t StateCode, std::uint32_t DetailCode)>;
using TOnDTMFEvent = std::function<void(QObject* Com, char Digit)>;
using TNotifyRing = std::function<void(QObject* Com, bool& Ignore)>;

// The call state machine of the line component.
enum TCallState { csIdle, csClosing, csDialing, csWaiting, csAnswered, csProceeding, csConnected };

// A modem line: uses the telephony library (started on demand with a usage count, shut down on
// hang-up), opens one line of the selected device and handles at most one call on it. It dials
// (MakeCall, MakeDirectCall) or waits for calls and answers after RingsBeforeAnswer rings
// (WaitForCall); when the call connects it opens the inherited serial data path on the call's comm
// handle, so the terminal, the data processors and the monitors work over the call. A remote
// disconnection closes the data path, the call and the line and, within Retries, repeats the last
// dialing or waiting after PauseOnRepeat ms; HangUp ends everything, telephony use included.
//
// The device list holds the line devices that can be opened and have a data modem; DeviceModem
// shows the selected modem's settings. Device configurations can be saved to and loaded from the
// registry. Failures are fatal errors with code 2 and a detail code (ReportTapiError).
//
// Everything runs on the main thread: the telephony library calls LineCallback there while the
// thread processes its events, which the waits for replies do every 10 ms, so notifications are
// handled nested inside the operation that waits.
class TqxCommTAPI : public TqxCustomComm {
  Q_OBJECT
  Q_PROPERTY(int Retries READ Retries WRITE SetRetries)
  Q_PROPERTY(int PauseOnRepeat READ PauseOnRepeat WRITE SetPauseOnRepeat)
  Q_PROPERTY(QString Phone READ Phone WRITE SetPhone)
  Q_PROPERTY(int RingsBeforeAnswer READ RingsBeforeAnswer WRITE SetRingsBeforeAnswer)
  Q_PROPERTY(int CountryCode READ CountryCode WRITE SetCountryCode)
  Q_PROPERTY(QString AreaCode READ AreaCode WRITE SetAreaCode)
  Q_PROPERTY(bool Pulse READ Pulse WRITE SetPulse)
  Q_PROPERTY(bool Voice READ Voice WRITE SetVoice)
  Q_PROPERTY(TqxModemDevice* DeviceModem READ DeviceModem WRITE SetDeviceModem)

public:
  explicit TqxCommTAPI(QObject* owner = nullptr);
  ~TqxCommTAPI() override;

  // The comm handle of the open line, or INVALID_HANDLE_VALUE.
  HANDLE OpenDevice() override;
  // Switches a voice call back to voice before closing the data path.
  void Close() override;
  int GetDeviceIndex() override;
  // Limited to the last device; loads the device's modem settings, then notifies (code 3).
  void SetDeviceIndex(int Value) override;
  void EnumDevices() override;
  void DevicesChanged() override;
  // The selected device's port name, or empty.
  void GetDeviceName(QString& Name) override;
  // Queue sizes and time-outs; the driver's line settings stay, with abort-on-error set.
  void SetupDevice() override;
  // Applied to the port while connected; otherwise kept and applied when the call connects.
  void SetEventChar(char Ch) override;
  char GetEventChar() override;

  // Ends what is in progress, then dials Phone on the selected device.
  virtual void MakeCall();
  // Ends the call, the line and telephony use.
  virtual void HangUp();
  // Ends what is in progress, then opens the selected device's line for incoming calls.
  virtual void WaitForCall();
  // The modem's configuration dialog; what the user confirms becomes DeviceModem's settings.
  virtual void ConfigDialog();
  // Like MakeCall, without an address.
  virtual void MakeDirectCall();
  // Applies the configuration stored under RootKey\Key\ValueName to the selected device (first
  // selecting the stored device unless KeepDeviceIndex).
  virtual void LoadConfig(HKEY RootKey, const QString& Key, const QString& ValueName, bool KeepDeviceIndex);
  // Stores the selected device's index and configuration under RootKey\Key\ValueName.
  virtual void SaveConfig(HKEY RootKey, const QString& Key, const QString& ValueName);

  // The telephony device identifier of the selected device, or -1.
  int CurrentDeviceID() const;
  // The selected device's name, or "Error TAPI Device Name".
  QString DeviceNameText() const;
  // A line, a call and the data path are all there.
  bool IsConnected();
  // The selected device's entry, or null.
  TqxDeviceTAPI* SelectedDevice() const;

  int Retries() const { return m_Retries; }
  void SetRetries(int Value) { m_Retries = Value; }
  int PauseOnRepeat() const { return static_cast<int>(m_RepeatTimer->Interval()); }
  void SetPauseOnRepeat(int Value) { m_RepeatTimer->SetInterval(static_cast<std::uint32_t>(Value)); }
  QString Phone() const { return m_Phone; }
  void SetPhone(const QString& Value) { m_Phone = Value; }
  int RingsBeforeAnswer() const { return m_RingsBeforeAnswer; }
  void SetRingsBeforeAnswer(int Value) { m_RingsBeforeAnswer = Value; }
  int CountryCode() const { return m_CountryCode; }
  void SetCountryCode(int Value) { m_CountryCode = Value; }
  QString AreaCode() const { return m_AreaCode; }
  // Stored without leading and trailing blanks and control characters.
  void SetAreaCode(const QString& Value);
  bool Pulse() const { return m_Pulse; }
  void SetPulse(bool Value) { m_Pulse = Value; }
  bool Voice() const { return m_Voice; }
  // True only for a selected device with wave-in and wave-out devices; otherwise a fatal error
  // (detail 10) and Voice stays false.
  void SetVoice(bool Value);
  TqxModemDevice* DeviceModem() const { return m_DeviceModem.get(); }
  // Copies the settings (TqxModemDevice::Assign).
  void SetDeviceModem(TqxModemDevice* Value);

  // State, for the modem settings, the application and tests.
  HLINEAPP LineApp() const { return m_LineApp; }
  HLINE LineHandle() const { return m_LineHandle; }
  HCALL CallHandle() const { return m_CallHandle; }
  TCallState CallState() const { return m_CallState; }
  DWORD NumDevices() const { return m_NumDevices; }
  DWORD APIVersion() const { return m_APIVersion; }
  int UsageCount() const { return m_UsageCount; }
  int RingCount() const { return m_RingCount; }
  int RetryCount() const { return m_RetryCount; }
  int RepeatMode() const { return m_RepeatMode; }
  bool RepeatScheduled() const { return m_RepeatTimer->Enabled(); }
  LONG LastResult() const { return m_LastResult; }
  QString CallerID() const { return m_CallerID; }
  QString CallerIDName() const { return m_CallerIDName; }
  QString CalledID() const { return m_CalledID; }
  QString CalledIDName() const { return m_CalledIDName; }
  QString DialableAddress() const { return m_DialableAddress; }
  QString DisplayableAddress() const { return m_DisplayableAddress; }
  // The text MakeCall gives the library to translate: "+CC (AREA) PHONE", or "t"/"p" + Phone.
  QString BuildDialString() const;

  TNotifyEvent OnLineBusy;
  TNotifyEvent OnLineConnected;
  TNotifyEvent OnLineDoingConnection;
  TNotifyCallDisconnect OnLineDisconnected;
  // Kept for the application; the component itself never fires it.
  TOnLineError OnLineError;
  TOnLineCallState OnCallState;
  TOnDTMFEvent OnDTMF;
  TNotifyEvent OnTone;
  TNotifyRing OnRing;

protected:
  // Starts telephony use when nobody uses it; counts a user (also when the start failed).
  void AcquireTapi();
  // The last user out shuts telephony use down.
  void ReleaseTapi();
  // Closes the call and the line and ends telephony use, whoever uses it.
  void ShutdownTapi();
  // Closes the data path, the call (dropping it unless idle) and the line.
  void CloseCall();
  // Fatal error 2 with Detail: Message, LastResult and the library's text for it.
  void ReportTapiError(std::uint32_t Detail, const QString& Message);
  // Processes events until the reply to RequestID arrives or TimeoutMs passes (all ones: no
  // limit); the reply's result, or -1 when it did not come. Replies to other requests are logged
  // and do not end the wait.
  LONG WaitReply(LONG RequestID, DWORD TimeoutMs);

  // Every wait of the component for the library: replies, a call going idle.
  static constexpr DWORD kWaitMs = 7000;

  // Keeps telephony in use for one operation, whatever way the operation ends.
  class TapiUse {
  public:
    explicit TapiUse(TqxCommTAPI& Component);
    ~TapiUse();
    TapiUse(const TapiUse&) = delete;
    TapiUse& operator=(const TapiUse&) = delete;

  private:
    TqxCommTAPI& m_Component;
  };

private:
  static void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                           DWORD_PTR dwParam2, DWORD_PTR dwParam3);
  void HandleLineMessage(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
  void HandleCallState(HCALL Call, DWORD State, DWORD Mode);
  void RecordReply(LONG RequestID, LONG Result);

  void InitializeTapi();
  void UpdateCallInfo(HCALL Call, DWORD InfoStates);
  void CallProceeding();
  void CallConnected(HCALL Call);
  void CallDisconnected(HCALL Call);
  void CallOffering(HCALL Call);
  void RepeatTimerFired();
  bool IsCallIdle();
  // The call is still in the offering state.
  bool IsOffered(HCALL Call);
  void WaitCallIdle();
  // DeviceModem shows the selected device; false, reported with Detail and Fault and the device
  // index text, when none is selected.
  bool SelectCallDevice(std::uint32_t Detail, const QString& Fault);
  // The shared part of MakeCall and MakeDirectCall, from the device check on.
  void PlaceCall(bool Direct);
  // The line's "comm/datamodem" answer: the handle (INVALID_HANDLE_VALUE when none).
  HANDLE LineCommHandle(HLINE Line, QString* ModemName);
  DWORD MediaMode() const;

  char m_EventCharValue = 0;
  HLINEAPP m_LineApp = 0;
  HLINE m_LineHandle = 0;
  HCALL m_CallHandle = 0;
  DWORD m_NumDevices = 0;
  DWORD m_APIVersion = TAPI_VERSION2_0;
  int m_RingsBeforeAnswer = 0;
  int m_RingCount = 0;
  LINECALLPARAMS m_CallParams{};
  QString m_Phone;
  int m_CountryCode = 0;
  QString m_AreaCode;
  int m_DeviceIndex = -1;
  int m_Retries = 3;
  int m_RetryCount = 0;
  std::unique_ptr<TqxTimer> m_RepeatTimer;
  int m_RepeatMode = 0;  // 0 none, 1 repeat MakeCall, 2 repeat WaitForCall
  bool m_Repeating = false;  // a repeat runs: the operation keeps RetryCount
  TCallState m_CallState = csIdle;
  bool m_Pulse = false;
  std::unique_ptr<TqxModemDevice> m_DeviceModem;
  LONG m_LastResult = 0;
  // The replies that running waits expect, by request identifier, with the result once it came.
  // Waits nest (a notification handled inside one may wait for another request).
  std::map<LONG, std::optional<LONG>> m_Replies;
  int m_UsageCount = 0;
  bool m_Voice = false;
  bool m_VoiceActive = false;
  QString m_DisplayableAddress;
  QString m_DialableAddress;
  QString m_CallerID;
  QString m_CallerIDName;
  QString m_CalledID;
  QString m_CalledIDName;
};
