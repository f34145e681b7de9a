#include "tests/protocol/protocolsession.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"

#include <QJsonDocument>
#include <QRegularExpression>

namespace {

const int Timeout = ProtocolSession::Timeout;
const QString Carol = QStringLiteral("p/ss+w=rd");

// The default accounts plus "carol", whose password holds "/", "+" and "=".
QString scenario()
{
    QJsonObject root = QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
    QJsonObject accounts = root["accounts"].toObject();
    QJsonObject carol = accounts["alice"].toObject();
    carol["password"] = Carol;
    accounts["carol"] = carol;
    root["accounts"] = accounts;
    return QString::fromUtf8(QJsonDocument(root).toJson());
}

QString base64(const QString& text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

// "base?parameter=" followed by the Base64 of the payload after the "=".
QString encoded(const QString& request)
{
    const int split = request.indexOf('=') + 1;
    return request.left(split) + base64(request.mid(split));
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

// Requests, logins, listings and changes against the stand-in service: what goes on the wire,
// what the log and the "-d" dump may show of it (Base64 hides nothing), what is refused before
// anything is sent, what the account answer sets, which failures are retried, and which folder
// is listed after a change.
class TestRequests : public QObject
{
    Q_OBJECT

private:
    StandIn standIn{scenario()};
    std::unique_ptr<ProtocolSession> s;
    QStringList events;
    QList<DTreeElementList> listings;

    bool waitFor(const QString& event)
    {
        return QTest::qWaitFor([&] { return events.contains(event); }, Timeout);
    }

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
        events.clear();
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
        events.clear();
        listings.clear();
        DCommandManager* m = &s->manager;
        connect(m, &DCommandManager::di_contentsChanged, this,
                [this](const DTreeElementList& l) { listings << l; });
        connect(m, &DCommandManager::di_engineStarted, this, [this] { events << "engineStarted"; });
        connect(m, &DCommandManager::di_loggedIn, this, [this] { events << "loggedIn"; });
    }

    void cleanup() { s.reset(); }

    void requestShapes_data()
    {
        for (const char* column : {"kind", "a", "b", "parameter", "fields", "user", "machineId"})
            QTest::addColumn<QString>(column);
        const auto row = [](const char* name, const QString& kind, const QString& a,
                            const QString& b, const QString& parameter, const QString& fields,
                            const QString& user = "alice",
                            const QString& machineId = "AABBCCDDEEFF") {
            QTest::newRow(name) << kind << a << b << parameter << fields << user << machineId;
        };
        row("startup: machine id and version only", "0", "", "", "startup=", "");
        row("login: the credential text alone", "1", "", "", "folder=", "", "carol");
        row("root listing ends with a slash", "2", "", "", "folder=", "/");
        row("Base64 +, / and = not escaped", "2", "?\?\?>>>x", "", "folder=", "/?\?\?>>>x");
        row("create right after login: -1", "3", "New", "", "create_folder=", "/-1/New", "carol");
        row("move: entry, destination, current", "5", "12", "30", "move_f=", "/12/30/-1");
        row("empty machine id: payload starts with #", "2", "7", "", "folder=", "/7", "alice", "");
    }

    // Sent after a real login; the log file and the "-d" dump show it with the password masked.
    void requestShapes()
    {
        QFETCH(QString, machineId);
        QFETCH(QString, user);
        QFETCH(QString, kind);
        QFETCH(QString, parameter);
        QFETCH(QString, fields);
        const QString password = user == "carol" ? Carol : QStringLiteral("secret");
        DGlobals::setMachineId(machineId);
        DGlobals::dumpResponses = true;
        QVERIFY(s->logIn(user, password));
        const int before = standIn.requests().size();
        QFETCH(QString, a);
        QFETCH(QString, b);
        s->manager.buildCommand(kind.toInt(), a, b)->dstart();
        QVERIFY(s->settle());
        const QString head = machineId + "#2.56";
        const bool startup = kind == "0";
        const QString payload = startup ? head : head + "/" + user + "/" + password + fields;
        const QJsonArray requests = standIn.requests();
        QCOMPARE(requests.at(before)["query"].toString(), parameter + base64(payload));
        const QString masked = startup ? head : head + "/" + user + "/********" + fields;
        for (const QString& text :
             QStringList{s->logText(), readFile(s->home.dataFolder() + "/dftp.dump")}) {
            QVERIFY2(text.contains(parameter + "{" + masked + "}"), qPrintable(masked));
            QVERIFY(!text.contains(password) && !text.contains(base64(password)));
            for (const QJsonValue request : requests) {
                const QString query = request["query"].toString();
                QVERIFY2(!text.contains(query.mid(query.indexOf('=') + 1)), qPrintable(query));
            }
        }
    }

    // Both flags are false until a login answer sets them: one box, nothing built or sent.
    void refusals_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("create") << 3;
        QTest::newRow("download") << 8;
        QTest::newRow("restored download") << -1;
    }

    void refusals()
    {
        QFETCH(int, kind);
        const int lastId = DCommand::lastId();
        const QString path = s->home.path();
        QVERIFY(kind < 0 ? !s->manager.restoreDownload("7", path + "/t")
                         : !s->manager.buildCommand(kind, path, "x", "y"));
        QCOMPARE(s->prompts.calls.size(), 1);
        QCOMPARE(DCommand::lastId(), lastId);
        QCoreApplication::processEvents();
        QVERIFY(standIn.requests().isEmpty());
    }

    void uploadAddressNoticeAndListing()
    {
        QVERIFY(s->logIn("bob", "pw/with/slash"));
        const QString bob = s->manager.baseAddress() + "%1=" + credentials("bob", "pw/with/slash");
        DGlobals::setFtpHost("127.0.0.1");
        DGlobals::setFtpPort("2121");
        s->manager.setCurrentFolderId("50");
        const QString path = s->home.path() + "/a.avi";
        QVERIFY(writeFile(path, QByteArray(1234, 'x')));
        auto* upload = qobject_cast<DUploadCommand*>(s->manager.buildCommand(7, path));
        const QString name = upload->serverFileName();
        QVERIFY2(QRegularExpression(R"(^a\.avi\.\d{4}(-\d{2}){5}-\d{3}$)").match(name).hasMatch(),
                 qPrintable(name));
        QCOMPARE(upload->url.toString(QUrl::RemovePassword), "ftp://bob@127.0.0.1:2121/" + name);
        QVERIFY(!upload->url.password().isEmpty() && !upload->url.toString().contains("with"));
        QCOMPARE(upload->noticeAddress().toString(QUrl::FullyEncoded),
                 encoded(bob.arg("upload_done") + "/" + name + "/a.avi/1234/50"));
        QCOMPARE(upload->next->url.toString(QUrl::FullyEncoded),
                 encoded(bob.arg("folder") + "/50"));
        // A restored upload keeps the names stored with it.
        DUploadCommand* restored = s->manager.restoreUpload(path, "a.avi.2024-03-05", "77");
        QCOMPARE(restored->noticeAddress().toString(QUrl::FullyEncoded),
                 encoded(bob.arg("upload_done") + "/a.avi.2024-03-05/a.avi/1234/77"));
        s->manager.abortAll();
    }

    // A command built before the user logged in again carries the old password.
    void maskingHidesAnOlderPasswordToo()
    {
        s->manager.login("alice", "old/pass");
        DCommand* listing = s->manager.buildCommand(2, "7");
        s->manager.login("alice", "new");
        QCOMPARE(s->manager.maskedRequest(listing->url),
                 s->manager.baseAddress() + "folder={" + DGlobals::machineId() + "#2.56/********}");
        s->manager.abortAll();
    }

    void accountAnswer_data()
    {
        QTest::addColumn<QJsonObject>("account");
        QTest::addColumn<QString>("values");
        const auto row = [](const char* name, const QJsonObject& account, const char* values) {
            QTest::newRow(name) << account << QString(values);
        };
        row("max_usp 99 is no cap", {{"max_usp", 99}}, "modify=1 download=1 cap=0");
        row("max_usp 100 is the lowest cap", {{"max_usp", 100}}, "modify=1 download=1 cap=100");
        row("max_usp 20001 is no cap", {{"max_usp", 20001}}, "modify=1 download=1 cap=0");
        row("param1 0", {{"param1", "0"}, {"reason1", "Uploads are off"}},
            "modify=0 download=1 cap=0");
        row("missing flags keep the old values",
            {{"param1", QJsonValue::Null}, {"param2", QJsonValue::Null}},
            "modify=1 download=0 cap=0");
    }

    void accountAnswer()
    {
        QFETCH(QJsonObject, account);
        // Values of an earlier login, kept when the answer says nothing.
        DGlobals::canModify = true;
        DGlobals::canDownload = false;
        DGlobals::uploadSpeedCap = 555;
        standIn.setAccount("alice", account);
        QVERIFY(s->logIn());
        QTEST(QString("modify=%1 download=%2 cap=%3")
                  .arg(int(DGlobals::canModify))
                  .arg(int(DGlobals::canDownload))
                  .arg(DGlobals::uploadSpeedCap.load()),
              "values");
    }

    // The service's own refusal (value 0) is told once and never sent again, even when the user
    // logs in again while it is shown (the old command may go meanwhile); a network failure is
    // told and retried.
    void failedLogins_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("drops");
        QTest::addColumn<int>("logins");
        QTest::newRow("refused, logged in again while told") << "wrong" << 0 << 2;
        QTest::newRow("network failure twice") << "secret" << 2 << 3;
    }

