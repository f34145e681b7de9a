#include "engine/dcommandmanager.h"

#include "engine/datafolder.h"
#include "engine/dglobals.h"
#include "engine/dhistoryfile.h"
#include "engine/dprompt.h"
#include "support/dlog.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/dtransfercommand.h"
#include "transfers/duploadcommand.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

namespace {

// Changes reach the file at most this long after they were made (and at quit).
constexpr int HistorySaveDelayMs = 300;
// A restore re-creates entries for this long, then lets the event loop breathe.
constexpr int RestoreSliceMs = 10;
constexpr int RestoreLogPeriodMs = 1000;
// The writer thread goes away soon after a save; an idle engine keeps no extra thread.
constexpr int WriterExpiryMs = 1000;

const QString UploadsGroup = QStringLiteral("Uploads");
const QString DownloadsGroup = QStringLiteral("Downloads");

QString asideName(const QString& path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString aside = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 1; QFileInfo::exists(aside); ++n)
        aside = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
    return aside;
}

// A restored download must land where a new one may: an absolute partial path without "." or
// ".." segments whose target passes the same check as a new download's.
bool restorableDownload(const QString& partialPath, const QString& fileId)
{
    if (!QDir::isAbsolutePath(partialPath) || QDir::cleanPath(partialPath) != partialPath)
        return false;
    const QString target = DDownloadCommand::targetOfPartial(partialPath, fileId);
    return DDownloadCommand::unsafeTargetError(target, fileId).isEmpty();
}

// A restored upload's source must open now: creating the upload would otherwise stop the
// restore with a box about it.
bool restorableUpload(const QString& localPath)
{
    QFile source(localPath);
    if (source.open(QIODevice::ReadOnly))
        return true;
    logError(QObject::tr("Error can not open file:") + localPath);
    return false;
}

void refuse(const QString& text)
{
    prompt()->showMessage(text);
    logError(text);
}

// A kill right after a finished download's partial file took its final name leaves the entry
// behind: the partial file is gone and the target holds the whole file. The target of a
// download that overwrites a file is the user's old file until that moment, perhaps of the same
// size: such an entry comes back and replaces it again. So does one queued beside a file of
// its target's name that the user kept: accepting a possible second copy rather than a loss.
QString completedTarget(const DHistoryFile::Attributes& attributes)
{
    const auto attribute = [&](const char* name) {
        return DHistoryFile::attributeOf(attributes, DCommandManager::tr(name));
    };
    const QString partial = attribute("filename");
    const qint64 size = attribute("size").toLongLong(nullptr, 10);
    if (size <= 0 || attribute("overwrite") == QLatin1String("1") ||
        attribute("namesake") == QLatin1String("1") || QFileInfo::exists(partial))
        return QString();
    const QFileInfo target(DDownloadCommand::targetOfPartial(partial, attribute("folderId")));
    return target.isFile() && target.size() == size ? target.filePath() : QString();
}

} // namespace

// XML 1.0 has no way to carry these, not even as character references.
bool DCommandManager::isRecordable(const QString& text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xFFFE || u == 0xFFFF)
            return false;
    }
    return true;
}

QString DCommandManager::historyFilePath() const
{
    return dataFolder() + QDir::separator() + QStringLiteral("transfers_") + m_userName;
}

void DCommandManager::loginSetUp()
{
    if (m_historyLoaded && m_historyUser != m_userName)
        retireAccountTransfers();
    if (!m_historyLoaded)
        loadHistory();
    emit di_loggedIn();
}

