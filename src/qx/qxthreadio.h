// TqxThreadIO: the base worker thread of an I/O component.
#pragma once

#include "framework/thread.h"

class TqxBaseIO;

// Runs Owner->ThreadExecute(this) once and drops every exception it raises. The owner starts it with
// StartThread and ends it with StopThread (terminate request, then a wait for its end).
class TqxThreadIO : public TThread {
public:
  explicit TqxThreadIO(TqxBaseIO* Owner);
  ~TqxThreadIO() override;

  TqxBaseIO* Owner() const { return m_Owner; }

protected:
  void Execute() override;

private:
  TqxBaseIO* const m_Owner;
};
