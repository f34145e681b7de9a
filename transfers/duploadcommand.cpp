#include "transfers/duploadcommand.h"

// Skeleton: filled in by the transfers work.
DUploadCommand::DUploadCommand(const QString&, QObject* parent) : DTransferCommand(parent) {}
DUploadCommand::~DUploadCommand() = default;
void DUploadCommand::discard() {}
void DUploadCommand::finish(bool) {}
void DUploadCommand::resumeTransfer() {}
void DUploadCommand::dstart() {}
void DUploadCommand::run() {}
size_t DUploadCommand::readData(char*, size_t, size_t, void*) { return 0; }
size_t DUploadCommand::readSizeHeader(char*, size_t, size_t, void*) { return 0; }
size_t DUploadCommand::discardData(char*, size_t, size_t, void*) { return 0; }
