// The device box unit: TqxDeviceBox, a drop-down list of the devices of an I/O component.
#pragma once

#include "framework/devicewatcher.h"
#include "framework/tcomponent.h"
#include "framework/types.h"
#include "platform/wintypes.h"
#include "qx/qxbaseio.h"

#include <QComboBox>
#include <QMetaObject>

#include <memory>

// Lists the devices of one I/O component (qxComm, not owned), entry n being device n, and lets
// the user choose the component's device: a pick writes DeviceIndex, then fires OnChange. The box
// follows the component: on every device change it announces (notification code 3) the list is
// filled again and the component's device selected. Selections made from code fire nothing.
// Serial adapters plugged in or out reach the component through DeviceChange, fed by a device
// watcher (the shared one of /dev unless another is given).
// When the component is destroyed, qxComm is cleared; the names stay listed, none selected.
class TqxDeviceBox : public QComboBox {
  Q_OBJECT
  Q_PROPERTY(TqxBaseIO* qxComm READ qxComm WRITE SetqxComm)
  Q_PROPERTY(bool ResetOnChanged READ ResetOnChanged WRITE SetResetOnChanged)
  Q_PROPERTY(int DropDownCount READ DropDownCount WRITE SetDropDownCount)
  Q_PROPERTY(bool Sorted READ Sorted WRITE SetSorted)

public:
  explicit TqxDeviceBox(QWidget* owner = nullptr);
  ~TqxDeviceBox() override;

  TqxBaseIO* qxComm() const { return m_qxComm; }
  // Lists Value's devices and selects its DeviceIndex (nothing for none); a component the box
  // stops listing no longer notifies it.
  void SetqxComm(TqxBaseIO* Value);
  // Stored with the box; nothing depends on it.
  bool ResetOnChanged() const { return m_ResetOnChanged; }
  void SetResetOnChanged(bool Value) { m_ResetOnChanged = Value; }
  // Entries shown at once in the open list (8 by default).
  int DropDownCount() const { return maxVisibleItems(); }
  void SetDropDownCount(int Value) { setMaxVisibleItems(Value); }
  // Entries in alphabetical order; a pick still chooses the device of the entry picked.
  bool Sorted() const { return m_Sorted; }
  void SetSorted(bool Value);

  // The device object of entry Index; null out of range and once the component is gone.
  TqxDevice* ItemDevice(int Index) const;
  // The device index of entry Index, or -1.
  int ItemDeviceIndex(int Index) const;

  // Hands a WM_DEVICECHANGE message to qxComm's HandleDeviceChange; false without qxComm.
  virtual bool DeviceChange(MSG& Message);

  // Where plugged and unplugged serial adapters come from; null listens to none.
  const std::shared_ptr<TDeviceWatcher>& DeviceWatcher() const { return m_DeviceWatcher; }
  void SetDeviceWatcher(std::shared_ptr<TDeviceWatcher> Value);

  // The user picked an entry, after DeviceIndex was written.
  TNotifyEvent OnChange;

protected:
  // The removal notification: qxComm is destroyed.
  virtual void Notification(QObject* AComponent, TOperation Operation);

private:
  void NotifyHandler(TqxBaseIO* Sender, int Code);
  void Picked(int Index);
  void Fill();
  TqxNotifyHandler Handler() { return TqxNotifyHandler::Of<TqxDeviceBox, &TqxDeviceBox::NotifyHandler>(this); }

  TqxBaseIO* m_qxComm = nullptr;
  QMetaObject::Connection m_qxCommDestroyed;
  bool m_ResetOnChanged = false;
  bool m_Sorted = false;
  std::shared_ptr<TDeviceWatcher> m_DeviceWatcher;
  QMetaObject::Connection m_DeviceWatcherConnection;
};
