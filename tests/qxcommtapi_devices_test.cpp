// The telephony line component's devices and modem settings over the line service: the device
// list and its selection, the settings at their fixed positions of the device configuration,
// Assign, InitString, the configuration dialog, stored configurations, and every error report
// with its text and detail.
#include "support/telephonytest.h"

#include "framework/exception.h"
#include "platform/modemconfig.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QSpinBox>
#include <QTimer>

#include <functional>

namespace {

const QString kClassKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}");
const char kStoreKey[] = "Software\\qxTest\\Modems";

QByteArray StoredValue(const char* name) {
  HKEY key = 0;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  QByteArray data(4096, '\0');
  DWORD size = DWORD(data.size());
  DWORD type = 0;
  const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_BINARY ? data.left(int(size)) : QByteArray();
}

void PutStoredValue(const char* name, const QByteArray& data) {
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.constData()), DWORD(data.size()));
  RegCloseKey(key);
}

class TelephonyDevices : public TelephonyTest {};

TEST_F(TelephonyDevices, ListedWithTheirIdentifiersAndSelectedWithinTheList) {
  Modem empty;
  empty.com.SetDeviceIndex(1);
  EXPECT_EQ(empty.com.GetDeviceIndex(), -1) << "an empty list selects nothing";

  Modem modem;
  int changes = 0;
  struct Listener {
    int* count;
    void Changed(TqxBaseIO*, int code) { *count += code == 3; }
  } listener{&changes};
  modem.com.AddNotify(TqxNotifyHandler::Of<Listener, &Listener::Changed>(&listener));
  TqxDeviceList list;
  modem.com.GetDeviceList(&list);
  ASSERT_EQ(list.size(), 3);
  for (int i = 0; i < 3; ++i) {
    const auto* device = dynamic_cast<const TqxDeviceTAPI*>(list[i].second);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(list[i].first, QStringLiteral("Virtual Modem %1").arg(i + 1));
    EXPECT_EQ(device->ModemName, device->Name);
    EXPECT_EQ(device->DeviceID, i);
    EXPECT_FALSE(device->PortName.isEmpty() || device->PortName == "???") << device->PortName.toStdString();
    EXPECT_NE(device->WaveInID, 0u);
    EXPECT_NE(device->WaveOutID, 0u);
    EXPECT_TRUE(device->BearerModes & LINEBEARERMODE_VOICE);
    EXPECT_TRUE(device->MediaModes & LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(device->DevCaps.dwTotalSize, sizeof(LINEDEVCAPS));
  }
  EXPECT_EQ(modem.com.LineApp(), 0u) << "the listing ends its telephony use";
  EXPECT_EQ(modem.com.UsageCount(), 0);

  modem.com.SetDeviceIndex(7);
  EXPECT_EQ(modem.com.GetDeviceIndex(), 2);
  EXPECT_EQ(modem.com.CurrentDeviceID(), 2);
  EXPECT_EQ(modem.com.DeviceNameText(), "Virtual Modem 3");
  QString port;
  modem.com.GetDeviceName(port);
  EXPECT_EQ(port, static_cast<const TqxDeviceTAPI*>(list[2].second)->PortName);
  EXPECT_EQ(modem.com.DeviceModem()->RegistryKey(), kClassKey + "\\0002");
  modem.com.SetDeviceIndex(-4);
  EXPECT_EQ(modem.com.GetDeviceIndex(), -4) << "negative values are kept";
  EXPECT_EQ(modem.com.CurrentDeviceID(), -1);
  EXPECT_EQ(modem.com.DeviceNameText(), "Error TAPI Device Name");
  modem.com.GetDeviceName(port);
  EXPECT_EQ(port, QString());
  EXPECT_EQ(changes, 2);
  EXPECT_TRUE(modem.faults.empty());
}

TEST_F(TelephonyDevices, ARefreshOfTheListDuringACallKeepsTheCall) {
  QByteArray received;  // outlives the components, whose closing may still deliver data
  Modem caller(0), callee(1);
  callee.com.WaitForCall();
  caller.Dial("102");
  ASSERT_TRUE(BothConnected(caller, callee));
  callee.com.SetTraceStates({tsRxChar});
  callee.com.OnAfterReceive = [&](QObject*, const char* data, std::uint32_t count) { received.append(data, int(count)); };
  caller.com.DevicesChanged();
  EXPECT_EQ(caller.com.DeviceCount(), 3);
  EXPECT_TRUE(caller.com.IsConnected());
  caller.com.SendString("still here");
  ASSERT_TRUE(ProcessEventsUntil([&] { return received == "still here"; }));
  caller.com.HangUp();
}

TEST_F(TelephonyDevices, SettingsGoToTheirFixedPositionsAndComeBack) {
  LineApp direct(tapi);
  Modem modem(1);
  TqxModemDevice& settings = *modem.com.DeviceModem();
  // While telephony is not in use only the field changes.
  settings.SetInactivityTimeout(41);
  EXPECT_EQ(settings.InactivityTimeout(), 41u);
  EXPECT_NE(FieldAt<DWORD>(direct.Config(1), 104), 41u);
  modem.com.WaitForCall();  // in use from now on; the settings were written to the device
  EXPECT_EQ(FieldAt<DWORD>(direct.Config(1), 104), 41u);

  // Numbers go to their positions unchanged; the speaker mode as its ordinal.
  settings.SetSpeakerMode(smCallSetup);
  settings.SetSpeakerVol(svHigh);
  settings.SetInactivityTimeout(33);
  settings.SetCallFailTimer(17);
  settings.SetBaudRateMax(57600);
  const QByteArray numbers = direct.Config(1);
  EXPECT_EQ(FieldAt<DWORD>(numbers, 112), 1u) << "smCallSetup";
  EXPECT_EQ(FieldAt<DWORD>(numbers, 108), 2u);
  EXPECT_EQ(FieldAt<DWORD>(numbers, 104), 33u);
  EXPECT_EQ(FieldAt<DWORD>(numbers, 100), 17u);
  EXPECT_EQ(FieldAt<DWORD>(numbers, 48), 57600u);
  settings.SetSpeakerMode(smDial);
  EXPECT_EQ(FieldAt<DWORD>(direct.Config(1), 112), 3u) << "smDial";
  {
    Modem reader(1);  // selecting the device reads its settings afresh
    TqxModemDevice& read = *reader.com.DeviceModem();
    EXPECT_TRUE(read.SpeakerMode() == smDial && read.SpeakerVol() == svHigh && read.InactivityTimeout() == 33 &&
                read.CallFailTimer() == 17 && read.BaudRateMax() == 57600);
  }

  constexpr DWORD kOptionBits = MDM_COMPRESSION | MDM_ERROR_CONTROL | MDM_FORCED_EC | MDM_SPEED_ADJUST | MDM_BLIND_DIAL;
  const struct {
    TModemOptions options;
    DWORD bits;
    WORD terminal;  // fwOptions
  } optionRows[] = {
      {{}, MDM_BLIND_DIAL, 0},
      {{moWaitTone}, 0, 0},
      {{moErrorControl}, MDM_ERROR_CONTROL | MDM_SPEED_ADJUST | MDM_BLIND_DIAL, 0},
      {{moCompression, moForcedConnection, moWaitTone}, MDM_COMPRESSION | MDM_FORCED_EC | MDM_SPEED_ADJUST, 0},
      {{moPreTerminal, moPostTerminal, moShowIcon, moWaitTone}, 0, 0x0B},
  };
  for (const auto& row : optionRows) {
    settings.SetOptions(row.options);
    const QByteArray config = direct.Config(1);
    EXPECT_EQ(FieldAt<DWORD>(config, 116) & kOptionBits, row.bits) << int(row.options.Bits());
    EXPECT_EQ(FieldAt<WORD>(config, 32), row.terminal) << int(row.options.Bits());
    EXPECT_EQ(Modem(1).com.DeviceModem()->Options(), row.options) << int(row.options.Bits());
  }
  const struct {
    TStreamProtocol flow;
    DWORD bits;
    DWORD dcbFlags;  // fOutxCtsFlow, fOutX, fInX, fRtsControl
  } flowRows[] = {{spHardware, MDM_FLOWCONTROL_HARD, 0x2004}, {spXonXoff, MDM_FLOWCONTROL_SOFT, 0x0300}, {spNone, 0, 0}};
  for (const auto& row : flowRows) {
    settings.SetFlowControl(row.flow);
    const QByteArray config = direct.Config(1);
    EXPECT_EQ(FieldAt<DWORD>(config, 116) & (MDM_FLOWCONTROL_HARD | MDM_FLOWCONTROL_SOFT), row.bits) << row.flow;
    EXPECT_EQ(FieldAt<DWORD>(config, 52) & 0x3304, row.dcbFlags) << row.flow;
    EXPECT_EQ(Modem(1).com.DeviceModem()->FlowControl(), row.flow) << row.flow;
  }

  // Assigning copies six settings but not the maximum rate.
  Modem other;
  TqxModemDevice& source = *other.com.DeviceModem();
  source.SetInactivityTimeout(5);
  source.SetCallFailTimer(9);
  source.SetSpeakerVol(svMedium);
  source.SetSpeakerMode(smOn);
  source.SetOptions({moCompression});
  source.SetFlowControl(spHardware);
  source.SetBaudRateMax(9600);
  modem.com.SetDeviceModem(&source);
  const QByteArray config = direct.Config(1);
  EXPECT_EQ(FieldAt<DWORD>(config, 104), 5u);
  EXPECT_EQ(FieldAt<DWORD>(config, 100), 9u);
  EXPECT_EQ(FieldAt<DWORD>(config, 108), 1u);
  EXPECT_EQ(FieldAt<DWORD>(config, 112), 2u);
  EXPECT_EQ(FieldAt<DWORD>(config, 116) & (MDM_COMPRESSION | MDM_ERROR_CONTROL | MDM_FLOWCONTROL_HARD | MDM_BLIND_DIAL),
            MDM_COMPRESSION | MDM_FLOWCONTROL_HARD | MDM_BLIND_DIAL);
  EXPECT_EQ(FieldAt<DWORD>(config, 48), 57600u) << "BaudRateMax is not copied";
  try {
    modem.com.SetDeviceModem(nullptr);
    ADD_FAILURE() << "assigning nothing raises";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot assign a nil to a TqxModemDevice");
  }
  modem.com.HangUp();
}

TEST_F(TelephonyDevices, InitStringLivesInTheModemsDriverKey) {
  Modem modem(0);
  TqxModemDevice& settings = *modem.com.DeviceModem();
  ASSERT_EQ(settings.RegistryKey(), kClassKey + "\\0000");
  settings.SetInitString("ATM1L2");
  EXPECT_EQ(settings.InitString(), "ATM1L2");
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kClassKey + "\\0000").toLatin1().constData(), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  char text[64] = {};
  DWORD size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "UserInit", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(QByteArray(text, int(size)), QByteArray("ATM1L2", 7)) << "stored with its terminating zero";
  // Without a device there is no key: nothing is read or written.
  Modem none;
  none.com.DeviceModem()->SetInitString("ATZ");
  EXPECT_EQ(none.com.DeviceModem()->InitString(), QString());
}

