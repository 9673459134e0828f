// The library's exception: a message meant for the user, kept as QString and also as UTF-8 for what().
#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Raised for errors the user should see (bad property values, failed opens, bad formats).
class Exception : public std::exception {
public:
  explicit Exception(const QString& message) : m_Message(message), m_What(message.toUtf8()) {}

  const QString& Message() const { return m_Message; }
  const char* what() const noexcept override { return m_What.constData(); }

private:
  QString m_Message;
  QByteArray m_What;
};
