// ZModem frames as a remote peer sends them, built with this engine's own framing: for feeding
// an engine or a parser in tests, and for the fuzz targets' seeds.
#pragma once

#include "qx/qxzmodemframing.h"

#include <QByteArray>

#include <cstdint>
#include <utility>

// Builds frames as a remote peer would, with this engine's own framing.
class FrameBuilder : public TZModemFramingEvents {
public:
  QByteArray Hex(std::uint8_t type, std::uint32_t position) {
    framing.TxHeader().Set(type, position);
    framing.SendHexHeader();
    return Take();
  }
  QByteArray HexFlags(std::uint8_t type, std::uint8_t f0) {
    framing.TxHeader().SetFlags(type, f0);
    framing.SendHexHeader();
    return Take();
  }
  QByteArray Bin(std::uint8_t type, std::uint32_t position) {
    framing.TxHeader().Set(type, position);
    framing.SendBinHeader();
    return Take();
  }
  QByteArray BinFlags(std::uint8_t type, std::uint8_t f0) {
    framing.TxHeader().SetFlags(type, f0);
    framing.SendBinHeader();
    return Take();
  }
  QByteArray Block(const QByteArray& data, std::uint8_t frameEnd) {
    framing.SendDataBlock(reinterpret_cast<const std::uint8_t*>(data.constData()), int(data.size()), frameEnd, true);
    return Take();
  }

  void FrameSend(const QByteArray& b, bool) override { out += b; }
  void FrameLog(TDetailLevel, const QString&) override {}
  bool FrameLogs(TDetailLevel) const override { return false; }
  void HeaderReceived(const TZHeader&) override {}
  void HeaderInData(const TZHeader&) override {}
  void BlockReceived(const std::uint8_t*, int, std::uint8_t) override {}
  void BadCrc() override {}

  TZModemFraming framing{*this};

private:
  QByteArray Take() { return std::exchange(out, QByteArray()); }
  QByteArray out;
};
