#include "tests/protocol/protocolsession.h"
#include "transfers/ddownloadcommand.h"

namespace {

const int Timeout = ProtocolSession::Timeout;
// Bob's password holds "/", the separator of the payload's fields.
const QString Bob = QStringLiteral("pw/with/slash");

QString base64(const QString& text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

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

} // namespace

// Requests, logins, listings and changes against the stand-in service: what goes on the wire, what
// the log and the "-d" dump may show of it, what is refused before anything is sent, what the
// account answer sets, which failures are retried, and which folder is listed after a change.
class TestRequests : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    std::unique_ptr<ProtocolSession> s;
    QList<DTreeElementList> listings;

    bool listed()
    {
        return QTest::qWaitFor([&] { return !listings.isEmpty(); }, Timeout);
    }

    // The names of a listing's entries.
    static QStringList names(const DTreeElementList& list)
    {
        QStringList names;
        for (const auto& entry : list)
            names << entry->name;
        return names;
    }

    // Logs in, then forgets what the login sent and showed.
    bool loggedIn()
    {
        const bool ok = s->logIn();
        standIn.reset();
        listings.clear();
        return ok;
    }

    // Three retry periods: long enough for a retry that should not come.
    static void waitOutRetries() { QTest::qWait(DTimings::scaled(DTimings::RetryPeriodMs) * 3); }

private slots:
    void initTestCase() { QVERIFY(startStandIn(standIn)); }

    void init()
    {
        standIn.reset();
        standIn.setAccount(
            "alice",
            {{"param1", "1"}, {"reason1", ""}, {"param2", "1"}, {"reason2", ""}, {"max_usp", 0}});
        s = std::make_unique<ProtocolSession>();
        listings.clear();
        connect(&s->manager, &DCommandManager::di_contentsChanged, this,
                [this](const DTreeElementList& l) { listings << l; });
    }

    void cleanup() { s.reset(); }

    // The service reads the payload from Base64 with "+", "/" and "=" unescaped. The log and the
    // "-d" dump show it with the password masked, never the password nor the Base64 (which hides
    // nothing), also for a command built before the user logged in again.
    void requestAndWhatTheLogShows()
    {
        DGlobals::dumpResponses = true;
        QVERIFY(s->logIn("bob", Bob));
        const int before = standIn.requests().size();
        const QString fields = "/12/?\?\?>>>x/-1"; // entry, destination, current folder
        s->manager.buildCommand(DCommandManager::KindMove, "12", "?\?\?>>>x")->dstart();
        QVERIFY(s->settle());
        const QJsonArray requests = standIn.requests();
        QCOMPARE(requests.at(before)["query"].toString(),
                 "move_f=" + base64(credentials("bob", Bob) + fields));
        const QString masked =
            "move_f={" + DGlobals::machineId() + "#2.56/bob/********" + fields + "}";
        for (const QString& text :
             QStringList{s->logText(), readFile(s->home.dataFolder() + "/dftp.dump")}) {
            QVERIFY2(text.contains(masked), qPrintable(masked));
            QVERIFY(!text.contains(Bob) && !text.contains(base64(Bob)));
            for (const QJsonValue request : requests) {
                const QString query = request["query"].toString();
                QVERIFY2(!text.contains(query.mid(query.indexOf('=') + 1)), qPrintable(query));
            }
        }
        DCommand* listing = s->manager.buildCommand(DCommandManager::KindListFolder, "7");
        s->manager.login("bob", "new");
        QCOMPARE(s->manager.maskedRequest(listing->url),
                 s->manager.baseAddress() + "folder={" + DGlobals::machineId() + "#2.56/********}");
        s->manager.abortAll();
    }

