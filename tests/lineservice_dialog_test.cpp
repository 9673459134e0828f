// lineConfigDialog under the offscreen platform: the dialog shows the device's settings, OK
// stores what was changed, Cancel stores nothing.
#include "support/linetest.h"
#include "support/widgetdriver.h"

#include "platform/modemconfig.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QSpinBox>
#include <QWidget>

class LineDialog : public LineServiceTest {};

TEST_F(LineDialog, OkStoresTheSettingsCancelLeavesThem) {
  LineApp app(tapi);
  QWidget window;
  QWidget* owner = nullptr;
  bool shownAsStored = false;
  WhenShown([&](QDialog& dialog) {
    owner = dialog.parentWidget();
    auto* rate = dialog.findChild<QComboBox*>("maxRate");
    auto* setup = dialog.findChild<QSpinBox*>("callSetupTimeout");
    shownAsStored = rate && rate->currentText() == "115200" && setup && setup->value() == 60 &&
                    dialog.findChild<QCheckBox*>("errorControl")->isChecked();
    rate->setCurrentText("57600");
    dialog.findChild<QComboBox*>("flowControl")->setCurrentIndex(1);
    dialog.findChild<QCheckBox*>("errorControl")->setChecked(false);
    dialog.findChild<QCheckBox*>("waitForDialTone")->setChecked(false);
    dialog.findChild<QComboBox*>("speakerMode")->setCurrentIndex(int(MDMSPKR_ON));
    dialog.findChild<QComboBox*>("speakerVolume")->setCurrentIndex(int(MDMVOL_HIGH));
    setup->setValue(30);
    dialog.findChild<QSpinBox*>("inactivityTimeout")->setValue(0);
    dialog.accept();
  });
  ASSERT_EQ(tapi.lineConfigDialog(1, &window, "comm/datamodem"), 0);
  EXPECT_EQ(owner, &window) << "the dialog belongs to the given window";
  EXPECT_TRUE(shownAsStored) << "the dialog showed the stored settings";
  const QByteArray config = app.Config(1);
  EXPECT_EQ(FieldAt<DWORD>(config, 48), 57600u);
  const DWORD options = FieldAt<DWORD>(config, 116);
  EXPECT_TRUE(options & MDM_FLOWCONTROL_SOFT);
  EXPECT_FALSE(options & (MDM_FLOWCONTROL_HARD | MDM_ERROR_CONTROL));
  EXPECT_TRUE(options & MDM_COMPRESSION);
  EXPECT_TRUE(options & MDM_BLIND_DIAL) << "not waiting for the dial tone is blind dialing";
  EXPECT_EQ(FieldAt<DWORD>(config, 52) & 0x3304u, 0x1300u) << "DCB: XON/XOFF both ways, RTS simply on";
  EXPECT_EQ(FieldAt<DWORD>(config, 112), MDMSPKR_ON);
  EXPECT_EQ(FieldAt<DWORD>(config, 108), MDMVOL_HIGH);
  EXPECT_EQ(FieldAt<DWORD>(config, 100), 30u);
  EXPECT_EQ(FieldAt<DWORD>(config, 104), 0u);

  WhenShown([](QDialog& dialog) {
    dialog.findChild<QComboBox*>("maxRate")->setCurrentText("300");
    dialog.findChild<QSpinBox*>("callSetupTimeout")->setValue(5);
    dialog.reject();
  });
  ASSERT_EQ(tapi.lineConfigDialog(1, nullptr, nullptr), 0);
  EXPECT_EQ(app.Config(1), config) << "Cancel changes nothing";
  EXPECT_EQ(tapi.lineConfigDialog(1, nullptr, "wave/in"), LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(tapi.lineConfigDialog(4, nullptr, nullptr), LINEERR_BADDEVICEID);
}
