// TqxDevice: one entry of an I/O component's device list.
#pragma once

#include <QList>
#include <QString>

#include <utility>

class TqxBaseIO;

// A device an I/O component can use: its position in the owner's list and the name it is listed
// under. Device kinds add their own fields.
class TqxDevice {
public:
  TqxDevice() = default;
  virtual ~TqxDevice() = default;

  int Index = 0;
  TqxBaseIO* Owner = nullptr;
  QString Name;
};

// A device list as GetDeviceList hands it out: each name with its device object.
using TqxDeviceList = QList<std::pair<QString, TqxDevice*>>;
