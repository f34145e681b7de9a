#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QtTest>

namespace {

// Exposes the answer file so a test can hand the command a service answer.
class AnsweredCommand : public DCommand
{
public:
    void answer(const QByteArray& body)
    {
        QVERIFY(file()->open(QIODevice::WriteOnly));
        file()->resize(0);
        file()->write(body);
        file()->close();
    }
};

// Counts the long retries instead of starting a request.
class RetryOnceCommand : public DCommand
{
public:
    void longRetry() override { ++longRetries; }
    int longRetries = 0;
};

} // namespace

// The command base: the service's verdict, the answer file and the dump; the retry rule over real
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
        QTest::newRow("value 1 with text")
            << QByteArray("<r><value>1</value><string>Done</string></r>") << true
            << int(StatusFinished) << "Done";
        QTest::newRow("value 0 with text")
            << QByteArray("<r><value>0</value><string>No way</string></r>") << false
            << int(StatusFailed) << "No way";
        QTest::newRow("missing value keeps old message")
            << QByteArray("<r><string2>x</string2></r>") << false << int(StatusFailed)
            << "previous";
        QTest::newRow("value not a number")
            << QByteArray("<r><value>yes</value></r>") << false << int(StatusFailed) << "previous";
        QTest::newRow("negative value is success")
            << QByteArray("<?xml version=\"1.0\"?>\n<any><value>-2</value></any>") << true
            << int(StatusFinished) << "previous";
        QTest::newRow("not XML") << QByteArray(
                                        "<detail>\nhello\n</detail>\n<r><value>1</value></r>")
                                 << false << int(StatusFinished) << "previous";
        QTest::newRow("empty answer") << QByteArray() << false << int(StatusFinished) << "previous";
    }

    void verdict()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        TestHome home;
        AnsweredCommand command;
        command.answer(answer);
        command.setStatus(StatusFinished);
        QString out = "previous";
        QTEST(command.parseResult(out), "success");
        QCOMPARE(command.status(), status);
        QTEST(out, "message");
    }

    void dumpHoldsRequestAndAnswerOnlyWithDumpOn()
    {
        TestHome home;
        AnsweredCommand command;
        command.answer("x");
        // The answer file: an unpredictable name in the data folder, for its owner only.
        const QFileInfo answer(command.file()->fileName());
        QCOMPARE(answer.path(), home.dataFolder());
        const QFile::Permissions others =
            QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
        QCOMPARE(answer.permissions() & others, QFile::Permissions());
        command.url = QUrl("http://127.0.0.1:1/tool/?x=1");
        command.answer("<r><value>1</value></r>");
        command.setStatus(StatusFinished);
        command.finish(false);
        QVERIFY(!QFile::exists(home.dataFolder() + "/dftp.dump"));
        DGlobals::dumpResponses = true;
        command.finish(false);
        DGlobals::dumpResponses = false;
        QFile dump(home.dataFolder() + "/dftp.dump");
        QVERIFY(dump.open(QIODevice::ReadOnly));
        QCOMPARE(dump.readAll(),
                 QByteArray("http://127.0.0.1:1/tool/?x=1<r><value>1</value></r>\n\n"));
    }

    void fiveQuickRetriesThenOneLongRetry()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        // Six failures: the first attempt and five quick retries. The long retry then succeeds.
        service.addFault({{"kind", "create_folder"}, {"action", "drop"}, {"times", 6}});
        DCommandManager manager;
        auto* command = new DCommand();
        // A create-folder request for alice's root: the stand-in answers it with a verdict.
        const QByteArray payload = "000000000000#2.56/alice/secret/-1/Patience";
        command->url = QUrl(service.httpBase() + "/tool/?create_folder=" + payload.toBase64());
        manager.registerCommand(command);
        QSignalSpy announced(command, &DCommand::di_readyToDelete);
        command->dstart();
        // The sixth failure arms the long retry: no further "Reconnecting" line, and the
        // seventh request comes without another quick retry.
        QVERIFY(announced.wait(10000));
        QCOMPARE(service.requests("create_folder").size(), 7);
        QCOMPARE(home.logLines().filter("#Reconnecting in 10 seconds.").size(), 5);
    }

    void retryOnceStatusGoesToTheLongRetryAfterOneQuickRetry()
    {
        TestHome home;
        DCommandManager manager;
        auto* command = new RetryOnceCommand();
        manager.registerCommand(command);
        command->setStatus(StatusRetryWaitOnce);
        command->handleFailure();
        QVERIFY(command->retryTimerActive());
        QCOMPARE(home.logLines().filter("#Reconnecting in 10 seconds.").size(), 1);
        // One quick retry used up: the next failure arms the long retry instead.
        command->retryCount = 1;
        command->handleFailure();
        QVERIFY(!command->retryTimerActive());
        QCOMPARE(command->retryCount, 0);
        QTRY_COMPARE_WITH_TIMEOUT(command->longRetries, 1, 10000);
        QCOMPARE(home.logLines().filter("#Reconnecting in 10 seconds.").size(), 1);
    }

    // An abort ends a request at once, even one the server keeps silent on, and quietly: no
    // error box, no error line.
    void abortEndsARequestQuietly_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("change") << "create_folder";
        QTest::newRow("listing") << "listing";
        QTest::newRow("login") << "login";
    }

    void abortEndsARequestQuietly()
    {
        QFETCH(QString, kind);
        TestHome home;
        ScriptedPrompt prompts;
        StandIn service;
        QVERIFY(service.start());
        service.applyEnvironment();
        DGlobals::canModify = true;
        DCommandManager manager;
        if (kind != "login") {
            QSignalSpy loggedIn(&manager, &DCommandManager::di_loggedIn);
            manager.login("alice", "secret");
            QVERIFY(loggedIn.wait(10000));
            QTRY_VERIFY_WITH_TIMEOUT(manager.registry().isEmpty(), 10000);
            service.reset();
        }
        service.addFault({{"kind", kind}, {"action", "delay"}, {"seconds", 30}});
        const int id = kind == "login"     ? manager.login("alice", "secret")
                       : kind == "listing" ? manager.listFolder("-1", "root")
                                           : manager.createFolder("Slow");
        QPointer<DCommand> command = manager.findCommand(id);
        QTRY_COMPARE_WITH_TIMEOUT(service.requests(kind).size(), 1, 10000);
        manager.abort(id);
        QTRY_VERIFY_WITH_TIMEOUT(command.isNull(), 10000);
        QVERIFY(prompts.calls.isEmpty());
        QCOMPARE(home.logLines().filter("Transfer Perform failed").size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDCommand)
#include "tst_dcommand.moc"
