#include "qx/qxthreadio.h"

#include "qx/qxbaseio.h"

TqxThreadIO::TqxThreadIO(TqxBaseIO* Owner) : m_Owner(Owner) {}

TqxThreadIO::~TqxThreadIO() {
  Terminate();
  WaitFor();
}

void TqxThreadIO::Execute() {
  try {
    m_Owner->ThreadExecute(this);
  } catch (...) {
  }
}
