// The serial communication engine: the comm port component, its threads and pattern list, and
// the two ready-made ports (a serial device by path, an existing comm handle).
#pragma once

#include "qx/qxcommhandle.h"
#include "qx/qxcommport.h"
#include "qx/qxcommthreads.h"
#include "qx/qxcustomcomm.h"
#include "qx/qxeventlist.h"
