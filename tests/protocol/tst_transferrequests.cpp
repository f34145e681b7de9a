#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "transfers/ddownloadcommand.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

namespace {

const int Timeout = 15000;

} // namespace

// How the request builder puts a download together: the link request, the completion notice,
// the history entry, and the "https://" base of a restored download.
class TestTransferRequests : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
    std::unique_ptr<DCommandManager> manager;

    QString credentials() const { return DGlobals::machineId() + "#2.56/alice/secret"; }

    QString historyText() const
    {
        QFile file(manager->historyFilePath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        DTimings::setScale(0.01);
        QVERIFY(standIn.start());
        standIn.applyEnvironment();
    }

    void init()
    {
        home = std::make_unique<TestHome>();
        prompts = std::make_unique<ScriptedPrompt>();
        manager = std::make_unique<DCommandManager>();
        QSignalSpy loggedIn(manager.get(), &DCommandManager::di_loggedIn);
        manager->login("alice", "secret");
        QVERIFY(loggedIn.wait(Timeout));
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        standIn.reset();
    }

    void cleanup()
    {
        manager.reset();
        prompts.reset();
        home.reset();
    }

    void newDownloadAsksForTheLinkAndChainsTheNotice()
    {
        const QString target = home->path() + "/a.txt";
        auto* download = qobject_cast<DDownloadCommand*>(
            manager->buildCommand(DCommandManager::KindDownload, "101", target, "link text"));
        QVERIFY(download);
        QCOMPARE(download->status(), int(StatusQueued));
        QCOMPARE(download->fileId(), QStringLiteral("101"));
        QCOMPARE(download->linkText(), QStringLiteral("link text"));
        const QJsonArray links = standIn.requests("dlfile");
        QCOMPARE(links.size(), 1);
        QCOMPARE(links.at(0)["payload"].toString(), credentials() + "/101");
        QVERIFY(download->next);
        QCOMPARE(download->next->url.toEncoded(), (manager->baseAddress() + "dlfile_ok=").toUtf8() +
                                                      (credentials() + "/101").toUtf8().toBase64());
        QVERIFY(manager->registry().contains(download->next));
        QVERIFY(historyText().contains(QStringLiteral("cmd%1").arg(download->id())));
        // Nothing is sent for the notice before the download has ended.
        QVERIFY(standIn.requests("dlfile_ok").isEmpty());
        manager->abort(download->id());
        QVERIFY(manager->registry().isEmpty());
    }

    void failedLinkRequestIsReportedAtOnce()
    {
        standIn.addFault({{"kind", "dlfile"}, {"action", "refuse"}, {"text", "Gone"}});
        DCommand* download = manager->buildCommand(DCommandManager::KindDownload, "101",
                                                   home->path() + "/b.txt", "L");
        QVERIFY(download);
        QVERIFY(!download->next);
        QVERIFY(manager->registry().isEmpty());
        QCOMPARE(download->status(), int(StatusAborted));
        QVERIFY(!historyText().contains(QStringLiteral("cmd%1").arg(download->id())));
        QCoreApplication::processEvents();
        QVERIFY(standIn.requests("dlfile_ok").isEmpty());
    }

    void restoredDownloadUsesTheSecureBase()
    {
        const QString partial = home->path() + "/c.txt.101.part";
        DDownloadCommand* download = manager->restoreDownload("101", partial);
        QVERIFY(download);
        QCOMPARE(standIn.requests("dlfile").size(), 1);
        QVERIFY(download->next);
        QCOMPARE(download->next->url.scheme(), QStringLiteral("https"));
        QCOMPARE(download->next->url.port(), standIn.httpsPort());
        QVERIFY(download->next->url.toEncoded().endsWith(
            "/tool/?dlfile_ok=" + (credentials() + "/101").toUtf8().toBase64()));
        manager->abort(download->id());
    }
};

QTEST_GUILESS_MAIN(TestTransferRequests)
#include "tst_transferrequests.moc"
