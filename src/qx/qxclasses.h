// The component core of the library: the base I/O component with its notify list, device entries
// and worker thread, the data processor chain, the library timer and the log sink interface.
#pragma once

#include "qx/qxbaseio.h"
#include "qx/qxcustomlogfile.h"
#include "qx/qxdataprocessor.h"
#include "qx/qxdevice.h"
#include "qx/qxnotifylist.h"
#include "qx/qxsequencedetector.h"
#include "qx/qxthreadio.h"
#include "qx/qxtimer.h"
