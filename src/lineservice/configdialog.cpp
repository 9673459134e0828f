#include "lineservice/configdialog.h"

#include "lineservice/devconfig.h"
#include "lineservice/lineapi.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>
#include <QThread>
#include <QVBoxLayout>

using namespace lineservice;

namespace lineservice {

namespace {

constexpr DWORD kRates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
enum FlowChoice { kFlowNone, kFlowSoftware, kFlowHardware };

QComboBox* Choices(QWidget* parent, const char* name, const QStringList& items, int current) {
  auto* box = new QComboBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->addItems(items);
  box->setCurrentIndex(current);
  return box;
}

QCheckBox* Check(QWidget* parent, const char* name, const QString& text, bool checked) {
  auto* box = new QCheckBox(text, parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setChecked(checked);
  return box;
}

QSpinBox* Seconds(QWidget* parent, const char* name, DWORD value, int max) {
  auto* box = new QSpinBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setRange(0, max);
  box->setSuffix(QStringLiteral(" s"));
  box->setValue(int(std::min<DWORD>(value, DWORD(max))));
  return box;
}

}  // namespace

bool EditDevConfig(QWidget* owner, const QString& deviceName, DEVCFG& config) {
  MODEMSETTINGS& m = config.modemSettings;
  DWORD& options = m.dwPreferredModemOptions;
  QDialog dialog(owner);
  dialog.setObjectName(QStringLiteral("modemSettings"));
  dialog.setWindowTitle(QStringLiteral("%1 Properties").arg(deviceName));
  dialog.setModal(true);

  QStringList rates;
  int rateIndex = 0;
  for (std::size_t i = 0; i < std::size(kRates); ++i) {
    rates << QString::number(kRates[i]);
    if (kRates[i] <= config.dcb.BaudRate) rateIndex = int(i);
  }
  auto* maxRate = Choices(&dialog, "maxRate", rates, rateIndex);
  const int flow = (options & MDM_FLOWCONTROL_SOFT) ? kFlowSoftware : (options & MDM_FLOWCONTROL_HARD) ? kFlowHardware : kFlowNone;
  auto* flowControl = Choices(&dialog, "flowControl", {"None", "Xon/Xoff (software)", "RTS/CTS (hardware)"}, flow);
  auto* errorControl = Check(&dialog, "errorControl", QStringLiteral("Use error control"), options & MDM_ERROR_CONTROL);
  auto* compression = Check(&dialog, "compression", QStringLiteral("Compress data"), options & MDM_COMPRESSION);
  // In the order of the MDMSPKR_ values.
  auto* speakerMode = Choices(&dialog, "speakerMode", {"Off", "On while dialing", "Always on", "On until connected"},
                              int(m.dwSpeakerMode));
  auto* speakerVolume = Choices(&dialog, "speakerVolume", {"Low", "Medium", "High"}, int(m.dwSpeakerVolume));
  auto* waitForDialTone =
      Check(&dialog, "waitForDialTone", QStringLiteral("Wait for dial tone before dialing"), !(options & MDM_BLIND_DIAL));
  auto* callSetup = Seconds(&dialog, "callSetupTimeout", m.dwCallSetupFailTimer, 255);
  auto* inactivity = Seconds(&dialog, "inactivityTimeout", m.dwInactivityTimeout, 65535);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Maximum speed:"), maxRate);
  form->addRow(QStringLiteral("Flow control:"), flowControl);
  form->addRow(QString(), errorControl);
  form->addRow(QString(), compression);
  form->addRow(QStringLiteral("Speaker:"), speakerMode);
  form->addRow(QStringLiteral("Speaker volume:"), speakerVolume);
  form->addRow(QString(), waitForDialTone);
  form->addRow(QStringLiteral("Cancel the call if not connected within:"), callSetup);
  form->addRow(QStringLiteral("Disconnect a call if idle for more than:"), inactivity);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->setObjectName(QStringLiteral("buttons"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addLayout(form);
  layout->addWidget(buttons);

  if (dialog.exec() != QDialog::Accepted) return false;

  config.dcb.BaudRate = kRates[std::clamp(maxRate->currentIndex(), 0, int(std::size(kRates)) - 1)];
  // Flow control as the port and the modem see it, kept consistent.
  config.dcb.fOutxCtsFlow = 0;
  config.dcb.fRtsControl = RTS_CONTROL_ENABLE;
  config.dcb.fOutX = config.dcb.fInX = 0;
  options &= ~(MDM_FLOWCONTROL_HARD | MDM_FLOWCONTROL_SOFT | MDM_ERROR_CONTROL | MDM_COMPRESSION | MDM_BLIND_DIAL);
  if (flowControl->currentIndex() == kFlowHardware) {
    config.dcb.fOutxCtsFlow = 1;
    config.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    options |= MDM_FLOWCONTROL_HARD;
  } else if (flowControl->currentIndex() == kFlowSoftware) {
    config.dcb.fOutX = config.dcb.fInX = 1;
    options |= MDM_FLOWCONTROL_SOFT;
  }
  if (errorControl->isChecked()) options |= MDM_ERROR_CONTROL;
  if (compression->isChecked()) options |= MDM_COMPRESSION;
  if (!waitForDialTone->isChecked()) options |= MDM_BLIND_DIAL;
  m.dwSpeakerMode = DWORD(std::max(0, speakerMode->currentIndex()));
  m.dwSpeakerVolume = DWORD(std::max(0, speakerVolume->currentIndex()));
  m.dwCallSetupFailTimer = DWORD(callSetup->value());
  m.dwInactivityTimeout = DWORD(inactivity->value());
  return true;
}

}  // namespace lineservice

extern "C" LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass) {
  DEVCFG config;
  QString name;
  {
    Locked s;
    if (!s.service) return LINEERR_UNINITIALIZED;
    const Device* device = s.service->FindDevice(dwDeviceID);
    if (!device) return LINEERR_BADDEVICEID;
    const std::string deviceClass = DeviceClass(lpszDeviceClass);
    if (!deviceClass.empty() && deviceClass != "comm/datamodem" && deviceClass != "comm" && deviceClass != "tapi/line")
      return LINEERR_INVALDEVICECLASS;
    config = device->config;
    name = QString::fromUtf8(device->modem.friendlyName.c_str());
  }
  if (!qobject_cast<QApplication*>(QCoreApplication::instance()) ||
      QThread::currentThread() != QCoreApplication::instance()->thread()) {
    Complain("lineConfigDialog", "the dialog needs a widget application and its main thread");
    return LINEERR_OPERATIONFAILED;
  }
  // The dialog runs without the lock: calls go on while it is open.
  if (!EditDevConfig(static_cast<QWidget*>(hwndOwner), name, config)) return 0;
  Locked s;
  if (!s.service || !s.service->FindDevice(dwDeviceID)) return LINEERR_BADDEVICEID;
  return s.service->StoreConfig(dwDeviceID, &config, DWORD(kDevConfigSize));
}
