// TDeviceWatcher: serial adapters plugged in or out, as WM_DEVICECHANGE messages.
#pragma once

#include "platform/wintypes.h"

#include <QDeadlineTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstddef>
#include <memory>

// A WM_DEVICECHANGE message saying that a port arrived (DBT_DEVICEARRIVAL) or went
// (DBT_DEVICEREMOVECOMPLETE); its lParam points to a DEV_BROADCAST_PORT naming the port, which
// lives as long as this object.
class TPortChangeMessage {
public:
  TPortChangeMessage(WPARAM Event, const QString& PortName);

  MSG& Message() { return m_Message; }

private:
  std::unique_ptr<std::byte[]> m_Record;
  MSG m_Message{};
};

// Watches a device folder (/dev) and announces each serial device (SerialDeviceNames) that
// appears or vanishes there, one message per device, named by its path, on the thread that owns
// the watcher. A plug-in makes udev create, rename and re-permission several nodes at once, so the
// folder is compared only once it has been quiet for a moment (or, while it keeps changing, about
// once a second); every device that differs between two comparisons is announced.
class TDeviceWatcher : public QObject {
  Q_OBJECT

public:
  explicit TDeviceWatcher(const QString& Folder = QStringLiteral("/dev"), QObject* parent = nullptr);
  ~TDeviceWatcher() override;

  // The watcher of /dev that every user shares; it lives while someone holds it. Main thread only.
  static std::shared_ptr<TDeviceWatcher> Shared();

  const QString& Folder() const { return m_Folder; }

signals:
  void DeviceChange(const MSG& Message);

private:
  void FolderChanged();
  void Compare();
  void Announce(WPARAM Event, const QString& Name);

  QString m_Folder;
  // The serial devices found by the last comparison (names, not paths).
  QStringList m_Devices;
  QFileSystemWatcher m_Watcher;
  QTimer m_Quiet;
  QDeadlineTimer m_Latest;
};
