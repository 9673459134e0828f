#include "Unit1.h"

#include "downloadfolder.h"
#include "lightimages.h"
#include "transferprogress.h"
#include "ui_Unit1.h"

#include "framework/convert.h"
#include "framework/messages.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

namespace {

// What sets the four lights apart; the line component's monitors say which modem line each shows.
struct LightValues {
  bool Pulse;
  std::uint32_t PulseDuration;
};

constexpr LightValues kLights[] = {{false, 1000}, {false, 1000}, {true, 1500}, {false, 1000}};

constexpr QColor kYellow{255, 255, 0};

// Runs a form handler, showing what it raises through the application's exception display.
template <class Handler>
auto Shown(TForm1* form, Handler handler) {
  return [form, handler] { ShowingExceptions([&] { (form->*handler)(); }); };
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent),
      ui(std::make_unique<Ui::TForm1>()),
      m_qxLogFile1(std::make_unique<TqxLogFile>(this)),
      m_ImageList1(std::make_unique<TImageList>(16, 16, this)),
      m_qxZModem1(std::make_unique<TqxZModem>(this)),
      m_qxCommTAPI1(std::make_unique<TqxCommTAPI>(this)),
      m_OpenDialog1(std::make_unique<QFileDialog>(this)) {
  ui->setupUi(this);
  m_qxLogFile1->SetName(QStringLiteral("qxLogFile1"));
  m_ImageList1->SetName(QStringLiteral("ImageList1"));
  m_qxCommTAPI1->SetName(QStringLiteral("qxCommTAPI1"));
  m_qxZModem1->SetName(QStringLiteral("qxZModem1"));
  m_OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
  m_TransferProgress = new TTransferProgress(ui->ProgressBar1);
  ApplyLook();

  // The stored values, as a form resource gives them: every value first, then the references,
  // then each component ends its loading (the line component applies Terminal, TerminalUsage and
  // its active state there).
  const std::initializer_list<TComponent*> components = {m_qxLogFile1.get(), m_ImageList1.get(),
                                                         m_qxCommTAPI1.get(), m_qxZModem1.get()};
  for (TComponent* component : components) component->BeginLoading();
  ApplyStoredValues();
  ResolveReferences();
  for (TComponent* component : components) component->Loaded();
  BindHandlers();

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() = default;

void TForm1::ApplyLook() {
  // Font heights are the em heights in pixels: 10 for the form, in the desktop's own font.
  QFont font = QApplication::font();
  font.setPixelSize(10);
  setFont(font);
  // The caption bands: bold yellow text on the active caption's colour.
  const QColor caption = QApplication::palette().color(QPalette::Active, QPalette::Highlight);
  for (QLabel* band : {ui->Label1, ui->Label3, ui->Label2}) {
    QFont font = band->font();
    font.setBold(true);
    font.setPixelSize(12);
    band->setFont(font);
    QPalette palette = band->palette();
    palette.setColor(QPalette::WindowText, kYellow);
    palette.setColor(QPalette::Window, caption);
    band->setPalette(palette);
    band->setAutoFillBackground(true);
  }
  // The terminal: yellow on black in the system's fixed-width font.
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(15);
  ui->Memo1->setFont(fixed);
  QPalette terminal = ui->Memo1->palette();
  terminal.setColor(QPalette::Base, Qt::black);
  terminal.setColor(QPalette::Text, kYellow);
  ui->Memo1->setPalette(terminal);
  // The log mirror on the menus' background.
  QPalette log = ui->Memo2->palette();
  log.setColor(QPalette::Base, QApplication::palette("QMenu").color(QPalette::Window));
  ui->Memo2->setPalette(log);
  // Labels take the size of their text.
  ui->Label6->adjustSize();
  ui->Label7->adjustSize();
  // GroupBox1 keeps its width when the window is resized; GroupBox2 takes the rest.
  ui->Splitter1->setStretchFactor(0, 0);
  ui->Splitter1->setStretchFactor(1, 1);
  ui->Splitter1->setSizes({183, width() - 183 - ui->Splitter1->handleWidth()});
}

void TForm1::ApplyStoredValues() {
  TqxLogFile& log = *m_qxLogFile1;
  log.SetSizeLimit(2048);
  log.SetFileName(QStringLiteral("qxcommlib.log"));
  log.SetDetailLevel(dlDetail);
  log.SetOptions({loSafeMode, loAutoFileName});

  m_ImageList1->Add(LightImage(true));
  m_ImageList1->Add(LightImage(false));

  TqxCommTAPI& com = *m_qxCommTAPI1;
  com.SetRetries(3);
  com.SetPauseOnRepeat(3000);
  com.SetRingsBeforeAnswer(1);
  com.SetCountryCode(0);
  com.SetDeviceIndex(-1);
  com.SetPulse(false);
  TqxModemDevice& modem = *com.DeviceModem();
  modem.SetSpeakerVol(svLow);
  modem.SetSpeakerMode(smCallSetup);
  modem.SetInactivityTimeout(0);
  modem.SetCallFailTimer(60);
  modem.SetBaudRateMax(393216);
  modem.SetOptions({moShowIcon, moErrorControl, moCompression});
  modem.SetFlowControl(spHardware);
  com.SetVoice(false);
  com.SetTerminalUsage(tuBoth);
  com.SetTerminalEcho(true);
  com.SetEventListOnLine(false);
  com.SetTraceStates({tsRxChar});
  com.SetEventChar('\0');
  com.SetBufferInSize(4096);
  com.SetBufferOutSize(4096);
  com.SetTimeoutRead(0);
  com.SetTimeoutWrite(100);

  TqxZModem& zm = *m_qxZModem1;
  zm.SetAbortNoCarrier(false);
  zm.SetActive(true);
  zm.SetErrorLimit(255);
  zm.SetDefaultPath(DownloadFolder());
  zm.SetOptions({zoCreateWithNewName});
  zm.SetTimeOut(10000);
  zm.SetTimeOutRetries(3);

  ui->qxDeviceBox1->SetResetOnChanged(false);
  TqxSemaphore* const lights[] = {ui->qxSemaphore1, ui->qxSemaphore2, ui->qxSemaphore3, ui->qxSemaphore4};
  for (std::size_t i = 0; i < std::size(kLights); ++i) {
    TqxSemaphore& light = *lights[i];
    light.SetImageChecked(0);
    light.SetImageUnChecked(1);
    light.SetStretchImage(false);
    light.SetBlink(false);
    light.SetBlinkInterval(100);
    light.SetChecked(false);
    light.SetStyle3D(qxs3DSphere);
    light.SetTransparent(true);
    light.SetColor3DCheck(clBlue);
    light.SetColor3DUnCheck(clRed);
    light.SetFrame3D(false);
    light.SetPulse(kLights[i].Pulse);
    light.SetPulseDuration(kLights[i].PulseDuration);
  }

  // A file name or mask to send, in the folder where received files go.
  ui->Edit1->setText(zm.DefaultPath() + QStringLiteral("*.bat"));
}

void TForm1::ResolveReferences() {
  m_qxLogFile1->SetVisualOut(ui->Memo2);
  for (TqxSemaphore* light : {ui->qxSemaphore1, ui->qxSemaphore2, ui->qxSemaphore3, ui->qxSemaphore4})
    light->SetImages(m_ImageList1.get());
  TqxCommTAPI& com = *m_qxCommTAPI1;
  com.SetTerminal(ui->Memo1);
  com.SetMonitorCTS(ui->qxSemaphore1);
  com.SetMonitorDSR(ui->qxSemaphore2);
  com.SetMonitorRing(ui->qxSemaphore3);
  com.SetMonitorRLSD(ui->qxSemaphore4);
  com.SetLog(m_qxLogFile1.get());
  com.SetDataProcessor(m_qxZModem1.get());
  m_qxZModem1->SetProgressBar(ui->ProgressBar1);
  m_qxZModem1->SetLog(m_qxLogFile1.get());
  // Listing the component's devices makes it enumerate its lines.
  ui->qxDeviceBox1->SetqxComm(&com);
}

void TForm1::BindHandlers() {
  connect(ui->Button2, &QPushButton::clicked, this, Shown(this, &TForm1::Button2Click));
  connect(ui->Button3, &QPushButton::clicked, this, Shown(this, &TForm1::Button3Click));
  connect(ui->Button4, &QPushButton::clicked, this, Shown(this, &TForm1::Button4Click));
  // A check box's click handler runs on every change of its state, also one made by code.
  connect(ui->CheckBox1, &QCheckBox::toggled, this, Shown(this, &TForm1::CheckBox1Click));
  connect(ui->Button1, &QPushButton::clicked, this, Shown(this, &TForm1::Button1Click));
  connect(ui->bSend, &QPushButton::clicked, this, Shown(this, &TForm1::bSendClick));
  connect(ui->bBreak, &QPushButton::clicked, this, Shown(this, &TForm1::bBreakClick));
  connect(ui->chkReceive, &QCheckBox::toggled, this, Shown(this, &TForm1::chkReceiveClick));

  m_qxCommTAPI1->OnLineConnected = [this](QObject* Com) { qxCommTAPI1LineConnected(Com); };
  m_qxCommTAPI1->OnLineDisconnected = [this](QObject* Com, bool ByRemote) {
    qxCommTAPI1LineDisconnected(Com, ByRemote);
  };

  TqxZModem& zm = *m_qxZModem1;
  zm.OnBeforeReceived = [this](QObject* Sender, QString& FileName, bool& flSkip) {
    qxZModem1BeforeReceived(Sender, FileName, flSkip);
  };
  zm.OnProgress = [this](QObject* Sender) { qxZModem1Progress(Sender); };
  zm.OnSuccessfulEnd = [this](QObject* Sender) { qxZModem1SuccessfulEnd(Sender); };
  zm.OnAbort = [this](QObject* Sender, TzAbortType Error) { qxZModem1Abort(Sender, Error); };
  zm.OnAfterFileSent = [this](QObject* Sender, const QString& FileName, bool flComplete) {
    qxZModem1AfterFileSent(Sender, FileName, flComplete);
  };
  zm.OnAfterFileReceived = [this](QObject* Sender, const QString& FileName) {
    qxZModem1AfterFileReceived(Sender, FileName);
  };
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) ShowingExceptions([this] { FormShow(); });
}

void TForm1::Button2Click() { m_qxCommTAPI1->ConfigDialog(); }

void TForm1::Button3Click() {
  m_qxCommTAPI1->SetPhone(ui->Edit2->text());
  m_qxCommTAPI1->MakeCall();
}

void TForm1::Button4Click() { m_qxCommTAPI1->HangUp(); }

void TForm1::CheckBox1Click() {
  if (ui->CheckBox1->isChecked()) {
    m_qxCommTAPI1->SetRingsBeforeAnswer(StrToInt(ui->Edit3->text()));
    m_qxCommTAPI1->WaitForCall();
  } else {
    m_qxCommTAPI1->HangUp();
  }
}

void TForm1::qxCommTAPI1LineConnected(QObject*) {
  ui->bSend->setEnabled(true);
  ui->chkReceive->setEnabled(true);
  ui->bBreak->setEnabled(false);
}

void TForm1::qxCommTAPI1LineDisconnected(QObject*, bool) {
  ui->bSend->setEnabled(false);
  ui->chkReceive->setEnabled(false);
  ui->bBreak->setEnabled(false);
}

void TForm1::Button1Click() {
  if (m_OpenDialog1->exec() == QDialog::Accepted && !m_OpenDialog1->selectedFiles().isEmpty())
    ui->Edit1->setText(m_OpenDialog1->selectedFiles().constFirst());
}

void TForm1::bSendClick() {
  m_qxZModem1->SendFile(ui->Edit1->text());
  ui->bBreak->setEnabled(true);
}

void TForm1::bBreakClick() {
  ui->bBreak->setEnabled(false);
  m_qxZModem1->Abort();
}

void TForm1::chkReceiveClick() { m_qxZModem1->SetActive(ui->chkReceive->isChecked()); }

void TForm1::qxZModem1BeforeReceived(QObject*, QString& FileName, bool&) {
  ui->Label5->setText(QStringLiteral("Receiving ..."));
  ui->Label4->setText(FileName);
  ui->bSend->setEnabled(false);
}

void TForm1::qxZModem1SuccessfulEnd(QObject*) {
  ui->Label5->setText(QStringLiteral("Ready"));
  ui->bSend->setEnabled(true);
  m_TransferProgress->Ended();
}

void TForm1::qxZModem1Abort(QObject*, TzAbortType) {
  ui->bSend->setEnabled(true);
  m_TransferProgress->Ended();
}

void TForm1::qxZModem1AfterFileReceived(QObject*, const QString& FileName) {
  ui->Memo2->appendPlainText(QStringLiteral("File ") + FileName + QStringLiteral(" received."));
}

void TForm1::qxZModem1AfterFileSent(QObject*, const QString& FileName, bool) {
  ui->Memo2->appendPlainText(QStringLiteral("File ") + FileName + QStringLiteral(" was sent."));
}

void TForm1::qxZModem1Progress(QObject*) {}

void TForm1::FormShow() { ui->chkReceive->setChecked(m_qxZModem1->Active()); }
