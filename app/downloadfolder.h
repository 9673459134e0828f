// Where the terminal puts received files.
#pragma once

#include <QString>

// The user's download folder when it exists, otherwise the home folder, with a trailing "/".
QString DownloadFolder();
