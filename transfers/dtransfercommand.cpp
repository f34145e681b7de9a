#include "transfers/dtransfercommand.h"

// Skeleton: filled in by the transfers work.
DTransferCommand::DTransferCommand(QObject* parent) : DCommand(parent) {}
DTransferCommand::~DTransferCommand() = default;
void DTransferCommand::setStatus(int status) { DCommand::setStatus(status); }
bool DTransferCommand::parseResult(QString&) { return true; }
bool DTransferCommand::initCurl() { return false; }
void DTransferCommand::resumeTransfer() {}
void DTransferCommand::forceStart() {}
void DTransferCommand::restorePaused() {}
void DTransferCommand::pauseTransfer() {}
QString DTransferCommand::localFilePath() const { return QString(); }
qint64 DTransferCommand::totalSize() const { return 0; }
QString DTransferCommand::collectedServerText() const { return QString(); }
int DTransferCommand::throttleDelayMs(double, int) { return 0; }
long long DTransferCommand::progressOf(qint64, double, double) { return 0; }
int DTransferCommand::onCurlProgress(void*, double, double, double, double) { return 0; }
int DTransferCommand::onCurlDebug(CURL*, int, char*, size_t, void*) { return 0; }
void DTransferCommand::longRetry() {}
void DTransferCommand::timerEvent(QTimerEvent*) {}
void DTransferCommand::throttle(double, int) {}
void DTransferCommand::waitWhilePaused() {}
void DTransferCommand::wakeWorker() {}
void DTransferCommand::interruptibleSleep(int) {}