TEST_F(TelephonyDevices, ConfigDialogShowsTheSettingsAndKeepsWhatTheUserConfirms) {
  Modem modem(1);
  modem.com.DeviceModem()->SetCallFailTimer(45);  // only the field: written when the dialog opens
  int shownSetup = -1;
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [&shownSetup, poll] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    poll->stop();
    poll->deleteLater();
    shownSetup = dialog->findChild<QSpinBox*>("callSetupTimeout")->value();
    dialog->findChild<QComboBox*>("maxRate")->setCurrentText("57600");
    dialog->findChild<QComboBox*>("speakerVolume")->setCurrentIndex(int(MDMVOL_HIGH));
    dialog->findChild<QSpinBox*>("inactivityTimeout")->setValue(0);
    dialog->accept();
  });
  poll->start(10);
  modem.com.ConfigDialog();
  EXPECT_EQ(shownSetup, 45);
  TqxModemDevice& settings = *modem.com.DeviceModem();
  EXPECT_EQ(settings.BaudRateMax(), 57600u);
  EXPECT_EQ(settings.SpeakerVol(), svHigh);
  EXPECT_EQ(settings.InactivityTimeout(), 0u);
  EXPECT_EQ(settings.CallFailTimer(), 45u);
  EXPECT_EQ(modem.com.LineApp(), 0u);
}

