#include "engine/dcommandmanager.h"

#include "engine/dcommand.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "support/dsleepinhibitor.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/dtransfercommand.h"
#include "transfers/duploadcommand.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtDebug>

namespace {

// The ends of background jobs run on the user-interface thread for at most this long at a time.
constexpr int FinishedJobsSliceMs = 5;

void debugMissingCommand(int id)
{
    qDebug("Could not get command for Id %d", id);
}

} // namespace

DCommandManager::DCommandManager(QObject* parent) : QObject(parent)
{
    registerEngineMetaTypes();
    readServiceConfiguration();
    loadSettings();
    DCurl::globalInit();
    // Link requests and size queries: a few at a time, each short.
    m_background.setMaxThreadCount(4);
    m_sleepInhibitor = new DSleepInhibitor(this);
}

DCommandManager::~DCommandManager()
{
    m_sleepInhibitor->setWanted(false);
    saveSettings();
    // Every command still alive is a child of the manager. Stop their workers before the
    // objects go: a parked transfer is woken by its discard and ends on the aborted status.
    m_quitting = true;
    const QList<DCommand*> alive = findChildren<DCommand*>(QString(), Qt::FindDirectChildrenOnly);
    for (DCommand* command : alive) {
        command->disconnect(this);
        command->setStatus(StatusAborted);
        command->discard();
    }
    for (DCommand* command : alive)
        command->wait();
    qDeleteAll(alive);
    saveHistoryNow();
}

void DCommandManager::readServiceConfiguration()
{
    const QString host = qEnvironmentVariable("FERRYDESK_SERVICE_HOST");
    m_serviceHost = host.isEmpty() ? QStringLiteral(FERRYDESK_DEFAULT_SERVICE_HOST) : host;
    const QString port = qEnvironmentVariable("FERRYDESK_SERVICE_PORT");
    m_servicePort = port.isEmpty() ? QStringLiteral("56666") : port;
    const QString securePort = qEnvironmentVariable("FERRYDESK_SECURE_PORT");
    DGlobals::setServiceHost(m_serviceHost);
    DGlobals::setServicePort(m_servicePort);
    DGlobals::setSecurePort(securePort == QLatin1String("443") ? QString() : securePort);
    DGlobals::setCaFile(qEnvironmentVariable("FERRYDESK_CA_FILE"));
}

void DCommandManager::registerCommand(DCommand* command)
{
    if (!command)
        return;
    command->setManager(this);
    if (m_index.contains(command->id()))
        return;
    // The manager owns every command it ever registered, so none outlives it.
    command->setParent(this);
    connect(command, &DCommand::di_readyToDelete, this, &DCommandManager::deleteCommand);
    m_registry.append(command);
    m_index.insert(command->id(), command);
    if (auto* upload = qobject_cast<DUploadCommand*>(command))
        m_uploadsByPath.insert(upload->localFilePath(), upload);
    else if (auto* download = qobject_cast<DDownloadCommand*>(command))
        m_downloadsByTarget.insert(download->targetPath(), download);
}

void DCommandManager::unregisterCommand(DCommand* command)
{
    removeFromQueue(command);
    if (!m_index.remove(command->id()))
        return;
    m_registry.removeOne(command);
    if (auto* upload = qobject_cast<DUploadCommand*>(command)) {
        m_uploadsByPath.remove(upload->localFilePath(), upload);
        m_uploadsAlike.remove(uploadsAlikeKey(upload), upload);
    } else if (auto* download = qobject_cast<DDownloadCommand*>(command))
        m_downloadsByTarget.remove(download->targetPath(), download);
}

DCommand* DCommandManager::findCommand(int id) const
{
    return m_index.value(id, nullptr);
}

DTransferCommand* DCommandManager::findTransfer(int cmdId, bool logMisses) const
{
    DCommand* command = findCommand(cmdId);
    if (!command) {
        if (logMisses)
            debugMissingCommand(cmdId);
        return nullptr;
    }
    auto* transfer = qobject_cast<DTransferCommand*>(command);
    if (!transfer && logMisses)
        qDebug("command with Id %d not a transfer command", cmdId);
    return transfer;
}

int DCommandManager::status(int id) const
{
    DCommand* command = findCommand(id);
    if (!command) {
        debugMissingCommand(id);
        return StatusUnknown;
    }
    return command->status();
}

int DCommandManager::commandType(int id) const
{
    DCommand* command = findCommand(id);
    if (!command) {
        debugMissingCommand(id);
        return CmdGeneric;
    }
    return command->commandType();
}

QString DCommandManager::url(int id) const
{
    DCommand* command = findCommand(id);
    if (!command) {
        debugMissingCommand(id);
        return QString();
    }
    return command->url.toString();
}

bool DCommandManager::isPlayable(int id) const
{
    DCommand* command = findCommand(id);
    if (!command) {
        debugMissingCommand(id);
        return false;
    }
    auto* download = qobject_cast<DDownloadCommand*>(command);
    return download && download->isPlayable();
}

