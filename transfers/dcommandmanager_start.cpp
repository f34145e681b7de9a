#include "engine/dcommandmanager.h"

#include "engine/dcommand.h"
#include "engine/dprompt.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/dtransfercommand.h"
#include "transfers/duploadcommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

namespace {

// Suggested new name for an existing file in the way of a download: the counters accumulate
// on the base name (film(1)(2).avi) while the name is taken.
QString suggestedName(const QString& target)
{
    const QFileInfo info(target);
    const QString folder = info.path();
    const QString suffix = info.completeSuffix();
    QString name = info.fileName();
    QString newBase = info.baseName();
    for (int n = 1; QFileInfo::exists(folder + QLatin1Char('/') + name); ++n) {
        const QString base = QFileInfo(name).baseName();
        newBase = base + QLatin1Char('(') + QString::number(n) + QLatin1Char(')');
        // Only the file name changes: a folder whose name holds the base stays as it is.
        name.replace(base, newBase);
    }
    return suffix.isEmpty() ? newBase : newBase + QLatin1Char('.') + suffix;
}

// A new transfer waits in the queue, paused, until the user resumes it, or, when the user chose
// so, is queued to start as soon as the limits allow (the caller's flush starts it). A download
// whose link request failed has already left the registry (and is being freed), so it never
// waits.
int queuePaused(DCommandManager& manager, DCommand* command)
{
    const int id = command->id();
    auto* transfer = qobject_cast<DTransferCommand*>(manager.findCommand(id));
    if (!transfer) {
        qDebug("Could not get command for Id %d", id);
        return id;
    }
    manager.enqueue(transfer);
    transfer->pauseTransfer();
    transfer->setFreshStart(true);
    if (manager.startsTransfersAtOnce())
        manager.resume(id);
    return id;
}

} // namespace

int DCommandManager::startUpload(const QString& localPath)
{
    bool listed = awaitsRestore(true, localPath);
    for (auto it = m_uploadsByPath.constFind(localPath);
         !listed && it != m_uploadsByPath.constEnd() && it.key() == localPath; ++it) {
        auto* upload = static_cast<DUploadCommand*>(it.value());
        listed = upload->status() != StatusAborted && upload->folderId() == m_currentFolderId;
    }
    if (listed) {
        prompt()->showWarning(tr("Upload start error.."),
                              tr("Local file with name %1 already in upload list").arg(localPath));
        return -1;
    }
    DCommand* command = buildCommand(KindUpload, localPath);
    return command ? queuePaused(*this, command) : -1;
}

int DCommandManager::startDownload(const QString& target, const QString& fileId, qint64 size,
                                   const QString& link)
{
    // The window joins the chosen folder and the remote name with "/".
    const QString unsafe = DDownloadCommand::unsafeTargetError(target, fileId);
    if (!unsafe.isEmpty()) {
        prompt()->showWarning(tr("Download start error.."), unsafe);
        return -1;
    }
    // Two downloads to one target would write one partial file.
    bool listed = awaitsRestore(false, target);
    for (auto it = m_downloadsByTarget.constFind(target);
         !listed && it != m_downloadsByTarget.constEnd() && it.key() == target; ++it)
        listed = it.value()->status() != StatusAborted;
    if (listed) {
        prompt()->showWarning(tr("Download start error.."),
                              tr("Local file with name %1 already in download list").arg(target));
        return -1;
    }
    bool overwrite = false;
    if (size >= 0 && QFileInfo::exists(target)) {
        const QFileInfo info(target);
        switch (prompt()->askTargetExists(target)) {
        case DPrompt::ConflictCancelled:
            return -1;
        case DPrompt::ConflictOverwrite:
            // The user's file stays as it is until the new one is whole: removed, refused or
            // failed, the download costs nothing.
            overwrite = true;
            break;
        case DPrompt::ConflictRename: {
            QString name = suggestedName(target);
            if (prompt()->askNewName(name) &&
                !QFile::rename(info.absoluteFilePath(),
                               info.absolutePath() + QDir::separator() + name))
                return -1;
            break;
        }
        }
    }
    DCommand* command = buildCommand(KindDownload, fileId, target, link);
    if (!command)
        return -1;
    if (auto* download = qobject_cast<DDownloadCommand*>(findCommand(command->id()))) {
        // The choice is kept with the entry: it holds after a restart too.
        download->setReplacesTarget(overwrite);
        download->setNamesake(!overwrite && QFileInfo::exists(target));
        // The listed size until the service's answer tells it: a restart right after the end
        // recognises the finished file by it.
        download->setKnownSize(size);
        if (overwrite || size > 0)
            addToHistory(download);
    }
    return queuePaused(*this, command);
}
