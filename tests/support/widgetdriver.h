// Driving widgets in tests as a user would: answering a modal dialog, picking a list entry.
#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QTimer>

#include <functional>

// Runs `drive` on the modal dialog once it is shown.
inline void WhenShown(const std::function<void(QDialog&)>& drive) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, drive] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    poll->stop();
    poll->deleteLater();
    drive(*dialog);
  });
  poll->start(10);
}

// Picks an entry as a user does: opens the list, moves to the entry and presses Return.
inline void Pick(QComboBox& box, int row) {
  box.showPopup();
  box.view()->setCurrentIndex(box.model()->index(row, 0));
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(box.view(), &key);
}
