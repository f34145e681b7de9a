#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dtimings.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Counts the long retries instead of starting a request.
class RetryOnceCommand : public DCommand
{
public:
    void longRetry() override { ++longRetries; }
    int longRetries = 0;
};

int countLines(const QStringList& lines, const QString& suffix)
{
    int n = 0;
    for (const QString& line : lines)
        n += line.endsWith(suffix) ? 1 : 0;
    return n;
}

} // namespace

// The retry rule over real sockets: every 10 s up to five times, then once after 10 minutes
// (both scaled down here), for as long as the command stays registered.
class TestRetry : public QObject
{
    Q_OBJECT

private:
    // A create-folder request for alice's root: the stand-in answers it with a generic verdict.
    static QUrl createFolderRequest(const StandIn& service, const QString& name)
    {
        const QByteArray payload = ("000000000000#2.56/alice/secret/-1/" + name).toUtf8();
        return QUrl::fromEncoded(QString(service.httpBase() + "/tool/?create_folder=").toLatin1() +
                                 payload.toBase64());
    }

private slots:
    void init() { DTimings::setScale(0.002); }
    void cleanup() { DTimings::setScale(1.0); }

    void succeedsAfterTwoDroppedConnections()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        service.addFault({{"kind", "create_folder"}, {"action", "drop"}, {"times", 2}});
        DCommandManager manager;
        auto* command = new DCommand();
        command->url = createFolderRequest(service, "Third time");
        manager.registerCommand(command);
        QSignalSpy announced(command, &DCommand::di_readyToDelete);
        command->dstart();
        QVERIFY(announced.wait(10000));
        QCOMPARE(service.requests("create_folder").size(), 3);
        QCOMPARE(countLines(home.logLines(), "#Reconnecting in 10 seconds."), 2);
        QVERIFY(manager.registry().isEmpty());
        const QJsonArray root = service.tree("alice").value("children").toArray();
        int created = 0;
        for (const QJsonValue& entry : root)
            created += entry.toObject().value("name").toString() == "Third time" ? 1 : 0;
        QCOMPARE(created, 1);
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
        command->url = createFolderRequest(service, "Patience");
        manager.registerCommand(command);
        QSignalSpy announced(command, &DCommand::di_readyToDelete);
        command->dstart();
        QTRY_COMPARE_WITH_TIMEOUT(service.requests("create_folder").size(), 6, 10000);
        // Waiting for the long retry (once the sixth failure's finish step ran): registered,
        // not announced, no further message.
        QTRY_VERIFY(!command->retryTimerActive());
        QCOMPARE(command->status(), int(StatusRetryWait));
        QCOMPARE(command->retryCount, 0);
        QCOMPARE(countLines(home.logLines(), "#Reconnecting in 10 seconds."), 5);
        QVERIFY(manager.registry().contains(command));
        QVERIFY(announced.wait(10000));
        QCOMPARE(service.requests("create_folder").size(), 7);
        QCOMPARE(countLines(home.logLines(), "#Reconnecting in 10 seconds."), 5);
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
        QCOMPARE(countLines(home.logLines(), "#Reconnecting in 10 seconds."), 1);
        // One quick retry used up: the next failure arms the long retry instead.
        command->retryCount = 1;
        command->handleFailure();
        QVERIFY(!command->retryTimerActive());
        QCOMPARE(command->retryCount, 0);
        QTRY_COMPARE_WITH_TIMEOUT(command->longRetries, 1, 10000);
        QCOMPARE(countLines(home.logLines(), "#Reconnecting in 10 seconds."), 1);
    }

    void refusalIsNeverRetried()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        service.addFault({{"kind", "create_folder"}, {"action", "refuse"}, {"text", "Quota full"}});
        DCommandManager manager;
        auto* command = new DCommand();
        command->url = createFolderRequest(service, "Refused");
        manager.registerCommand(command);
        QSignalSpy announced(command, &DCommand::di_readyToDelete);
        command->dstart();
        QVERIFY(announced.wait(10000));
        QTest::qWait(100);
        QCOMPARE(service.requests("create_folder").size(), 1);
        QVERIFY(home.logLines().last().endsWith("#Quota full"));
    }

    void abortEndsARequestThatHangs()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        service.addFault({{"kind", "create_folder"}, {"action", "delay"}, {"seconds", 30}});
        DCommandManager manager;
        auto* command = new DCommand();
        command->url = createFolderRequest(service, "Slow");
        manager.registerCommand(command);
        command->dstart();
        QTRY_COMPARE_WITH_TIMEOUT(service.requests("create_folder").size(), 1, 10000);
        QElapsedTimer timer;
        timer.start();
        manager.abort(command->id());
        QVERIFY(command->wait(5000));
        QVERIFY(timer.elapsed() < 5000);
    }
};

QTEST_GUILESS_MAIN(TestRetry)
#include "tst_retry.moc"