TEST_F(TelephonyDevices, SaveAndLoadConfigWithAndWithoutKeepDeviceIndex) {
  LineApp direct(tapi);
  const auto setInactivity = [&](DWORD device, DWORD seconds) {
    direct.ChangeConfig(device, [seconds](QByteArray& b) { SetFieldAt<DWORD>(b, 104, seconds); });
  };
  setInactivity(2, 77);
  Modem modem(2);
  modem.com.SaveConfig(HKEY_CURRENT_USER, kStoreKey, "Stored");
  const QByteArray stored = StoredValue("Stored");
  const QByteArray device2 = direct.Config(2);
  const DWORD needed = FieldAt<DWORD>(device2, 4);
  ASSERT_EQ(stored.size(), int(1 + needed));
  EXPECT_EQ(stored[0], 2) << "the device index comes first";
  EXPECT_TRUE(stored.mid(1 + 24) == device2.mid(24, int(needed) - 24)) << "then the configuration as the library gave it";

  setInactivity(2, 5);
  modem.com.SetDeviceIndex(0);
  modem.com.LoadConfig(HKEY_CURRENT_USER, kStoreKey, "Stored", false);
  EXPECT_EQ(modem.com.GetDeviceIndex(), 2) << "the stored device is selected again";
  EXPECT_EQ(FieldAt<DWORD>(direct.Config(2), 104), 77u);

  setInactivity(2, 6);
  modem.com.SetDeviceIndex(0);
  modem.com.LoadConfig(HKEY_CURRENT_USER, kStoreKey, "Stored", true);
  EXPECT_EQ(modem.com.GetDeviceIndex(), 0);
  EXPECT_EQ(FieldAt<DWORD>(direct.Config(0), 104), 77u) << "the stored configuration goes to the device selected now";
  EXPECT_EQ(FieldAt<DWORD>(direct.Config(2), 104), 6u);

  modem.com.LoadConfig(HKEY_CURRENT_USER, kStoreKey, "Nothing stored", false);
  EXPECT_EQ(modem.com.GetDeviceIndex(), 0);
  EXPECT_TRUE(modem.faults.empty());

  // Values that do not fit or announce more than they hold are refused, and nothing is applied.
  QByteArray announcing = stored;
  SetFieldAt<DWORD>(announcing, 1 + 16, 1500);
  PutStoredValue("Announcing", announcing);
  PutStoredValue("Long", stored + QByteArray(3000, 'x'));
  for (const char* name : {"Announcing", "Long"}) {
    modem.faults.clear();
    setInactivity(0, 8);
    modem.com.LoadConfig(HKEY_CURRENT_USER, kStoreKey, name, false);
    ASSERT_EQ(modem.faults.size(), 1u) << name;
    EXPECT_EQ(modem.faults[0].detail, 6u) << name;
    EXPECT_TRUE(modem.faults[0].text.startsWith("qxCommLib TAPI error:\rLoad config Error Device\r")) << name;
    EXPECT_EQ(FieldAt<DWORD>(direct.Config(0), 104), 8u) << name;
    EXPECT_EQ(modem.com.GetDeviceIndex(), 0) << name;
  }
}