    void failedLogins()
    {
        QFETCH(QString, password);
        QFETCH(int, drops);
        if (drops > 0)
            standIn.addFault({{"kind", "login"}, {"action", "drop"}, {"times", drops}});
        else
            s->prompts.whileOpen = [this] {
                s->prompts.whileOpen = nullptr;
                s->manager.login("alice", "secret");
                QTest::qWait(300);
            };
        const int id = s->manager.login("alice", password);
        QVERIFY(waitFor("loggedIn"));
        QVERIFY(s->settle());
        QCOMPARE(s->prompts.calls.size(), qMax(1, drops));
        QCOMPARE(s->manager.status(id), int(StatusUnknown));
        waitOutRetries();
        QTEST(int(standIn.requests("login").size()), "logins");
    }

    void loginAbortsAStartupStillRetrying()
    {
        standIn.addFault({{"kind", "startup"}, {"action", "drop"}, {"times", 0}});
        s->manager.startEngine();
        QTRY_VERIFY_WITH_TIMEOUT(standIn.requests("startup").size() >= 2, Timeout);
        const int startupId = s->manager.registry().first()->id();
        s->manager.login("alice", "secret");
        QCOMPARE(s->manager.status(startupId), int(StatusUnknown));
        QVERIFY(waitFor("loggedIn"));
        const int startups = standIn.requests("startup").size();
        waitOutRetries();
        QVERIFY(standIn.requests("startup").size() <= startups + 1);
        QVERIFY(!events.contains("engineStarted") && s->prompts.calls.isEmpty());
        QVERIFY(s->settle());
    }

