// The terminal form over the virtual modems, driven through its controls: two forms of this process
// calling each other (rings, lights, typing, a file both ways of the panel, hang-up), a call placed
// while waiting, remote senders in another process, and a long transfer that is broken off, with a
// screenshot of the window while the file moves.
#include "support/terminaltest.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>

namespace {

class TerminalCalls : public TerminalTest {};

// Calls 103, where qxline answers, from Virtual Modem 1, with no repeat when the call ends.
void CallFarLine(Terminal& t) {
  t.form.qxCommTAPI1()->SetRetries(0);
  t.PickDevice(0);
  t.SetText("Edit2", "103");
  t.Click("Button3");
}

TEST_F(TerminalCalls, TwoFormsCallTypeSendAFileAndTheFarEndHangsUp) {
  // Rings long apart, so that the ring light goes out between them.
  ScopedVariable cadence{"QX_LINE_RING_CADENCE", "60,1700"};
  Terminal a, b;
  b.PickDevice(1);
  b.SetText("Edit3", "3");
  b.Click("CheckBox1");
  EXPECT_TRUE(b.Text("Memo2").contains("Device [Virtual Modem 2] wait for incoming call ...")) << b.Text("Memo2").toStdString();
  a.PickDevice(0);
  a.SetText("Edit2", "102");
  a.Click("Button3");
  int pulses = 0;
  bool ringing = false;
  ASSERT_TRUE(ProcessEventsUntil(
      [&] {
        pulses += !ringing && b.Lit("qxSemaphore3");
        ringing = b.Lit("qxSemaphore3");
        return a.Connected() && b.Connected();
      },
      20000))
      << b.Text("Memo2").toStdString();
  EXPECT_EQ(b.form.qxCommTAPI1()->RingCount(), 3) << "answered on the third ring, not the stored one";
  EXPECT_EQ(pulses, 3) << "the ring light pulses at each ring";
  EXPECT_TRUE(ProcessEventsUntil([&] { return !b.Lit("qxSemaphore3"); })) << "and goes out after the last";
  for (const Terminal* t : {&a, &b}) {
    EXPECT_EQ(t->TransferControls(), "++-");
    EXPECT_TRUE(t->Lit("qxSemaphore1") && t->Lit("qxSemaphore2") && t->Lit("qxSemaphore4")) << "CTS, DSR, DCD";
  }

  // Typed keys go over the call and show at home as well.
  a.Type("hello b");
  ASSERT_TRUE(ProcessEventsUntil([&] { return b.Text("Memo1") == "hello b"; })) << b.Text("Memo1").toStdString();
  EXPECT_EQ(a.Text("Memo1"), "hello b");

  // "Send": the file arrives whole; each side says so in its log window.
  const QString source = QString::fromStdString(m_Folder / "send.bin");
  const QByteArray content = Pattern(200000, 3);
  WriteTestFile(source, content);
  a.SetText("Edit1", source);
  a.Click("bSend");
  EXPECT_EQ(a.TransferControls(), "+++");
  ASSERT_TRUE(ProcessEventsUntil([&] { return a.Text("Label5") == "Ready" && b.Text("Label5") == "Ready"; }, 60000))
      << a.Text("Memo2").toStdString();
  const QString received = Downloads() + "send.bin";
  EXPECT_TRUE(ReadAll(received) == content);
  EXPECT_EQ(b.Text("Label4"), received);
  EXPECT_TRUE(b.Text("Memo2").endsWith("\nFile " + received + " received.")) << b.Text("Memo2").toStdString();
  EXPECT_TRUE(a.Text("Memo2").contains("\nFile " + source + " was sent.\n")) << a.Text("Memo2").toStdString();
  EXPECT_EQ(a.TransferControls(), "+++") << "Break stays enabled after a successful send";
  EXPECT_EQ(b.TransferControls(), "++-");
  for (const Terminal* t : {&a, &b}) EXPECT_EQ(t->Get<QProgressBar>("ProgressBar1").text(), "200000 bytes");
  EXPECT_EQ(a.Text("Memo1"), "hello b") << "the protocol stays out of the terminal";
  EXPECT_EQ(b.Text("Memo1"), "hello b");

  // Without "Auto receive" the component refuses to send; Break while idle only disables itself.
  b.Click("chkReceive");
  EXPECT_FALSE(b.form.qxZModem1()->Active());
  b.Click("bSend");
  ASSERT_EQ(m_Shown.messages.size(), 1);
  EXPECT_EQ(m_Shown.messages[0].text, "The TqxZmodem service is not active.");
  a.Click("bBreak");
  EXPECT_EQ(a.TransferControls(), "++-");

  // The far end hangs up: the transfer controls go off on both sides, and so do the lights.
  b.Click("CheckBox1");
  ASSERT_TRUE(ProcessEventsUntil([&] { return a.TransferControls() == "---"; }));
  EXPECT_EQ(b.TransferControls(), "---");
  EXPECT_FALSE(a.Lit("qxSemaphore1") || a.Lit("qxSemaphore2") || a.Lit("qxSemaphore4"));

  // Both logs went to the one file beside the program, which kept within its limit.
  const QFileInfo log(a.form.qxLogFile1()->ResolveFileName());
  EXPECT_EQ(log.path(), QFileInfo(QCoreApplication::applicationFilePath()).path());
  EXPECT_GT(a.Text("Memo2").size() + b.Text("Memo2").size(), 2048);
  EXPECT_GT(log.size(), 0);
  EXPECT_LE(log.size(), 2048);
  EXPECT_TRUE(a.StatusBarEmpty() && b.StatusBarEmpty());
}

TEST_F(TerminalCalls, UncheckingAnswerHangsUpACallPlacedWithCall) {
  Modem far(1);
  far.com.WaitForCall();
  Terminal t;
  t.PickDevice(0);
  t.Click("CheckBox1");  // waits on 101 ...
  EXPECT_EQ(t.form.qxCommTAPI1()->CallState(), csWaiting);
  t.SetText("Edit2", "102");
  t.Click("Button3");  // ... and then calls 102
  ASSERT_TRUE(ProcessEventsUntil([&] { return t.Connected() && far.Connected(); }));
  EXPECT_TRUE(t.Get<QCheckBox>("CheckBox1").isChecked());
  t.Click("CheckBox1");
  EXPECT_EQ(t.form.qxCommTAPI1()->CallState(), csIdle);
  EXPECT_EQ(t.TransferControls(), "---");
  ASSERT_TRUE(ProcessEventsUntil([&] { return far.remoteDisconnects == 1; }));
  EXPECT_TRUE(m_Shown.messages.isEmpty());
}

// A remote sender in another process, behind qxline answer --exec: its file is received at once.
TEST_F(TerminalCalls, ARemoteSendersFileIsReceivedAutomatically) {
  const QString source = QString::fromStdString(m_Folder / "far.bin");
  const QByteArray content = Pattern(150000, 4);
  WriteTestFile(source, content);
  const struct {
    const char* name;
    QString command;
  } senders[] = {{"lrzsz's sz", QStringLiteral("sz '%1'").arg(source)},
                 {"qxzm send", QStringLiteral("'%1' send '%2'").arg(QStringLiteral(QXZM_PATH), source)}};
  for (const auto& sender : senders) {
    if (sender.command.startsWith("sz") && !HaveLrzsz()) continue;
    QFile::remove(Downloads() + "far.bin");
    FarLine far({"answer", "--number", "103", "--once", "--exec", sender.command});
    ASSERT_TRUE(far.Waiting()) << far.Errors().toStdString();
    Terminal t;
    CallFarLine(t);
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.Text("Label5") == "Ready"; }, 60000))
        << sender.name << "\n" << t.Text("Memo2").toStdString() << far.Errors().toStdString();
    EXPECT_TRUE(ReadAll(Downloads() + "far.bin") == content) << sender.name;
    EXPECT_EQ(t.Text("Label4"), Downloads() + "far.bin") << sender.name;
    EXPECT_TRUE(t.Text("Memo2").contains("\nFile " + Downloads() + "far.bin received.")) << sender.name;
    // The sender's end hangs up when its program has ended.
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.TransferControls() == "---"; })) << sender.name;
    ASSERT_TRUE(ProcessEventsUntil([&] { return far.Ended(); }));
    EXPECT_EQ(far.Status(), 0) << sender.name << far.Errors().toStdString();
  }
  EXPECT_TRUE(m_Shown.messages.isEmpty()) << m_Shown.messages.value(0).text.toStdString();
}

