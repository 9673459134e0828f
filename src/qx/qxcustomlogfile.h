// TqxCustomLogFile: the log sink every component of the library writes its trace to.
#pragma once

#include "framework/format.h"
#include "framework/tcomponent.h"
#include "framework/types.h"

#include <QString>

#include <cstdint>
#include <vector>

// The abstract log sink. Components hold a plain reference to one (their Log property) and write
// only through these operations; TqxLogFile is the concrete sink. A level passes when it does not
// exceed the sink's own detail level; dlSimple always passes.
class TqxCustomLogFile : public TComponent {
  Q_OBJECT

public:
  explicit TqxCustomLogFile(QObject* owner = nullptr);

  // A sink's own failure: OnFatalError may clear RaiseException; otherwise Exception(ErrorMsg) is
  // raised. Writes nothing to the log.
  virtual void FatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const QString& ErrorMsg);
  // Writes what has been recorded to the medium.
  virtual void Flush() = 0;
  // Discards what has been recorded and the medium's content.
  virtual void Clear() = 0;
  // Records Text as one entry.
  virtual void Write(const QString& Text) = 0;
  // Records the sink's banner entry.
  virtual void WriteHeader() = 0;
  virtual void WriteLevel(TDetailLevel Level, const QString& Text) = 0;
  // Formats Fmt with Args (Format's rules) and records it; a bad format does not raise.
  virtual void WriteFormat(const QString& Fmt, const std::vector<FormatArg>& Args) = 0;
  // WriteFormat under WriteLevel's rule; the format is not evaluated when the level does not pass.
  virtual void WriteLevelFormat(TDetailLevel Level, const QString& Fmt, const std::vector<FormatArg>& Args) = 0;

  TOnFatalErrorEvent OnFatalError;
};
