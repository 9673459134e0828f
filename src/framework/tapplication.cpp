#include "framework/tapplication.h"

#include "framework/exception.h"
#include "framework/messages.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  SetMessageHandler(MessageBoxMessageHandler);
}

TApplication::~TApplication() { SetMessageHandler(nullptr); }

bool TApplication::notify(QObject* receiver, QEvent* event) {
  // An event handler's exception must not unwind through Qt's event loop; it is shown and the
  // program goes on, as with any error an event handler reports.
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error);
  } catch (...) {
    ShowException(Exception(QStringLiteral("Unknown exception")));
  }
  return false;
}
