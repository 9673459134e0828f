// The terminal's main form, TForm1: line controls, the terminal, four modem lights, the log and the
// file transfer panel, wired to the library's components by their stored values.
#pragma once

#include "framework/imagelist.h"
#include "qx/qxcommtapi.h"
#include "qx/qxlogfile.h"
#include "qx/qxzmodem.h"

#include <QFileDialog>
#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class TForm1;
}
class TTransferProgress;

// The application's single window. A user picks a modem, opens its configuration dialog, dials the
// number in Edit2 or waits for calls and answers after the rings in Edit3, hangs up, types into the
// terminal (Memo1) over the connected call, watches CTS, DSR, ring and carrier detect, reads the
// log (Memo2) and sends and receives files with ZModem.
//
// The controls come from Unit1.ui. The non-visual components are the form's own: it creates them,
// gives them their stored values inside the loading state, resolves the references between
// components and controls, and then ends loading on each. The handlers only forward clicks to the
// components and enable or disable the transfer controls; the components report their own errors,
// which reach the application's exception display.
class TForm1 : public QWidget {
  Q_OBJECT

public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  TqxLogFile* qxLogFile1() const { return m_qxLogFile1.get(); }
  TImageList* ImageList1() const { return m_ImageList1.get(); }
  TqxCommTAPI* qxCommTAPI1() const { return m_qxCommTAPI1.get(); }
  TqxZModem* qxZModem1() const { return m_qxZModem1.get(); }
  QFileDialog* OpenDialog1() const { return m_OpenDialog1.get(); }

protected:
  void showEvent(QShowEvent* event) override;

private:
  void ApplyLook();
  void ApplyStoredValues();
  void ResolveReferences();
  void BindHandlers();

  // The line controls and the line component's events.
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void CheckBox1Click();
  void qxCommTAPI1LineConnected(QObject* Com);
  void qxCommTAPI1LineDisconnected(QObject* Com, bool ByRemote);

  // The file transfer panel and the ZModem component's events.
  void Button1Click();
  void bSendClick();
  void bBreakClick();
  void chkReceiveClick();
  void qxZModem1BeforeReceived(QObject* Sender, QString& FileName, bool& flSkip);
  void qxZModem1SuccessfulEnd(QObject* Sender);
  void qxZModem1Abort(QObject* Sender, TzAbortType Error);
  void qxZModem1AfterFileReceived(QObject* Sender, const QString& FileName);
  void qxZModem1AfterFileSent(QObject* Sender, const QString& FileName, bool flComplete);
  void qxZModem1Progress(QObject* Sender);
  void FormShow();

  // The controls; the widgets belong to the form.
  std::unique_ptr<Ui::TForm1> ui;
  // Destroyed in reverse order: the line component hangs up first, while the transfer component,
  // the log and every control are still there.
  std::unique_ptr<TqxLogFile> m_qxLogFile1;
  std::unique_ptr<TImageList> m_ImageList1;
  std::unique_ptr<TqxZModem> m_qxZModem1;
  std::unique_ptr<TqxCommTAPI> m_qxCommTAPI1;
  std::unique_ptr<QFileDialog> m_OpenDialog1;
  TTransferProgress* m_TransferProgress = nullptr;  // owned by ProgressBar1
};
