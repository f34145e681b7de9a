// Retrying transfers that failed for good. The failed command itself is gone once its end is
// reported; what a retry needs is what the history would keep of it, so a retry re-creates the
// transfer exactly as a restore after a restart does, and then queues it.

#include "engine/dcommandmanager.h"

#include "engine/dglobals.h"
#include "engine/dhistoryfile.h"
#include "engine/dprompt.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/dtransfercommand.h"
#include "transfers/duploadcommand.h"

#include <QFileInfo>

void DCommandManager::keepForRetry(int cmdId)
{
    DTransferCommand* transfer = findTransfer(cmdId, false);
    // A transfer that reports an error while not failed (a finished download that could not
    // take its name) has nothing a retry could continue.
    if (!transfer || transfer->status() != StatusFailed)
        return;
    HistoryEntry entry = historyEntryOf(transfer);
    if (entry.attributes.isEmpty())
        return;
    entry.id = 0;
    m_failedTransfers.insert(cmdId, entry);
}

void DCommandManager::forgetFailedTransfers(const QList<int>& failedIds)
{
    for (int id : failedIds)
        m_failedTransfers.remove(id);
}

namespace {

// A transfer that has not ended: the failed one itself, until it is freed, does not count.
bool isLive(const DCommand* command)
{
    const int status = command->status();
    return status != StatusAborted && status != StatusFailed && status != StatusFinished;
}

} // namespace

bool DCommandManager::retryWouldDuplicate(const HistoryEntry& entry)
{
    const QString fileName = DHistoryFile::attributeOf(entry.attributes, tr("filename"));
    if (entry.upload) {
        for (auto it = m_uploadsByPath.constFind(fileName);
             it != m_uploadsByPath.constEnd() && it.key() == fileName; ++it) {
            if (isLive(it.value())) {
                prompt()->showWarning(
                    tr("Upload start error.."),
                    tr("Local file with name %1 already in upload list").arg(fileName));
                return true;
            }
        }
        return false;
    }
    const QString target = DDownloadCommand::targetOfPartial(
        fileName, DHistoryFile::attributeOf(entry.attributes, tr("folderId")));
    for (auto it = m_downloadsByTarget.constFind(target);
         it != m_downloadsByTarget.constEnd() && it.key() == target; ++it) {
        if (isLive(it.value())) {
            prompt()->showWarning(
                tr("Download start error.."),
                tr("Local file with name %1 already in download list").arg(target));
            return true;
        }
    }
    return false;
}

int DCommandManager::retryTransfer(int failedId)
{
    const auto found = m_failedTransfers.constFind(failedId);
    if (found == m_failedTransfers.constEnd())
        return -1;
    const HistoryEntry entry = found.value();
    if (retryWouldDuplicate(entry))
        return -1;
    if (entry.upload ? !DGlobals::canModify : !DGlobals::canDownload) {
        prompt()->showMessage(entry.upload ? tr("Your account Can NOT Uploads!")
                                           : tr("Your account Can NOT Downloads!"));
        return -1;
    }
    const int id = restoreEntry(entry, -1);
    if (id < 0) {
        const QString name =
            QFileInfo(DHistoryFile::attributeOf(entry.attributes, tr("filename"))).fileName();
        prompt()->showWarning(
            tr("Retry.."),
            tr("%1 could not be put back in the queue; the log tells why.").arg(name));
        return -1;
    }
    m_failedTransfers.remove(failedId);
    resume(id);
    return id;
}