// Another account logged in: the previous account's transfers stop as they would at quit
// (partial files and history entries stay for that account's next login) and leave the queue.
void DCommandManager::retireAccountTransfers()
{
    saveHistoryNow();
    m_restoreQueue.clear();
    // A listing that another request (a change, a completion notice) will start stays with
    // that request, which finishes for the old account on its own.
    QSet<DCommand*> followUps;
    for (DCommand* command : m_registry) {
        const int type = command->commandType();
        if (command->next && type != CmdUpload && type != CmdDownload)
            followUps.insert(command->next);
    }
    QList<DCommand*> retired;
    for (DCommand* command : m_registry) {
        const int type = command->commandType();
        if (type == CmdUpload || type == CmdDownload ||
            (type == CmdListing && !followUps.contains(command)))
            retired.append(command);
    }
    const bool quitting = m_quitting;
    m_quitting = true;
    for (DCommand* command : retired) {
        // Its finish step would report and clean up for an account that is gone.
        disconnect(command, &QThread::finished, command, &DCommand::onFinished);
        command->setStatus(StatusAborted);
        command->discard();
    }
    // No waiting for the workers here: a stalled one notices its abort only at curl's next
    // progress call, up to a second later, and the window would freeze that long. Each goes
    // when its worker ends (its reports name an id nobody knows any more).
    QList<int> retiredTransfers;
    for (DCommand* command : retired) {
        if (command->commandType() != CmdListing)
            retiredTransfers.append(command->id());
        deleteCommand(command->id());
    }
    m_quitting = quitting;
    if (!retiredTransfers.isEmpty())
        emit di_transfersRetired(retiredTransfers);
    m_history.clear();
    m_uploadLines = HistoryLines();
    m_downloadLines = HistoryLines();
    m_historyKeyById.clear();
    m_historyGroups.clear();
    m_historyUploads = m_historyDownloads = 0;
    m_historyDirty = false;
    m_historyLoaded = false;
    // Their failed transfers belong to that account too.
    m_failedTransfers.clear();
}

void DCommandManager::loadHistory()
{
    // A save of this very file may still be on its way.
    m_historyWriter.waitForDone();
    m_historyUser = m_userName;
    m_historyPath = historyFilePath();
    m_historyLoaded = true;
    QFile file(m_historyPath);
    if (!file.exists() || file.size() <= 0)
        return;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!file.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("Could not open history file"));
        // Nothing may overwrite a history that could not be read.
        m_historyPath.clear();
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();

    const DHistoryFile::Contents contents = DHistoryFile::read(bytes);
    const bool damaged = contents.damaged;
    for (const DHistoryFile::Entry& read : contents.entries) {
        HistoryEntry entry;
        entry.upload = read.upload;
        entry.element = read.element;
        entry.attributes = read.attributes;
        storeHistoryEntry(nullptr, entry);
    }
    m_historyDirty = false;
    if (!damaged)
        return;

    logError(QStringLiteral("History corrupted"));
    const QString aside = asideName(m_historyPath);
    if (!QFile::rename(m_historyPath, aside)) {
        logError(tr("Could not keep the damaged history file %1 aside").arg(m_historyPath));
        m_historyPath.clear();
        return;
    }
    refuse(tr("The transfer history was damaged: %1 transfers could be read back. The damaged "
              "file was kept as %2.")
               .arg(contents.entries.size())
               .arg(aside));
    markHistoryDirty();
    saveHistoryNow();
}

void DCommandManager::addToHistory(DTransferCommand* transfer)
{
    recordInHistory(transfer, -1);
}

DCommandManager::HistoryEntry DCommandManager::historyEntryOf(DTransferCommand* transfer)
{
    HistoryEntry entry;
    entry.id = transfer->id();
    entry.element = tr("cmd%1").arg(transfer->id());
    if (auto* upload = qobject_cast<DUploadCommand*>(transfer)) {
        entry.upload = true;
        entry.attributes = {{tr("filename"), upload->localFilePath()},
                            {tr("serverfilename"), upload->serverFileName()},
                            {tr("folderId"), upload->folderId()},
                            {tr("size"), QString::number(upload->totalSize())}};
        if (upload->hasNamesake())
            entry.attributes.append({tr("namesake"), QStringLiteral("1")});
    } else if (auto* download = qobject_cast<DDownloadCommand*>(transfer)) {
        // The whole file as the service reported it, not what is on disk yet.
        entry.attributes = {
            {tr("filename"), download->partialPath()},
            {tr("folderId"), download->fileId()},
            {tr("size"), QString::number(download->serviceSize())},
            {tr("link"), download->linkText()},
            {tr("playable"), download->isPlayable() ? QStringLiteral("1") : QStringLiteral("0")}};
        if (download->replacesTarget())
            entry.attributes.append({tr("overwrite"), QStringLiteral("1")});
        if (download->hasNamesake())
            entry.attributes.append({tr("namesake"), QStringLiteral("1")});
    }
    return entry;
}

