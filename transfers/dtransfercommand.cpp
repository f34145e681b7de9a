#include "transfers/dtransfercommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QDateTime>
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

bool isFinal(int status)
{
    return status == StatusFinished || status == StatusFailed || status == StatusAborted;
}

} // namespace

DTransferCommand::DTransferCommand(QObject* parent) : DCommand(parent) {}

DTransferCommand::~DTransferCommand()
{
    stopWorker();
    endAttempt();
}

// --- Status and the gate --------------------------------------------------------------------

int DTransferCommand::storeStatusLocked(int status)
{
    const int previous = this->status();
    if (previous == status)
        return previous;
    if (status == StatusAborted)
        m_statusBeforeAbort = previous;
    DCommand::setStatus(status);
    // A worker parked on the gate or sleeping in a cap looks at the new status at once.
    m_wake.wakeAll();
    return previous;
}

void DTransferCommand::announceStatus(int previous, int status)
{
    if (previous != status && manager)
        manager->reportCommandStatus(id(), status);
}

void DTransferCommand::setStatus(int status)
{
    int previous;
    {
        QMutexLocker gate(&m_gate);
        previous = storeStatusLocked(status);
    }
    announceStatus(previous, status);
}

void DTransferCommand::settleStatus(int status)
{
    int previous;
    {
        QMutexLocker gate(&m_gate);
        previous = this->status();
        if (previous == StatusPaused || previous == StatusAborted || previous == StatusQueued ||
            previous == StatusResumeQueued)
            return;
        storeStatusLocked(status);
    }
    announceStatus(previous, status);
}

DTransferCommand::AttemptState DTransferCommand::attemptState() const
{
    QMutexLocker gate(&m_gate);
    return m_attempt;
}

bool DTransferCommand::parseResult(QString&)
{
    return true;
}

bool DTransferCommand::abortedByUser() const
{
    if (status() != StatusAborted || !manager || manager->isQuitting())
        return false;
    const int before = m_statusBeforeAbort.load();
    return before != StatusFinished && before != StatusFailed;
}

// --- Attempts -------------------------------------------------------------------------------

bool DTransferCommand::readyToStart(bool)
{
    return true;
}

bool DTransferCommand::beginAttempt(bool queued)
{
    if (!readyToStart(queued))
        return false;
    int previous;
    {
        QMutexLocker gate(&m_gate);
        if (status() == StatusAborted)
            return false;
        if (m_attempt == AttemptIdle) {
            m_attempt = AttemptStarting;
            if (manager)
                manager->markRunning(this);
        }
        previous = storeStatusLocked(StatusQueued);
    }
    announceStatus(previous, StatusQueued);
    // The sampling tick starts with the first attempt: thousands of transfers that only wait
    // in the queue keep no timer.
    if (m_sampleTimerId == 0 && QThread::currentThread() == thread())
        m_sampleTimerId = startTimer(DTimings::SampleTickMs);
    ensureWorker();
    return true;
}

void DTransferCommand::endAttemptLocked()
{
    if (m_attempt == AttemptIdle)
        return;
    m_attempt = AttemptIdle;
    if (manager)
        manager->markStopped(this);
}

void DTransferCommand::endAttempt()
{
    QMutexLocker gate(&m_gate);
    endAttemptLocked();
}

void DTransferCommand::ensureWorker()
{
    // A parked worker was woken by the status change; one that is ending is started again by
    // finish(), which sees the transfer queued.
    if (!isRunning())
        launchWorker();
}

void DTransferCommand::launchWorker()
{
    reportRowText(attemptNotice());
    message.clear();
    start(QThread::InheritPriority);
}

bool DTransferCommand::startFromQueue()
{
    if (!readyToStart(true))
        return false;
    if (status() == StatusResumeQueued)
        resumeTransfer();
    else
        dstart();
    return true;
}

void DTransferCommand::dstart()
{
    beginAttempt(false);
}

void DTransferCommand::resumeTransfer()
{
    if (freshStart) {
        forceStart();
        return;
    }
    prepareResume();
    beginAttempt(false);
}

void DTransferCommand::forceStart()
{
    // Only the first start of a new transfer is fresh: every retry after it resumes.
    freshStart = false;
    retryCount = 0;
    stopRetryTimer();
    prepareFreshStart();
    beginAttempt(false);
}

void DTransferCommand::restorePaused()
{
    pauseTransfer();
    reportStoredProgress();
}

void DTransferCommand::reportStoredProgress()
{
    const qint64 total = totalSize();
    const long long progress = total > 0 ? resumeOffset.load() * 10000 / total : 0;
    if (manager)
        manager->reportProgress(id(), progress, 1.0, 1);
}

void DTransferCommand::pauseTransfer()
{
    sampleClock = 0;
    setStatus(StatusPaused);
}

void DTransferCommand::longRetry()
{
    if (status() == StatusRetryWait)
        resumeTransfer();
}

