#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "protocol/dlogincommand.h"
#include "support/dlog.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

namespace {

const int Timeout = 15000;

QString credentialPayload(const QString& user, const QString& password)
{
    return DGlobals::machineId() + "#2.56/" + user + "/" + password;
}

} // namespace

// Startup and login against the stand-in service: what is sent, what the account answer sets,
// the order of the signals, and which failures are retried.
class TestLogin : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
    std::unique_ptr<DCommandManager> manager;
    QStringList events;
    QStringList logView;

    void makeManager()
    {
        manager = std::make_unique<DCommandManager>();
        connect(manager.get(), &DCommandManager::di_userInfoChanged, this,
                [this](const QString& info) { events << "info:" + info.left(14); });
        connect(manager.get(), &DCommandManager::di_contentsChanged, this,
                [this](const DTreeElementList& list) {
                    events << "contents:" + QString::number(list.size());
                });
        connect(manager.get(), &DCommandManager::di_engineStarted, this,
                [this] { events << "engineStarted"; });
        connect(manager.get(), &DCommandManager::di_loggedIn, this,
                [this] { events << "loggedIn"; });
    }

    bool waitFor(const QString& event)
    {
        return QTest::qWaitFor([&] { return events.contains(event); }, Timeout);
    }

    void setAlice(const QJsonObject& values) { standIn.setAccount("alice", values); }