void DCommandManager::recordInHistory(DTransferCommand* transfer, qint64 key)
{
    if (!transfer)
        return;
    const HistoryEntry entry = historyEntryOf(transfer);
    if (entry.attributes.isEmpty())
        return;
    for (const auto& attribute : entry.attributes) {
        if (!isRecordable(attribute.second)) {
            logError(tr("%1 can not be kept in the transfer history: its name holds a control "
                        "character")
                         .arg(attribute.second));
            return;
        }
    }
    storeHistoryEntry(transfer, entry, key);
}

// Puts the entry in its place: the transfer's own entry when it has one, else the entry `key`
// (the one a restore re-creates), else a new entry at the end.
void DCommandManager::storeHistoryEntry(DTransferCommand* transfer, HistoryEntry entry, qint64 key)
{
    if (transfer)
        key = m_historyKeyById.value(transfer->id(), key);
    const auto existing = key >= 0 ? m_history.find(key) : m_history.end();
    if (existing != m_history.end()) {
        // What the new transfer does not know yet (the service's size, the link) stays as read.
        const QString sizeName = tr("size");
        for (auto& attribute : entry.attributes) {
            const QString before =
                DHistoryFile::attributeOf(existing->second.attributes, attribute.first);
            const bool unknown = attribute.second.isEmpty() ||
                                 (attribute.first == sizeName && attribute.second == "0");
            if (unknown && !before.isEmpty())
                attribute.second = before;
        }
        m_historyKeyById.remove(existing->second.id);
        if (existing->second.upload != entry.upload)
            dropHistoryLine(existing->second.upload, key);
        existing->second = entry;
    } else {
        key = m_nextHistoryKey++;
        int& count = entry.upload ? m_historyUploads : m_historyDownloads;
        const QString group = entry.upload ? UploadsGroup : DownloadsGroup;
        if (count++ == 0 && !m_historyGroups.contains(group))
            m_historyGroups.append(group);
        m_history.emplace(key, entry);
    }
    // Made here, a little with every change, rather than all at once at the next save.
    putHistoryLine(entry.upload, key, DHistoryFile::entryLine(entry.element, entry.attributes));
    if (entry.id > 0)
        m_historyKeyById.insert(entry.id, key);
    markHistoryDirty();
}

DCommandManager::HistoryLines& DCommandManager::historyLines(bool upload)
{
    return upload ? m_uploadLines : m_downloadLines;
}

void DCommandManager::putHistoryLine(bool upload, qint64 key, const QString& line)
{
    HistoryLines& group = historyLines(upload);
    // New entries take the next key: they almost always go at the end.
    const auto at = std::lower_bound(group.keys.cbegin(), group.keys.cend(), key);
    const qsizetype index = at - group.keys.cbegin();
    if (at != group.keys.cend() && *at == key) {
        group.lines[index] = line;
        return;
    }
    group.keys.insert(index, key);
    group.lines.insert(index, line);
}

void DCommandManager::dropHistoryLine(bool upload, qint64 key)
{
    HistoryLines& group = historyLines(upload);
    const auto at = std::lower_bound(group.keys.cbegin(), group.keys.cend(), key);
    if (at == group.keys.cend() || *at != key)
        return;
    const qsizetype index = at - group.keys.cbegin();
    group.keys.remove(index);
    group.lines.remove(index);
}

bool DCommandManager::removeFromHistory(DTransferCommand* transfer)
{
    if (!transfer || transfer->status() == StatusRunning)
        return false;
    const auto found = m_historyKeyById.constFind(transfer->id());
    if (found == m_historyKeyById.constEnd())
        return false;
    const qint64 key = found.value();
    m_historyKeyById.erase(found);
    return dropHistoryEntry(key);
}

bool DCommandManager::dropHistoryEntry(qint64 key)
{
    const auto it = m_history.find(key);
    if (it == m_history.end())
        return false;
    int& count = it->second.upload ? m_historyUploads : m_historyDownloads;
    if (--count == 0)
        m_historyGroups.removeAll(it->second.upload ? UploadsGroup : DownloadsGroup);
    dropHistoryLine(it->second.upload, key);
    m_history.erase(it);
    markHistoryDirty();
    return true;
}

void DCommandManager::markHistoryDirty()
{
    m_historyDirty = true;
    if (!m_historySaveTimer.isSingleShot()) {
        m_historySaveTimer.setSingleShot(true);
        m_historySaveTimer.setInterval(HistorySaveDelayMs);
        connect(&m_historySaveTimer, &QTimer::timeout, this, &DCommandManager::writeHistory);
        m_historyWriter.setMaxThreadCount(1);
        m_historyWriter.setExpiryTimeout(WriterExpiryMs);
    }
    if (!m_historySaveTimer.isActive())
        m_historySaveTimer.start();
}

