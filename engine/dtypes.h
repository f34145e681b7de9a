#pragma once

#include <QMetaType>

// Status of one command. The manager answers StatusUnknown for an id it does not know;
// no command ever holds that value.
enum CStatus
{
    StatusFailed = 0,
    StatusFinished = 1,
    StatusRunning = 2,
    StatusPaused = 3,
    StatusResumeQueued = 4,
    StatusAborted = 5,
    StatusQueued = 6,
    StatusRetryWait = 7,
    StatusRetryWaitOnce = 8,
    StatusUnknown = 9
};

// Kind of a transfer report in di_dataTransferStatus.
enum DTransferStatus
{
    TransferDone = 0,
    TransferError = 1,
    TransferQueued = 2,
    TransferMessage = 3
};

// Answer of DCommand::commandType().
enum DCommandType
{
    CmdLogin = 0,
    CmdUpload = 1,
    CmdDownload = 2,
    CmdListing = 3,
    CmdGeneric = 4
};

Q_DECLARE_METATYPE(CStatus)
Q_DECLARE_METATYPE(DTransferStatus)
