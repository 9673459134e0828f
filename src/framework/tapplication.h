// The application object: a QApplication that shows the message boxes of the message hook and
// catches exceptions leaving an event handler at the event dispatch, showing them instead of ending
// the program.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
  Q_OBJECT

public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;
};
