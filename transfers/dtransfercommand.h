#pragma once

#include "engine/dcommand.h"

#include <QMutex>
#include <QWaitCondition>

#include <atomic>
#include <cstdio>

// Common base of downloads and uploads: the pause gate between the user-interface thread and
// the worker, progress/speed/time-left sampling every 500 ms, the global speed caps, the retry
// tick that restarts the transfer, and the restart operations the manager calls.
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

    static int onCurlProgress(void* clientp, double dltotal, double dlnow, double ultotal,
                              double ulnow);
    static int onCurlDebug(CURL* handle, int type, char* data, size_t size, void* clientp);

public slots:
    void longRetry() override;

protected:
    void timerEvent(QTimerEvent* event) override;
    void throttle(double limitKbPerSecond, int divisor);
    // Parks the worker until resumeTransfer (or an abort) wakes it.
    void waitWhilePaused();
    // Wakes a parked worker, e.g. so that an aborted transfer can end its thread.
    void wakeWorker();
    // Sleeps on the worker for up to `ms`, returning early when the transfer is aborted.
    void interruptibleSleep(int ms);

    QMutex pauseMutex;
    QWaitCondition resumeCondition;
    int sampleClock = 0;
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
};
