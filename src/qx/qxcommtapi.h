// The telephony line component: TqxCommTAPI with its device entries (TqxDeviceTAPI), the modem
// settings object (TqxModemDevice) and the lookup of modem driver keys in the registry.
#pragma once

#include "qx/qxcommtapicomponent.h"
#include "qx/qxdevicetapi.h"
#include "qx/qxmodemdevice.h"
#include "qx/qxmodemkeys.h"