TEST_F(TelephonyDevices, EveryFailureIsReportedWithItsTextAndDetail) {
  const QString noCall = QStringLiteral("qxTAPI Error: Call was fault");
  const QString noWait = QStringLiteral("qxTAPI Error: Waiting for a incoming call was fault");
  const struct {
    const char* what;
    int device;  // -2: the device list is not read
    std::function<void(TqxCommTAPI&)> act;
    std::uint32_t detail;
    QString message;
  } rows[] = {
      {"MakeCall without a device", -1, [](auto& c) { c.MakeCall(); }, 6, noCall + "\rDevice index (-1 of 3) is not valid"},
      {"MakeCall on an empty list", -2, [](auto& c) { c.MakeCall(); }, 6, noCall + "\rDevice index (-1 of 0) is not valid"},
      {"MakeDirectCall without a device", -1, [](auto& c) { c.MakeDirectCall(); }, 6,
       noCall + "\rDevice index (-1 of 3) is not valid"},
      {"MakeDirectCall: a virtual modem needs an address", 0, [](auto& c) { c.MakeDirectCall(); }, 6, noCall},
      {"WaitForCall without a device", -1, [](auto& c) { c.WaitForCall(); }, 7, noWait + "\rDevice index (-1 of 3) is not valid"},
      {"Voice without a device", -1, [](auto& c) { c.SetVoice(true); }, 10,
       "qxTAPI Error: Device does not support Voice features"},
      {"SaveConfig without a device", -1, [](auto& c) { c.SaveConfig(HKEY_CURRENT_USER, kStoreKey, "x"); }, 8,
       "Save config Error Device"},
      {"LoadConfig without a device", -1, [](auto& c) { c.LoadConfig(HKEY_CURRENT_USER, kStoreKey, "x", false); }, 5,
       "Load config Error Device Not Found"},
  };
  for (const auto& row : rows) {
    Modem modem(row.device == -2 ? -1 : 0);
    if (row.device != -2) modem.com.SetDeviceIndex(row.device);
    row.act(modem.com);
    ASSERT_EQ(modem.faults.size(), 1u) << row.what;
    const TelephonyFault& fault = modem.faults[0];
    EXPECT_EQ(fault.code, 2u) << row.what;
    EXPECT_EQ(fault.detail, row.detail) << row.what;
    EXPECT_EQ(fault.text, TapiErrorTextOf(row.message, modem.com.LastResult())) << row.what;
    EXPECT_EQ(modem.Logged(QRegularExpression::escape(Format("Fatal Error: 2, %u, %s", {row.detail, fault.text}))), 1)
        << row.what;
    EXPECT_FALSE(modem.com.Voice()) << row.what;
    EXPECT_EQ(modem.com.LineHandle(), 0u) << row.what;
  }
  // A number that waits in another process: the library refuses the line with a code and text of its own.
  FarLine far({"answer", "--number", "102"});
  ASSERT_TRUE(far.Waiting()) << far.Errors().toStdString();
  Modem second(1);
  second.com.WaitForCall();
  ASSERT_EQ(second.faults.size(), 1u);
  EXPECT_EQ(second.faults[0].detail, 7u);
  EXPECT_LT(second.com.LastResult(), -1) << "a LINEERR code";
  EXPECT_EQ(second.faults[0].text, TapiErrorTextOf(noWait, second.com.LastResult()));
  EXPECT_FALSE(qxtapi::TapiErrorText(DWORD(second.com.LastResult())).isEmpty());
  EXPECT_EQ(second.com.LineApp(), 0u) << "telephony use ends with the failure";

  // Without a handler that clears it, the error is raised with its text.
  Modem raising(-1);
  raising.raiseErrors = true;
  try {
    raising.com.MakeCall();
    ADD_FAILURE() << "MakeCall without a device did not raise";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), TapiErrorTextOf(noCall + "\rDevice index (-1 of 0) is not valid", raising.com.LastResult()));
  }
}

