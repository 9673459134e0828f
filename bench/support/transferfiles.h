// Helpers of the transfer benchmarks: random files, the comparison of a received file with the
// one sent, and the names of the abort reasons.
#pragma once

#include "qx/qxzmodem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

inline bool WriteRandomFile(const QString& path, qint64 bytes, std::uint64_t seed) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  std::mt19937_64 random(seed);
  std::vector<std::uint64_t> block(8192);
  for (qint64 left = bytes; left > 0;) {
    for (auto& word : block) word = random();
    const qint64 n = std::min<qint64>(left, qint64(block.size() * sizeof block[0]));
    if (file.write(reinterpret_cast<const char*>(block.data()), n) != n) return false;
    left -= n;
  }
  return true;
}

// Empty when the two files are identical, else what differs.
inline QString Compare(const QString& sent, const QString& received) {
  QFile a(sent), b(received);
  if (!b.open(QIODevice::ReadOnly)) {
    const QStringList there = QFileInfo(received).dir().entryList(QDir::Files);
    return QStringLiteral("no received file %1 (directory holds: %2)")
        .arg(QFileInfo(received).fileName(), there.isEmpty() ? QStringLiteral("nothing") : there.join(u' '));
  }
  if (!a.open(QIODevice::ReadOnly)) return QStringLiteral("cannot read %1").arg(sent);
  if (a.size() != b.size()) return QStringLiteral("received %1 bytes of %2").arg(b.size()).arg(a.size());
  for (qint64 at = 0; !a.atEnd(); at += 1 << 20) {
    if (a.read(1 << 20) != b.read(1 << 20)) return QStringLiteral("contents differ in the MiB at %1").arg(at);
  }
  return {};
}

inline const char* AbortName(TzAbortType reason) {
  static const char* const names[] = {"zeByMe",        "zeByRemote",  "zeByTimeOut", "zeByBadCRC",
                                      "zeByCommError", "zeByUnknown", "zeByMedia"};
  return reason >= 0 && reason < int(std::size(names)) ? names[reason] : "?";
}