private slots:
    void initTestCase()
    {
        DTimings::setScale(0.01);
        QVERIFY(standIn.start());
        standIn.applyEnvironment();
        connect(DLogHub::instance(), &DLogHub::di_entry, this,
                [this](const QString& text, int) { logView << text; });
    }

    void init()
    {
        standIn.reset();
        setAlice({{"password", "secret"},
                  {"param1", "1"},
                  {"reason1", ""},
                  {"param2", "1"},
                  {"reason2", ""},
                  {"max_usp", 0}});
        home = std::make_unique<TestHome>();
        prompts = std::make_unique<ScriptedPrompt>();
        events.clear();
        logView.clear();
        makeManager();
    }

    void cleanup()
    {
        manager.reset();
        prompts.reset();
        home.reset();
    }

    void startupThenLoginInOrder()
    {
        manager->startEngine();
        QVERIFY(logView.contains("Connecting to 127.0.0.1"));
        QVERIFY(home->logLines().last().endsWith("#Connecting to web server..."));
        QVERIFY(waitFor("engineStarted"));
        QCOMPARE(events, (QStringList{"info:<detail>\n<b>We", "contents:0", "engineStarted"}));
        QCOMPARE(DGlobals::ftpHost(), QStringLiteral("127.0.0.1"));
        QCOMPARE(DGlobals::ftpPort(), QString::number(standIn.ftpPort()));
        QVERIFY(prompts->calls.isEmpty());

        events.clear();
        const int id = manager->login("alice", "secret");
        QVERIFY(id > 0);
        QVERIFY(waitFor("loggedIn"));
        // Clearing the view comes first, then the account's detail text and the root entries.
        QCOMPARE(events, (QStringList{"info:", "contents:0", "info:<detail>\n<b>Ac", "contents:4",
                                      "loggedIn"}));
        QVERIFY(logView.contains("127.0.0.1 is ready!"));
        QVERIFY(DGlobals::canModify);
        QVERIFY(DGlobals::canDownload);
        QCOMPARE(manager->currentFolderId(), QStringLiteral("-1"));
        QCOMPARE(DGlobals::userName(), QStringLiteral("alice"));
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);

        const QJsonArray startups = standIn.requests("startup");
        QCOMPARE(startups.size(), 1);
        QCOMPARE(startups.at(0)["payload"].toString(), DGlobals::machineId() + "#2.56");
        QVERIFY(!startups.at(0)["query"].toString().contains(QByteArray("secret").toBase64()));
        const QJsonArray logins = standIn.requests("login");
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins.at(0)["payload"].toString(), credentialPayload("alice", "secret"));
        QCOMPARE(logins.at(0)["query"].toString(),
                 "folder=" + credentialPayload("alice", "secret").toUtf8().toBase64());
        QVERIFY(standIn.requests("listing").isEmpty());
        QVERIFY(!QDir(home->dataFolder())
                     .entryList({".tempXMLfile*"}, QDir::Hidden | QDir::Files)
                     .size());
    }

    void rootEntriesFoldersFirst()
    {
        DTreeElementList root;
        connect(manager.get(), &DCommandManager::di_contentsChanged, this,
                [&root](const DTreeElementList& list) { root = list; });
        manager->login("alice", "secret");
        QVERIFY(waitFor("loggedIn"));
        QStringList names;
        for (const auto& entry : root)
            names << entry->name + (entry->isFile ? "/f" : "/d");
        QCOMPARE(names, (QStringList{"Docs/d", "Empty/d", "Media/d", "big.bin/f"}));
    }

    void uploadCap_data()
    {
        QTest::addColumn<QJsonValue>("maxUsp");
        QTest::addColumn<int>("cap");
        QTest::newRow("99 is no cap") << QJsonValue(99) << 0;
        QTest::newRow("100 is the lowest cap") << QJsonValue(100) << 100;
        QTest::newRow("20000 is the highest cap") << QJsonValue(20000) << 20000;
        QTest::newRow("20001 is no cap") << QJsonValue(20001) << 0;
        QTest::newRow("not a number") << QJsonValue("fast") << 0;
        QTest::newRow("absent keeps the previous cap") << QJsonValue() << 555;
    }

    void uploadCap()
    {
        QFETCH(QJsonValue, maxUsp);
        QFETCH(int, cap);
        DGlobals::uploadSpeedCap = 555;
        setAlice({{"max_usp", maxUsp}});
        manager->login("alice", "secret");
        QVERIFY(waitFor("loggedIn"));
        QCOMPARE(DGlobals::uploadSpeedCap.load(), cap);
    }

    void permissions_data()
    {
        QTest::addColumn<QJsonObject>("account");
        QTest::addColumn<bool>("canModify");
        QTest::addColumn<bool>("canDownload");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("param1 0 with its reason")
            << QJsonObject{{"param1", "0"}, {"reason1", "Uploads are off"}} << false << true
            << QStringList{"Uploads are off"};
        QTest::newRow("param2 0 with its reason")
            << QJsonObject{{"param1", "yes"}, {"param2", "0"}, {"reason2", "No downloads"}} << true
            << false << QStringList{"No downloads"};
        QTest::newRow("missing flags keep the old values")
            << QJsonObject{{"param1", QJsonValue::Null}, {"param2", QJsonValue::Null}} << true
            << false
            << QStringList{"You CAN NOT UPLOAD! Because server not allow ! Please contact "
                           "administrator!",
                           "You CAN NOT DOWNLOAD! Because server not allow ! Please contact "
                           "administrator!"};
    }

    void permissions()
    {
        QFETCH(QJsonObject, account);
        QFETCH(bool, canModify);
        QFETCH(bool, canDownload);
        QFETCH(QStringList, shown);
        // Values of an earlier login, kept when the answer says nothing.
        DGlobals::canModify = true;
        DGlobals::canDownload = false;
        setAlice(account);
        manager->login("alice", "secret");
        QVERIFY(waitFor("loggedIn"));
        QCOMPARE(bool(DGlobals::canModify), canModify);
        QCOMPARE(bool(DGlobals::canDownload), canDownload);
        QCOMPARE(prompts->texts(), shown);
    }

    void slashInThePasswordLogsIn()
    {
        manager->login("bob", "pw/with/slash");
        QVERIFY(waitFor("loggedIn"));
        QCOMPARE(standIn.requests("login").at(0)["payload"].toString(),
                 credentialPayload("bob", "pw/with/slash"));
        QVERIFY(DGlobals::canModify);
        QVERIFY(!DGlobals::canDownload);
        QCOMPARE(prompts->texts(), QStringList{"Downloads are off for bob"});
    }

    void refusedLoginIsNotRetried_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("scripted");
        QTest::addColumn<QString>("text");
        QTest::newRow("wrong password") << "wrong" << false << "Invalid user name or password";
        QTest::newRow("scripted refusal") << "secret" << true << "Account locked";
    }

    void refusedLoginIsNotRetried()
    {
        QFETCH(QString, password);
        QFETCH(bool, scripted);
        QFETCH(QString, text);
        if (scripted)
            standIn.addFault({{"kind", "login"}, {"action", "refuse"}, {"text", text}});
        const int id = manager->login("alice", password);
        QTRY_COMPARE_WITH_TIMEOUT(prompts->texts(), QStringList{text}, Timeout);
        // Over and dropped: nothing is left that could send it again.
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        QCOMPARE(manager->status(id), int(StatusUnknown));
        QVERIFY(!events.contains("loggedIn"));
        QTest::qWait(DTimings::scaled(DTimings::RetryPeriodMs) * 3);
        QCOMPARE(standIn.requests("login").size(), 1);
        QVERIFY(home->logLines().last().endsWith(text));
    }

    void networkFailureIsRetried()
    {
        standIn.addFault({{"kind", "login"}, {"action", "drop"}, {"times", 2}});
        manager->login("alice", "secret");
        QVERIFY(waitFor("loggedIn"));
        QCOMPARE(standIn.requests("login").size(), 3);
        QCOMPARE(prompts->calls.size(), 2);
        QVERIFY(prompts->texts().first().startsWith("Transfer Perform failed(1): "));
        QVERIFY(logView.contains("Reconnecting in 10 seconds."));
    }

    void startupFailureReconnects()
    {
        standIn.addFault({{"kind", "startup"}, {"action", "drop"}, {"times", 1}});
        manager->startEngine();
        QVERIFY(waitFor("engineStarted"));
        QVERIFY(logView.contains("Reconnecting to 127.0.0.1"));
        QVERIFY(
            home->logLines().filter(QRegularExpression("#Reconnecting to web server...$")).size() ==
            1);
        QVERIFY(prompts->calls.isEmpty());
        QCOMPARE(standIn.requests("startup").size(), 2);
    }

    void loginAbortsAStartupStillRetrying()
    {
        standIn.addFault({{"kind", "startup"}, {"action", "drop"}, {"times", 0}});
        manager->startEngine();
        QTRY_VERIFY_WITH_TIMEOUT(standIn.requests("startup").size() >= 2, Timeout);
        QCOMPARE(manager->registry().size(), 1);
        const int startupId = manager->registry().first()->id();
        manager->login("alice", "secret");
        QCOMPARE(manager->status(startupId), int(StatusUnknown));
        QVERIFY(waitFor("loggedIn"));
        const int startups = standIn.requests("startup").size();
        QTest::qWait(DTimings::scaled(DTimings::RetryPeriodMs) * 3);
        QVERIFY(standIn.requests("startup").size() <= startups + 1);
        QVERIFY(!events.contains("engineStarted"));
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
    }

    void startupAnswerOpensThePageAndNamesTheFtpServer()
    {
        QJsonObject scenario =
            QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
        scenario["popup_url"] = "http://127.0.0.1:9/news.html";
        scenario["svr"] = "ftp.invalid";
        scenario["svp"] = "2121";
        StandIn other(QString::fromUtf8(QJsonDocument(scenario).toJson()));
        QVERIFY(other.start());
        other.applyEnvironment();
        makeManager();
        standIn.applyEnvironment();
        manager->startEngine();
        QVERIFY(waitFor("engineStarted"));
        QCOMPARE(prompts->calls.size(), 1);
        QCOMPARE(prompts->calls.first().kind, QStringLiteral("page"));
        QCOMPARE(prompts->calls.first().text, QStringLiteral("http://127.0.0.1:9/news.html"));
        QCOMPARE(DGlobals::ftpHost(), QStringLiteral("ftp.invalid"));
        QCOMPARE(DGlobals::ftpPort(), QStringLiteral("2121"));
        QCOMPARE(other.requests("startup").size(), 1);
        manager.reset();
    }

    void startupAnswerWithoutServerKeepsTheOldOne()
    {
        DGlobals::setFtpHost("kept.invalid");
        DGlobals::setFtpPort("21");
        standIn.addFault({{"kind", "startup"}, {"action", "refuse"}, {"text", "Busy"}});
        manager->startEngine();
        // A startup request counts as answered whatever the service said.
        QVERIFY(waitFor("engineStarted"));
        QCOMPARE(DGlobals::ftpHost(), QStringLiteral("kept.invalid"));
        QCOMPARE(DGlobals::ftpPort(), QStringLiteral("21"));
    }
};

QTEST_GUILESS_MAIN(TestLogin)
#include "tst_login.moc"
