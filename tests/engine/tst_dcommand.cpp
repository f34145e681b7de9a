#include "tests/protocol/protocolsession.h"

namespace {

// A command that counts its long retries.
class ProbeCommand : public DCommand
{
public:
    void longRetry() override
    {
        ++longRetries;
        DCommand::longRetry();
    }
    int longRetries = 0;
};

} // namespace

// The command base: the service's verdict, the answer file; the retry rule over real
// sockets: every 10 s up to five times, then once after 10 minutes (both scaled down here), for
// as long as the command stays registered.
class TestDCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { DTimings::setScale(0.002); }
    void cleanup() { DTimings::setScale(1.0); }

    void verdict_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const char* answer, bool success, CStatus status,
                            const char* message) {
            QTest::newRow(name) << QByteArray(answer) << success << int(status) << message;
        };
        row("value 0 with text", "<r><value>0</value><string>No way</string></r>", false,
            StatusFailed, "No way");
        row("missing value keeps old message", "<r><string2>x</string2></r>", false, StatusFailed,
            "previous");
        row("negative value is success", "<?xml version=\"1.0\"?>\n<any><value>-2</value></any>",
            true, StatusFinished, "previous");
        row("not XML", "<detail>\nhello\n</detail>\n<r><value>1</value></r>", false, StatusFinished,
            "previous");
    }

    // The answer file lies in the data folder, for its owner only.
    void verdict()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        TestHome home;
        DCommand command;
        QVERIFY(command.file()->open(QIODevice::WriteOnly));
        command.file()->write(answer);
        command.file()->close();
        const QFileInfo file(command.file()->fileName());
        QCOMPARE(file.path(), home.dataFolder());
        QCOMPARE(int(file.permissions() & 0x0066), 0);
        command.setStatus(StatusFinished);
        QString out = "previous";
        QTEST(command.parseResult(out), "success");
        QCOMPARE(command.status(), status);
        QTEST(out, "message");
    }

    void fiveQuickRetriesThenOneLongRetry()
    {
        StandIn service;
        QVERIFY(service.start());
        // Six failures: the first attempt and five quick retries. The long retry then succeeds.
        service.addFault({{"kind", "create_folder"}, {"action", "drop"}, {"times", 6}});
        ProtocolSession s;
        auto* command = new ProbeCommand();
        // A create-folder request for alice's root: the stand-in answers it with a verdict.
        const QByteArray payload = "000000000000#2.56/alice/secret/-1/Patience";
        command->url = QUrl(service.httpBase() + "/tool/?create_folder=" + payload.toBase64());
        s.manager.registerCommand(command);
        QSignalSpy announced(command, &DCommand::di_readyToDelete);
        command->dstart();
        QVERIFY(announced.wait(10000));
        QCOMPARE(command->longRetries, 1);
        const QJsonArray tries = service.requests("create_folder");
        QCOMPARE(tries.size(), 7);
        // The seventh waits for the long retry, not a quick one (timers may fire a bit early).
        const double gapSeconds = tries[6]["time"].toDouble() - tries[5]["time"].toDouble();
        QVERIFY(gapSeconds * 1000 >= DTimings::scaled(DTimings::LongRetryMs) * 9 / 10);
    }

    // An abort ends a request at once, even one the server keeps silent on, and quietly: no
    // error box, no error line.
    void abortEndsARequestQuietly()
    {
        StandIn service;
        QVERIFY(startStandIn(service));
        ProtocolSession s;
        service.addFault({{"kind", "login"}, {"action", "delay"}, {"seconds", 30}});
        const int id = s.manager.login("alice", "secret");
        QPointer<DCommand> command = s.manager.findCommand(id);
        QTRY_COMPARE_WITH_TIMEOUT(service.requests("login").size(), 1, 10000);
        s.manager.abort(id);
        QTRY_VERIFY_WITH_TIMEOUT(command.isNull(), 10000);
        QVERIFY(s.prompts.calls.isEmpty());
        QVERIFY(!s.logText().contains("Transfer Perform failed"));
    }
};

QTEST_GUILESS_MAIN(TestDCommand)
#include "tst_dcommand.moc"