    void listingsSetTheCurrentFolder()
    {
        QVERIFY(loggedIn());
        QVERIFY(s->manager.listFolder("10", "Docs") > 0);
        QVERIFY(listed());
        QCOMPARE(names(listings.last()), (QStringList{"..", "Old", "a.txt", "notes.txt"}));
        QCOMPARE(s->manager.currentFolderId() + " " + s->manager.currentFolderName(), "10 Docs");
        // The folder chooser's listing tells nobody and leaves the current folder alone.
        QCOMPARE(names(s->manager.listFolderNow("30")), (QStringList{"..", "clip.mp4"}));
        QCoreApplication::processEvents();
        QCOMPARE(listings.size(), 1);
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("10"));
        // The root's answer names no folder: the current folder becomes "-1".
        s->manager.listFolder("", "/");
        QTRY_COMPARE_WITH_TIMEOUT(listings.size(), 2, Timeout);
        QCOMPARE(s->manager.currentFolderId(), QStringLiteral("-1"));
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
        const auto row = [](const char* name, const char* folder, int kind, const char* a,
                            const char* b, int drops = 0) {
            QTest::newRow(name) << folder << kind << a << b << drops;
        };
        row("create retried after a network failure", "-1", 3, "Again", "", 1);
        row("move", "10", 5, "101", "20");
        row("delete", "11", 6, "111", "");
    }

    void changes()
    {
        QFETCH(QString, folder);
        QFETCH(int, kind);
        QFETCH(QString, a);
        QFETCH(QString, b);
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
        const QString message = failed.first().last().toString();
        QVERIFY(s->settle());
        QVERIFY(!message.isEmpty());
        waitOutRetries();
        QCOMPARE(standIn.requests("delete_f").size(), 1);
        QCOMPARE(standIn.requests("listing").size(), 1);
        QVERIFY(s->prompts.calls.isEmpty() && listings.isEmpty());
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
        QVERIFY(loggedIn());
        standIn.addFault({{"kind", "listing"}, {"action", "delay"}, {"seconds", 8}});
        QTimer tick;
        QSignalSpy ticks(&tick, &QTimer::timeout);
        tick.start(50);
        if (now) {
            QVERIFY(s->manager.listFolderNow("30").isEmpty());
            QVERIFY(!ticks.isEmpty());
            QVERIFY(s->settle());
            return;
        }
        s->manager.listFolder("30", "clips");
        QVERIFY(listed());
        QCOMPARE(standIn.requests("listing").size(), 2);
        QCOMPARE(names(listings.last()), (QStringList{"..", "clip.mp4"}));
    }

    // The link request goes out in the background; the completion notice waits for the
    // download's end and goes to the base the download came from.
    void downloadNotices()
    {
        QVERIFY(loggedIn());
        const QString home = s->home.path();
        const QString notice = "/tool/?dlfile_ok=" + base64(credentials() + "/201");
        DCommand* download =
            s->manager.buildCommand(DCommandManager::KindDownload, "201", home + "/a", "L");
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("dlfile").size(), 1, Timeout);
        QCOMPARE(standIn.requests("dlfile").at(0)["payload"].toString(), credentials() + "/201");
        QCOMPARE(download->next->url.toString(QUrl::FullyEncoded), standIn.httpBase() + notice);
        DDownloadCommand* restored = s->manager.restoreDownload("201", home + "/b.201.part");
        QCOMPARE(restored->next->url.toString(QUrl::FullyEncoded),
                 "https://127.0.0.1:" + QString::number(standIn.httpsPort()) + notice);
        s->manager.abortAll();
        QCoreApplication::processEvents();
        QVERIFY(standIn.requests("dlfile_ok").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
