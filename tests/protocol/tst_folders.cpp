#include "tests/protocol/protocolsession.h"
#include "transfers/ddownloadcommand.h"

namespace {

const int Timeout = ProtocolSession::Timeout;

// Names of the children of folder `id` somewhere below `node`; empty when there is none.
QStringList childrenOf(const QJsonObject& node, const QString& id)
{
    QStringList names;
    for (const QJsonValue child : node["children"].toArray()) {
        names << child["name"].toString();
        if (const QStringList found = childrenOf(child.toObject(), id); !found.isEmpty())
            return found;
    }
    return node["id"].toString() == id ? names : QStringList();
}

QStringList entryNames(const DTreeElementList& list)
{
    QStringList names;
    for (const auto& entry : list)
        names << entry->name;
    return names;
}

} // namespace

// Listings, the four changes and the download requests against the stand-in service: each
// successful change is followed by exactly one listing of the folder that was current when it
// was asked, which shows the changed tree.
class TestFolders : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    std::unique_ptr<ProtocolSession> s;
    std::unique_ptr<QSignalSpy> contents;

    DTreeElementList lastContents() const
    {
        return contents->isEmpty() ? DTreeElementList()
                                   : contents->last().first().value<DTreeElementList>();
    }

    bool waitForListing()
    {
        return QTest::qWaitFor([this] { return !contents->isEmpty(); }, Timeout);
    }

