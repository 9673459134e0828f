// Helpers for tests of the terminal form: a form driven by its controls, as a user drives it, and a
// fixture with the three virtual modems of TelephonyTest, a home folder of its own (with a
// download folder) and a recorder of what the application's message display shows.
#pragma once

#include "Unit1.h"
#include "messagerecorder.h"
#include "telephonytest.h"
#include "widgetdriver.h"

#include "qx/qxcommbox.h"
#include "qx/qxsemaphore.h"

#include <QAbstractButton>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>

#include <memory>
#include <stdexcept>

// A shown TForm1 and ways to use it.
class Terminal {
public:
  Terminal() { form.show(); }

  // The form's control of that name; a missing one fails the test.
  template <class T>
  T& Get(const char* name) const {
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr) throw std::runtime_error(std::string("no control ") + name);
    return *control;
  }
  QString Text(const char* name) const {
    if (auto* label = form.findChild<QLabel*>(QString::fromLatin1(name))) return label->text();
    if (auto* edit = form.findChild<QLineEdit*>(QString::fromLatin1(name))) return edit->text();
    return Get<QPlainTextEdit>(name).toPlainText();
  }
  bool Enabled(const char* name) const { return Get<QWidget>(name).isEnabled(); }
  bool Lit(const char* light) const { return Get<TqxSemaphore>(light).Checked(); }
  void Click(const char* name) { Get<QAbstractButton>(name).click(); }
  void SetText(const char* name, const QString& text) { Get<QLineEdit>(name).setText(text); }
  void PickDevice(int index) { Pick(Get<TqxDeviceBox>("qxDeviceBox1"), index); }
  // Keys typed into the terminal window.
  void Type(const QString& text) {
    for (const QChar c : text) {
      QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(&Get<QPlainTextEdit>("Memo1"), &key);
    }
  }
  bool Connected() const { return form.qxCommTAPI1()->CallState() == csConnected; }
  // The controls of the file transfer panel that follow the line: Send, Auto receive, Break.
  QString TransferControls() const {
    QString state;
    for (const char* name : {"bSend", "chkReceive", "bBreak"}) state += Enabled(name) ? u'+' : u'-';
    return state;
  }
  bool StatusBarEmpty() const {
    const QStatusBar& bar = Get<QStatusBar>("StatusBar1");
    return bar.currentMessage().isEmpty() && bar.findChildren<QLabel*>().isEmpty();
  }

  TForm1 form;
};

class TerminalTest : public TelephonyTest {
protected:
  void SetUp() override {
    TelephonyTest::SetUp();
    ASSERT_TRUE(QDir().mkpath(Downloads()));
  }
  QString Home() const { return QString::fromStdString(m_Folder / "home"); }
  QString Downloads() const { return Home() + QStringLiteral("/Downloads/"); }

  ScopedVariable m_Home{"HOME", m_Folder / "home"};
  ScopedVariable m_Config{"XDG_CONFIG_HOME", m_Folder / "home/.config"};
  ScopedVariable m_State{"XDG_STATE_HOME", m_Folder / "home/.local/state"};
  MessageRecorder m_Shown;
};