void DCommandManager::writeHistory()
{
    m_historySaveTimer.stop();
    if ((!m_historyDirty && !m_historySaveFailed) || m_historyPath.isEmpty())
        return;
    m_historyDirty = false;
    m_historySaveFailed = false;
    // Each entry's line was made when the entry changed; the writer thread joins the lines and
    // writes the file, so a long history never holds up the window.
    QList<QPair<QString, QList<QString>>> groups;
    for (const QString& group : m_historyGroups) {
        const bool uploads = group == UploadsGroup;
        groups.append({uploads ? tr("Uploads") : tr("Downloads"), historyLines(uploads).lines});
    }
    // Written beside the old list and renamed over it: a crash or a full disk never loses it.
    // Owner-only: the file names what the user transfers. A failed save is silent; the next
    // change, or the quit, writes the whole history again.
    m_historyWriter.start([this, path = m_historyPath, root = tr("Transfers"),
                           groups = std::move(groups)] {
        const QByteArray bytes = DHistoryFile::text(root, groups);
        QSaveFile file(path);
        // A write cut short (a full disk, a size limit) never replaces the last good list.
        const bool saved = file.open(QIODevice::WriteOnly) &&
                           file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                           file.write(bytes) == bytes.size() && file.flush() && file.commit();
        if (!saved)
            m_historySaveFailed = true;
    });
}

void DCommandManager::saveHistorySoon()
{
    if (m_historyWriter.activeThreadCount() == 0)
        writeHistory();
}

void DCommandManager::saveHistoryNow()
{
    // A save on its way may still fail and ask for another.
    m_historyWriter.waitForDone();
    writeHistory();
    m_historyWriter.waitForDone();
}

bool DCommandManager::hasHistory()
{
    if (!m_historyLoaded && !m_userName.isEmpty())
        loadHistory();
    return !m_history.empty();
}

void DCommandManager::restoreHistory()
{
    if (!m_historyLoaded && m_userName.isEmpty())
        return;
    if (!m_historyLoaded)
        loadHistory();
    if (isRestoring())
        return;
    QList<qint64> downloads, uploads;
    for (const auto& [key, entry] : m_history) {
        if (entry.id == 0)
            (entry.upload ? uploads : downloads).append(key);
    }
    if (downloads.isEmpty() && uploads.isEmpty())
        return;
    if (!downloads.isEmpty() && !DGlobals::canDownload) {
        refuse(tr("Your account Can NOT Downloads!"));
        return;
    }
    m_restoreQueue = downloads + uploads;
    m_restoreTotal = int(m_restoreQueue.size());
    m_restoreDone = 0;
    m_restoredCount = 0;
    m_restoreLogMs = 0;
    logStatus(tr("Restoring %1 transfers from the history").arg(m_restoreTotal));
    QTimer::singleShot(0, this, &DCommandManager::restoreSlice);
}

bool DCommandManager::awaitsRestore(bool upload, const QString& path) const
{
    for (const qint64 key : m_restoreQueue) {
        const auto it = m_history.find(key);
        if (it == m_history.end() || it->second.id != 0 || it->second.upload != upload)
            continue;
        const auto& attributes = it->second.attributes;
        const QString fileName = DHistoryFile::attributeOf(attributes, tr("filename"));
        const QString folderId = DHistoryFile::attributeOf(attributes, tr("folderId"));
        if (upload ? fileName == path && folderId == m_currentFolderId
                   : DDownloadCommand::targetOfPartial(fileName, folderId) == path)
            return true;
    }
    return false;
}

