#include "transfers/duploadcommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QFile>
#include <QFileInfo>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace {

constexpr long SizeQueryTimeoutSeconds = 60;
// The server's size counts once two queries this far apart agree.
constexpr int SettleIntervalMs = 300;
constexpr int SettleChecks = 20;

} // namespace

DUploadCommand::DUploadCommand(const QString& localPath, QObject* parent) : DTransferCommand(parent)
{
    setStatus(StatusQueued);
    // Only a check here: the file is opened again when an attempt needs it.
    QFile source(localPath);
    if (!source.open(QIODevice::ReadOnly))
        showMessage(tr("Error can not open file:") + localPath);
    storedLocalPath = localPath;
    storedTotalSize = QFileInfo(localPath).size();
    freshStart = false;
    // The source is the user's file: it must never be removed as a scratch answer file.
    replaceResponseFile(new QFile(localPath));
}

DUploadCommand::~DUploadCommand()
{
    stopWorker();
    closeSource();
}

QString DUploadCommand::localName() const
{
    return QFileInfo(localFilePath()).fileName();
}

double DUploadCommand::uploadLimit(bool limitsEnabled, double maxUpSpeed, int accountCap)
{
    if (!limitsEnabled && accountCap <= 0)
        return 0;
    double limit = maxUpSpeed;
    if (accountCap > 0 && (limit <= 0 || accountCap < limit))
        limit = accountCap;
    return limit;
}

void DUploadCommand::closeSource()
{
    if (!uploadSource)
        return;
    std::fclose(uploadSource);
    uploadSource = nullptr;
}

void DUploadCommand::dstart()
{
    // A live worker (running, parked on the gate or waiting for a login slot) carries on.
    if (isRunning())
        return;
    needsStart = false;
    if (!curlHandle && !initCurl())
        return;
    reportRowText(attemptNotice());
    message.clear();
    start(QThread::InheritPriority);
}

void DUploadCommand::forceStart()
{
    // A forced start stores the whole file again, from its first byte.
    m_append = false;
    resumeOffset = 0;
    DTransferCommand::forceStart();
}

bool DUploadCommand::querySize(qint64& size) const
{
    CURL* handle = DCurl::newHandle();
    if (!handle)
        return false;
    // A handle of its own: the transfer's handle may still belong to a worker that has not yet
    // noticed a pause, and the transfer's upload options stay as they are.
    const QByteArray address = url.toEncoded();
    curl_easy_setopt(handle, CURLOPT_URL, address.constData());
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADER, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &DUploadCommand::readSizeHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &size);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DUploadCommand::discardData);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, SizeQueryTimeoutSeconds);
    if (manager)
        DCurl::applyProxy(handle, *manager);
    size = -1;
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    // A file the server does not have yet is sent from its first byte.
    if (rc == CURLE_REMOTE_FILE_NOT_FOUND) {
        size = 0;
        return true;
    }
    if (rc != CURLE_OK)
        return false;
    if (size < 0)
        size = 0;
    return true;
}

bool DUploadCommand::querySettledSize(qint64& size)
{
    // Bytes of an earlier connection (a pause, a killed process) may still be reaching the
    // server's file; appending before they have landed would send some bytes twice.
    if (!querySize(size))
        return false;
    for (int i = 0; i < SettleChecks; ++i) {
        interruptibleSleep(SettleIntervalMs);
        if (status() != StatusRunning)
            return true;
        qint64 again = -1;
        if (!querySize(again))
            return false;
        if (again == size)
            return true;
        size = again;
    }
    return true;
}

void DUploadCommand::resumeTransfer()
{
    if (freshStart) {
        freshStart = false;
        forceStart();
        return;
    }
    try {
        qint64 size = -1;
        if (!querySize(size)) {
            setStatus(StatusRetryWait);
            m_append = false;
            // Resumed by the user or the scheduler: the retry timer may not run yet. A restore
            // only looks; the transfer stays paused until the user resumes it.
            if (!retryTimerActive() && !m_wakeOnly)
                handleFailure();
            return;
        }
        // More on the server than in the file: that copy is not ours to append to.
        const bool append = size > 0 && size <= storedTotalSize;
        resumeOffset = append ? size : 0;
        m_append = append;
    } catch (const std::exception& e) {
        logError(QStringLiteral("CRL: upload resume command failed :: %1")
                     .arg(QString::fromLocal8Bit(e.what())));
    }
    DTransferCommand::resumeTransfer();
}