qint64 DCommandManager::transferSize(int id) const
{
    DCommand* command = findCommand(id);
    if (!command) {
        qDebug("Command not found with given id");
        return -1;
    }
    auto* download = qobject_cast<DDownloadCommand*>(command);
    if (!download) {
        qDebug("Command not a transfer command");
        return -1;
    }
    return download->serviceSize();
}

void DCommandManager::setTransferSpeedLimit(int id, int value)
{
    DCommand* command = findCommand(id);
    if (!command) {
        qDebug("Command not found with given id");
        return;
    }
    auto* transfer = qobject_cast<DTransferCommand*>(command);
    if (!transfer) {
        qDebug("Command not a transfer command");
        return;
    }
    transfer->setSpeedLimit(value);
}

int DCommandManager::runningDownloadCount() const
{
    QMutexLocker locker(&m_lock);
    return m_runningDownloads.size();
}

int DCommandManager::runningUploadCount() const
{
    QMutexLocker locker(&m_lock);
    return m_runningUploads.size();
}

int DCommandManager::runningTransferCount() const
{
    QMutexLocker locker(&m_lock);
    return m_runningTransfers.size();
}

QString DCommandManager::serviceHost() const
{
    return m_serviceHost;
}

void DCommandManager::markRunning(DCommand* transfer)
{
    const int type = transfer->commandType();
    if (type != CmdDownload && type != CmdUpload)
        return;
    QMutexLocker locker(&m_lock);
    (type == CmdDownload ? m_runningDownloads : m_runningUploads).insert(transfer->id());
    const bool first = m_runningTransfers.isEmpty();
    m_runningTransfers.insert(transfer->id());
    if (first)
        QMetaObject::invokeMethod(this, &DCommandManager::updateSleepInhibitor,
                                  Qt::QueuedConnection);
}

void DCommandManager::markStopped(DCommand* transfer)
{
    const int type = transfer->commandType();
    if (type != CmdDownload && type != CmdUpload)
        return;
    QMutexLocker locker(&m_lock);
    m_runningDownloads.remove(transfer->id());
    m_runningUploads.remove(transfer->id());
    if (m_runningTransfers.remove(transfer->id()) && m_runningTransfers.isEmpty())
        QMetaObject::invokeMethod(this, &DCommandManager::updateSleepInhibitor,
                                  Qt::QueuedConnection);
}

void DCommandManager::updateSleepInhibitor()
{
    // Quitting: whatever still runs is being stopped.
    m_sleepInhibitor->setWanted(!m_quitting && runningTransferCount() > 0);
}

bool DCommandManager::keepsAwake() const
{
    return m_sleepInhibitor->isHeld();
}

void DCommandManager::abortAll()
{
    // Quitting keeps partial files and history entries: the next login resumes them.
    m_quitting = true;
    updateSleepInhibitor();
    const QList<DCommand*> commands = m_registry;
    for (DCommand* command : commands) {
        command->setStatus(StatusAborted);
        command->discard();
    }
}

bool DCommandManager::clearContents()
{
    m_listedFolderId = QString();
    m_listedEntries.clear();
    m_listedFiles.clear();
    m_listedFilesIndexed = false;
    emit di_userInfoChanged(QString());
    emit di_contentsChanged(DTreeElementList());
    return true;
}

void DCommandManager::enqueue(DCommand* command)
{
    if (command && !m_queuedTimes.contains(command))
        appendToQueue(command);
}

void DCommandManager::appendToQueue(DCommand* command)
{
    m_waitingQueue.append(command);
    ++m_queuedTimes[command];
}

void DCommandManager::removeFromQueue(DCommand* command)
{
    if (m_queuedTimes.remove(command))
        m_waitingQueue.removeAll(command);
}

void DCommandManager::flush()
{
    // Worker threads ask for a pass at the end of their request; the pass itself starts
    // threads and timers, so it always runs on the manager's own thread.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &DCommandManager::flush, Qt::QueuedConnection);
        return;
    }
    if (m_busy)
        return;
    m_busy = true;
    // Each start counts itself (DTransferCommand::beginAttempt), so the next command of the
    // pass already sees it in the running counts.
    QSet<DCommand*> started;
    for (int i = 0; i < m_waitingQueue.size(); ++i) {
        // Most of a big queue is paused: the status alone passes over those, with no cast and
        // no lookup, so a pass over 10,000 waiting transfers stays cheap.
        const int st = m_waitingQueue.at(i)->status();
        if (st != StatusQueued && st != StatusResumeQueued)
            continue;
        auto* transfer = qobject_cast<DTransferCommand*>(m_waitingQueue.at(i));
        // A command queued twice (resume appends again) starts once.
        if (!transfer || started.contains(transfer))
            continue;
        // One whose attempt still runs continues it without a new slot.
        if (transfer->attemptState() == DTransferCommand::AttemptIdle) {
            const int type = transfer->commandType();
            if (type == CmdDownload && runningDownloadCount() >= m_maxDownloads)
                continue;
            if (type == CmdUpload && runningUploadCount() >= m_maxUploads)
                continue;
            if (runningTransferCount() >= m_maxTransfers)
                break;
        }
        if (transfer->startFromQueue())
            started.insert(transfer);
    }
    if (!started.isEmpty()) {
        m_waitingQueue.removeIf([&](DCommand* command) { return started.contains(command); });
        for (DCommand* command : started)
            m_queuedTimes.remove(command);
    }
    m_busy = false;
}