void DTransferCommand::timerEvent(QTimerEvent* event)
{
    // A transfer that moves data starts its retry budget again.
    if (m_dataFlowed.exchange(false))
        retryCount = 0;
    if (event->timerId() != retryTimerId) {
        if (status() != StatusPaused)
            sampleClock += DTimings::SampleTickMs;
        return;
    }
    if (status() != StatusRetryWait)
        return;
    ++retryCount;
    resumeTransfer();
    if (manager)
        manager->flush();
}

// --- Worker ---------------------------------------------------------------------------------

void DTransferCommand::run()
{
    for (;;) {
        if (!enterAttempt())
            break;
        Outcome outcome = OutcomeRetry;
        if (curlHandle || makeHandle())
            outcome = performAttempt();
        if (outcome == OutcomeAgain)
            continue;
        const int final = outcome == OutcomeDone     ? StatusFinished
                          : outcome == OutcomeFailed ? StatusFailed
                                                     : StatusRetryWait;
        if (leaveAttempt(final))
            break;
    }
    releaseHandle();
}

bool DTransferCommand::enterAttempt()
{
    int previous;
    {
        QMutexLocker gate(&m_gate);
        for (;;) {
            const int st = status();
            if (st == StatusAborted)
                return false;
            if (st != StatusPaused && m_attempt != AttemptIdle)
                break;
            // Parked: the attempt is over until beginAttempt counts a new one and wakes us.
            endAttemptLocked();
            m_wake.wait(&m_gate);
        }
        m_attempt = AttemptRunning;
        previous = storeStatusLocked(StatusRunning);
    }
    announceStatus(previous, StatusRunning);
    // Each attempt is judged by what the server says to it alone.
    clearServerText();
    m_lastSampleBytes = 0.0;
    m_attemptBytes = 0;
    m_attemptStartMs = QDateTime::currentMSecsSinceEpoch();
    return true;
}

bool DTransferCommand::leaveAttempt(int finalStatus)
{
    int previous;
    {
        QMutexLocker gate(&m_gate);
        previous = status();
        if (previous == StatusAborted)
            return true;
        // Paused (the next round parks) or started again meanwhile (the next round runs).
        if (previous == StatusPaused || previous == StatusQueued || previous == StatusResumeQueued)
            return false;
        m_attempt = AttemptStopping;
        storeStatusLocked(finalStatus);
    }
    announceStatus(previous, finalStatus);
    return true;
}

bool DTransferCommand::makeHandle()
{
    try {
        curlHandle = DCurl::newHandle();
        if (!curlHandle) {
            qDebug() << "could not get curl handle";
            message = QStringLiteral("could not get curl handle");
            return false;
        }
        const QByteArray address = url.toEncoded();
        curl_easy_setopt(curlHandle, CURLOPT_URL, address.constData());
        curl_easy_setopt(curlHandle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curlHandle, CURLOPT_XFERINFOFUNCTION, &progressAdapter);
        curl_easy_setopt(curlHandle, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(curlHandle, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curlHandle, CURLOPT_DEBUGFUNCTION, &debugAdapter);
        curl_easy_setopt(curlHandle, CURLOPT_DEBUGDATA, this);
        // A connection that stops moving data must not hang the transfer forever.
        curl_easy_setopt(curlHandle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curlHandle, CURLOPT_LOW_SPEED_TIME, long(stallTimeoutMs() / 1000));
        if (manager)
            DCurl::applyProxy(curlHandle, *manager);
        configureHandle();
    } catch (const std::exception& e) {
        message = QStringLiteral("CRL: prepare transfer command failed :: %1")
                      .arg(QString::fromLocal8Bit(e.what()));
        logError(message);
        releaseHandle();
        return false;
    }
    return true;
}

void DTransferCommand::releaseHandle()
{
    if (!curlHandle)
        return;
    curl_easy_cleanup(curlHandle);
    curlHandle = nullptr;
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
        QMutexLocker gate(&m_gate);
        storeStatusLocked(StatusAborted);
    }
    if (isRunning())
        wait();
}

void DTransferCommand::interruptibleSleep(int ms)
{
    QDeadlineTimer deadline(ms);
    QMutexLocker gate(&m_gate);
    const int entered = status();
    while (!deadline.hasExpired() && status() == entered)
        m_wake.wait(&m_gate, deadline);
}

// --- Progress, caps, server text ------------------------------------------------------------

int DTransferCommand::onCurlProgress(void* clientp, double dltotal, double dlnow, double ultotal,
                                     double ulnow)
{
    auto* transfer = static_cast<DTransferCommand*>(clientp);
    const int st = transfer->status();
    if (st == StatusAborted)
        return -1;
    if (st == StatusRunning)
        transfer->onProgress(dltotal, dlnow, ultotal, ulnow);
    return 0;
}

void DTransferCommand::onProgress(double, double, double, double) {}

