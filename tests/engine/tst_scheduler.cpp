#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "tests/common/testhome.h"
#include "transfers/dtransfercommand.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A transfer that records how the scheduler starts it instead of moving bytes.
class FakeTransfer : public DTransferCommand
{
public:
    explicit FakeTransfer(int type) : m_type(type) {}
    int commandType() const override { return m_type; }
    void dstart() override
    {
        ++starts;
        if (onStart)
            onStart();
    }
    void resumeTransfer() override { ++resumes; }

    int starts = 0;
    int resumes = 0;
    std::function<void()> onStart;

private:
    int m_type;
};

} // namespace

// The scheduling pass and the control slots that feed it.
class TestScheduler : public QObject
{
    Q_OBJECT

private:
    static FakeTransfer* queued(DCommandManager& manager, int type, int status = StatusQueued)
    {
        auto* transfer = new FakeTransfer(type);
        manager.registerCommand(transfer);
        transfer->setStatus(status);
        manager.enqueue(transfer);
        return transfer;
    }

private slots:
    void overallLimitStopsThePassInQueueOrder()
    {
        TestHome home;
        DCommandManager manager;
        manager.setMaxTransfers(1);
        FakeTransfer* download = queued(manager, CmdDownload);
        FakeTransfer* upload = queued(manager, CmdUpload);
        manager.flush();
        QCOMPARE(download->starts, 1);
        QCOMPARE(upload->starts, 0);
        QCOMPARE(download->status(), int(StatusRunning));
        QCOMPARE(manager.waitingQueue(), QList<DCommand*>{upload});
        QCOMPARE(manager.runningTransferCount(), 1);
    }

    void directionLimitSkipsWithoutBlockingTheOtherDirection()
    {
        TestHome home;
        DCommandManager manager;
        manager.setMaxDownloads(1);
        FakeTransfer* first = queued(manager, CmdDownload);
        FakeTransfer* second = queued(manager, CmdDownload);
        FakeTransfer* upload = queued(manager, CmdUpload);
        manager.flush();
        QCOMPARE(first->starts, 1);
        QCOMPARE(second->starts, 0);
        QCOMPARE(upload->starts, 1);
        QCOMPARE(manager.waitingQueue(), QList<DCommand*>{second});
        // The skipped download keeps its place and starts once a slot frees.
        manager.markStopped(first);
        manager.flush();
        QCOMPARE(second->starts, 1);
        QVERIFY(manager.waitingQueue().isEmpty());
    }

    void pausedTransfersWaitUntilResumed()
    {
        TestHome home;
        DCommandManager manager;
        FakeTransfer* paused = queued(manager, CmdDownload, StatusPaused);
        manager.flush();
        QCOMPARE(paused->starts + paused->resumes, 0);
        QCOMPARE(manager.waitingQueue().size(), 1);
        manager.resume(paused->id());
        QCOMPARE(paused->status(), int(StatusResumeQueued));
        manager.flush();
        QCOMPARE(paused->resumes, 1);
        QCOMPARE(paused->starts, 0);
        QVERIFY(!manager.waitingQueue().contains(paused));
    }

    void nestedPassReturnsAtOnce()
    {
        TestHome home;
        DCommandManager manager;
        FakeTransfer* first = queued(manager, CmdDownload);
        FakeTransfer* second = queued(manager, CmdUpload);
        int nestedStarts = -1;
        first->onStart = [&] {
            manager.flush();
            nestedStarts = second->starts;
        };
        manager.flush();
        QCOMPARE(nestedStarts, 0);
        QCOMPARE(second->starts, 1);
    }

    void flushFromAWorkerThreadRunsOnTheManagersThread()
    {
        TestHome home;
        DCommandManager manager;
        FakeTransfer* download = queued(manager, CmdDownload);
        QThread* caller = QThread::create([&manager] { manager.flush(); });
        caller->start();
        QVERIFY(caller->wait(5000));
        delete caller;
        QCOMPARE(download->starts, 0);
        QTRY_COMPARE(download->starts, 1);
    }

    void forceStartIgnoresTheLimits()
    {
        TestHome home;
        DCommandManager manager;
        manager.setMaxTransfers(1);
        manager.flush();
        FakeTransfer* running = queued(manager, CmdDownload);
        manager.flush();
        FakeTransfer* waiting = queued(manager, CmdDownload);
        waiting->retryCount = 3;
        manager.forceStart(waiting->id());
        QCOMPARE(waiting->starts, 1);
        QCOMPARE(waiting->retryCount, 0);
        QCOMPARE(running->starts, 1);
        // Still in the queue: a forced start does not take it out.
        QVERIFY(manager.waitingQueue().contains(waiting));
    }

    void lookupsOfUnknownIdsAnswerNeutralValues()
    {
        TestHome home;
        DCommandManager manager;
        QTest::ignoreMessage(QtDebugMsg, "Could not get command for Id 4242");
        QCOMPARE(manager.status(4242), int(StatusUnknown));
        QTest::ignoreMessage(QtDebugMsg, "Could not get command for Id 4242");
        QCOMPARE(manager.commandType(4242), int(CmdGeneric));
        QTest::ignoreMessage(QtDebugMsg, "Command not found with given id");
        QCOMPARE(manager.transferSize(4242), qint64(-1));
    }

    void shutDownOnlyWhenEverythingIsDone()
    {
        TestHome home;
        DCommandManager manager;
        QSignalSpy shutDown(&manager, &DCommandManager::di_shutDown);
        manager.setPowerOffOptions(true);
        auto* listing = new DCommand();
        manager.registerCommand(listing);
        manager.transferComplete();
        QCOMPARE(shutDown.count(), 0);
        manager.abort(listing->id());
        manager.setPowerOffOptions(false);
        manager.transferComplete();
        QCOMPARE(shutDown.count(), 0);
        manager.setPowerOffOptions(true);
        manager.transferComplete();
        QCOMPARE(shutDown.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
