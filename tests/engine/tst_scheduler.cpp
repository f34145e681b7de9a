#include "tests/protocol/protocolsession.h"
#include "transfers/dtransfercommand.h"

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
    void release() { m_released = true; }
    std::atomic<int> attempts{0};

protected:
    Outcome performAttempt() override
    {
        ++attempts;
        while (!m_released && status() == StatusRunning)
            msleep(10);
        return status() == StatusRunning ? OutcomeDone : OutcomeRetry;
    }
    void reportDone() override {}
    void reportFailed() override {}

private:
    int m_type;
    std::atomic<bool> m_released{false};
};

} // namespace

// The scheduling pass, the rule that a transfer's attempt alone holds a running slot, and the
// controls called with ids they do not know or on commands that are not transfers.
class TestScheduler : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ProtocolSession> session;
    DCommandManager* manager = nullptr;

    HeldTransfer* queued(int type)
    {
        auto* transfer = new HeldTransfer(type);
        manager->registerCommand(transfer);
        transfer->setStatus(StatusQueued);
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
        // Nothing is sent: no service listens on this port.
        qputenv("FERRYDESK_SERVICE_HOST", "127.0.0.1");
        qputenv("FERRYDESK_SERVICE_PORT", "5999");
        session = std::make_unique<ProtocolSession>();
        manager = &session->manager;
        DGlobals::canModify = true;
    }
    void cleanup() { session.reset(); }

    // A full direction is skipped without blocking the other one; the overall limit ends the
    // pass. What waits keeps its place and starts in queue order once a slot is free again. A
    // paused worker parks with its attempt ended and frees its slot; resumed, it counts a new
    // attempt on the same thread. A forced start ignores the limits and starts the retries
    // afresh.
    void limitsAndSlots()
    {
        manager->setMaxTransfers(2);
        manager->setMaxDownloads(1);
        HeldTransfer* first = queued(CmdDownload);
        HeldTransfer* second = queued(CmdDownload);
        HeldTransfer* upload = queued(CmdUpload);
        HeldTransfer* lastUpload = queued(CmdUpload);
        QSignalSpy threads(first, &QThread::started);
        manager->flush();
        QVERIFY(runs(first) && runs(upload));
        QCOMPARE(manager->waitingQueue(), (QList<DCommand*>{second, lastUpload}));
        manager->pause(first->id());
        QTRY_COMPARE(manager->runningDownloadCount(), 0);
        QCOMPARE(first->attemptState(), DTransferCommand::AttemptIdle);
        manager->resume(first->id());
        manager->flush();
        QVERIFY(runs(second));
        QCOMPARE(manager->waitingQueue(), (QList<DCommand*>{lastUpload, first}));

        lastUpload->retryCount = 3;
        manager->forceStart(lastUpload->id());
        QVERIFY(runs(lastUpload));
        QCOMPARE(lastUpload->retryCount, 0);
        QCOMPARE(manager->runningTransferCount(), 3);
        // Ends free their slots; the first one's parked worker takes the next.
        manager->abort(second->id());
        upload->release();
        QVERIFY(runs(first, 2));
        QCOMPARE(threads.size(), 1);
        manager->abort(first->id());
        QTRY_COMPARE(manager->runningDownloadCount(), 0);
    }

    // Aborting a change drops its unstarted follow-up too; the controls called with an id nobody
    // has or on commands that are not transfers change nothing.
    void abortDropsTheCommandAndItsUnstartedChain()
    {
        DCommand* change = manager->buildCommand(DCommandManager::KindRename, "5", "new");
        QVERIFY(change && change->next);
        DCommand* other = manager->buildCommand(DCommandManager::KindListFolder, "3");
        const QList<DCommand*> registry = manager->registry();
        QSignalSpy statusSpy(manager, &DCommandManager::di_commandStatusChanged);
        manager->abort(999);
        manager->pause(other->id());
        manager->forceStart(change->id());
        QCOMPARE(manager->registry(), registry);
        QVERIFY(manager->waitingQueue().isEmpty() && !change->isRunning() && statusSpy.isEmpty());
        manager->abort(change->id());
        QCOMPARE(manager->registry(), QList<DCommand*>{other});
        // Nothing of a listing or a change ever goes to the transfer history.
        QVERIFY(!QFile::exists(manager->historyFilePath()));
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
