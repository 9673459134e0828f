// qxline's commands for modems on serial ports: add-modem (a modem that answers AT with OK
// becomes a modem key of the store, named by what ATI tells) and probe (which ports have an
// answering modem; a port another program holds is named and left alone).
#pragma once

#include "lineoptions.h"

// The program's exit code.
int AddModem(const LineOptions& options);
int Probe(const LineOptions& options);
