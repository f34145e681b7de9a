#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"

#include <QSignalSpy>
#include <QtTest>

// The control slots with ids they do not know and with commands that are not transfers: each
// writes its debug line and changes nothing.
class TestControls : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
    std::unique_ptr<DCommandManager> manager;

    static void call(DCommandManager* manager, const QString& slot, int id)
    {
        QVERIFY(QMetaObject::invokeMethod(manager, slot.toLatin1().constData(),
                                          Qt::DirectConnection, Q_ARG(int, id)));
    }

private slots:
    void init()
    {
        home = std::make_unique<TestHome>();
        prompts = std::make_unique<ScriptedPrompt>();
        qputenv("FERRYDESK_SERVICE_HOST", "127.0.0.1");
        qputenv("FERRYDESK_SERVICE_PORT", "5999");
        manager = std::make_unique<DCommandManager>();
        DGlobals::setMachineId("AABBCCDDEEFF");
        DGlobals::canModify = true;
    }

    void cleanup()
    {
        manager.reset();
        prompts.reset();
        home.reset();
    }

    void unknownIds_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::newRow("abort") << "abort";
        QTest::newRow("pause") << "pause";
        QTest::newRow("resume") << "resume";
        QTest::newRow("forceStart") << "forceStart";
        QTest::newRow("start") << "start";
        QTest::newRow("deleteCommand") << "deleteCommand";
    }

    void unknownIds()
    {
        QFETCH(QString, slot);
        DCommand* listing = manager->buildCommand(DCommandManager::KindListFolder, "7");
        const int before = listing->status();
        QSignalSpy statusSpy(manager.get(), &DCommandManager::di_commandStatusChanged);
        QTest::ignoreMessage(QtDebugMsg, "Could not get command for Id 999");
        call(manager.get(), slot, 999);
        QCOMPARE(manager->registry(), QList<DCommand*>{listing});
        QVERIFY(manager->waitingQueue().isEmpty());
        QCOMPARE(listing->status(), before);
        QVERIFY(statusSpy.isEmpty());
    }

    void nonTransferCommands_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<int>("kind");
        QTest::newRow("pause a login") << "pause" << int(DCommandManager::KindLogin);
        QTest::newRow("resume a login") << "resume" << int(DCommandManager::KindLogin);
        QTest::newRow("forceStart a login") << "forceStart" << int(DCommandManager::KindLogin);
        QTest::newRow("pause a listing") << "pause" << int(DCommandManager::KindListFolder);
        QTest::newRow("resume a listing") << "resume" << int(DCommandManager::KindListFolder);
        QTest::newRow("forceStart a change") << "forceStart" << int(DCommandManager::KindDelete);
    }

    void nonTransferCommands()
    {
        QFETCH(QString, slot);
        QFETCH(int, kind);
        DCommand* command = manager->buildCommand(kind, "7");
        QVERIFY(command);
        const QList<DCommand*> registry = manager->registry();
        const int before = command->status();
        QSignalSpy statusSpy(manager.get(), &DCommandManager::di_commandStatusChanged);
        const QString line =
            QStringLiteral("command with Id %1 not a transfer command").arg(command->id());
        QTest::ignoreMessage(QtDebugMsg, qPrintable(line));
        call(manager.get(), slot, command->id());
        QCOMPARE(command->status(), before);
        QCOMPARE(manager->registry(), registry);
        QVERIFY(manager->waitingQueue().isEmpty());
        QVERIFY(!command->isRunning());
        QVERIFY(statusSpy.isEmpty());
    }

    void abortDropsTheCommandAndItsUnstartedChain()
    {
        DCommand* change = manager->buildCommand(DCommandManager::KindRename, "5", "new");
        QVERIFY(change && change->next);
        DCommand* listing = change->next;
        DCommand* other = manager->buildCommand(DCommandManager::KindListFolder, "3");
        manager->abort(change->id());
        QCOMPARE(manager->registry(), QList<DCommand*>{other});
        QCOMPARE(change->status(), int(StatusAborted));
        // Nothing of a listing or a change ever goes to the transfer history.
        QVERIFY(!QFile::exists(manager->historyFilePath()));
        Q_UNUSED(listing);
    }

    void transferCompleteNeedsAnEmptyRegistry()
    {
        QSignalSpy shutDown(manager.get(), &DCommandManager::di_shutDown);
        DCommand* listing = manager->buildCommand(DCommandManager::KindListFolder, "3");
        manager->transferComplete();
        QVERIFY(shutDown.isEmpty());
        manager->setPowerOffOptions(true);
        manager->transferComplete();
        QVERIFY(shutDown.isEmpty());
        manager->abort(listing->id());
        manager->transferComplete();
        QCOMPARE(shutDown.size(), 1);
        manager->setPowerOffOptions(false);
        manager->transferComplete();
        QCOMPARE(shutDown.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestControls)
#include "tst_controls.moc"