// The dial-in file service that scripts/run --answer starts: "Send" delivers the file into its folder.
TEST_F(TerminalCalls, SendDeliversAFileToTheDialInService) {
  const QString inbox = QString::fromStdString(m_Folder / "inbox");
  ASSERT_TRUE(QDir().mkpath(inbox));
  const QString source = QString::fromStdString(m_Folder / "letter.txt");
  const QByteArray content = Pattern(70000, 5);
  WriteTestFile(source, content);
  FarLine far({"answer", "--number", "103", "--once", "--exec",
               QStringLiteral("'%1' receive '%2'").arg(QStringLiteral(QXZM_PATH), inbox)});
  ASSERT_TRUE(far.Waiting()) << far.Errors().toStdString();
  Terminal t;
  CallFarLine(t);
  ASSERT_TRUE(ProcessEventsUntil([&] { return t.Connected(); })) << t.Text("Memo2").toStdString();
  t.SetText("Edit1", source);
  t.Click("bSend");
  ASSERT_TRUE(ProcessEventsUntil([&] { return t.Text("Memo2").contains("File " + source + " was sent."); }, 60000))
      << t.Text("Memo2").toStdString() << far.Errors().toStdString();
  // The receiving program ends with its session, and the service hangs up.
  ASSERT_TRUE(ProcessEventsUntil([&] { return t.TransferControls() == "---"; })) << far.Errors().toStdString();
  EXPECT_TRUE(ReadAll(inbox + "/letter.txt") == content);
  ASSERT_TRUE(ProcessEventsUntil([&] { return far.Ended(); }));
  EXPECT_EQ(far.Status(), 0) << far.Errors().toStdString();
  EXPECT_TRUE(m_Shown.messages.isEmpty()) << m_Shown.messages.value(0).text.toStdString();
}

