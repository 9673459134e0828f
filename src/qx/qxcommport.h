// TqxCommPort: the serial engine on a serial device opened by path.
#pragma once

#include "framework/types.h"
#include "qx/qxcustomcomm.h"

#include <QString>

enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sbOne, sbOneAndHalf, sbTwo };

// A direct serial connection: a tty by path (a serial port, or a pty for testing), held
// exclusively while open, with its rate, framing and flow control. The settings are stored while
// closed and applied at Open; changed while open they apply at once. Devices lists the serial
// devices found in DeviceFolder (/dev), each under its path.
class TqxCommPort : public TqxCustomComm {
  Q_OBJECT
  Q_PROPERTY(QString Port READ Port WRITE SetPort)
  Q_PROPERTY(quint32 BaudRate READ BaudRate WRITE SetBaudRate)
  Q_PROPERTY(quint8 ByteSize READ ByteSize WRITE SetByteSize)
  Q_PROPERTY(TParity Parity READ Parity WRITE SetParity)
  Q_PROPERTY(TStopBits StopBits READ StopBits WRITE SetStopBits)
  Q_PROPERTY(TStreamProtocol FlowControl READ FlowControl WRITE SetFlowControl)
  Q_PROPERTY(QString DeviceFolder READ DeviceFolder WRITE SetDeviceFolder)

public:
  explicit TqxCommPort(QObject* owner = nullptr);
  ~TqxCommPort() override;

  HANDLE OpenDevice() override;
  void GetDeviceName(QString& Name) override;
  // Queue sizes and time-outs, then the line settings; a device that refuses them is closed and
  // the failure is a fatal error.
  void SetupDevice() override;
  // The position of Port in Devices, or -1.
  int GetDeviceIndex() override;
  // Selects the device at Index as Port.
  void SetDeviceIndex(int Index) override;
  void EnumDevices() override;
  // The device list is read again.
  void DevicesChanged() override;

  QString Port() const { return m_Port; }
  void SetPort(const QString& Value) { m_Port = Value; }
  quint32 BaudRate() const { return m_BaudRate; }
  void SetBaudRate(quint32 Value);
  quint8 ByteSize() const { return m_ByteSize; }
  void SetByteSize(quint8 Value);
  TParity Parity() const { return m_Parity; }
  void SetParity(TParity Value);
  TStopBits StopBits() const { return m_StopBits; }
  void SetStopBits(TStopBits Value);
  TStreamProtocol FlowControl() const { return m_FlowControl; }
  void SetFlowControl(TStreamProtocol Value);
  QString DeviceFolder() const { return m_DeviceFolder; }
  void SetDeviceFolder(const QString& Value) { m_DeviceFolder = Value; }

private:
  // Writes the stored settings to the open device; false with the system error when refused.
  bool ApplyLineSettings();
  // Applies a changed setting to an open port; a refusal is a fatal error.
  void LineSettingsChanged();
  void SetupFailed();

  QString m_Port;
  quint32 m_BaudRate = 9600;
  quint8 m_ByteSize = 8;
  TParity m_Parity = paNone;
  TStopBits m_StopBits = sbOne;
  TStreamProtocol m_FlowControl = spNone;
  QString m_DeviceFolder = QStringLiteral("/dev");
};
