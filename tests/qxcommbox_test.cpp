#include "framework/devicewatcher.h"
#include "qx/qxcommbox.h"
#include "qx/qxcommport.h"
#include "support/messagerecorder.h"
#include "support/qtwait.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QTemporaryDir>

#include <memory>

namespace {

// A folder of stand-in serial devices (plain files named like ttys) and a port that lists them.
class DeviceFolder {
public:
  explicit DeviceFolder(const QStringList& names = {}) {
    for (const QString& name : names) Add(name);
    port.SetDeviceFolder(m_Folder.path());
  }

  QString Path(const QString& name) const { return m_Folder.filePath(name); }
  void Add(const QString& name) {
    QFile file(Path(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  void Remove(const QString& name) { ASSERT_TRUE(QFile::remove(Path(name))); }

  TqxCommPort port;

private:
  QTemporaryDir m_Folder;
};

// The entries as device file names.
QStringList Names(const TqxDeviceBox& box) {
  QStringList names;
  for (int i = 0; i < box.count(); ++i) names.append(QFileInfo(box.itemText(i)).fileName());
  return names;
}

QString Current(const TqxDeviceBox& box) { return QFileInfo(box.currentText()).fileName(); }

// Picks an entry as a user does: opens the list, moves to the entry and presses Return.
void Pick(TqxDeviceBox& box, int row) {
  box.showPopup();
  box.view()->setCurrentIndex(box.model()->index(row, 0));
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(box.view(), &key);
}

TEST(DeviceBox, WithoutDevicesTheListIsEmptyAndNothingSelected) {
  DeviceFolder folder;
  TqxDeviceBox box;
  TPortChangeMessage arrival(DBT_DEVICEARRIVAL, folder.Path(QStringLiteral("ttyUSB0")));
  EXPECT_FALSE(box.DeviceChange(arrival.Message()));
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };
  box.SetqxComm(&folder.port);
  EXPECT_FALSE(box.isEditable());
  EXPECT_EQ(box.count(), 0);
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(box.qxComm(), &folder.port);

  // A device change reaches the component, which lists again and the box follows.
  folder.Add(QStringLiteral("ttyUSB0"));
  EXPECT_TRUE(box.DeviceChange(arrival.Message()));
  EXPECT_EQ(Names(box), QStringList{QStringLiteral("ttyUSB0")});
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(changes, 0);
}

TEST(DeviceBox, APickChoosesTheDeviceAndStaysSelectedWhileTheBoxFollowsTheComponent) {
  struct Case {
    bool sorted;
    QStringList shown;
  };
  const Case cases[] = {
      {false, {QStringLiteral("ttyACM0"), QStringLiteral("ttyUSB2"), QStringLiteral("ttyUSB10")}},
      {true, {QStringLiteral("ttyACM0"), QStringLiteral("ttyUSB10"), QStringLiteral("ttyUSB2")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sorted);
    DeviceFolder folder({QStringLiteral("ttyUSB10"), QStringLiteral("ttyACM0"), QStringLiteral("ttyUSB2")});
    TqxDeviceBox box;
    box.SetSorted(c.sorted);
    box.SetqxComm(&folder.port);
    EXPECT_EQ(Names(box), c.shown);
    EXPECT_EQ(box.currentIndex(), -1);

    QList<QPair<int, QString>> changes;  // DeviceIndex and the entry shown when OnChange fired
    box.OnChange = [&](QObject* Sender) {
      EXPECT_EQ(Sender, &box);
      changes.append({folder.port.GetDeviceIndex(), Current(box)});
    };
    const int row = static_cast<int>(c.shown.indexOf(QStringLiteral("ttyUSB10")));
    Pick(box, row);
    EXPECT_EQ(changes, (QList<QPair<int, QString>>{{2, QStringLiteral("ttyUSB10")}}));
    EXPECT_EQ(folder.port.Port(), folder.Path(QStringLiteral("ttyUSB10")));
    ASSERT_NE(box.ItemDevice(row), nullptr);
    EXPECT_EQ(box.ItemDevice(row)->Name, box.itemText(row));
    EXPECT_EQ(box.ItemDevice(row)->Index, 2);

    // Selections from code fire nothing and choose nothing.
    box.setCurrentIndex(0);
    EXPECT_EQ(folder.port.GetDeviceIndex(), 2);
    // The component's own changes refill the box, which keeps showing the component's device.
    folder.Add(QStringLiteral("ttyUSB1"));
    folder.port.DevicesChanged();
    EXPECT_EQ(box.count(), 4);
    EXPECT_EQ(Current(box), QStringLiteral("ttyUSB10"));
    folder.port.SetDeviceIndex(0);
    EXPECT_EQ(Current(box), QStringLiteral("ttyACM0"));
    EXPECT_EQ(changes.size(), 1);
  }
}

TEST(DeviceBox, ADestroyedComponentLeavesTheNamesAndPicksDoNothing) {
  auto folder = std::make_unique<DeviceFolder>(QStringList{QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")});
  TqxDeviceBox box;
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };
  box.SetqxComm(&folder->port);
  Pick(box, 1);
  ASSERT_EQ(changes, 1);

  folder.reset();
  EXPECT_EQ(box.qxComm(), nullptr);
  EXPECT_EQ(Names(box), (QStringList{QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")}));
  EXPECT_EQ(box.currentIndex(), -1);
  // The device objects went with their component.
  EXPECT_EQ(box.ItemDevice(0), nullptr);
  EXPECT_EQ(box.ItemDevice(1), nullptr);
  Pick(box, 0);
  EXPECT_EQ(changes, 1);
  TPortChangeMessage removal(DBT_DEVICEREMOVECOMPLETE, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_FALSE(box.DeviceChange(removal.Message()));
}

TEST(DeviceBox, AComponentTheBoxStopsListingNoLongerReachesIt) {
  DeviceFolder first({QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")});
  DeviceFolder second({QStringLiteral("ttyACM0")});
  TqxDeviceBox box;
  box.SetqxComm(&first.port);
  first.port.SetDeviceIndex(1);
  EXPECT_EQ(box.currentIndex(), 1);
  EXPECT_EQ(first.port.NotifyList().Count(), 1);

  box.SetqxComm(&second.port);
  EXPECT_EQ(first.port.NotifyList().Count(), 0);
  EXPECT_EQ(second.port.NotifyList().Count(), 1);
  EXPECT_EQ(Names(box), QStringList{QStringLiteral("ttyACM0")});
  first.port.SetDeviceIndex(0);
  EXPECT_EQ(Names(box), QStringList{QStringLiteral("ttyACM0")});

  box.SetqxComm(nullptr);
  EXPECT_EQ(second.port.NotifyList().Count(), 0);
  EXPECT_EQ(box.count(), 0);
  EXPECT_EQ(box.currentIndex(), -1);
  second.port.DevicesChanged();
  second.port.SetDeviceIndex(0);
  EXPECT_EQ(box.count(), 0);
}

TEST(DeviceBox, TwoBoxesOnOneComponentEachReportTheirOwnPicks) {
  DeviceFolder folder({QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")});
  auto first = std::make_unique<TqxDeviceBox>();
  TqxDeviceBox second;
  int firstChanges = 0;
  int secondChanges = 0;
  first->OnChange = [&](QObject*) { ++firstChanges; };
  second.OnChange = [&](QObject*) { ++secondChanges; };
  first->SetqxComm(&folder.port);
  second.SetqxComm(&folder.port);
  EXPECT_EQ(folder.port.NotifyList().Count(), 2);

  Pick(*first, 1);
  EXPECT_EQ(second.currentIndex(), 1);
  Pick(second, 0);
  EXPECT_EQ(first->currentIndex(), 0);
  EXPECT_EQ(firstChanges, 1);
  EXPECT_EQ(secondChanges, 1);

  // A box destroyed before its component leaves it; the other box still follows.
  first.reset();
  EXPECT_EQ(folder.port.NotifyList().Count(), 1);
  folder.port.SetDeviceIndex(1);
  EXPECT_EQ(second.currentIndex(), 1);
}

TEST(DeviceBox, DevicesPluggedInAndOutReachTheBoxThroughTheWatcher) {
  DeviceFolder folder({QStringLiteral("ttyUSB0")});
  auto watcher = std::make_shared<TDeviceWatcher>(folder.port.DeviceFolder());
  QList<QPair<WPARAM, QString>> announced;
  QObject::connect(watcher.get(), &TDeviceWatcher::DeviceChange, [&](const MSG& Message) {
    const auto* record = reinterpret_cast<const DEV_BROADCAST_PORT*>(Message.lParam);
    EXPECT_EQ(Message.message, WM_DEVICECHANGE);
    EXPECT_EQ(record->dbcp_devicetype, DBT_DEVTYP_PORT);
    EXPECT_EQ(record->dbcp_size, offsetof(DEV_BROADCAST_PORT, dbcp_name) + qstrlen(record->dbcp_name) + 1);
    announced.append({Message.wParam, QFileInfo(QFile::decodeName(record->dbcp_name)).fileName()});
  });
  TqxDeviceBox box;
  box.SetDeviceWatcher(watcher);
  box.SetqxComm(&folder.port);
  Pick(box, 0);

  // Two adapters at once: one comparison, both announced.
  folder.Add(QStringLiteral("ttyUSB1"));
  folder.Add(QStringLiteral("ttyACM0"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return box.count() == 3; }));
  EXPECT_EQ(Current(box), QStringLiteral("ttyUSB0"));

  folder.Remove(QStringLiteral("ttyUSB0"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return box.count() == 2; }));
  EXPECT_EQ(Names(box), (QStringList{QStringLiteral("ttyACM0"), QStringLiteral("ttyUSB1")}));
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(announced, (QList<QPair<WPARAM, QString>>{{DBT_DEVICEARRIVAL, QStringLiteral("ttyACM0")},
                                                        {DBT_DEVICEARRIVAL, QStringLiteral("ttyUSB1")},
                                                        {DBT_DEVICEREMOVECOMPLETE, QStringLiteral("ttyUSB0")}}));
}

TEST(DeviceWatcher, AFolderThatCannotBeWatchedIsReported) {
  const QTemporaryDir parent;
  MessageRecorder recorder;
  const TDeviceWatcher watcher(parent.filePath(QStringLiteral("missing")));
  ASSERT_EQ(recorder.messages.size(), 1);
  EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
  EXPECT_TRUE(recorder.messages[0].text.contains(parent.filePath(QStringLiteral("missing"))));
}

}  // namespace
