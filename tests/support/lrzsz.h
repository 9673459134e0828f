// lrzsz's sz and rz as black-box peers of the transfer tests: a child program on one end of a
// socket or pty, the option cases the tests run against them, and the batch of files they move.
#pragma once

#include "childprogram.h"
#include "qx/qxzmodem.h"
#include "testfiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

// How this side sends to rz: the component's options, qxzm's switches for the same, and rz's own.
struct SendCase {
  const char* name;
  TzModemOptions options;
  QStringList flags;
  QStringList rzOptions;
};

inline const std::vector<SendCase>& SendCases() {
  static const std::vector<SendCase> cases = {
      {"plain", {zoResuming}, {"--resume"}, {}},
      {"segmented", {zoSegmentTransfer}, {"--segmented"}, {}},
      {"escaped by us", {zoEscCtrls}, {"--escape-controls"}, {}},
      {"escaped on request", {}, {}, {"-e"}},
      {"without rz", {zoWithoutRZ}, {"--without-rz"}, {}},
  };
  return cases;
}

// How sz sends to this side.
struct ReceiveCase {
  const char* name;
  QStringList szOptions;
};

inline const std::vector<ReceiveCase>& ReceiveCases() {
  static const std::vector<ReceiveCase> cases = {
      {"plain", {}},
      {"windowed", {"-w", "4096"}},
      {"8k subpackets", {"--start-8k"}},
      {"escaped controls", {"-e"}},
  };
  return cases;
}

// Writes the batch every transfer test moves into `folder` and returns the file names: random
// data, an empty file, and every byte value with a blank in the name.
inline QStringList WriteBatch(const QString& folder) {
  QByteArray every;
  for (int i = 0; i < 256 * 16; ++i) every.append(char(i));
  const QDir dir(folder);
  WriteTestFile(dir.filePath("random.bin"), Pattern(300000, 5));
  WriteTestFile(dir.filePath("empty.bin"), QByteArray());
  WriteTestFile(dir.filePath("every byte.bin"), every);
  return {"random.bin", "empty.bin", "every byte.bin"};
}

// Each named file arrived in `to` as it is in `from`.
inline void ExpectSameFiles(const QStringList& names, const QString& from, const QString& to, const char* label) {
  for (const QString& name : names) {
    const QString received = QDir(to).filePath(name);
    EXPECT_TRUE(QFile::exists(received)) << label << ": " << name.toStdString();
    EXPECT_EQ(ReadAll(received), ReadAll(QDir(from).filePath(name))) << label << ": " << name.toStdString();
  }
}

// Removes the files (not the folders) in `folder`.
inline void RemoveFiles(const QString& folder) {
  for (const QString& name : QDir(folder).entryList(QDir::Files)) QFile::remove(QDir(folder).filePath(name));
}
