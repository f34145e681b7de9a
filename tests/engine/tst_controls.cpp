#include "tests/protocol/protocolsession.h"

// The control slots with ids they do not know and with commands that are not transfers: each
// writes its debug line and changes nothing. Nothing is sent: no service listens on the port.
class TestControls : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ProtocolSession> s;

private slots:
    void init()
    {
        qputenv("FERRYDESK_SERVICE_HOST", "127.0.0.1");
        qputenv("FERRYDESK_SERVICE_PORT", "5999");
        s = std::make_unique<ProtocolSession>();
        DGlobals::canModify = true;
    }

    void cleanup() { s.reset(); }

    void slotsLeaveOtherCommandsAlone_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<int>("kind"); // -1: an id nobody has
        for (const char* slot :
             {"abort", "pause", "resume", "forceStart", "start", "deleteCommand"})
            QTest::addRow("%s an unknown id", slot) << slot << -1;
        QTest::newRow("pause a login") << "pause" << int(DCommandManager::KindLogin);
        QTest::newRow("resume a listing") << "resume" << int(DCommandManager::KindListFolder);
        QTest::newRow("forceStart a change") << "forceStart" << int(DCommandManager::KindDelete);
    }

    void slotsLeaveOtherCommandsAlone()
    {
        QFETCH(QString, slot);
        QFETCH(int, kind);
        DCommand* command =
            s->manager.buildCommand(kind < 0 ? DCommandManager::KindListFolder : kind, "7");
        QVERIFY(command);
        const int id = kind < 0 ? 999 : command->id();
        const QList<DCommand*> registry = s->manager.registry();
        const int before = command->status();
        QSignalSpy statusSpy(&s->manager, &DCommandManager::di_commandStatusChanged);
        const QString line = kind < 0 ? "Could not get command for Id %1"
                                      : "command with Id %1 not a transfer command";
        QTest::ignoreMessage(QtDebugMsg, qPrintable(line.arg(id)));
        QVERIFY(QMetaObject::invokeMethod(&s->manager, qPrintable(slot), Qt::DirectConnection,
                                          Q_ARG(int, id)));
        QCOMPARE(s->manager.registry(), registry);
        QCOMPARE(command->status(), before);
        QVERIFY(s->manager.waitingQueue().isEmpty() && !command->isRunning());
        QVERIFY(statusSpy.isEmpty());
    }

    void abortDropsTheCommandAndItsUnstartedChain()
    {
        DCommand* change = s->manager.buildCommand(DCommandManager::KindRename, "5", "new");
        QVERIFY(change && change->next);
        DCommand* other = s->manager.buildCommand(DCommandManager::KindListFolder, "3");
        s->manager.abort(change->id());
        QCOMPARE(s->manager.registry(), QList<DCommand*>{other});
        // Nothing of a listing or a change ever goes to the transfer history.
        QVERIFY(!QFile::exists(s->manager.historyFilePath()));
    }

    void transferCompleteNeedsAnEmptyRegistry()
    {
        QSignalSpy shutDown(&s->manager, &DCommandManager::di_shutDown);
        DCommand* listing = s->manager.buildCommand(DCommandManager::KindListFolder, "3");
        s->manager.setPowerOffOptions(true);
        s->manager.transferComplete();
        QVERIFY(shutDown.isEmpty());
        s->manager.abort(listing->id());
        s->manager.transferComplete();
        QCOMPARE(shutDown.size(), 1);
        s->manager.setPowerOffOptions(false);
        s->manager.transferComplete();
        QCOMPARE(shutDown.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestControls)
#include "tst_controls.moc"
