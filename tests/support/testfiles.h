// Data and files for the transfer tests.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <random>

// Reproducible bytes of every value.
inline QByteArray Pattern(int size, unsigned seed = 1) {
  std::mt19937 rng(seed);
  QByteArray out(size, 0);
  for (auto& c : out) c = char(rng());
  return out;
}

// The file's content; empty when it cannot be read.
inline QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void WriteTestFile(const QString& path, const QByteArray& data) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(data);
}
