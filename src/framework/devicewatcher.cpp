#include "framework/devicewatcher.h"

#include "framework/messages.h"
#include "framework/serialdevices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace {

// How long the folder must stay unchanged before it is compared, and the longest a comparison
// waits while changes keep coming.
constexpr int kQuietMs = 200;
constexpr int kLatestMs = 1000;

}  // namespace

TPortChangeMessage::TPortChangeMessage(WPARAM Event, const QString& PortName) {
  const QByteArray name = QFile::encodeName(PortName);
  const std::size_t size = offsetof(DEV_BROADCAST_PORT, dbcp_name) + static_cast<std::size_t>(name.size()) + 1;
  m_Record = std::make_unique<std::byte[]>(std::max(size, sizeof(DEV_BROADCAST_PORT)));
  auto* record = new (m_Record.get()) DEV_BROADCAST_PORT{};
  record->dbcp_size = static_cast<DWORD>(size);
  record->dbcp_devicetype = DBT_DEVTYP_PORT;
  std::memcpy(m_Record.get() + offsetof(DEV_BROADCAST_PORT, dbcp_name), name.constData(), name.size() + 1);
  m_Message.message = WM_DEVICECHANGE;
  m_Message.wParam = Event;
  m_Message.lParam = reinterpret_cast<LPARAM>(record);
}

TDeviceWatcher::TDeviceWatcher(const QString& Folder, QObject* parent)
    : QObject(parent), m_Folder(Folder), m_Devices(SerialDeviceNames(Folder)) {
  m_Quiet.setSingleShot(true);
  connect(&m_Quiet, &QTimer::timeout, this, &TDeviceWatcher::Compare);
  connect(&m_Watcher, &QFileSystemWatcher::directoryChanged, this, &TDeviceWatcher::FolderChanged);
  if (!m_Watcher.addPath(Folder))
    ShowMessageBox(nullptr,
                   QStringLiteral("The folder %1 cannot be watched: serial adapters plugged in or out "
                                  "will not be noticed until the program is started again.")
                       .arg(QDir::toNativeSeparators(Folder)),
                   QCoreApplication::applicationName(), MessageIcon::Warning);
}

TDeviceWatcher::~TDeviceWatcher() = default;

std::shared_ptr<TDeviceWatcher> TDeviceWatcher::Shared() {
  static std::weak_ptr<TDeviceWatcher> shared;
  std::shared_ptr<TDeviceWatcher> watcher = shared.lock();
  if (!watcher) {
    watcher = std::make_shared<TDeviceWatcher>();
    shared = watcher;
  }
  return watcher;
}

void TDeviceWatcher::FolderChanged() {
  if (!m_Quiet.isActive()) m_Latest = QDeadlineTimer(kLatestMs);
  m_Quiet.start(static_cast<int>(std::min<qint64>(kQuietMs, m_Latest.remainingTime())));
}

void TDeviceWatcher::Compare() {
  const QStringList now = SerialDeviceNames(m_Folder);
  const QStringList before = std::exchange(m_Devices, now);
  // A subscriber may drop the last reference to this watcher.
  const QPointer<TDeviceWatcher> alive(this);
  for (const QString& name : before)
    if (!now.contains(name) && !alive.isNull()) Announce(DBT_DEVICEREMOVECOMPLETE, name);
  for (const QString& name : now)
    if (!before.contains(name) && !alive.isNull()) Announce(DBT_DEVICEARRIVAL, name);
}

void TDeviceWatcher::Announce(WPARAM Event, const QString& Name) {
  TPortChangeMessage message(Event, QDir(m_Folder).filePath(Name));
  emit DeviceChange(message.Message());
}
