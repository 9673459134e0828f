// TqxModemDevice: the settings of the modem selected on a telephony line component.
#pragma once

#include "framework/types.h"
#include "qx/qxtapibuffer.h"

#include <QObject>
#include <QString>

#include <cstdint>

class TqxCommTAPI;

// Speaker mode and volume; the ordinal is what the device configuration stores.
enum TSpeakMode { smOff, smCallSetup, smOn, smDial };
enum TSpeakVol { svLow, svMedium, svHigh };

enum TModemOption { moPreTerminal, moPostTerminal, moShowIcon, moErrorControl, moCompression, moForcedConnection, moWaitTone };
using TModemOptions = TSet<TModemOption, std::uint8_t>;

// Shows and changes the settings of the line component's selected modem. They live in the device
// configuration that the telephony library keeps for the modem ("comm/datamodem"): every property
// read first refreshes the fields from the device and every write goes to the device at once. While
// no device is selected or telephony is not in use, reads and writes only touch the fields, so
// values set before a device is chosen are kept until a call writes them to the device.
// InitString is the modem driver's "UserInit" registry value instead.
class TqxModemDevice : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString InitString READ InitString WRITE SetInitString)
  Q_PROPERTY(TSpeakVol SpeakerVol READ SpeakerVol WRITE SetSpeakerVol)
  Q_PROPERTY(TSpeakMode SpeakerMode READ SpeakerMode WRITE SetSpeakerMode)
  Q_PROPERTY(quint32 InactivityTimeout READ InactivityTimeout WRITE SetInactivityTimeout)
  Q_PROPERTY(quint32 CallFailTimer READ CallFailTimer WRITE SetCallFailTimer)
  Q_PROPERTY(quint32 BaudRateOfConnect READ BaudRateOfConnect)
  Q_PROPERTY(quint32 BaudRateMax READ BaudRateMax WRITE SetBaudRateMax)
  Q_PROPERTY(TModemOptions Options READ Options WRITE SetOptions)
  Q_PROPERTY(TModemOptions OptionsOfConnect READ OptionsOfConnect)
  Q_PROPERTY(TStreamProtocol FlowControl READ FlowControl WRITE SetFlowControl)
  Q_PROPERTY(TStreamProtocol FlowControlOfConnect READ FlowControlOfConnect)

public:
  explicit TqxModemDevice(TqxCommTAPI* Owner);
  ~TqxModemDevice() override;

  // From another TqxModemDevice: its time-outs, speaker, options and flow control (read through
  // its properties), then written to this device; BaudRateMax is not copied. Anything else (null
  // included) raises the conversion error.
  void Assign(QObject* Source);
  // Shows the telephony device ID from now on (and finds its driver's registry key).
  void SelectDevice(int ID);
  // Device configuration into the fields; nothing when it cannot be read or is not a modem's.
  void ReadConfig();
  // Fields into the device configuration; nothing when it cannot be read.
  void WriteConfig();
  // Whether the owner's selected device has a wave-out (Direction 0) or wave-in (1) device.
  bool SupportsWave(int Direction) const;

  QString InitString() const;
  void SetInitString(const QString& Value);
  TSpeakVol SpeakerVol();
  void SetSpeakerVol(TSpeakVol Value);
  TSpeakMode SpeakerMode();
  void SetSpeakerMode(TSpeakMode Value);
  // Seconds.
  quint32 InactivityTimeout();
  void SetInactivityTimeout(quint32 Value);
  quint32 CallFailTimer();
  void SetCallFailTimer(quint32 Value);
  // The rate of the connected call.
  quint32 BaudRateOfConnect();
  quint32 BaudRateMax();
  void SetBaudRateMax(quint32 Value);
  TModemOptions Options();
  void SetOptions(TModemOptions Value);
  TModemOptions OptionsOfConnect();
  TStreamProtocol FlowControl();
  void SetFlowControl(TStreamProtocol Value);
  TStreamProtocol FlowControlOfConnect();

  TqxCommTAPI* Owner() const { return m_Owner; }
  int DeviceID() const { return m_DeviceID; }
  // The driver key of the device's modem below HKEY_LOCAL_MACHINE, or empty.
  QString RegistryKey() const { return m_RegistryKey; }

private:
  enum class ConfigKind { Unreadable, Other, Modem };
  // Reads the device configuration into the buffer: unreadable, another device's, or a modem's.
  ConfigKind ReadBuffer();
  // A device is selected and telephony is in use.
  bool Active() const;

  quint32 m_InactivityTimeout = 10;
  quint32 m_CallFailTimer = 60;
  TSpeakMode m_SpeakerMode = smDial;
  TSpeakVol m_SpeakerVol = svLow;
  TModemOptions m_Options{moShowIcon, moErrorControl, moCompression, moForcedConnection};
  TModemOptions m_OptionsOfConnect;
  TapiBuffer m_ConfigBuffer;
  int m_DeviceID = -1;
  quint32 m_BaudRateOfConnect = 0;
  quint32 m_BaudRateMax = 115200;
  TStreamProtocol m_FlowControl = spXonXoff;
  TStreamProtocol m_FlowControlOfConnect = spNone;
  TqxCommTAPI* const m_Owner;
  QString m_RegistryKey;
};
