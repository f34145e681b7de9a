#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "tests/common/testhome.h"
#include "transfers/dtransfercommand.h"

#include <QtTest>

namespace {

// A transfer whose attempts run on a real worker but hold until released (or paused/aborted)
// instead of moving bytes, so the scheduling and the attempt accounting can be watched.
class HeldTransfer : public DTransferCommand
{
public:
    explicit HeldTransfer(int type) : m_type(type) {}
    ~HeldTransfer() override
    {
        release();
        stopWorker();
    }
    int commandType() const override { return m_type; }
    qint64 totalSize() const override { return 0; }
    void release()
    {
        QMutexLocker locker(&m_mutex);
        m_released = true;
        m_condition.wakeAll();
    }
    std::atomic<int> attempts{0};

protected:
    Outcome performAttempt() override
    {
        ++attempts;
        QMutexLocker locker(&m_mutex);
        while (!m_released && status() == StatusRunning)
            m_condition.wait(&m_mutex, 10);
        return status() == StatusRunning ? OutcomeDone : OutcomeRetry;
    }
    void reportDone() override {}
    void reportFailed() override {}

private:
    int m_type;
    QMutex m_mutex;
    QWaitCondition m_condition;
    bool m_released = false;
};

} // namespace

// The scheduling pass, and the rule that a transfer's attempt alone holds a running slot.
class TestScheduler : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<DCommandManager> manager;

    HeldTransfer* queued(int type, int status = StatusQueued)
    {
        auto* transfer = new HeldTransfer(type);
        manager->registerCommand(transfer);
        transfer->setStatus(status);
        manager->enqueue(transfer);
        return transfer;
    }

    static bool runs(HeldTransfer* transfer, int attempts = 1)
    {
        return QTest::qWaitFor([&] { return transfer->attempts.load() == attempts; }, 5000);
    }

private slots:
    void init()
    {
        home = std::make_unique<TestHome>();
        manager = std::make_unique<DCommandManager>();
    }
    void cleanup()
    {
        manager.reset();
        home.reset();
    }

    void overallLimitStopsThePassInQueueOrder()
    {
        manager->setMaxTransfers(1);
        HeldTransfer* download = queued(CmdDownload);
        HeldTransfer* upload = queued(CmdUpload);
        manager->flush();
        QVERIFY(runs(download));
        QCOMPARE(manager->waitingQueue(), QList<DCommand*>{upload});
        QCOMPARE(manager->runningTransferCount(), 1);
        QCOMPARE(upload->attempts.load(), 0);
    }

    void directionLimitSkipsWithoutBlockingTheOtherDirection()
    {
        manager->setMaxDownloads(1);
        HeldTransfer* first = queued(CmdDownload);
        HeldTransfer* second = queued(CmdDownload);
        HeldTransfer* upload = queued(CmdUpload);
        manager->flush();
        QVERIFY(runs(first) && runs(upload));
        QCOMPARE(manager->waitingQueue(), QList<DCommand*>{second});
        // The skipped download keeps its place and starts once the slot is free again.
        first->release();
        QVERIFY(runs(second));
        QVERIFY(manager->waitingQueue().isEmpty());
    }

    // A paused worker parks with its attempt ended; resuming counts a new one on the same
    // thread; an abort releases whatever was counted.
    void onlyAnAttemptHoldsASlot()
    {
        manager->setMaxDownloads(1);
        HeldTransfer* first = queued(CmdDownload);
        HeldTransfer* second = queued(CmdDownload, StatusPaused);
        QSignalSpy threads(first, &QThread::started);
        manager->flush();
        QVERIFY(runs(first));
        manager->pause(first->id());
        QTRY_COMPARE(manager->runningDownloadCount(), 0);
        QVERIFY(first->isRunning());
        QCOMPARE(first->attemptState(), DTransferCommand::AttemptIdle);
        // The freed slot goes to the next one in line.
        manager->resume(second->id());
        manager->resume(first->id());
        manager->flush();
        QVERIFY(runs(second));
        QCOMPARE(manager->waitingQueue(), QList<DCommand*>{first});
        // Its end frees the slot, and the pass that follows gives it to the first again.
        manager->abort(second->id());
        QVERIFY(runs(first, 2));
        QCOMPARE(threads.size(), 1);
        QCOMPARE(manager->runningDownloadCount(), 1);
        manager->abort(first->id());
        QTRY_COMPARE(manager->runningDownloadCount(), 0);
        QCOMPARE(manager->runningTransferCount(), 0);
    }

    void forceStartIgnoresTheLimitsAndStartsTheRetriesAfresh()
    {
        manager->setMaxTransfers(1);
        HeldTransfer* running = queued(CmdDownload);
        manager->flush();
        HeldTransfer* waiting = queued(CmdUpload);
        waiting->retryCount = 3;
        manager->forceStart(waiting->id());
        QVERIFY(runs(running) && runs(waiting));
        QCOMPARE(waiting->retryCount, 0);
        QCOMPARE(manager->runningTransferCount(), 2);
    }

    // A queue row may call the controls from a slot connected directly to the status signal.
    void controlsFromADirectStatusSlotDoNotDeadlock()
    {
        HeldTransfer* transfer = queued(CmdDownload);
        int calls = 0;
        connect(
            manager.get(), &DCommandManager::di_commandStatusChanged, this,
            [&](int id, CStatus st) {
                if (st != StatusPaused || calls++ > 0)
                    return;
                manager->pause(id);
                manager->resume(id);
            },
            Qt::DirectConnection);
        manager->flush();
        QVERIFY(runs(transfer));
        manager->pause(transfer->id());
        QCOMPARE(calls, 1);
        manager->flush();
        QVERIFY(runs(transfer, 2));
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
