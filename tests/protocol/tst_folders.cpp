#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

namespace {

const int Timeout = 15000;

QJsonObject findNode(const QJsonObject& node, const QString& id)
{
    if (node["id"].toString() == id)
        return node;
    for (const QJsonValue child : node["children"].toArray()) {
        const QJsonObject found = findNode(child.toObject(), id);
        if (!found.isEmpty())
            return found;
    }
    return {};
}

QStringList childNames(const QJsonObject& node)
{
    QStringList names;
    for (const QJsonValue child : node["children"].toArray())
        names << child["name"].toString();
    return names;
}

QStringList entryNames(const DTreeElementList& list)
{
    QStringList names;
    for (const auto& entry : list)
        names << entry->name;
    return names;
}

} // namespace

// Folder listings and the four changes against the stand-in service: the tree really changes,
// and each successful change is followed by exactly one listing of the folder it was asked in.
class TestFolders : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
    std::unique_ptr<DCommandManager> manager;
    std::unique_ptr<QSignalSpy> contents;
    std::unique_ptr<QSignalSpy> info;

    QString credentials() const { return DGlobals::machineId() + "#2.56/alice/secret"; }

    QJsonObject node(const QString& id) const { return findNode(standIn.tree("alice"), id); }

    DTreeElementList lastContents() const
    {
        return contents->isEmpty() ? DTreeElementList()
                                   : contents->last().first().value<DTreeElementList>();
    }

    bool waitForListing()
    {
        return QTest::qWaitFor([this] { return !contents->isEmpty(); }, Timeout);
    }

    // Lists a folder and forgets everything that led there.
    bool enter(const QString& folderId)
    {
        manager->listFolder(folderId, "x");
        if (!waitForListing())
            return false;
        contents->clear();
        info->clear();
        standIn.reset();
        return true;
    }

    void expectOneListingOf(const QString& folderId)
    {
        QVERIFY(waitForListing());
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        const QJsonArray listings = standIn.requests("listing");
        QCOMPARE(listings.size(), 1);
        QCOMPARE(listings.at(0)["payload"].toString(), credentials() + "/" + folderId);
        QCOMPARE(contents->size(), 1);
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
        contents =
            std::make_unique<QSignalSpy>(manager.get(), &DCommandManager::di_contentsChanged);
        info = std::make_unique<QSignalSpy>(manager.get(), &DCommandManager::di_userInfoChanged);
        standIn.reset();
    }

    void cleanup()
    {
        contents.reset();
        info.reset();
        manager.reset();
        prompts.reset();
        home.reset();
    }

    void listingOfAFolder()
    {
        QStringList order;
        connect(manager.get(), &DCommandManager::di_userInfoChanged, this,
                [&order] { order << "info"; });
        connect(manager.get(), &DCommandManager::di_contentsChanged, this,
                [&order] { order << "contents"; });
        const int id = manager->listFolder("10", "Docs");
        QVERIFY(id > 0);
        QVERIFY(waitForListing());
        QCOMPARE(order, (QStringList{"info", "contents"}));
        QVERIFY(info->first().first().toString().contains("Account:"));
        const DTreeElementList entries = lastContents();
        QCOMPARE(entryNames(entries), (QStringList{"..", "Old", "a.txt", "notes.txt"}));
        QCOMPARE(entries.first()->id, QStringLiteral("-1"));
        QCOMPARE(entries.at(2)->size, QStringLiteral("5"));
        QCOMPARE(manager->currentFolderId(), QStringLiteral("10"));
        QCOMPARE(manager->currentFolderName(), QStringLiteral("Docs"));
        QCOMPARE(standIn.requests("listing").at(0)["payload"].toString(), credentials() + "/10");
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
    }

    void rootListingSendsATrailingSlash()
    {
        manager->setCurrentFolderId("10");
        manager->listFolder("", "/");
        QVERIFY(waitForListing());
        QCOMPARE(standIn.requests("listing").at(0)["payload"].toString(), credentials() + "/");
        QCOMPARE(manager->currentFolderId(), QStringLiteral("-1"));
        QCOMPARE(entryNames(lastContents()), (QStringList{"Docs", "Empty", "Media", "big.bin"}));
    }

    void createFolderRightAfterLoginUsesTheRoot()
    {
        QVERIFY(manager->createFolder("Fresh") > 0);
        expectOneListingOf("-1");
        const QJsonArray creates = standIn.requests("create_folder");
        QCOMPARE(creates.size(), 1);
        QCOMPARE(creates.at(0)["payload"].toString(), credentials() + "/-1/Fresh");
        QVERIFY(childNames(standIn.tree("alice")).contains("Fresh"));
        QVERIFY(entryNames(lastContents()).contains("Fresh"));
    }

    void renameRelistsTheFolderCurrentWhenAsked()
    {
        QVERIFY(enter("10"));
        manager->renameEntry("102", "renamed.txt");
        // Going elsewhere before the answer does not change what is listed afterwards.
        manager->setCurrentFolderId("20");
        expectOneListingOf("10");
        QCOMPARE(standIn.requests("rename_f").at(0)["payload"].toString(),
                 credentials() + "/102/renamed.txt/10");
        QCOMPARE(node("102")["name"].toString(), QStringLiteral("renamed.txt"));
        QVERIFY(entryNames(lastContents()).contains("renamed.txt"));
    }

    void moveSendsTheEntryBeforeTheDestination()
    {
        QVERIFY(enter("10"));
        manager->moveEntry("20", "101");
        expectOneListingOf("10");
        QCOMPARE(standIn.requests("move_f").at(0)["payload"].toString(),
                 credentials() + "/101/20/10");
        QCOMPARE(childNames(node("20")), QStringList{"a.txt"});
        QVERIFY(!entryNames(lastContents()).contains("a.txt"));
    }

    void deleteRemovesTheEntry()
    {
        QVERIFY(enter("11"));
        manager->deleteEntry("111");
        expectOneListingOf("11");
        QCOMPARE(standIn.requests("delete_f").at(0)["payload"].toString(), credentials() + "/111");
        QVERIFY(node("111").isEmpty());
        QCOMPARE(entryNames(lastContents()), QStringList{".."});
    }

    void refusedChangeIsLoggedAndNotFollowedByAListing()
    {
        standIn.addFault({{"kind", "delete_f"}, {"action", "refuse"}, {"text", "Not here"}});
        const int id = manager->deleteEntry("201");
        QVERIFY(id > 0);
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        QVERIFY(home->logLines().last().endsWith("#Not here"));
        QTest::qWait(DTimings::scaled(DTimings::RetryPeriodMs) * 3);
        QCOMPARE(standIn.requests("delete_f").size(), 1);
        QVERIFY(standIn.requests("listing").isEmpty());
        QVERIFY(contents->isEmpty());
        QVERIFY(prompts->calls.isEmpty());
        QVERIFY(!node("201").isEmpty());
    }

    void changeAfterANetworkFailureIsRetriedThenListed()
    {
        standIn.addFault({{"kind", "create_folder"}, {"action", "drop"}, {"times", 1}});
        manager->createFolder("Retried");
        expectOneListingOf("-1");
        QCOMPARE(standIn.requests("create_folder").size(), 2);
        QCOMPARE(childNames(standIn.tree("alice")).count("Retried"), 1);
    }

    void failedListingShowsTheMessageAndIsNotRetried()
    {
        const int id = manager->listFolder("999", "nowhere");
        QTRY_COMPARE_WITH_TIMEOUT(prompts->calls.size(), 1, Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        QCOMPARE(manager->status(id), int(StatusUnknown));
        QTest::qWait(DTimings::scaled(DTimings::RetryPeriodMs) * 3);
        QCOMPARE(standIn.requests("listing").size(), 1);
        QVERIFY(contents->isEmpty());
        QCOMPARE(manager->currentFolderId(), QStringLiteral("-1"));
    }

    void listFolderNowTellsNobody()
    {
        manager->setCurrentFolderId("10");
        const DTreeElementList entries = manager->listFolderNow("30");
        QCOMPARE(entryNames(entries), (QStringList{"..", "clip.mp4"}));
        QCOMPARE(entries.at(1)->isFile, 1);
        QCOMPARE(manager->currentFolderId(), QStringLiteral("10"));
        QVERIFY(manager->registry().isEmpty());
        QCoreApplication::processEvents();
        QVERIFY(contents->isEmpty());
        QVERIFY(info->isEmpty());
        QCOMPARE(standIn.requests("listing").at(0)["payload"].toString(), credentials() + "/30");
    }
};

QTEST_GUILESS_MAIN(TestFolders)
#include "tst_folders.moc"