void DTransferCommand::sampleProgress(double now, double total, double whole)
{
    const int clock = sampleClock.load();
    if (clock < DTimings::SampleTickMs)
        return;
    const double speed = (now - m_lastSampleBytes) * 1000.0 / (clock * 1024.0);
    sampleClock = 0;
    m_lastSampleBytes = now;
    if (!(speed > 0))
        return;
    m_dataFlowed = true;
    const long long progress = progressOf(resumeOffset.load(), now, total);
    const int secondsLeft =
        static_cast<int>(std::trunc(whole * (1.0 - progress / 10000.0) / 1024.0 / speed));
    if (manager)
        manager->reportProgress(id(), progress, speed, secondsLeft);
}

// Only what the server said counts: our own request lines and libcurl's notes carry file names
// that may hold any of the phrases.
int DTransferCommand::onCurlDebug(CURL*, int type, char* data, size_t size, void* clientp)
{
    if (type != CURLINFO_HEADER_IN)
        return 0;
    auto* transfer = static_cast<DTransferCommand*>(clientp);
    const QString text = QString::fromLatin1(data, static_cast<qsizetype>(size));
    QMutexLocker locker(&transfer->m_serverLogMutex);
    if (text.contains(QLatin1String("quota exceeded:")))
        transfer->m_serverLog += text;
    if (text.contains(QLatin1String("the maximum number of clients")))
        transfer->m_serverLog += text;
    if (text.contains(QLatin1String("No such file or directory")))
        transfer->m_serverLog += QStringLiteral(" *** ERROR Download file: ") + text;
    return 0;
}

void DTransferCommand::clearServerText()
{
    QMutexLocker locker(&m_serverLogMutex);
    m_serverLog.clear();
}

QString DTransferCommand::collectedServerText() const
{
    QMutexLocker locker(&m_serverLogMutex);
    return m_serverLog;
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

void DTransferCommand::throttle(double limitKbPerSecond, int divisor, qint64 blockBytes)
{
    const int ms = throttleDelayMs(limitKbPerSecond, divisor);
    if (ms > 0)
        interruptibleSleep(int(qint64(ms) * blockBytes / ThrottleBlockBytes));
}

void DTransferCommand::paceToSpeedLimit(qint64 blockBytes)
{
    m_attemptBytes += blockBytes;
    const int limit = speedLimit();
    if (limit <= 0)
        return;
    const qint64 dueMs = m_attemptBytes * 1000 / (qint64(limit) * 1024);
    const qint64 aheadMs = dueMs - (QDateTime::currentMSecsSinceEpoch() - m_attemptStartMs);
    if (aheadMs > 0)
        interruptibleSleep(int(aheadMs));
}

// --- Files and texts ------------------------------------------------------------------------

QString DTransferCommand::localFilePath() const
{
    return responseFile ? responseFile->fileName() : QString();
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

// --- End of a transfer ----------------------------------------------------------------------

void DTransferCommand::discard()
{
    setStatus(StatusAborted);
    stopRetryTimer();
    if (next && !followUpStarted())
        next->discard();
    // While a worker runs it owns the transfer's file; finish() cleans up after it.
    if (isRunning())
        return;
    endAttempt();
    if (abortedByUser())
        cleanUpAbort();
}

void DTransferCommand::finish(bool announce)
{
    // run() has returned; let the thread end before anything here touches its files.
    wait();
    if (m_dataFlowed.exchange(false))
        retryCount = 0;
    {
        QMutexLocker gate(&m_gate);
        // Started again while the worker was ending: the same attempt goes on.
        if (status() == StatusQueued) {
            m_attempt = AttemptStarting;
            gate.unlock();
            launchWorker();
            return;
        }
    }
    endAttempt();
    // The slot is free: the next pass may give it to another transfer.
    if (manager)
        QMetaObject::invokeMethod(manager.data(), &DCommandManager::flush, Qt::QueuedConnection);
    const int st = status();
    if (manager && (st == StatusFinished || st == StatusFailed))
        manager->removeFromHistory(this);

    switch (st) {
    case StatusFinished:
        if (!message.isEmpty())
            logStatus(message);
        stopRetryTimer();
        startFollowUp();
        reportDone();
        break;
    case StatusFailed:
        logError(message);
        reportFailed();
        break;
    case StatusAborted:
        if (abortedByUser())
            cleanUpAbort();
        break;
    case StatusRetryWait:
        reportRetryWait();
        if (!failsForGood()) {
            logError(message);
            handleFailure();
            return;
        }
        // A server reply made it final: it ends as every failure does, in the error list.
        stopRetryTimer();
        if (manager)
            manager->removeFromHistory(this);
        logError(message);
        reportFailed();
        break;
    default:
        break;
    }
    if (isFinal(status()))
        announceEnd(announce);
}

void DTransferCommand::announceEnd(bool announce)
{
    if (announce)
        emit di_readyToDelete(id());
    // Only a notice that was started is still alive to report its end; the manager then checks
    // whether everything is done (power-off after transfers).
    if (next && followUpStarted() && manager)
        connect(next.data(), &DCommand::di_readyToDelete, manager.data(),
                &DCommandManager::transferComplete,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
}
