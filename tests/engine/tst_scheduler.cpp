#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "tests/common/scriptedprompt.h"
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
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
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
        // Nothing is sent: no service listens on this port.
        qputenv("FERRYDESK_SERVICE_HOST", "127.0.0.1");
        qputenv("FERRYDESK_SERVICE_PORT", "5999");
        home = std::make_unique<TestHome>();
        prompts = std::make_unique<ScriptedPrompt>();
        manager = std::make_unique<DCommandManager>();
        DGlobals::canModify = true;
    }
    void cleanup()
    {
        manager.reset();
        prompts.reset();
        home.reset();
    }

    // A full direction is skipped without blocking the other one; the overall limit ends the
    // pass. What waits keeps its place and starts in queue order once a slot is free again.
    void limitsKeepTheQueueOrder()
    {
        manager->setMaxTransfers(2);
        manager->setMaxDownloads(1);
        HeldTransfer* first = queued(CmdDownload);
        HeldTransfer* second = queued(CmdDownload);
        HeldTransfer* upload = queued(CmdUpload);
        HeldTransfer* lastUpload = queued(CmdUpload);
        manager->flush();
        QVERIFY(runs(first) && runs(upload));
        QCOMPARE(manager->waitingQueue(), (QList<DCommand*>{second, lastUpload}));
        QCOMPARE(manager->runningTransferCount(), 2);
        first->release();
        QVERIFY(runs(second));
        QCOMPARE(manager->waitingQueue(), QList<DCommand*>{lastUpload});
        QCOMPARE(lastUpload->attempts.load(), 0);
        // A forced start ignores the limits and starts the retries afresh.
        lastUpload->retryCount = 3;
        manager->forceStart(lastUpload->id());
        QVERIFY(runs(lastUpload));
        QCOMPARE(lastUpload->retryCount, 0);
        QCOMPARE(manager->runningTransferCount(), 3);
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

    // The control slots with ids they do not know and with commands that are not transfers.
    void callsLeaveOtherCommandsAlone_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("kind"); // -1: an id nobody has
        QTest::addColumn<QString>("line");
        const QString unknown = "Could not get command for Id %1";
        for (const char* call : {"abort", "pause", "resume", "forceStart", "start", "deleteCommand",
                                 "status", "commandType", "url", "isPlayable"})
            QTest::addRow("%s an unknown id", call) << call << -1 << unknown;
        for (const char* call : {"transferSize", "setTransferSpeedLimit"})
            QTest::addRow("%s an unknown id", call)
                << call << -1 << "Command not found with given id";
        const QString notTransfer = "command with Id %1 not a transfer command";
        QTest::newRow("pause a login") << "pause" << int(DCommandManager::KindLogin) << notTransfer;
        QTest::newRow("resume a listing")
            << "resume" << int(DCommandManager::KindListFolder) << notTransfer;
        QTest::newRow("forceStart a change")
            << "forceStart" << int(DCommandManager::KindDelete) << notTransfer;
        QTest::newRow("transferSize of a listing")
            << "transferSize" << int(DCommandManager::KindListFolder)
            << "Command not a transfer command";
    }

    // Each writes its debug line, answers its neutral value and changes nothing.
    void callsLeaveOtherCommandsAlone()
    {
        QFETCH(QString, call);
        QFETCH(int, kind);
        QFETCH(QString, line);
        DCommand* command =
            manager->buildCommand(kind < 0 ? DCommandManager::KindListFolder : kind, "7");
        QVERIFY(command);
        const int id = kind < 0 ? 999 : command->id();
        const QList<DCommand*> registry = manager->registry();
        const int before = command->status();
        QSignalSpy statusSpy(manager.get(), &DCommandManager::di_commandStatusChanged);
        QTest::ignoreMessage(QtDebugMsg, qPrintable(line.arg(id)));
        DCommandManager& m = *manager;
        bool neutral = true;
        if (call == "status")
            neutral = m.status(id) == StatusUnknown;
        else if (call == "commandType")
            neutral = m.commandType(id) == CmdGeneric;
        else if (call == "url")
            neutral = m.url(id).isEmpty();
        else if (call == "isPlayable")
            neutral = !m.isPlayable(id);
        else if (call == "transferSize")
            neutral = m.transferSize(id) == -1;
        else if (call == "setTransferSpeedLimit")
            m.setTransferSpeedLimit(id, 5);
        else
            QVERIFY(QMetaObject::invokeMethod(&m, qPrintable(call), Qt::DirectConnection,
                                              Q_ARG(int, id)));
        QVERIFY(neutral);
        QCOMPARE(m.registry(), registry);
        QCOMPARE(command->status(), before);
        QVERIFY(m.waitingQueue().isEmpty() && !command->isRunning());
        QVERIFY(statusSpy.isEmpty());
    }

    void abortDropsTheCommandAndItsUnstartedChain()
    {
        DCommand* change = manager->buildCommand(DCommandManager::KindRename, "5", "new");
        QVERIFY(change && change->next);
        DCommand* other = manager->buildCommand(DCommandManager::KindListFolder, "3");
        manager->abort(change->id());
        QCOMPARE(manager->registry(), QList<DCommand*>{other});
        // Nothing of a listing or a change ever goes to the transfer history.
        QVERIFY(!QFile::exists(manager->historyFilePath()));
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
