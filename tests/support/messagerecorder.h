// Records what the application's message hook would show, for the lifetime of the recorder.
#pragma once

#include "framework/messages.h"

#include <QList>
#include <QString>

class QWidget;

class MessageRecorder {
public:
  struct Message {
    QWidget* owner;
    QString text;
    QString caption;
    MessageIcon icon;
  };

  MessageRecorder()
      : m_Previous(SetMessageHandler([this](QWidget* owner, const QString& text, const QString& caption,
                                            MessageIcon icon) { messages.append({owner, text, caption, icon}); })) {}
  ~MessageRecorder() { SetMessageHandler(m_Previous); }
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  QList<Message> messages;

private:
  MessageHandler m_Previous;
};
