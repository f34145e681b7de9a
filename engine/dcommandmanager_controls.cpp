#include "engine/dcommandmanager.h"

#include "engine/dcommand.h"
#include "transfers/dtransfercommand.h"

#include <QtDebug>

void DCommandManager::setPowerOffOptions(bool val)
{
    m_powerOff = val;
}

void DCommandManager::transferComplete()
{
    {
        QMutexLocker locker(&m_lock);
        if (!m_runningDownloads.isEmpty() || !m_runningUploads.isEmpty())
            return;
    }
    if (m_powerOff && m_registry.isEmpty())
        emit di_shutDown();
}

void DCommandManager::abort(int cmdId)
{
    DCommand* command = findCommand(cmdId);
    if (!command) {
        qDebug("Could not get command for Id %d", cmdId);
        return;
    }
    command->setStatus(StatusAborted);
    const int type = command->commandType();
    if (type == CmdUpload || type == CmdDownload)
        removeFromHistory(qobject_cast<DTransferCommand*>(command));
    command->discard();
    deleteCommand(cmdId);
}

void DCommandManager::pause(int cmdId)
{
    if (DTransferCommand* transfer = findTransfer(cmdId))
        transfer->pauseTransfer();
}

void DCommandManager::resume(int cmdId)
{
    DTransferCommand* transfer = findTransfer(cmdId);
    if (!transfer)
        return;
    transfer->setStatus(StatusResumeQueued);
    appendToQueue(transfer);
}

void DCommandManager::forceStart(int cmdId)
{
    if (DTransferCommand* transfer = findTransfer(cmdId))
        transfer->forceStart();
}

void DCommandManager::start(int cmdId)
{
    DCommand* command = findCommand(cmdId);
    if (!command) {
        qDebug("Could not get command for Id %d", cmdId);
        return;
    }
    command->dstart();
}

void DCommandManager::deleteCommand(int cmdId)
{
    DCommand* command = findCommand(cmdId);
    if (!command) {
        qDebug("Could not get command for Id %d", cmdId);
        return;
    }
    unregisterCommand(command);
    // Follow-ups that were never started go with the command; one that already runs is a live
    // command of its own and leaves the registry when it announces its own end.
    QList<DCommand*> dropped{command};
    for (DCommand* link = command; link->next && !link->followUpStarted(); link = link->next) {
        unregisterCommand(link->next);
        dropped.append(link->next);
    }
    command->setStatus(StatusAborted);
    command->discard();
    for (DCommand* gone : dropped)
        releaseCommand(gone);
}