TEST_F(TelephonyDevices, TelephonyThatCannotStartIsReported) {
  // A library that cannot be loaded.
  {
    TempFolder empty;
    ScopedVariable hidden("QX_LIBRARY_PATH", empty.Path().string());
    qxtapi::UnloadTapi();
    Modem modem;
    modem.com.GetDeviceList(nullptr);
    ASSERT_EQ(modem.faults.size(), 1u);
    EXPECT_EQ(modem.faults[0].detail, 3u);
    EXPECT_EQ(modem.faults[0].text, TapiErrorTextOf("qxTAPI Fatal Error: Initialize Fatal Error", -1));
    EXPECT_EQ(modem.com.DeviceCount(), 0);
    EXPECT_EQ(modem.com.LineApp(), 0u);
  }
  // A store without line devices (only a modem key attached to nothing; a serial port would make it
  // an AT modem).
  TempFolder store;
  ScopedVariable registry("QX_REGISTRY_DIR", store.Path().string());
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kClassKey + "\\0000").toLatin1().constData(), 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (auto [name, text] : {std::pair{"FriendlyName", "Unattached Modem"}})
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(strlen(text) + 1));
  RegCloseKey(key);
  Modem modem;
  modem.com.GetDeviceList(nullptr);
  ASSERT_EQ(modem.faults.size(), 1u);
  EXPECT_EQ(modem.faults[0].detail, 2u);
  EXPECT_EQ(modem.faults[0].text, TapiErrorTextOf("qxTAPI Fatal Error: no one TAPI devices was found", modem.com.LastResult()));
  EXPECT_EQ(modem.com.LineApp(), 0u);
}

}  // namespace
