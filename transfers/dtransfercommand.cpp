#include "transfers/dtransfercommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTime>
#include <QTimerEvent>
#include <QtDebug>

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <exception>

namespace {

int progressAdapter(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                    curl_off_t ulnow)
{
    return DTransferCommand::onCurlProgress(clientp, double(dltotal), double(dlnow),
                                            double(ultotal), double(ulnow));
}

int debugAdapter(CURL* handle, curl_infotype type, char* data, size_t size, void* clientp)
{
    return DTransferCommand::onCurlDebug(handle, int(type), data, size, clientp);
}

} // namespace

DTransferCommand::DTransferCommand(QObject* parent) : DCommand(parent)
{
    startTimer(DTimings::SampleTickMs);
}

DTransferCommand::~DTransferCommand()
{
    stopWorker();
    releaseHandle();
    if (uploadSource) {
        std::fclose(uploadSource);
        uploadSource = nullptr;
    }
}

void DTransferCommand::setStatus(int status)
{
    const int previous = this->status();
    if (previous == status)
        return;
    if (status == StatusAborted)
        m_statusBeforeAbort = previous;
    DCommand::setStatus(status);
    if (manager)
        manager->reportCommandStatus(id(), status);
}

bool DTransferCommand::parseResult(QString&)
{
    return true;
}

bool DTransferCommand::abortedByUser() const
{
    if (status() != StatusAborted || !manager || manager->isQuitting())
        return false;
    const int before = statusBeforeAbort();
    return before != StatusFinished && before != StatusFailed;
}

