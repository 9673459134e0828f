// The modem settings dialog of lineConfigDialog. Its fields carry object names so that a test can
// find and drive it: maxRate, flowControl, errorControl, compression, speakerMode, speakerVolume,
// waitForDialTone, callSetupTimeout, inactivityTimeout, and the buttons box "buttons".
#pragma once

#include "platform/modemconfig.h"

#include <QString>

class QWidget;

namespace lineservice {

// Shows the settings of `config` modally, owned by `owner` (may be null); true when the user
// confirmed, with the changes in `config`; false (config unchanged) when cancelled.
bool EditDevConfig(QWidget* owner, const QString& deviceName, DEVCFG& config);

}  // namespace lineservice
