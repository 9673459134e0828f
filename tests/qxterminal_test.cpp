// The terminal form on its own: every control and stored value, the fonts, colours and layout, the
// errors the line controls report, and the two dialogs.
#include "support/terminaltest.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QSplitter>

#include <tuple>
#include <vector>

namespace {

QString Caption(const QWidget& control) {
  if (auto* button = qobject_cast<const QAbstractButton*>(&control)) return button->text();
  if (auto* label = qobject_cast<const QLabel*>(&control)) return label->text();
  if (auto* edit = qobject_cast<const QLineEdit*>(&control)) return edit->text();
  if (auto* box = qobject_cast<const QGroupBox*>(&control)) return box->title();
  return {};
}

QVariant Ref(const QObject* object) { return QVariant::fromValue(static_cast<const void*>(object)); }

class TerminalForm : public TerminalTest {};

TEST_F(TerminalForm, ControlsPlacementAndStoredValues) {
  Terminal t;
  TForm1& form = t.form;
  EXPECT_EQ(form.windowTitle(), "TAPI Terminal - qxComm Lib Demo Project");
  EXPECT_EQ(form.size(), QSize(554, 465));

  // Controls placed by position: parent, position, size (0: the text's own), caption, enabled.
  const struct {
    const char* name;
    const char* parent;
    QRect geometry;
    QString caption;
    bool enabled;
  } placed[] = {
      {"qxDeviceBox1", "Panel1", {7, 13, 124, 21}, "", true},
      {"Button2", "Panel1", {137, 13, 46, 20}, "Cfg", true},
      {"Button4", "Panel1", {215, 13, 60, 20}, "Drop Line", true},
      {"Edit2", "Panel1", {7, 46, 65, 21}, "p6", true},
      {"Button3", "Panel1", {85, 46, 46, 20}, "Call", true},
      {"CheckBox1", "Panel1", {156, 46, 105, 13}, "Answer after ...", true},
      {"Edit3", "Panel1", {273, 46, 40, 21}, "3", true},
      {"Label7", "Panel1", {325, 46, 0, 0}, "... incoming calls", true},
      {"qxSemaphore1", "Panel2", {7, 3, 13, 13}, "", true},
      {"qxSemaphore2", "Panel2", {26, 3, 13, 13}, "", true},
      {"qxSemaphore3", "Panel2", {46, 3, 13, 13}, "", true},
      {"qxSemaphore4", "Panel2", {65, 3, 13, 13}, "", true},
      {"chkReceive", "GroupBox1", {91, 17, 79, 14}, "Auto receive", false},
      {"Label6", "GroupBox2", {22, 20, 0, 0}, "Send file or file mask:", true},
      {"Edit1", "GroupBox2", {20, 40, 176, 21}, Downloads() + "*.bat", true},
      {"Button1", "GroupBox2", {202, 39, 26, 20}, "...", true},
      {"bSend", "GroupBox2", {18, 78, 61, 20}, "Send", false},
      {"bBreak", "GroupBox2", {167, 78, 61, 20}, "Break", false},
  };
  for (const auto& row : placed) {
    const QWidget& control = t.Get<QWidget>(row.name);
    EXPECT_EQ(control.parentWidget()->objectName(), row.parent) << row.name;
    if (row.geometry.width() > 0)
      EXPECT_EQ(control.geometry(), row.geometry) << row.name;
    else
      EXPECT_EQ(control.pos(), row.geometry.topLeft()) << row.name;
    EXPECT_EQ(Caption(control), row.caption) << row.name;
    EXPECT_EQ(control.isEnabled(), row.enabled) << row.name;
  }
  EXPECT_EQ(t.Get<QCheckBox>("chkReceive").layoutDirection(), Qt::RightToLeft) << "text left of the box";

  // The bands aligned to the top stack in order, the transfer panel fills the rest above the
  // status bar.
  const struct {
    const char* name;
    int height;
    QString caption;
  } stack[] = {{"Panel1", 72, ""},  {"Label1", 13, "Terminal"}, {"Memo1", 69, ""},  {"Panel2", 18, ""},
               {"Label3", 13, "Logging"}, {"Memo2", 43, ""},      {"Label2", 13, "ZModem"}, {"Splitter1", 205, ""},
               {"StatusBar1", 19, ""}};
  int top = 0;
  for (const auto& band : stack) {
    const QWidget& control = t.Get<QWidget>(band.name);
    EXPECT_EQ(control.geometry(), QRect(0, top, 554, band.height)) << band.name;
    EXPECT_EQ(Caption(control), band.caption) << band.name;
    top += band.height;
  }
  const auto& splitter = t.Get<QSplitter>("Splitter1");
  EXPECT_EQ(splitter.handleWidth(), 2);
  EXPECT_EQ(splitter.widget(0), &t.Get<QGroupBox>("GroupBox1"));
  EXPECT_EQ(splitter.widget(1), &t.Get<QGroupBox>("GroupBox2"));
  EXPECT_EQ(t.Get<QGroupBox>("GroupBox1").width(), 183);
  EXPECT_EQ(t.Get<QGroupBox>("GroupBox1").title(), " Status ");
  EXPECT_EQ(t.Get<QGroupBox>("GroupBox2").title(), "File");
  // Status, file name and progress at the bottom of the status box, in that order.
  const QRect status = t.Get<QLabel>("Label5").geometry(), name = t.Get<QLabel>("Label4").geometry(),
              progress = t.Get<QProgressBar>("ProgressBar1").geometry();
  EXPECT_EQ(t.Text("Label5"), "Label5");
  EXPECT_EQ(t.Text("Label4"), "Label4");
  EXPECT_TRUE(status.bottom() < name.top() && name.bottom() < progress.top()) << "Label5, Label4, ProgressBar1";
  EXPECT_GE(progress.bottom(), t.Get<QGroupBox>("GroupBox1").height() - 8);
  EXPECT_EQ(progress.height(), 16);
  const auto& bar = t.Get<QProgressBar>("ProgressBar1");
  EXPECT_EQ(std::tuple(bar.minimum(), bar.maximum(), bar.value()), std::tuple(0, 100, 0));

  // Fonts and colours.
  const auto& caption = t.Get<QLabel>("Label1");
  EXPECT_TRUE(caption.font().bold());
  EXPECT_EQ(caption.font().pixelSize(), 12);
  EXPECT_EQ(caption.palette().color(QPalette::WindowText), QColor(255, 255, 0));
  EXPECT_EQ(caption.alignment(), Qt::AlignCenter);
  const auto& terminal = t.Get<QPlainTextEdit>("Memo1");
  EXPECT_TRUE(QFontInfo(terminal.font()).fixedPitch());
  EXPECT_EQ(terminal.font().pixelSize(), 15);
  EXPECT_EQ(terminal.palette().color(QPalette::Base), QColor(Qt::black));
  EXPECT_EQ(terminal.palette().color(QPalette::Text), QColor(255, 255, 0));

  // The components' stored values, with the references between them.
  TqxLogFile& log = *form.qxLogFile1();
  TqxCommTAPI& com = *form.qxCommTAPI1();
  TqxModemDevice& modem = *com.DeviceModem();
  TqxZModem& zm = *form.qxZModem1();
  const std::vector<std::tuple<const char*, QVariant, QVariant>> values = {
      {"log SizeLimit", log.SizeLimit(), 2048u},
      {"log FileName", log.FileName(), "qxcommlib.log"},
      {"log VisualOut", Ref(log.VisualOut()), Ref(&t.Get<QWidget>("Memo2"))},
      {"log DetailLevel", log.DetailLevel(), dlDetail},
      {"log Options", log.Options().Bits(), TLogOptions{loSafeMode, loAutoFileName}.Bits()},
      {"Retries", com.Retries(), 3},
      {"PauseOnRepeat", com.PauseOnRepeat(), 3000},
      {"RingsBeforeAnswer", com.RingsBeforeAnswer(), 1},
      {"CountryCode", com.CountryCode(), 0},
      {"DeviceIndex", com.GetDeviceIndex(), -1},
      {"Pulse", com.Pulse(), false},
      {"Phone", com.Phone(), ""},
      {"AreaCode", com.AreaCode(), ""},
      {"SpeakerVol", modem.SpeakerVol(), svLow},
      {"SpeakerMode", modem.SpeakerMode(), smCallSetup},
      {"InactivityTimeout", modem.InactivityTimeout(), 0u},
      {"CallFailTimer", modem.CallFailTimer(), 60u},
      {"BaudRateMax", modem.BaudRateMax(), 393216u},
      {"modem Options", modem.Options().Bits(), TModemOptions{moShowIcon, moErrorControl, moCompression}.Bits()},
      {"FlowControl", modem.FlowControl(), spHardware},
      {"Voice", com.Voice(), false},
      {"Terminal", Ref(com.Terminal()), Ref(&t.Get<QWidget>("Memo1"))},
      {"TerminalUsage", com.TerminalUsage(), tuBoth},
      {"TerminalEcho", com.TerminalEcho(), true},
      {"MonitorCTS", Ref(com.MonitorCTS()), Ref(&t.Get<QWidget>("qxSemaphore1"))},
      {"MonitorDSR", Ref(com.MonitorDSR()), Ref(&t.Get<QWidget>("qxSemaphore2"))},
      {"MonitorRing", Ref(com.MonitorRing()), Ref(&t.Get<QWidget>("qxSemaphore3"))},
      {"MonitorRLSD", Ref(com.MonitorRLSD()), Ref(&t.Get<QWidget>("qxSemaphore4"))},
      {"EventListOnLine", com.EventListOnLine(), false},
      {"TraceStates", com.TraceStates().Bits(), TTraceStates{tsRxChar}.Bits()},
      {"EventChar", int(com.GetEventChar()), 0},
      {"BufferInSize", com.GetBufferInSize(), 4096},
      {"BufferOutSize", com.GetBufferOutSize(), 4096},
      {"TimeoutRead", com.TimeoutRead(), 0u},
      {"TimeoutWrite", com.TimeoutWrite(), 100u},
      {"Log", Ref(com.Log()), Ref(&log)},
      {"DataProcessor", Ref(com.DataProcessor()), Ref(&zm)},
      {"line events", bool(com.OnLineConnected) && bool(com.OnLineDisconnected), true},
      {"zm AbortNoCarrier", zm.AbortNoCarrier(), false},
      {"zm Active", zm.Active(), true},
      {"zm ErrorLimit", zm.ErrorLimit(), 255u},
      {"zm ProgressBar", Ref(zm.ProgressBar()), Ref(&bar)},
      {"zm DefaultPath", zm.DefaultPath(), Downloads()},
      {"zm Options", zm.Options().Bits(), TzModemOptions{zoCreateWithNewName}.Bits()},
      {"zm TimeOut", zm.TimeOut(), 10000u},
      {"zm TimeOutRetries", zm.TimeOutRetries(), 3u},
      {"zm Log", Ref(zm.Log()), Ref(&log)},
      {"zm events", zm.OnBeforeReceived && zm.OnProgress && zm.OnSuccessfulEnd && zm.OnAbort && zm.OnAfterFileSent &&
                        zm.OnAfterFileReceived && !zm.OnBeforeFileSend,
       true},
      {"OpenDialog1", Ref(form.OpenDialog1()->parent()), Ref(&form)},
  };
  for (const auto& [label, actual, expected] : values) EXPECT_EQ(actual, expected) << label;

  // The lights, all bound to the image list, shown as rendered spheres.
  const struct {
    const char* name;
    bool pulse;
    std::uint32_t duration;
  } lights[] = {{"qxSemaphore1", false, 1000}, {"qxSemaphore2", false, 1000}, {"qxSemaphore3", true, 1500},
                {"qxSemaphore4", false, 1000}};
  for (const auto& row : lights) {
    const auto& light = t.Get<TqxSemaphore>(row.name);
    EXPECT_EQ(std::tuple(light.Images(), light.ImageChecked(), light.ImageUnChecked(), light.StretchImage()),
              std::tuple(form.ImageList1(), 0, 1, false))
        << row.name;
    EXPECT_EQ(std::tuple(light.Blink(), light.BlinkInterval(), light.Checked(), light.Style3D(), light.Transparent()),
              std::tuple(false, 100, false, qxs3DSphere, true))
        << row.name;
    EXPECT_EQ(std::tuple(light.Color3DCheck(), light.Color3DUnCheck(), light.Frame3D(), light.Pulse(),
                         light.PulseDuration()),
              std::tuple(clBlue, clRed, false, row.pulse, row.duration))
        << row.name;
  }
  // The image list's two lights: lit bright green, unlit dark green, transparent around.
  const TImageList& images = *form.ImageList1();
  ASSERT_EQ(images.Count(), 2);
  const QImage lit = images.Pixmap(0).toImage(), unlit = images.Pixmap(1).toImage();
  EXPECT_EQ(lit.size(), QSize(16, 16));
  EXPECT_EQ(qAlpha(lit.pixel(0, 15)), 0);
  const QColor litCentre = lit.pixelColor(8, 8), unlitCentre = unlit.pixelColor(8, 8);
  EXPECT_TRUE(litCentre.green() > 200 && litCentre.green() > 2 * litCentre.red()) << litCentre.name().toStdString();
  EXPECT_TRUE(unlitCentre.green() < 130 && unlitCentre.green() > 2 * unlitCentre.red())
      << unlitCentre.name().toStdString();

  // The device box lists the modem lines, none chosen; the window shows automatic reception on.
  const auto& box = t.Get<TqxDeviceBox>("qxDeviceBox1");
  EXPECT_EQ(box.qxComm(), &com);
  EXPECT_FALSE(box.ResetOnChanged());
  ASSERT_EQ(box.count(), 3);
  EXPECT_EQ(box.itemText(1), "Virtual Modem 2");
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_TRUE(t.Get<QCheckBox>("chkReceive").isChecked()) << "shown with the component's Active";
  EXPECT_TRUE(t.StatusBarEmpty());
  EXPECT_TRUE(m_Shown.messages.isEmpty());
}

TEST_F(TerminalForm, ReceivedFilesGoToTheDownloadFolderOrElseHome) {
  ASSERT_TRUE(QDir(Downloads()).removeRecursively());
  Terminal t;
  EXPECT_EQ(t.form.qxZModem1()->DefaultPath(), Home() + "/");
  EXPECT_EQ(t.Text("Edit1"), Home() + "/*.bat");
}

TEST_F(TerminalForm, LineControlsReportErrorsThroughTheMessageDisplay) {
  Terminal t;
  TqxCommTAPI& com = *t.form.qxCommTAPI1();
  // No modem chosen: dialing and waiting report the device index.
  t.Click("Button3");
  ASSERT_EQ(m_Shown.messages.size(), 1);
  EXPECT_EQ(m_Shown.messages[0].text, TapiErrorTextOf("qxTAPI Error: Call was fault\rDevice index (-1 of 3) is not valid",
                                                      com.LastResult()));
  EXPECT_EQ(m_Shown.messages[0].icon, MessageIcon::Error);
  t.Click("CheckBox1");
  ASSERT_EQ(m_Shown.messages.size(), 2);
  EXPECT_EQ(m_Shown.messages[1].text,
            TapiErrorTextOf("qxTAPI Error: Waiting for a incoming call was fault\rDevice index (-1 of 3) is not valid",
                            com.LastResult()));
  EXPECT_TRUE(t.Get<QCheckBox>("CheckBox1").isChecked());
  EXPECT_TRUE(t.Text("Memo2").contains("Fatal Error: 2, 7, qxCommLib TAPI error:")) << t.Text("Memo2").toStdString();
  t.Click("CheckBox1");  // unchecked: hangs up, which needs no device
  EXPECT_EQ(m_Shown.messages.size(), 2);
  EXPECT_TRUE(t.Text("Memo2").endsWith("qxCommTAPI: HangUp")) << t.Text("Memo2").toStdString();

  // A ring count that is not a number: nothing changes, the box stays checked.
  t.PickDevice(1);
  EXPECT_EQ(com.GetDeviceIndex(), 1);
  const int rings = com.RingsBeforeAnswer();
  for (const char* count : {"three", "3x", ""}) {
    t.SetText("Edit3", count);
    m_Shown.messages.clear();
    if (t.Get<QCheckBox>("CheckBox1").isChecked()) t.Click("CheckBox1");
    t.Click("CheckBox1");
    ASSERT_EQ(m_Shown.messages.size(), 1) << count;
    EXPECT_EQ(m_Shown.messages[0].text, QStringLiteral("'%1' is not a valid integer value").arg(count));
    EXPECT_TRUE(t.Get<QCheckBox>("CheckBox1").isChecked());
    EXPECT_EQ(com.RingsBeforeAnswer(), rings);
    EXPECT_EQ(com.CallState(), csIdle) << "WaitForCall is not called";
  }
  EXPECT_TRUE(t.StatusBarEmpty());
}

TEST_F(TerminalForm, ConfigurationAndFileDialogs) {
  Terminal t;
  t.PickDevice(1);
  // "Cfg": what the user confirms becomes the modem's settings.
  ASSERT_EQ(t.form.qxCommTAPI1()->DeviceModem()->FlowControl(), spHardware);
  bool shown = false;
  WhenShown([&](QDialog& dialog) {
    shown = dialog.objectName() == "modemSettings";
    dialog.findChild<QComboBox*>("flowControl")->setCurrentIndex(1);
    dialog.accept();
  });
  t.Click("Button2");
  EXPECT_TRUE(shown);
  EXPECT_EQ(t.form.qxCommTAPI1()->DeviceModem()->FlowControl(), spXonXoff);

  // "...": a chosen file goes into Edit1; cancelling changes nothing.
  const QString chosen = Downloads() + "chosen.txt";
  WriteTestFile(chosen, "x");
  WhenShown([&](QDialog& dialog) {
    // The user types the name into the dialog's file name field.
    dialog.findChild<QLineEdit*>("fileNameEdit")->setText(chosen);
    dialog.accept();
  });
  t.Click("Button1");
  EXPECT_EQ(t.Text("Edit1"), chosen);
  WhenShown([](QDialog& dialog) { dialog.reject(); });
  t.Click("Button1");
  EXPECT_EQ(t.Text("Edit1"), chosen);
  EXPECT_TRUE(m_Shown.messages.isEmpty());
}

}  // namespace
