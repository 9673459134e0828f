// A log sink that keeps its entries in memory, for tests of components that log.
#pragma once

#include "framework/exception.h"
#include "framework/format.h"
#include "qx/qxcustomlogfile.h"

#include <QStringList>

class RecordingLog : public TqxCustomLogFile {
public:
  using TqxCustomLogFile::TqxCustomLogFile;

  void Flush() override { ++flushes; }
  void Clear() override { entries.clear(); }
  void Write(const QString& Text) override { entries.append(Text); }
  void WriteHeader() override { entries.append(QStringLiteral("<header>")); }
  void WriteLevel(TDetailLevel Level, const QString& Text) override {
    if (Level <= detailLevel) Write(Text);
  }
  void WriteFormat(const QString& Fmt, const std::vector<FormatArg>& Args) override {
    try {
      Write(Format(Fmt, Args));
    } catch (const Exception& error) {
      Write(QStringLiteral("<bad format> ") + error.Message());
    }
  }
  void WriteLevelFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args) override {
    if (Level <= detailLevel) WriteFormat(Fmt, Args);
  }

  TDetailLevel detailLevel = dlDebug;
  QStringList entries;
  int flushes = 0;
};