private slots:
    void initTestCase() { QVERIFY(startStandIn(standIn)); }

    void init()
    {
        s = std::make_unique<ProtocolSession>();
        QVERIFY(s->logIn());
        contents = std::make_unique<QSignalSpy>(&s->manager, &DCommandManager::di_contentsChanged);
        standIn.reset();
    }

    void cleanup()
    {
        contents.reset();
        s.reset();
    }

    void listingsSetTheCurrentFolder()
    {
        QStringList order;
        connect(&s->manager, &DCommandManager::di_userInfoChanged, this,
                [&order](const QString& text) { order << "info:" + text.left(11); });
        connect(&s->manager, &DCommandManager::di_contentsChanged, this,
                [&order] { order << "contents"; });
        QVERIFY(s->manager.listFolder("10", "Docs") > 0);
        QVERIFY(waitForListing());
        QCOMPARE(order, (QStringList{"info:<b>Account:", "contents"}));
        const DTreeElementList entries = lastContents();
        QCOMPARE(entryNames(entries), (QStringList{"..", "Old", "a.txt", "notes.txt"}));
        QCOMPARE(entries.at(2)->size, QStringLiteral("5"));
        QCOMPARE(s->manager.currentFolderId() + " " + s->manager.currentFolderName(), "10 Docs");
        // The folder chooser's listing tells nobody and leaves the current folder alone.
        QCOMPARE(entryNames(s->manager.listFolderNow("30")), (QStringList{"..", "clip.mp4"}));
        QCOMPARE(standIn.requests("listing").last()["payload"].toString(), credentials() + "/30");
        QCoreApplication::processEvents();
        QCOMPARE(order.size(), 2);
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("10"));

        // The root's answer names no folder: the current folder becomes "-1".
        contents->clear();
        s->manager.listFolder("", "/");
        QVERIFY(waitForListing());
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("-1"));
        QCOMPARE(entryNames(lastContents()), (QStringList{"Docs", "Empty", "Media", "big.bin"}));
    }

    void changes_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("drops");
        QTest::newRow("create") << "-1" << 3 << "Fresh"
                                << "" << 0;
        QTest::newRow("create retried after a network failure") << "-1" << 3 << "Again"
                                                                << "" << 1;
        QTest::newRow("rename") << "10" << 4 << "102"
                                << "renamed.txt" << 0;
        QTest::newRow("move") << "10" << 5 << "101"
                              << "20" << 0;
        QTest::newRow("delete") << "11" << 6 << "111"
                                << "" << 0;
    }

    void changes()
    {
        QFETCH(QString, folder);
        QFETCH(int, kind);
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, drops);
        if (folder != "-1") {
            s->manager.listFolder(folder, "x");
            QVERIFY(waitForListing());
            contents->clear();
            standIn.reset();
        }
        const char* kindName[] = {"create_folder", "rename_f", "move_f", "delete_f"};
        if (drops > 0)
            standIn.addFault({{"kind", kindName[kind - 3]}, {"action", "drop"}, {"times", drops}});
        DCommand* change = s->manager.buildCommand(kind, a, b);
        QVERIFY(change);
        change->dstart();
        // Going elsewhere before the answer does not change what is listed afterwards.
        s->manager.setCurrentFolderId("30");
        QVERIFY(waitForListing());
        QVERIFY(s->settle());
        QCOMPARE(standIn.requests(kindName[kind - 3]).size(), drops + 1);
        const QJsonArray listings = standIn.requests("listing");
        QCOMPARE(listings.size(), 1);
        QCOMPARE(listings.at(0)["payload"].toString(), credentials() + "/" + folder);
        QCOMPARE(contents->size(), 1);
        // The pane shows what the service holds after the change.
        const QStringList shown = entryNames(lastContents()),
                          held = childrenOf(standIn.tree("alice"), folder);
        QCOMPARE(QSet<QString>(shown.begin(), shown.end()) - QSet<QString>{".."},
                 QSet<QString>(held.begin(), held.end()));
    }

    // The service's refusals are told once and never retried: a refused change leaves its log
    // line and no listing; a failed listing tells the pane and the log, never in a box of its
    // own (its completion step may not run a dialog: the box stacked on other dialogs and the
    // listing could be freed before it closed).
    void failedListingTellsThePaneAndIsNotRetried()
    {
        standIn.addFault({{"kind", "delete_f"}, {"action", "refuse"}, {"text", "Not here"}});
        QSignalSpy failed(&s->manager, &DCommandManager::di_listingFailed);
        QVERIFY(s->manager.deleteEntry("201") > 0);
        s->manager.listFolder("999", "nowhere");
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, Timeout);
        QCOMPARE(failed.first().first().toString(), QStringLiteral("999"));
        const QString message = failed.first().last().toString();
        QVERIFY(!message.isEmpty());
        QVERIFY(s->settle());
        QCOMPARE(s->home.logLines().filter(QRegularExpression("#Not here$")).size(), 1);
        QVERIFY(s->logText().contains(message));
        QTest::qWait(DTimings::scaled(DTimings::RetryPeriodMs) * 3);
        QCOMPARE(standIn.requests("delete_f").size(), 1);
        QCOMPARE(standIn.requests("listing").size(), 1);
        QCOMPARE(s->prompts.calls.size(), 0);
        QVERIFY(contents->isEmpty());
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("-1"));
        QVERIFY(childrenOf(standIn.tree("alice"), "-1").contains("big.bin"));
    }

    // A silent service ends the request at the time limit: a listing then retries like after
    // any transport failure, the synchronous listing gives up. Neither holds the event loop.
    void silentServiceTimesOut_data()
    {
        QTest::addColumn<bool>("now");
        QTest::newRow("listing retries") << false;
        QTest::newRow("listFolderNow gives up") << true;
    }

    void silentServiceTimesOut()
    {
        QFETCH(bool, now);
        standIn.addFault({{"kind", "listing"}, {"action", "delay"}, {"seconds", 8}});
        QTimer tick;
        QSignalSpy ticks(&tick, &QTimer::timeout);
        tick.start(50);
        if (now) {
            QVERIFY(s->manager.listFolderNow("30").isEmpty());
            QVERIFY(!ticks.isEmpty());
            QVERIFY(s->logText().contains("Transfer Perform failed(1)"));
            QVERIFY(s->settle());
            return;
        }
        s->manager.listFolder("30", "clips");
        QVERIFY(waitForListing());
        QCOMPARE(standIn.requests("listing").size(), 2);
        QCOMPARE(entryNames(lastContents()), (QStringList{"..", "clip.mp4"}));
    }

    // The link request goes out in the background; the completion notice waits for the
    // download's end.
    void downloadRequests()
    {
        // A refused link request ends the download: it leaves the registry and the history.
        standIn.addFault({{"kind", "dlfile"}, {"action", "refuse"}, {"text", "Gone"}});
        DCommand* failed = s->manager.buildCommand(DCommandManager::KindDownload, "101",
                                                   s->home.path() + "/b.txt", "L");
        QVERIFY(failed);
        const QByteArray entry = "<cmd" + QByteArray::number(failed->id()) + " ";
        QTRY_VERIFY_WITH_TIMEOUT(s->manager.registry().isEmpty(), Timeout);
        s->manager.saveHistoryNow();
        QVERIFY(!readFile(s->manager.historyFilePath()).contains(entry));

        const QString notice = "/tool/?dlfile_ok=" + (credentials() + "/201").toUtf8().toBase64();
        auto* download = qobject_cast<DDownloadCommand*>(s->manager.buildCommand(
            DCommandManager::KindDownload, "201", s->home.path() + "/a", "link text"));
        QVERIFY(download && download->next);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("dlfile").size(), 2, Timeout);
        QCOMPARE(standIn.requests("dlfile").at(1)["payload"].toString(), credentials() + "/201");
        QCOMPARE(download->next->url.toString(QUrl::FullyEncoded),
                 "http://127.0.0.1:" + QString::number(standIn.httpPort()) + notice);
        // A restored download goes to the secure base.
        DDownloadCommand* restored =
            s->manager.restoreDownload("201", s->home.path() + "/b.201.part");
        QVERIFY(restored && restored->next);
        QCOMPARE(restored->next->url.toString(QUrl::FullyEncoded),
                 "https://127.0.0.1:" + QString::number(standIn.httpsPort()) + notice);
        s->manager.abort(download->id());
        s->manager.abort(restored->id());
        QVERIFY(s->manager.registry().isEmpty());
        QCoreApplication::processEvents();
        QVERIFY(standIn.requests("dlfile_ok").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFolders)
#include "tst_folders.moc"
