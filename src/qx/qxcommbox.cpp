#include "qx/qxcommbox.h"

#include <QVariant>

#include <algorithm>
#include <numeric>
#include <utility>

namespace {

// Each entry keeps its device's index and object beside its name.
constexpr int kDeviceIndexRole = Qt::UserRole;
constexpr int kDeviceRole = Qt::UserRole + 1;

}  // namespace

TqxDeviceBox::TqxDeviceBox(QWidget* owner) : QComboBox(owner) {
  setEditable(false);
  setMaxVisibleItems(8);
  // activated comes from the user's picks only (mouse, keys, wheel), never from code.
  connect(this, &QComboBox::activated, this, &TqxDeviceBox::Picked);
  SetDeviceWatcher(TDeviceWatcher::Shared());
}

TqxDeviceBox::~TqxDeviceBox() {
  if (m_qxComm != nullptr) {
    m_qxComm->RemoveNotify(Handler());
    disconnect(m_qxCommDestroyed);
  }
}

void TqxDeviceBox::SetqxComm(TqxBaseIO* Value) {
  TqxBaseIO* const previous = std::exchange(m_qxComm, Value);
  if (previous != Value && previous != nullptr) {
    previous->RemoveNotify(Handler());
    disconnect(m_qxCommDestroyed);
  }
  // Following the component before listing it keeps the box consistent if listing fails.
  if (Value != nullptr) {
    Value->AddNotify(Handler());
    if (previous != Value)
      m_qxCommDestroyed = connect(Value, &QObject::destroyed, this,
                                  [this](QObject* gone) { Notification(gone, TOperation::opRemove); });
  }
  clear();
  if (Value != nullptr) Fill();
}

void TqxDeviceBox::Fill() {
  TqxDeviceList devices;
  m_qxComm->GetDeviceList(&devices);
  QList<int> order(devices.size());
  std::iota(order.begin(), order.end(), 0);
  if (m_Sorted)
    std::stable_sort(order.begin(), order.end(), [&devices](int a, int b) {
      return devices[a].first.compare(devices[b].first, Qt::CaseInsensitive) < 0;
    });
  for (const int index : std::as_const(order)) {
    addItem(devices[index].first, index);
    setItemData(count() - 1, QVariant::fromValue(static_cast<void*>(devices[index].second)), kDeviceRole);
  }
  setCurrentIndex(findData(m_qxComm->GetDeviceIndex(), kDeviceIndexRole));
}

void TqxDeviceBox::SetSorted(bool Value) {
  m_Sorted = Value;
  if (m_qxComm != nullptr) SetqxComm(m_qxComm);
}

TqxDevice* TqxDeviceBox::ItemDevice(int Index) const {
  return static_cast<TqxDevice*>(itemData(Index, kDeviceRole).value<void*>());
}

int TqxDeviceBox::ItemDeviceIndex(int Index) const {
  const QVariant index = itemData(Index, kDeviceIndexRole);
  return index.isValid() ? index.toInt() : -1;
}

bool TqxDeviceBox::DeviceChange(MSG& Message) {
  return m_qxComm != nullptr && m_qxComm->HandleDeviceChange(Message);
}

void TqxDeviceBox::SetDeviceWatcher(std::shared_ptr<TDeviceWatcher> Value) {
  disconnect(m_DeviceWatcherConnection);
  m_DeviceWatcher = std::move(Value);
  if (m_DeviceWatcher)
    m_DeviceWatcherConnection = connect(m_DeviceWatcher.get(), &TDeviceWatcher::DeviceChange, this,
                                        [this](const MSG& Message) {
                                          MSG message = Message;
                                          DeviceChange(message);
                                        });
}

void TqxDeviceBox::Notification(QObject* AComponent, TOperation Operation) {
  if (Operation != TOperation::opRemove || AComponent != m_qxComm) return;
  // The component is past its destructor: its handler list is gone with it, and so are the
  // device objects the entries pointed to.
  m_qxComm = nullptr;
  for (int i = 0; i < count(); ++i) setItemData(i, QVariant::fromValue(static_cast<void*>(nullptr)), kDeviceRole);
  setCurrentIndex(-1);
}

void TqxDeviceBox::NotifyHandler(TqxBaseIO* Sender, int Code) {
  if (Code == qxNotifyDevicesChanged && Sender == m_qxComm) SetqxComm(m_qxComm);
}

void TqxDeviceBox::Picked(int Index) {
  if (m_qxComm == nullptr) return;
  m_qxComm->SetDeviceIndex(ItemDeviceIndex(Index));
  if (OnChange) OnChange(this);
}