DUploadCommand::Preparation DUploadCommand::prepareAttempt()
{
    beginAttempt();
    closeSource();
    if (m_append) {
        qint64 size = -1;
        if (!querySettledSize(size))
            return SizeUnknown;
        // More on the server than in the file: that copy is not ours to append to.
        m_append = size > 0 && size <= storedTotalSize;
        resumeOffset = m_append ? size : 0;
    }
    uploadSource = std::fopen(QFile::encodeName(storedLocalPath).constData(), "rb");
    if (!uploadSource) {
        message = tr("Error can not open file:") + storedLocalPath;
        return SourceMissing;
    }
    const bool append = m_append.load();
    if (!append)
        resumeOffset = 0;
    if (fseeko(uploadSource, off_t(resumeOffset.load()), SEEK_SET) != 0) {
        message = tr("Error can not open file:") + storedLocalPath;
        closeSource();
        return SourceMissing;
    }
    // Every upload option again: nothing of an earlier attempt or query may linger.
    curl_easy_setopt(curlHandle, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curlHandle, CURLOPT_HEADER, 0L);
    curl_easy_setopt(curlHandle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_READFUNCTION, &DUploadCommand::readData);
    curl_easy_setopt(curlHandle, CURLOPT_READDATA, this);
    curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, &DUploadCommand::discardData);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, &DUploadCommand::discardData);
    curl_easy_setopt(curlHandle, CURLOPT_RESUME_FROM_LARGE, curl_off_t(0));
    curl_easy_setopt(curlHandle, CURLOPT_APPEND, append ? 1L : 0L);
    curl_easy_setopt(curlHandle, CURLOPT_MAX_SEND_SPEED_LARGE, curl_off_t(speedLimit()) * 1024);
    return Ready;
}

void DUploadCommand::run()
{
    for (;;) {
        if (status() == StatusAborted)
            break;
        setStatus(StatusRunning);
        if (manager)
            manager->markRunning(this);
        CURLcode rc = CURLE_FAILED_INIT;
        Preparation prepared = SizeUnknown;
        if (curlHandle) {
            prepared = prepareAttempt();
            if (prepared == Ready)
                rc = curl_easy_perform(curlHandle);
        }
        const bool sourceMissing = prepared == SourceMissing;
        closeSource();

        if (status() == StatusPaused) {
            if (manager)
                manager->markStopped(this);
            waitWhilePaused();
            continue;
        }
        if (status() == StatusAborted) {
            if (manager)
                manager->markStopped(this);
            break;
        }
        // Resumed or force-started while this attempt was being stopped: go again at once.
        if (rc != CURLE_OK && status() == StatusQueued)
            continue;
        if (rc == CURLE_LOGIN_DENIED &&
            collectedServerText().contains(QLatin1String("the maximum number of clients"))) {
            // The upload keeps its slot and tries to log in again every 10 seconds.
            setStatus(StatusRetryWaitOnce);
            logStatus(tr("Reach max upload concurrent, wait for continue ..."));
            if (manager)
                manager->reportTransferStatus(id(), localName(), localFilePath(), TransferMessage,
                                              tr("Waiting %1 sec to restart (max reached)...")
                                                  .arg(DTimings::MaxClientsWaitMs / 1000));
            interruptibleSleep(DTimings::scaled(DTimings::MaxClientsWaitMs));
            if (status() == StatusPaused) {
                if (manager)
                    manager->markStopped(this);
                waitWhilePaused();
            }
            continue;
        }
        if (manager)
            manager->markStopped(this);
        if (sourceMissing) {
            setStatus(StatusFailed);
        } else if (rc == CURLE_QUOTE_ERROR) {
            setStatus(StatusFailed);
            message = tr("Upload: Quota Limit Reached !!");
        } else if (rc == CURLE_LOGIN_DENIED) {
            setStatus(StatusFailed);
            message = tr("Upload: invalid User or Password (Login denied) (CM?)");
        } else if (rc != CURLE_OK) {
            setStatus(StatusRetryWait);
            message = tr("Transfer perform failed(5): %1")
                          .arg(attemptStalled() ? QStringLiteral("no data sent for a while")
                                                : QString::fromLocal8Bit(curl_easy_strerror(rc)));
        } else {
            setStatus(StatusFinished);
        }
        break;
    }
    releaseHandle();
    if (manager)
        manager->flush();
}

