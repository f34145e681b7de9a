#include "engine/dcommandmanager.h"

#include "engine/dcommand.h"
#include "engine/dglobals.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"

// Skeleton: filled in by the service protocol work.
DCommand* DCommandManager::buildCommand(int, const QString&, const QString&, const QString&) { return nullptr; }
void DCommandManager::startEngine() {}
int DCommandManager::login(const QString&, const QString&) { return -1; }
int DCommandManager::listFolder(const QString&, const QString&) { return -1; }
int DCommandManager::createFolder(const QString&) { return -1; }
int DCommandManager::renameEntry(const QString&, const QString&) { return -1; }
int DCommandManager::moveEntry(const QString&, const QString&) { return -1; }
int DCommandManager::deleteEntry(const QString&) { return -1; }
DTreeElementList DCommandManager::listFolderNow(const QString&) { return {}; }
DDownloadCommand* DCommandManager::restoreDownload(const QString&, const QString&) { return nullptr; }
DUploadCommand* DCommandManager::restoreUpload(const QString&, const QString&, const QString&) { return nullptr; }
QString DCommandManager::baseAddress() const { return QString(); }
QString DCommandManager::secureBaseAddress() const { return QString(); }
QString DCommandManager::credentialText() const { return QString(); }
QString DCommandManager::maskedRequest(const QUrl& request) const { return request.toString(); }
QString DCommandManager::machineId() { return DGlobals::machineId(); }
void DCommandManager::abortLoginCommands() {}