    // Both flags are false until a login answer sets them: one box each, nothing built or sent.
    void refusalsBeforeLogin()
    {
        const int lastId = DCommand::lastId();
        const QString path = s->home.path();
        QVERIFY(!s->manager.buildCommand(DCommandManager::KindCreateFolder, "x"));
        QVERIFY(!s->manager.buildCommand(DCommandManager::KindDownload, "7", path + "/t", "L"));
        QVERIFY(!s->manager.restoreDownload("7", path + "/t"));
        QCOMPARE(s->prompts.calls.size(), 3);
        QCOMPARE(DCommand::lastId(), lastId);
        QCoreApplication::processEvents();
        QVERIFY(standIn.requests().isEmpty());
    }

    // The account answer's values replace an earlier login's; values it does not give are kept.
    // The service's own refusal (value 0) is told once and never sent again, even when the user
    // logs in again while it is shown (the old command may go meanwhile); a network failure is
    // told and retried.
    void logins_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("drops");
        QTest::addColumn<QJsonObject>("account");
        QTest::addColumn<int>("logins");
        QTest::addColumn<QString>("values");
        const auto row = [](const char* name, const char* password, int drops,
                            const QJsonObject& account, int logins, const char* values) {
            QTest::newRow(name) << password << drops << account << logins << values;
        };
        row("max_usp 100 is the lowest cap", "secret", 0, {{"max_usp", 100}}, 1,
            "modify=1 download=1 cap=100");
        row("max_usp 20001 is no cap, param1 0 forbids changes", "secret", 0,
            {{"max_usp", 20001}, {"param1", "0"}}, 1, "modify=0 download=1 cap=0");
        row("missing flags keep the old values", "secret", 0,
            {{"param1", QJsonValue::Null}, {"param2", QJsonValue::Null}}, 1,
            "modify=1 download=0 cap=0");
        row("refused, logged in again while told", "wrong", 0, {}, 2, "modify=1 download=1 cap=0");
        row("network failure twice", "secret", 2, {}, 3, "modify=1 download=1 cap=0");
    }

    void logins()
    {
        QFETCH(QString, password);
        QFETCH(int, drops);
        QFETCH(QJsonObject, account);
        DGlobals::canModify = true;
        DGlobals::canDownload = false;
        DGlobals::uploadSpeedCap = 555;
        standIn.setAccount("alice", account);
        if (drops > 0)
            standIn.addFault({{"kind", "login"}, {"action", "drop"}, {"times", drops}});
        if (password == "wrong")
            s->prompts.whileOpen = [this] {
                s->prompts.whileOpen = nullptr;
                s->manager.login("alice", "secret");
                QTest::qWait(300);
            };
        QSignalSpy loggedIn(&s->manager, &DCommandManager::di_loggedIn);
        const int id = s->manager.login("alice", password);
        QVERIFY(QTest::qWaitFor([&] { return !loggedIn.isEmpty(); }, Timeout));
        QVERIFY(s->settle());
        // One box per failure (the account rows' boxes tell what the account may not do).
        QVERIFY(!account.isEmpty() || s->prompts.calls.size() == qMax(1, drops));
        QCOMPARE(s->manager.status(id), int(StatusUnknown));
        waitOutRetries();
        QTEST(int(standIn.requests("login").size()), "logins");
        QTEST(QString("modify=%1 download=%2 cap=%3")
                  .arg(int(DGlobals::canModify))
                  .arg(int(DGlobals::canDownload))
                  .arg(DGlobals::uploadSpeedCap.load()),
              "values");
    }

    // A listing sets the current folder (the root's answer names none: "-1"); the folder chooser's
    // listing tells nobody and leaves it alone, and gives up at the time limit of a silent service
    // without holding the event loop.
    void listingsSetTheCurrentFolder()
    {
        QVERIFY(loggedIn());
        QVERIFY(s->manager.listFolder("10", "Docs") > 0);
        QVERIFY(listed());
        QCOMPARE(names(listings.last()), (QStringList{"..", "Old", "a.txt", "notes.txt"}));
        QCOMPARE(s->manager.currentFolderId() + " " + s->manager.currentFolderName(), "10 Docs");
        QCOMPARE(names(s->manager.listFolderNow("30")), (QStringList{"..", "clip.mp4"}));
        QCoreApplication::processEvents();
        QCOMPARE(listings.size(), 1);
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("10"));
        s->manager.listFolder("", "/");
        QTRY_COMPARE_WITH_TIMEOUT(listings.size(), 2, Timeout);
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("-1"));
        standIn.addFault({{"kind", "listing"}, {"action", "delay"}, {"seconds", 8}});
        QTimer tick;
        QSignalSpy ticks(&tick, &QTimer::timeout);
        tick.start(50);
        QVERIFY(s->manager.listFolderNow("30").isEmpty());
        QVERIFY(!ticks.isEmpty());
        QVERIFY(s->settle());
    }

    // Each successful change is followed by exactly one listing of the folder that was current
    // when it was asked, which shows the changed tree.
    void changes_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("drops");
        QTest::newRow("create retried after a network failure") << "-1" << 3 << "Again"
                                                                << "" << 1;
        QTest::newRow("move") << "10" << 5 << "101"
                              << "20" << 0;
        QTest::newRow("delete") << "11" << 6 << "111"
                                << "" << 0;
    }

    void changes()
    {
        QFETCH(QString, folder);
        QFETCH(int, kind);
        QFETCH(int, drops);
        QVERIFY(loggedIn());
        if (folder != "-1") {
            s->manager.listFolder(folder, "x");
            QVERIFY(listed());
            listings.clear();
            standIn.reset();
        }
        const char* kindName =
            QList<const char*>{"create_folder", "rename_f", "move_f", "delete_f"}[kind - 3];
        if (drops > 0)
            standIn.addFault({{"kind", kindName}, {"action", "drop"}, {"times", drops}});
        QFETCH(QString, a);
        QFETCH(QString, b);
        s->manager.buildCommand(kind, a, b)->dstart();
        // Going elsewhere before the answer does not change what is listed afterwards.
        s->manager.setCurrentFolderId("30");
        QVERIFY(listed());
        QVERIFY(s->settle());
        QCOMPARE(standIn.requests(kindName).size(), drops + 1);
        const QJsonArray listingRequests = standIn.requests("listing");
        QCOMPARE(listingRequests.size(), 1);
        QCOMPARE(listingRequests.at(0)["payload"].toString(), credentials() + "/" + folder);
        QCOMPARE(listings.size(), 1);
        const QStringList shown = names(listings.last()),
                          held = childrenOf(standIn.tree("alice"), folder);
        QCOMPARE(QSet<QString>(shown.begin(), shown.end()) - QSet<QString>{".."},
                 QSet<QString>(held.begin(), held.end()));
    }

    // A refused change leaves its log line and no listing; a failed listing tells the pane and
    // the log, never in a box of its own (its completion step may not run a dialog: the box
    // stacked on other dialogs and the listing could be freed before it closed). Neither is
    // retried.
    void failedListingTellsThePaneAndIsNotRetried()
    {
        QVERIFY(loggedIn());
        standIn.addFault({{"kind", "delete_f"}, {"action", "refuse"}, {"text", "Not here"}});
        QSignalSpy failed(&s->manager, &DCommandManager::di_listingFailed);
        QVERIFY(s->manager.deleteEntry("201") > 0);
        s->manager.listFolder("999", "nowhere");
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, Timeout);
        QCOMPARE(failed.first().first().toString(), QStringLiteral("999"));
        QVERIFY(!failed.first().last().toString().isEmpty());
        QVERIFY(s->settle());
        waitOutRetries();
        QCOMPARE(standIn.requests("delete_f").size(), 1);
        QCOMPARE(standIn.requests("listing").size(), 1);
        QVERIFY(s->prompts.calls.isEmpty() && listings.isEmpty());
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("-1"));
    }
};

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