// A file sent at the modems' speed (115200 bit/s): the progress bar tells rate and time left, the
// window is rendered into a PNG, "Break" ends the transfer, and closing the sender's window during
// the next one ends the call.
TEST_F(TerminalCalls, ALongTransferShowsItsRateIsPicturedAndBreakEndsIt) {
  ScopedVariable paced{"QX_LINE_UNPACED", nullptr};
  auto a = std::make_unique<Terminal>();
  Terminal b;
  b.PickDevice(1);
  b.SetText("Edit3", "1");
  b.Click("CheckBox1");
  a->PickDevice(0);
  a->SetText("Edit2", "102");
  a->Click("Button3");
  ASSERT_TRUE(ProcessEventsUntil([&] { return a->Connected() && b.Connected(); }));
  b.Type("Hello from 102. Send me the file, please.");
  ASSERT_TRUE(ProcessEventsUntil([&] { return a->Text("Memo1").endsWith("please."); }));
  const QString source = QString::fromStdString(m_Folder / "long.bin");
  WriteTestFile(source, Pattern(300000, 6));
  a->SetText("Edit1", source);
  a->Click("bSend");

  const auto& bar = a->Get<QProgressBar>("ProgressBar1");
  const QRegularExpression moving(QStringLiteral("^\\d+% - [\\d.,]+ (bytes|KiB)/s - \\d+:\\d\\d left$"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return bar.value() > 30000 && moving.match(bar.text()).hasMatch(); }, 30000))
      << bar.text().toStdString();
  const QImage picture = a->form.grab().toImage();
  const QString file = qEnvironmentVariable("QX_SCREENSHOT", QString::fromStdString(m_Folder / "terminal.png"));
  ASSERT_TRUE(picture.save(file, "PNG")) << file.toStdString();
  const QImage saved(file);
  EXPECT_EQ(saved.size(), a->form.size() * a->form.devicePixelRatio());
  // The DSR light (a sphere, blue when on) is in the picture.
  const QColor light = saved.pixelColor(a->Get<QWidget>("qxSemaphore2").mapTo(&a->form, QPoint(6, 6)));
  EXPECT_TRUE(light.blue() > 100 && light.red() < 100 && light.green() < 100) << light.name().toStdString();

  a->Click("bBreak");
  EXPECT_EQ(a->TransferControls(), "++-");
  const auto& received = b.Get<QProgressBar>("ProgressBar1");
  ASSERT_TRUE(ProcessEventsUntil([&] { return received.text().endsWith(" bytes") && b.TransferControls() == "++-"; }));
  EXPECT_TRUE(bar.text().endsWith(" bytes") && !bar.text().contains('%')) << bar.text().toStdString();
  EXPECT_LT(bar.value(), 300000);
  EXPECT_EQ(b.Text("Label5"), "Receiving ...") << "until the next successful end";
  EXPECT_EQ(b.Text("Label4"), Downloads() + "long.bin");
  EXPECT_LT(QFileInfo(Downloads() + "long.bin").size(), 300000);

  // The sender's window closes while the next file moves: the call ends with it. The receiver
  // answered the cancel with its own; that reaches the sender first, or it would end the next
  // session at its start (a user is never that quick).
  ProcessEventsFor(500);
  a->Click("bSend");
  ASSERT_TRUE(ProcessEventsUntil([&] { return b.form.qxZModem1()->Role() == TqxZModem::zrReceiving; }));
  a.reset();
  ASSERT_TRUE(ProcessEventsUntil([&] { return b.TransferControls() == "---"; }));
  EXPECT_EQ(b.form.qxZModem1()->Role(), TqxZModem::zrIdle);
  EXPECT_TRUE(m_Shown.messages.isEmpty()) << m_Shown.messages.value(0).text.toStdString();
}

}  // namespace
