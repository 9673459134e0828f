#include "qx/qxcustomlogfile.h"

#include "framework/exception.h"

TqxCustomLogFile::TqxCustomLogFile(QObject* owner) : TComponent(owner) {}

void TqxCustomLogFile::FatalError(std::uint32_t ErrorCode, std::uint32_t Detail, const QString& ErrorMsg) {
  bool RaiseException = true;
  if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
  if (RaiseException) throw Exception(ErrorMsg);
}
