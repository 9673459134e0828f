#include "framework/devicewatcher.h"
#include "qx/qxcommbox.h"
#include "qx/qxcommport.h"
#include "support/messagerecorder.h"
#include "support/qtwait.h"
#include "support/widgetdriver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
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
  void Add(const QString& name) { EXPECT_TRUE(QFile(m_Folder.filePath(name)).open(QIODevice::WriteOnly)); }
  void Remove(const QString& name) { EXPECT_TRUE(QFile::remove(m_Folder.filePath(name))); }

  TqxCommPort port;

private:
  QTemporaryDir m_Folder;
};

// The entries, or the selected one, as device file names.
QStringList Names(const TqxDeviceBox& box) {
  QStringList names;
  for (int i = 0; i < box.count(); ++i) names.append(QFileInfo(box.itemText(i)).fileName());
  return names;
}
QString Current(const TqxDeviceBox& box) { return QFileInfo(box.currentText()).fileName(); }

TEST(DeviceBox, APickChoosesTheDeviceAndStaysSelectedWhileTheBoxFollowsTheComponent) {
  for (const bool sorted : {false, true}) {
    SCOPED_TRACE(sorted);
    DeviceFolder folder({"ttyUSB10", "ttyACM0", "ttyUSB2"});
    TqxDeviceBox box;
    box.SetSorted(sorted);
    box.SetqxComm(&folder.port);
    EXPECT_EQ(Names(box), (sorted ? QStringList{"ttyACM0", "ttyUSB10", "ttyUSB2"}
                                  : QStringList{"ttyACM0", "ttyUSB2", "ttyUSB10"}));
    EXPECT_EQ(box.currentIndex(), -1);

    QList<QPair<int, QString>> changes;  // DeviceIndex and the entry shown when OnChange fired
    box.OnChange = [&](QObject*) { changes.append({folder.port.GetDeviceIndex(), Current(box)}); };
    Pick(box, static_cast<int>(Names(box).indexOf("ttyUSB10")));
    EXPECT_EQ(changes, (QList<QPair<int, QString>>{{2, "ttyUSB10"}}));
    EXPECT_EQ(box.ItemDevice(box.currentIndex())->Name, folder.port.Port());

    // Selections from code choose nothing; the component's changes refill and reselect.
    box.setCurrentIndex(0);
    EXPECT_EQ(folder.port.GetDeviceIndex(), 2);
    folder.Add("ttyUSB1");
    folder.port.DevicesChanged();
    EXPECT_EQ(box.count(), 4);
    EXPECT_EQ(Current(box), "ttyUSB10");
    folder.port.SetDeviceIndex(0);
    EXPECT_EQ(Current(box), "ttyACM0");
    EXPECT_EQ(changes.size(), 1);
  }
}

TEST(DeviceBox, ADestroyedComponentLeavesTheNamesAndPicksDoNothing) {
  auto folder = std::make_unique<DeviceFolder>(QStringList{"ttyUSB0", "ttyUSB1"});
  TqxDeviceBox box;
  int changes = 0;
  box.OnChange = [&](QObject*) { ++changes; };
  box.SetqxComm(&folder->port);
  Pick(box, 1);
  folder.reset();
  EXPECT_EQ(box.qxComm(), nullptr);
  EXPECT_EQ(Names(box), (QStringList{"ttyUSB0", "ttyUSB1"}));
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(box.ItemDevice(1), nullptr);  // the device objects went with their component
  Pick(box, 0);
  EXPECT_EQ(changes, 1);
  TPortChangeMessage arrival(DBT_DEVICEARRIVAL, "/dev/ttyUSB9");
  EXPECT_FALSE(box.DeviceChange(arrival.Message()));
}

TEST(DeviceBox, EachBoxFollowsOnlyTheComponentItLists) {
  DeviceFolder a({"ttyUSB0", "ttyUSB1"});
  DeviceFolder b({"ttyACM0"});
  auto first = std::make_unique<TqxDeviceBox>();
  TqxDeviceBox second;
  int firstChanges = 0;
  first->OnChange = [&](QObject*) { ++firstChanges; };
  first->SetqxComm(&a.port);
  second.SetqxComm(&a.port);
  Pick(second, 1);
  EXPECT_EQ(first->currentIndex(), 1);
  EXPECT_EQ(firstChanges, 0);

  first->SetqxComm(&b.port);
  EXPECT_EQ(a.port.NotifyList().Count(), 1);
  a.port.SetDeviceIndex(0);
  EXPECT_EQ(Names(*first), QStringList{"ttyACM0"});
  EXPECT_EQ(second.currentIndex(), 0);

  first->SetqxComm(nullptr);
  EXPECT_EQ(b.port.NotifyList().Count(), 0);
  b.port.SetDeviceIndex(0);
  EXPECT_EQ(first->count(), 0);
  EXPECT_EQ(first->currentIndex(), -1);

  // A box destroyed before its component leaves it.
  first->SetqxComm(&a.port);
  first.reset();
  EXPECT_EQ(a.port.NotifyList().Count(), 1);
  a.port.SetDeviceIndex(1);
  EXPECT_EQ(second.currentIndex(), 1);
}

TEST(DeviceBox, DevicesPluggedInAndOutReachTheBoxThroughTheWatcher) {
  DeviceFolder folder;
  auto watcher = std::make_shared<TDeviceWatcher>(folder.port.DeviceFolder());
  QList<QPair<WPARAM, QString>> announced;
  QObject::connect(watcher.get(), &TDeviceWatcher::DeviceChange, [&](const MSG& Message) {
    const auto* record = reinterpret_cast<const DEV_BROADCAST_PORT*>(Message.lParam);
    EXPECT_EQ(record->dbcp_size, offsetof(DEV_BROADCAST_PORT, dbcp_name) + qstrlen(record->dbcp_name) + 1);
    announced.append({Message.wParam, QFileInfo(QFile::decodeName(record->dbcp_name)).fileName()});
  });
  TqxDeviceBox box;
  box.SetDeviceWatcher(watcher);
  box.SetqxComm(&folder.port);
  EXPECT_EQ(box.count(), 0);
  EXPECT_EQ(box.currentIndex(), -1);

  folder.Add("ttyUSB0");  // two adapters at once
  folder.Add("ttyUSB1");
  ASSERT_TRUE(ProcessEventsUntil([&] { return box.count() == 2; }));
  Pick(box, 1);
  folder.Add("ttyACM0");
  ASSERT_TRUE(ProcessEventsUntil([&] { return box.count() == 3; }));
  EXPECT_EQ(Current(box), "ttyUSB1");
  folder.Remove("ttyUSB1");
  ASSERT_TRUE(ProcessEventsUntil([&] { return box.count() == 2; }));
  EXPECT_EQ(box.currentIndex(), -1);
  EXPECT_EQ(announced, (QList<QPair<WPARAM, QString>>{{DBT_DEVICEARRIVAL, "ttyUSB0"},
                                                        {DBT_DEVICEARRIVAL, "ttyUSB1"},
                                                        {DBT_DEVICEARRIVAL, "ttyACM0"},
                                                        {DBT_DEVICEREMOVECOMPLETE, "ttyUSB1"}}));
}

TEST(DeviceWatcher, AFolderThatCannotBeWatchedIsReported) {
  const QTemporaryDir parent;
  MessageRecorder recorder;
  const TDeviceWatcher watcher(parent.filePath("missing"));
  ASSERT_EQ(recorder.messages.size(), 1);
  EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Warning);
  EXPECT_TRUE(recorder.messages[0].text.contains(parent.filePath("missing")));
}

}  // namespace