size_t DUploadCommand::readData(char* buffer, size_t size, size_t count, void* userData)
{
    auto* upload = static_cast<DUploadCommand*>(userData);
    if (upload->status() != StatusRunning)
        return CURL_READFUNC_ABORT;
    size_t wanted = size * count;
    DCommandManager* manager = upload->manager.data();
    if (manager) {
        const double limit = uploadLimit(manager->limitsEnabled(), DGlobals::MaxUpSpeed.load(),
                                         DGlobals::uploadSpeedCap.load());
        if (limit > 0) {
            upload->throttle(limit, manager->runningUploadCount());
            if (upload->status() != StatusRunning)
                return CURL_READFUNC_ABORT;
            // One sleep stands for one block of this size.
            wanted = std::min(wanted, size_t(ThrottleBlockBytes));
        }
    }
    if (!upload->uploadSource || std::ferror(upload->uploadSource))
        return CURL_READFUNC_ABORT;
    const size_t read = std::fread(buffer, 1, wanted, upload->uploadSource);
    upload->paceToSpeedLimit(qint64(read));
    if (upload->status() != StatusRunning)
        return CURL_READFUNC_ABORT;
    return read;
}

size_t DUploadCommand::readSizeHeader(char* data, size_t size, size_t count, void* userData)
{
    const QByteArray line(data, qsizetype(size * count));
    long long value = 0;
    if (std::sscanf(line.constData(), "Content-Length: %lld\n", &value) == 1)
        *static_cast<qint64*>(userData) = value;
    return size * count;
}

size_t DUploadCommand::discardData(char*, size_t size, size_t count, void*)
{
    return size * count;
}

void DUploadCommand::discard()
{
    discardTransfer();
    if (!isRunning())
        closeSource();
}

void DUploadCommand::finish(bool announce)
{
    absorbDataFlow();
    if (restartRequestedWhileEnding())
        return;
    const QString name = localName();
    const QString path = localFilePath();
    if (manager && (status() == StatusFinished || status() == StatusFailed))
        manager->removeFromHistory(this);

    switch (status()) {
    case StatusFinished:
        if (!message.isEmpty())
            logStatus(message);
        stopRetryTimer();
        startFollowUp();
        if (manager)
            manager->reportTransferStatus(id(), name, path, TransferDone);
        break;
    case StatusAborted:
        break;
    case StatusFailed:
        logError(message);
        if (manager)
            manager->reportTransferStatus(id(), name, path, TransferError, message);
        break;
    case StatusRetryWait:
        if (manager)
            manager->reportTransferStatus(id(), name, path, TransferMessage,
                                          tr("Waiting to transfer..."));
        if (collectedServerText().contains(QLatin1String("quota exceeded:"))) {
            setStatus(StatusFailed);
            stopRetryTimer();
            if (manager)
                manager->removeFromHistory(this);
            logError(tr("Error Upload: you're uploading over quota limit! \nPlease upgrade your "
                        "account or delete files to continue upload!"));
            if (manager)
                manager->reportTransferStatus(id(), name, path, TransferMessage,
                                              tr("Error: quota is limited! Please upgrade you "
                                                 "account or delete files to continue upload!"));
        } else {
            logError(message);
        }
        handleFailure();
        return;
    default:
        logError(message);
        handleFailure();
        break;
    }
    closeSource();
    announceEnd(announce);
}
