#include "engine/dcommandmanager.h"

// Skeleton: filled in by the transfers work.
int DCommandManager::startUpload(const QString&) { return -1; }
int DCommandManager::startDownload(const QString&, const QString&, qint64, const QString&) { return -1; }
