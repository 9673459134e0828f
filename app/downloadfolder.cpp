#include "downloadfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString DownloadFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  // A download folder that is named but was never made would turn every received file away.
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  return folder.endsWith(u'/') ? folder : folder + u'/';
}
