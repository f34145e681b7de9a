#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

namespace {

const int Timeout = 15000;
const QString Password = QStringLiteral("p/ss+w=rd");

QString scenario()
{
    QJsonObject root = QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
    QJsonObject accounts = root["accounts"].toObject();
    QJsonObject carol = accounts["alice"].toObject();
    carol["password"] = Password;
    accounts["carol"] = carol;
    root["accounts"] = accounts;
    return QString::fromUtf8(QJsonDocument(root).toJson());
}

} // namespace

// Requests carry the account password (Base64 is no protection): the log file and the "-d" dump
// must show them with the password masked and the rest readable.
class TestMasking : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { DTimings::setScale(0.01); }

    void noLogOrDumpLineHoldsThePassword()
    {
        StandIn standIn(scenario());
        QVERIFY(standIn.start());
        standIn.applyEnvironment();
        TestHome home;
        ScriptedPrompt prompts;
        DGlobals::dumpResponses = true;
        DCommandManager manager;
        QSignalSpy started(&manager, &DCommandManager::di_engineStarted);
        QSignalSpy loggedIn(&manager, &DCommandManager::di_loggedIn);
        QSignalSpy contents(&manager, &DCommandManager::di_contentsChanged);

        manager.startEngine();
        QVERIFY(started.wait(Timeout));
        manager.login("carol", Password);
        QVERIFY(loggedIn.wait(Timeout));
        auto waitForListing = [&] {
            contents.clear();
            return QTest::qWaitFor([&] { return !contents.isEmpty(); }, Timeout);
        };
        manager.listFolder("10", "Docs");
        QVERIFY(waitForListing());
        manager.createFolder("Made");
        QVERIFY(waitForListing());
        manager.renameEntry("102", "other.txt");
        QVERIFY(waitForListing());
        manager.moveEntry("20", "101");
        QVERIFY(waitForListing());
        manager.deleteEntry("111");
        QVERIFY(waitForListing());
        QCOMPARE(manager.listFolderNow("30").size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(manager.registry().isEmpty(), Timeout);

        QFile dumpFile(home.dataFolder() + "/dftp.dump");
        QVERIFY(dumpFile.open(QIODevice::ReadOnly));
        const QString dump = QString::fromLatin1(dumpFile.readAll());
        const QString log = home.logLines().join('\n');
        QVERIFY(!dump.isEmpty() && !log.isEmpty());

        const QJsonArray requests = standIn.requests();
        QVERIFY(requests.size() >= 9);
        for (const QJsonValue request : requests) {
            const QString query = request["query"].toString();
            const QString payload = query.mid(query.indexOf('=') + 1);
            QVERIFY2(!log.contains(payload), qPrintable(query));
            QVERIFY2(!dump.contains(payload), qPrintable(query));
        }
        for (const QString& text : {log, dump}) {
            QVERIFY(!text.contains(Password));
            QVERIFY(!text.contains(QString::fromLatin1(Password.toUtf8().toBase64())));
            for (const char* parameter : {"startup={", "folder={", "create_folder={", "rename_f={",
                                          "move_f={", "delete_f={"})
                QVERIFY2(text.contains(QLatin1String(parameter)), parameter);
        }
        QVERIFY(log.contains("rename_f={" + DGlobals::machineId() +
                             "#2.56/carol/********/102/other.txt/10}"));
    }
};

QTEST_GUILESS_MAIN(TestMasking)
#include "tst_masking.moc"
