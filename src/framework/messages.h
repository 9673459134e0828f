// The application's standard exception display and message box, as one replaceable hook: the
// application shows a message box, a headless program writes to standard error, tests record.
#pragma once

#include <QString>

#include <exception>
#include <functional>

class QWidget;

enum class MessageIcon { Information, Warning, Error, Question };

// Shows one message. owner may be null (no owning window).
using MessageHandler =
    std::function<void(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon)>;

// Replaces the display; an empty handler restores the default (standard error). Returns the former.
MessageHandler SetMessageHandler(MessageHandler handler);

// Writes "caption: text" to standard error; the default display.
void StandardErrorMessageHandler(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon);
// A modal message box; what TApplication installs.
void MessageBoxMessageHandler(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon);

void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, MessageIcon icon);
// The message of an exception (Exception's Message, else what()) under the application's name,
// with the error icon.
void ShowException(const std::exception& error);
// Runs an event handler; an exception it raises is shown with ShowException instead of leaving
// it, so that it never unwinds through the toolkit's signal code.
void ShowingExceptions(const std::function<void()>& handler);
