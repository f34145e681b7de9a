#include "transfers/ddownloadcommand.h"

// Skeleton: filled in by the transfers work.
DDownloadCommand::DDownloadCommand(const QString&, const QString&, const QString&, bool, QObject* parent)
    : DTransferCommand(parent) {}
DDownloadCommand::~DDownloadCommand() = default;
void DDownloadCommand::discard() {}
void DDownloadCommand::finish(bool) {}
bool DDownloadCommand::initCurl() { return false; }
void DDownloadCommand::resumeTransfer() {}
void DDownloadCommand::restorePaused() {}
QString DDownloadCommand::partialPath() const { return QString(); }
QString DDownloadCommand::finalName(const QString&) { return QString(); }
QString DDownloadCommand::freePartialPath(const QString&, const QString&) { return QString(); }
bool DDownloadCommand::setDownloadUrl(const QUrl&) { return false; }
void DDownloadCommand::dstart() {}
void DDownloadCommand::run() {}
size_t DDownloadCommand::writeLinkAnswer(char*, size_t, size_t, void*) { return 0; }
size_t DDownloadCommand::writeData(char*, size_t, size_t, void*) { return 0; }
