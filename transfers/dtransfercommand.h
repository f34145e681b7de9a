#pragma once

#include "engine/dcommand.h"

#include <QMutex>
#include <QWaitCondition>

#include <atomic>

// Common base of downloads and uploads: the pause gate between the user-interface thread and
// the worker, progress/speed/time-left sampling every 500 ms, the global speed caps, the retry
// tick that restarts the transfer, and the restart operations the manager calls.
//
// Attempts. A transfer moves bytes in attempts, each with one explicit state: Idle (nothing
// counted), Starting (counted, the worker is being started or woken), Running (libcurl works)
// and Stopping (the worker is ending). beginAttempt() is the only way out of Idle and
// endAttempt() the only way back; they are also the only places that change the manager's
// running counts, so a count can never outlive its attempt. A paused worker parks on the gate
// with its attempt ended and is woken by the next beginAttempt().
//
// Threads. The worker creates, uses and frees the libcurl handle and owns the transfer's local
// file while it runs; the user-interface thread touches neither until finish(), which runs
// after the worker has ended. Status changes are made under the gate's mutex and announced
// after it is released, so a slot connected directly to di_commandStatusChanged may call any
// control operation.
class DTransferCommand : public DCommand
{
    Q_OBJECT
public:
    enum AttemptState
    {
        AttemptIdle,
        AttemptStarting,
        AttemptRunning,
        AttemptStopping
    };

    explicit DTransferCommand(QObject* parent = nullptr);
    ~DTransferCommand() override;

    void setStatus(int status) override;
    bool parseResult(QString& out) override;
    void discard() override;
    void finish(bool announce) override;

    // Continues after a pause, a wait in the queue or a failure, from what is on disk or on
    // the server; a new transfer's first resume is a forced start.
    virtual void resumeTransfer();
    // Starts now from the first byte of the file, with a fresh retry budget.
    virtual void forceStart();
    // Shows a transfer re-created from the history as paused, with the progress it had.
    virtual void restorePaused();
    void pauseTransfer();
    // The scheduling pass's start: resumes or starts the transfer; false when it cannot start
    // yet (it then keeps its place in the queue).
    bool startFromQueue();
    AttemptState attemptState() const;

    virtual QString localFilePath() const;
    // The whole file's size in bytes (0 while unknown).
    virtual qint64 totalSize() const = 0;

    void setSpeedLimit(int kbPerSecond) { m_speedLimit = kbPerSecond; }
    int speedLimit() const { return m_speedLimit.load(); }
    void setFreshStart(bool value) { freshStart = value; }
    bool isFreshStart() const { return freshStart; }
    qint64 currentResumeOffset() const { return resumeOffset.load(); }
    // The server's replies of interest during the current (or the last) attempt.
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

    // libcurl's progress and debug callbacks (the debug one collects the server's replies).
    static int onCurlProgress(void* clientp, double dltotal, double dlnow, double ultotal,
                              double ulnow);
    static int onCurlDebug(CURL* handle, int type, char* data, size_t size, void* clientp);

public slots:
    void dstart() override;
    void longRetry() override;

protected:
    // How an attempt ended, as the subclass saw it on the worker.
    enum Outcome
    {
        OutcomeDone,
        OutcomeRetry,  // transport trouble: the retry cycle follows
        OutcomeFailed, // over for good
        OutcomeAgain   // go again at once within the same attempt
    };

    void run() override;
    void timerEvent(QTimerEvent* event) override;

    // --- What each direction adds ---------------------------------------------------------
    // User-interface thread, before an attempt starts: false when the transfer cannot start
    // yet. `queued` tells a start from the waiting queue from a direct one.
    virtual bool readyToStart(bool queued);
    // User-interface thread: the next attempt continues what is on disk or on the server.
    virtual void prepareResume() {}
    // User-interface thread: the next attempt sends or fetches the file from its first byte.
    virtual void prepareFreshStart() {}
    // Worker: options only this direction needs, on a newly made handle.
    virtual void configureHandle() {}
    // Worker: one libcurl attempt on curlHandle; sets `message` for a failure.
    virtual Outcome performAttempt() = 0;
    // Worker, from libcurl's progress callback while the transfer runs.
    virtual void onProgress(double dltotal, double dlnow, double ultotal, double ulnow);
    // User-interface thread, in finish(): the transfer completed, failed, or waits to retry.
    virtual void reportDone() = 0;
    virtual void reportFailed() = 0;
    virtual void reportRetryWait() {}
    // A server reply that makes a transport failure final ("quota exceeded:", a missing
    // file): sets the failed status and its reason in `message` and answers true.
    virtual bool failsForGood() { return false; }
    // The user aborted the transfer and no worker runs any more.
    virtual void cleanUpAbort() {}

    // --- Shared helpers -------------------------------------------------------------------
    // Worker: progress, speed and time left, at most once per sampling tick. `now` counts the
    // bytes of this attempt, `total` those the attempt expects, `whole` the file's size.
    void sampleProgress(double now, double total, double whole);
    // Sleeps for one block of `blockBytes` (the rule counts blocks of 16 KiB, so a larger
    // block sleeps proportionally longer and the cap holds whatever libcurl hands over).
    void throttle(double limitKbPerSecond, int divisor, qint64 blockBytes = ThrottleBlockBytes);
    // Worker side, in the data callbacks: keeps the attempt's average at the per-transfer limit.
    void paceToSpeedLimit(qint64 blockBytes);
    // Sleeps on the worker for up to `ms`, returning early when the transfer is paused,
    // aborted or started again.
    void interruptibleSleep(int ms);
    // Worker: moves to `status` unless the user's pause, abort or restart came first.
    void settleStatus(int status);
    void reportRowText(const QString& text);
    // Reports how far the file had got (resumeOffset of totalSize) to a paused row.
    void reportStoredProgress();
    // Aborts and joins the worker; destructors call it before their members go.
    void stopWorker();
    // True when the transfer was stopped by the user (not by quitting, not after its end).
    bool abortedByUser() const;

    std::atomic<qint64> resumeOffset{0};
    std::atomic<int> sampleClock{0};
    bool freshStart = false;

private:
    // The only places an attempt starts and ends.
    bool beginAttempt(bool queued);
    void endAttempt();
    void endAttemptLocked();
    // Starts the worker thread unless one exists (a parked one was woken by beginAttempt).
    void ensureWorker();
    void launchWorker();
    // Worker: parks while paused; false when the transfer was aborted.
    bool enterAttempt();
    // Worker: true when the attempt is over, false when it must go again (paused, restarted).
    bool leaveAttempt(int finalStatus);
    bool makeHandle();
    void clearServerText();
    void releaseHandle();
    // Stores the status under the gate; the caller announces the change after unlocking.
    int storeStatusLocked(int status);
    void announceStatus(int previous, int status);
    // "Trying" / "Next time retry - ..." / "Waiting to transfer retry ... n/5".
    QString attemptNotice() const;
    void announceEnd(bool announce);

    mutable QMutex m_gate;
    QWaitCondition m_wake;
    AttemptState m_attempt = AttemptIdle;
    std::atomic<int> m_speedLimit{0};
    std::atomic<int> m_statusBeforeAbort{StatusFailed};
    std::atomic<bool> m_dataFlowed{false};
    // The progress sampling tick (user-interface thread), 0 until the first attempt.
    int m_sampleTimerId = 0;
    QString m_serverLog;
    mutable QMutex m_serverLogMutex;
    // Worker-only bookkeeping of the current attempt.
    double m_lastSampleBytes = 0.0;
    qint64 m_attemptStartMs = 0;
    qint64 m_attemptBytes = 0;
};