void DCommandManager::restoreSlice()
{
    QElapsedTimer clock;
    clock.start();
    QString refusal;
    while (!m_restoreQueue.isEmpty() && clock.elapsed() < RestoreSliceMs) {
        const qint64 key = m_restoreQueue.takeFirst();
        const auto it = m_history.find(key);
        // Removed meanwhile, or already back.
        if (it == m_history.end() || it->second.id != 0) {
            ++m_restoreDone;
            continue;
        }
        // The account's rights may change while a restore runs (a new login answer): the
        // first entry it may not re-create ends the restore, which then says why, once.
        if (it->second.upload ? !DGlobals::canModify : !DGlobals::canDownload) {
            refusal = it->second.upload ? tr("Your account Can NOT Uploads!")
                                        : tr("Your account Can NOT Downloads!");
            m_restoreQueue.clear();
            break;
        }
        const HistoryEntry entry = it->second;
        const QString completed = entry.upload ? QString() : completedTarget(entry.attributes);
        if (!completed.isEmpty() &&
            restorableDownload(DHistoryFile::attributeOf(entry.attributes, tr("filename")),
                               DHistoryFile::attributeOf(entry.attributes, tr("folderId")))) {
            dropHistoryEntry(key);
            logStatus(tr("%1 was complete before the restart").arg(completed));
        } else if (restoreEntry(entry, key) >= 0) {
            ++m_restoredCount;
        } else {
            logError(QStringLiteral("History transfer may be corrupt!"));
        }
        ++m_restoreDone;
    }
    if (m_restoreQueue.isEmpty()) {
        emit di_restoreProgress(m_restoreTotal, m_restoreTotal);
        finishRestore();
        // Only now, with the restore over, may a box run its event loop.
        if (!refusal.isEmpty())
            refuse(refusal);
        return;
    }
    emit di_restoreProgress(m_restoreDone, m_restoreTotal);
    m_restoreLogMs += clock.elapsed();
    if (m_restoreLogMs >= RestoreLogPeriodMs) {
        m_restoreLogMs = 0;
        logStatus(tr("Restoring transfers: %1 of %2").arg(m_restoreDone).arg(m_restoreTotal));
    }
    QTimer::singleShot(0, this, &DCommandManager::restoreSlice);
}

void DCommandManager::finishRestore()
{
    logStatus(tr("%1 of %2 transfers restored from the history")
                  .arg(m_restoredCount)
                  .arg(m_restoreTotal));
    m_restoreTotal = m_restoreDone = m_restoredCount = 0;
}

// Re-creates one entry, paused, in the entry's own place. An entry that cannot come back stays
// in the history as read.
int DCommandManager::restoreEntry(const HistoryEntry& entry, qint64 key)
{
    const QString fileName = DHistoryFile::attributeOf(entry.attributes, tr("filename"));
    const QString folderId = DHistoryFile::attributeOf(entry.attributes, tr("folderId"));
    const long long size =
        DHistoryFile::attributeOf(entry.attributes, tr("size")).toLongLong(nullptr, 10);
    const QString shownName = QFileInfo(fileName).fileName();
    if (!isRecordable(fileName))
        return -1;
    if (!entry.upload) {
        DDownloadCommand* download = restorableDownload(fileName, folderId)
                                         ? restoreDownload(folderId, fileName, key)
                                         : nullptr;
        if (!download)
            return -1;
        const QString link = DHistoryFile::attributeOf(entry.attributes, tr("link"));
        download->setLinkText(link);
        reportTransferStatus(download->id(), fileName, shownName, TransferQueued, QString(), size);
        reportUpdateLink(download->id(), link);
        const QString playable = DHistoryFile::attributeOf(entry.attributes, tr("playable"));
        download->setPlayable(
            (playable.isNull() ? QStringLiteral("false") : playable).toInt(nullptr, 10) != 0);
        download->setReplacesTarget(DHistoryFile::attributeOf(entry.attributes, tr("overwrite")) ==
                                    QLatin1String("1"));
        download->setNamesake(DHistoryFile::attributeOf(entry.attributes, tr("namesake")) ==
                              QLatin1String("1"));
        download->setKnownSize(size);
        download->restorePaused();
        // The entry was written before the link and the flags were known: write them too.
        addToHistory(download);
        return download->id();
    }
    DUploadCommand* upload =
        restorableUpload(fileName)
            ? restoreUpload(fileName,
                            DHistoryFile::attributeOf(entry.attributes, tr("serverfilename")),
                            folderId, key)
            : nullptr;
    if (!upload)
        return -1;
    if (DHistoryFile::attributeOf(entry.attributes, tr("namesake")) == QLatin1String("1"))
        upload->setNamesake(true);
    reportTransferStatus(upload->id(), fileName, shownName, TransferQueued, QString(), size);
    upload->restorePaused();
    addToHistory(upload);
    return upload->id();
}
