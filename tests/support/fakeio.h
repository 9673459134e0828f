// An I/O component without hardware: its device is an event handle, and it records what it sends.
#pragma once

#include "platform/winapi.h"
#include "qx/qxbaseio.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

class FakeIO : public TqxBaseIO {
public:
  using TqxBaseIO::TqxBaseIO;
  using TqxBaseIO::SetLogPrefix;
  using TqxBaseIO::SetOwnsDevices;
  using TqxBaseIO::SetUseThread;

  HANDLE OpenDevice() override {
    ++openDeviceCalls;
    return openFails ? INVALID_HANDLE_VALUE : CreateEvent(nullptr, TRUE, FALSE, nullptr);
  }
  int GetDeviceIndex() override { return deviceIndex; }
  void SetDeviceIndex(int Index) override {
    deviceIndex = Index;
    TqxBaseIO::SetDeviceIndex(Index);
  }
  void EnumDevices() override {
    ++enumCalls;
    for (const QString& name : deviceNames) {
      auto* device = new TqxDevice;
      device->Name = name;
      AddDevice(device);
    }
  }
  void SendChar(std::uint8_t Ch) override {
    sent.append(static_cast<char>(Ch));
    sends.append(QStringLiteral("char"));
  }
  void SendString(const QByteArray& S) override {
    sent.append(S);
    sends.append(QStringLiteral("string"));
  }
  void SendData(const char* Buffer, int Count) override {
    sent.append(Buffer, Count);
    sends.append(QStringLiteral("data"));
  }
  void PurgeInput() override {}
  void PurgeOutput() override {}
  void PurgeAll() override {}

  bool openFails = false;
  int openDeviceCalls = 0;
  int enumCalls = 0;
  int deviceIndex = -1;
  QStringList deviceNames;
  QByteArray sent;     // every byte sent, in order
  QStringList sends;   // the kind of each send call: char, string, data
};
