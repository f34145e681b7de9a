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
            s->manager.buildCommand(kind < 0 ? DCommandManager::KindListFolder : kind, "7");
        QVERIFY(command);
        const int id = kind < 0 ? 999 : command->id();
        const QList<DCommand*> registry = s->manager.registry();
        const int before = command->status();
        QSignalSpy statusSpy(&s->manager, &DCommandManager::di_commandStatusChanged);
        QTest::ignoreMessage(QtDebugMsg, qPrintable(line.arg(id)));
        DCommandManager& m = s->manager;
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
        DCommand* change = s->manager.buildCommand(DCommandManager::KindRename, "5", "new");
        QVERIFY(change && change->next);
        DCommand* other = s->manager.buildCommand(DCommandManager::KindListFolder, "3");
        s->manager.abort(change->id());
        QCOMPARE(s->manager.registry(), QList<DCommand*>{other});
        // Nothing of a listing or a change ever goes to the transfer history.
        QVERIFY(!QFile::exists(s->manager.historyFilePath()));
    }
};

QTEST_GUILESS_MAIN(TestControls)
#include "tst_controls.moc"
