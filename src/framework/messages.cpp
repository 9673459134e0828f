#include "framework/messages.h"

#include "framework/exception.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex handlerMutex;

MessageHandler& CurrentHandler() {
  static MessageHandler handler = StandardErrorMessageHandler;
  return handler;
}

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::Warning:
      return QMessageBox::Warning;
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::Question:
      return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

MessageHandler SetMessageHandler(MessageHandler handler) {
  const std::lock_guard lock(handlerMutex);
  if (!handler) handler = StandardErrorMessageHandler;
  return std::exchange(CurrentHandler(), std::move(handler));
}

void StandardErrorMessageHandler(QWidget*, const QString& text, const QString& caption, MessageIcon) {
  const QByteArray line = (caption.isEmpty() ? text : caption + QStringLiteral(": ") + text).toLocal8Bit();
  std::fprintf(stderr, "%s\n", line.constData());
  std::fflush(stderr);
}

void MessageBoxMessageHandler(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon) {
  QMessageBox box(BoxIcon(icon), caption, text, QMessageBox::Ok, owner);
  box.exec();
}

void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon) {
  MessageHandler handler;
  {
    const std::lock_guard lock(handlerMutex);
    handler = CurrentHandler();
  }
  handler(owner, text, caption, icon);
}

void ShowException(const std::exception& error) {
  const auto* own = dynamic_cast<const Exception*>(&error);
  const QString text = own != nullptr ? own->Message() : QString::fromLocal8Bit(error.what());
  ShowMessageBox(nullptr, text, QCoreApplication::applicationName(), MessageIcon::Error);
}

void ShowingExceptions(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error);
  }
}