void DCommandManager::runInBackground(std::function<void()> work, std::function<void()> done)
{
    m_background.start([this, work = std::move(work), done = std::move(done)]() mutable {
        work();
        queueFinishedJob(std::move(done));
    });
}

void DCommandManager::queueFinishedJob(std::function<void()> done)
{
    QMutexLocker locker(&m_finishedLock);
    m_finishedJobs.push_back(std::move(done));
    if (m_deliveryPosted)
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &DCommandManager::deliverFinishedJobs, Qt::QueuedConnection);
}

void DCommandManager::deliverFinishedJobs()
{
    // Thousands of link answers may arrive at once: they are taken in slices, so the window
    // repaints and its timers run between them instead of after the last one.
    QElapsedTimer clock;
    clock.start();
    QMutexLocker locker(&m_finishedLock);
    // From here on a new end posts a delivery of its own: one that runs inside an event loop
    // opened by an end below still finds everything in order.
    m_deliveryPosted = false;
    while (!m_finishedJobs.empty()) {
        if (clock.elapsed() >= FinishedJobsSliceMs) {
            if (!m_deliveryPosted) {
                m_deliveryPosted = true;
                QMetaObject::invokeMethod(this, &DCommandManager::deliverFinishedJobs,
                                          Qt::QueuedConnection);
            }
            return;
        }
        const std::function<void()> done = std::move(m_finishedJobs.front());
        m_finishedJobs.pop_front();
        locker.unlock();
        done();
        locker.relock();
    }
}

void DCommandManager::releaseCommand(DCommand* command)
{
    // Connected first, so a worker that ends right now still frees it; deleteLater twice is safe.
    connect(command, &QThread::finished, command, &QObject::deleteLater, Qt::QueuedConnection);
    if (!command->isRunning())
        command->deleteLater();
}

void DCommandManager::reportProgress(int cmdId, long long progress, double speed, int timeLeft)
{
    emit di_dataTransferProgress(cmdId, progress, speed, timeLeft);
}

void DCommandManager::reportTransferStatus(int cmdId, const QString& rFile, const QString& lFile,
                                           DTransferStatus status, const QString& err,
                                           long long size)
{
    if (status == TransferError)
        keepForRetry(cmdId);
    emit di_dataTransferStatus(cmdId, rFile, lFile, status, err, size);
}

void DCommandManager::reportCommandStatus(int cmdId, int status)
{
    emit di_commandStatusChanged(cmdId, static_cast<CStatus>(status));
}

void DCommandManager::reportContents(const DTreeElementList& entries)
{
    m_listedFolderId = m_currentFolderId.isNull() ? QStringLiteral("") : m_currentFolderId;
    m_listedEntries = entries;
    m_listedFiles.clear();
    m_listedFilesIndexed = false;
    emit di_contentsChanged(entries);
}

QString DCommandManager::uploadsAlikeKey(const DUploadCommand* upload)
{
    return upload->folderId() + QLatin1Char('\n') + QFileInfo(upload->localFilePath()).fileName() +
           QLatin1Char('\n') + QString::number(upload->totalSize());
}

bool DCommandManager::listedFolderLacks(const QString& folderId, const QString& name, qint64 size)
{
    if (m_listedFolderId.isNull() || folderId != m_listedFolderId)
        return false;
    // Built once per listing, and only when uploads ask: a listing costs nothing more.
    if (!m_listedFilesIndexed) {
        for (const auto& entry : std::as_const(m_listedEntries)) {
            if (entry->isFile)
                m_listedFiles.insert(entry->name + QLatin1Char('\n') +
                                     QString::number(entry->size.trimmed().toLongLong()));
        }
        m_listedEntries.clear();
        m_listedFilesIndexed = true;
    }
    return !m_listedFiles.contains(name + QLatin1Char('\n') + QString::number(size));
}

void DCommandManager::reportUserInfo(const QString& info)
{
    emit di_userInfoChanged(info);
}

void DCommandManager::reportEngineStarted()
{
    emit di_engineStarted();
}

void DCommandManager::reportUpdateLink(int cmdId, const QString& link)
{
    emit di_updateLink(cmdId, link);
}
