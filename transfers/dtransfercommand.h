#pragma once

#include "engine/dcommand.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QWaitCondition>

#include <atomic>
#include <cstdio>

// Common base of downloads and uploads: the pause gate between the user-interface thread and
// the worker, progress/speed/time-left sampling every 500 ms, the global speed caps, the retry
// tick that restarts the transfer, and the restart operations the manager calls.
//
// Handle ownership: the user-interface thread creates the libcurl handle (initCurl) only while
// no worker runs; from then on only the worker touches it, and the worker frees it when its
// request ends. Everything an attempt needs on the handle is set by the worker itself
// (prepareAttempt), so a pause, resume or retry never shares a handle between two threads.
class DTransferCommand : public DCommand
{
    Q_OBJECT
public:
    explicit DTransferCommand(QObject* parent = nullptr);
    ~DTransferCommand() override;

    void setStatus(int status) override;
    bool parseResult(QString& out) override;

    virtual bool initCurl();
    virtual void resumeTransfer();
    virtual void forceStart();
    virtual void restorePaused();
    void pauseTransfer();

    QString localFilePath() const;
    qint64 totalSize() const;

    void setSpeedLimit(int kbPerSecond) { m_speedLimit = kbPerSecond; }
    int speedLimit() const { return m_speedLimit.load(); }
    void setFreshStart(bool value) { freshStart = value; }
    bool isFreshStart() const { return freshStart; }
    qint64 currentResumeOffset() const { return resumeOffset.load(); }
    QString collectedServerText() const;

    // Milliseconds throttle() sleeps for one block: 16000 / share, share = trunc(limit) / divisor
    // (a share of 0 counts as 1 KB/s); 0 when there is no limit.
    static int throttleDelayMs(double limitKbPerSecond, int divisor);
    // Progress in 1/10000 of the whole file (0 when the whole size is unknown).
    static long long progressOf(qint64 resumeOffset, double now, double total);
    // The largest block one throttle() sleep stands for; the caps assume blocks of this size.
    static constexpr int ThrottleBlockBytes = 16384;
    // A connection that moves no byte for this long ends the attempt (then the retry cycle).
    static constexpr int StallTimeoutMs = 60000;
    // The stall watch after the test scale, never below two seconds: a busy machine may
    // legitimately leave a connection silent for a moment.
    static int stallTimeoutMs();

    static int onCurlProgress(void* clientp, double dltotal, double dlnow, double ultotal,
                              double ulnow);
    static int onCurlDebug(CURL* handle, int type, char* data, size_t size, void* clientp);

public slots:
    void longRetry() override;

protected:
    void timerEvent(QTimerEvent* event) override;
    // Sleeps for one block of `blockBytes` (the design's rule counts blocks of 16 KiB, so a
    // larger block sleeps proportionally longer and the cap holds whatever libcurl hands over).
    void throttle(double limitKbPerSecond, int divisor, qint64 blockBytes = ThrottleBlockBytes);
    // A fresh handle with the shared options; set-up failures are logged and answer false.
    bool prepareHandle(bool ftpUpload);
    // Last step of a finish: di_readyToDelete, and the notice's end wired to transferComplete.
    void announceEnd(bool announce);
    // Aborts and joins the worker; destructors call it before their members go.
    void stopWorker();
    // Parks the worker until resumeTransfer (or an abort) wakes it.
    void waitWhilePaused();
    // Wakes a parked worker, e.g. so that an aborted transfer can end its thread.
    void wakeWorker();
    // Sleeps on the worker for up to `ms`, returning early when the transfer is aborted.
    void interruptibleSleep(int ms);
    // Options shared by both directions: progress, debug text, proxy, stall detection.
    bool setUpHandle(bool ftpUpload);
    // Frees the handle; only on the worker, or while no worker runs.
    void releaseHandle();
    // Status before the last change to StatusAborted, to tell a user's abort from the manager
    // dropping a command that had already finished or failed.
    int statusBeforeAbort() const { return m_statusBeforeAbort.load(); }
    // True when the transfer was stopped by the user (not by quitting, not after its end).
    bool abortedByUser() const;
    // The 500 ms tick and the retry tick call this to let a worker-side flag reach the UI side.
    void noteDataFlow() { m_dataFlowed = true; }
    void reportRowText(const QString& text);
    // Status 5 under the gate, the parked or sleeping worker woken, retries and the unstarted
    // completion notice dropped.
    void discardTransfer();
    // A retry tick or a resume that came while the worker was ending found it still alive and
    // left the transfer queued: start it now instead of finishing.
    bool restartRequestedWhileEnding();
    // Data that flowed on the worker resets the retry budget (read on the user-interface thread).
    void absorbDataFlow();
    // Called by the worker before every libcurl attempt: speed samples, the per-transfer pace
    // and the stall watch start again from 0.
    void beginAttempt();
    // Worker side, in the data callbacks: keeps the attempt's average at the per-transfer limit.
    // libcurl's own limit lets a first burst through; this sleep holds the average exactly.
    void paceToSpeedLimit(qint64 blockBytes);
    // True when the last attempt ended because no byte moved for StallTimeoutMs.
    bool attemptStalled() const { return m_stalled.load(); }
    // "Trying" / "Next time retry - ..." / "Waiting to transfer retry ... n/5".
    QString attemptNotice() const;

    QMutex pauseMutex;
    QWaitCondition resumeCondition;
    std::atomic<int> sampleClock{0};
    std::atomic<int> m_speedLimit{0};
    std::atomic<qint64> resumeOffset{0};
    double lastSampleBytes = 0.0;
    bool needsStart = true;
    std::atomic<bool> performing{false};
    QString serverLog;
    mutable QMutex serverLogMutex;
    FILE* uploadSource = nullptr;
    qint64 storedTotalSize = 0;
    QString storedLocalPath;
    bool freshStart = false;
    // Set while restorePaused wakes the gate: the restore must not start a worker.
    bool m_wakeOnly = false;

private:
    // Worker-only bookkeeping of the current attempt.
    QElapsedTimer m_attemptClock;
    qint64 m_attemptBytes = 0;
    double m_lastMovedBytes = -1;
    qint64 m_lastMoveMs = 0;
    std::atomic<bool> m_stalled{false};
    std::atomic<int> m_statusBeforeAbort{StatusFailed};
    std::atomic<bool> m_dataFlowed{false};
};