bool DTransferCommand::setUpHandle(bool ftpUpload)
{
    releaseHandle();
    curlHandle = DCurl::newHandle();
    if (!curlHandle)
        return false;
    const QByteArray address = url.toEncoded();
    curl_easy_setopt(curlHandle, CURLOPT_URL, address.constData());
    curl_easy_setopt(curlHandle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curlHandle, CURLOPT_XFERINFOFUNCTION, &progressAdapter);
    curl_easy_setopt(curlHandle, CURLOPT_XFERINFODATA, this);
    if (ftpUpload)
        curl_easy_setopt(curlHandle, CURLOPT_FTP_CREATE_MISSING_DIRS, 2L);
    curl_easy_setopt(curlHandle, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_DEBUGFUNCTION, &debugAdapter);
    curl_easy_setopt(curlHandle, CURLOPT_DEBUGDATA, this);
    // A connection that stops moving data must not hang the transfer forever.
    const long stallSeconds = (ftpUpload ? StallTimeoutMs : stallTimeoutMs()) / 1000;
    curl_easy_setopt(curlHandle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    if (manager)
        DCurl::applyProxy(curlHandle, *manager);
    return true;
}

void DTransferCommand::releaseHandle()
{
    if (!curlHandle)
        return;
    curl_easy_cleanup(curlHandle);
    curlHandle = nullptr;
}

bool DTransferCommand::prepareHandle(bool ftpUpload)
{
    message.clear();
    try {
        if (!setUpHandle(ftpUpload)) {
            qDebug() << "could not get curl handle";
            return false;
        }
    } catch (const std::exception& e) {
        logError(QStringLiteral("CRL: prepare transfer command failed :: %1")
                     .arg(QString::fromLocal8Bit(e.what())));
        return false;
    }
    return true;
}

bool DTransferCommand::initCurl()
{
    qDebug() << "upload file name is ";
    qDebug() << url.toString();
    return prepareHandle(true);
}

void DTransferCommand::resumeTransfer()
{
    {
        QMutexLocker locker(&pauseMutex);
        setStatus(StatusQueued);
    }
    resumeCondition.wakeAll();
    if (m_wakeOnly)
        return;
    // A transfer paused while it waited for a retry has no worker left to wake: start one.
    if (needsStart || !isRunning())
        dstart();
}

void DTransferCommand::forceStart()
{
    retryCount = 0;
    stopRetryTimer();
    {
        QMutexLocker locker(&pauseMutex);
        setStatus(StatusQueued);
    }
    // A parked worker continues by itself; a second thread would race it for the handle.
    if (isRunning()) {
        resumeCondition.wakeAll();
        return;
    }
    dstart();
}

void DTransferCommand::restorePaused()
{
    const bool savedNeedsStart = needsStart;
    needsStart = false;
    m_wakeOnly = true;
    resumeTransfer();
    m_wakeOnly = false;
    needsStart = savedNeedsStart;
    long long progress = 0;
    const qint64 total = totalSize();
    if (total > 0)
        progress = resumeOffset.load() * 10000 / total;
    pauseTransfer();
    if (manager)
        manager->reportProgress(id(), progress, 1.0, 1);
}

void DTransferCommand::pauseTransfer()
{
    sampleClock = 0;
    {
        QMutexLocker locker(&pauseMutex);
        setStatus(StatusPaused);
    }
    // A worker sleeping in the speed cap notices the pause at once.
    resumeCondition.wakeAll();
}

QString DTransferCommand::localFilePath() const
{
    if (!storedLocalPath.isEmpty())
        return storedLocalPath;
    return responseFile ? responseFile->fileName() : QString();
}

qint64 DTransferCommand::totalSize() const
{
    if (!storedLocalPath.isEmpty())
        return storedTotalSize;
    return responseFile ? QFileInfo(responseFile->fileName()).size() : 0;
}

QString DTransferCommand::collectedServerText() const
{
    QMutexLocker locker(&serverLogMutex);
    return serverLog;
}

int DTransferCommand::throttleDelayMs(double limitKbPerSecond, int divisor)
{
    if (limitKbPerSecond <= 0)
        return 0;
    int share = static_cast<int>(limitKbPerSecond);
    if (divisor != 0)
        share = share / divisor;
    // More transfers than KB/s in the cap: each still moves 1 KB/s instead of dividing by zero.
    if (share <= 0)
        share = 1;
    return 16000 / share;
}

long long DTransferCommand::progressOf(qint64 resumeOffset, double now, double total)
{
    const double whole = total + double(resumeOffset);
    if (whole <= 0)
        return 0;
    return static_cast<long long>(std::trunc((double(resumeOffset) + now) * 10000.0 / whole));
}

int DTransferCommand::onCurlProgress(void* clientp, double dltotal, double dlnow, double,
                                     double ulnow)
{
    auto* transfer = static_cast<DTransferCommand*>(clientp);
    const int st = transfer->status();
    if (st == StatusPaused)
        return 0;
    if (st == StatusAborted)
        return -1;
    const qint64 offset = transfer->resumeOffset.load();
    double now = 0;
    double total = 0;
    double whole = 0;
    if (transfer->commandType() == CmdDownload) {
        now = dlnow;
        total = dltotal;
        whole = double(offset) + dltotal;
    } else {
        now = ulnow;
        whole = double(transfer->totalSize());
        total = whole - double(offset);
    }
    // A download that receives nothing for a while ends the attempt (the retry cycle follows).
    // Uploads leave this to libcurl: bytes they hand over may wait in socket buffers for long.
    const qint64 elapsed = transfer->m_attemptClock.elapsed();
    if (transfer->commandType() != CmdDownload) {
    } else if (now != transfer->m_lastMovedBytes) {
        transfer->m_lastMovedBytes = now;
        transfer->m_lastMoveMs = elapsed;
    } else if (elapsed - transfer->m_lastMoveMs > stallTimeoutMs()) {
        transfer->m_stalled = true;
        return 1;
    }
    const long long progress = progressOf(offset, now, total);
    const int clock = transfer->sampleClock.load();
    if (clock < DTimings::SampleTickMs)
        return 0;
    const double speed = (now - transfer->lastSampleBytes) * 1000.0 / (clock * 1024.0);
    transfer->sampleClock = 0;
    transfer->lastSampleBytes = now;
    if (!(speed > 0))
        return 0;
    transfer->noteDataFlow();
    const int secondsLeft =
        static_cast<int>(std::trunc(whole * (1.0 - progress / 10000.0) / 1024.0 / speed));
    if (transfer->manager)
        transfer->manager->reportProgress(transfer->id(), progress, speed, secondsLeft);
    return 0;
}

int DTransferCommand::onCurlDebug(CURL*, int type, char* data, size_t size, void* clientp)
{
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    auto* transfer = static_cast<DTransferCommand*>(clientp);
    const QString text = QString::fromLatin1(data, static_cast<qsizetype>(size));
    QMutexLocker locker(&transfer->serverLogMutex);
    if (text.contains(QLatin1String("quota exceeded:")))
        transfer->serverLog += text;
    if (text.contains(QLatin1String("the maximum number of clients")))
        transfer->serverLog += text;
    if (text.contains(QLatin1String("No such file or directory")))
        transfer->serverLog += QStringLiteral(" *** ERROR Download file: ") + text;
    return 0;
}

void DTransferCommand::longRetry()
{
    if (status() != StatusRetryWait)
        return;
    if (!curlHandle)
        initCurl();
    needsStart = true;
    resumeTransfer();
}

void DTransferCommand::timerEvent(QTimerEvent* event)
{
    absorbDataFlow(); // a transfer that moves data starts its retry budget again
    if (event->timerId() == retryTimerId) {
        if (status() != StatusRetryWait)
            return;
        ++retryCount;
        if (!curlHandle)
            initCurl();
        needsStart = true;
        resumeTransfer();
        if (manager)
            manager->flush();
        return;
    }
    if (status() != StatusPaused)
        sampleClock += DTimings::SampleTickMs;
}

void DTransferCommand::throttle(double limitKbPerSecond, int divisor, qint64 blockBytes)
{
    const int ms = throttleDelayMs(limitKbPerSecond, divisor);
    if (ms > 0)
        interruptibleSleep(int(qint64(ms) * blockBytes / ThrottleBlockBytes));
}

void DTransferCommand::announceEnd(bool announce)
{
    if (announce)
        emit di_readyToDelete(id());
    // Only a notice that was started is still alive to report its end; the manager then checks
    // whether everything is done (power-off after transfers).
    if (next && followUpStarted() && manager)
        connect(next, &DCommand::di_readyToDelete, manager.data(),
                &DCommandManager::transferComplete,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
}

int DTransferCommand::stallTimeoutMs()
{
    return std::max(2000, DTimings::scaled(StallTimeoutMs));
}

void DTransferCommand::stopWorker()
{
    // A worker parked on the gate or sleeping must end before the gate (or a subclass's
    // members) go away; every destructor of the family calls this first.
    {
        QMutexLocker locker(&pauseMutex);
        DCommand::setStatus(StatusAborted);
        resumeCondition.wakeAll();
    }
    if (isRunning())
        wait();
}

void DTransferCommand::waitWhilePaused()
{
    QMutexLocker locker(&pauseMutex);
    while (status() == StatusPaused)
        resumeCondition.wait(&pauseMutex);
}

void DTransferCommand::wakeWorker()
{
    QMutexLocker locker(&pauseMutex);
    resumeCondition.wakeAll();
}

void DTransferCommand::interruptibleSleep(int ms)
{
    QDeadlineTimer deadline(ms);
    QMutexLocker locker(&pauseMutex);
    while (!deadline.hasExpired()) {
        const int st = status();
        if (st == StatusAborted || st == StatusPaused)
            return;
        resumeCondition.wait(&pauseMutex, deadline);
    }
}

void DTransferCommand::reportRowText(const QString& text)
{
    if (manager)
        manager->reportTransferStatus(id(), QString(), QString(), TransferMessage, text);
}

QString DTransferCommand::attemptNotice() const
{
    if (retryCount == 0)
        return tr("Trying");
    if (retryCount == DTimings::QuickRetryLimit) {
        const int aheadSeconds = DTimings::scaled(DTimings::LongRetryMs) / 1000;
        return tr("Next time retry - %1")
            .arg(QTime::currentTime().addSecs(aheadSeconds).toString());
    }
    return tr("Waiting to transfer retry ... %1/%2").arg(retryCount).arg(DTimings::QuickRetryLimit);
}

void DTransferCommand::discardTransfer()
{
    {
        QMutexLocker locker(&pauseMutex);
        setStatus(StatusAborted);
    }
    resumeCondition.wakeAll();
    stopRetryTimer();
    if (next && !followUpStarted())
        next->discard();
}

void DTransferCommand::absorbDataFlow()
{
    if (m_dataFlowed.exchange(false))
        retryCount = 0;
}

void DTransferCommand::beginAttempt()
{
    lastSampleBytes = 0.0;
    m_attemptClock.start();
    m_attemptBytes = 0;
    m_lastMovedBytes = -1;
    m_lastMoveMs = 0;
    m_stalled = false;
}

void DTransferCommand::paceToSpeedLimit(qint64 blockBytes)
{
    m_attemptBytes += blockBytes;
    const int limit = speedLimit();
    if (limit <= 0)
        return;
    const qint64 dueMs = m_attemptBytes * 1000 / (qint64(limit) * 1024);
    const qint64 aheadMs = dueMs - m_attemptClock.elapsed();
    if (aheadMs > 0)
        interruptibleSleep(int(aheadMs));
}

bool DTransferCommand::restartRequestedWhileEnding()
{
    if (status() != StatusQueued || isRunning())
        return false;
    dstart();
    return true;
}
