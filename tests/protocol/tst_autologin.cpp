#include "engine/dcommandmanager.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QJsonArray>
#include <QProcess>
#include <QSettings>
#include <QtTest>

namespace {

const int Timeout = 20000;

} // namespace

// The real program, started with a remembered account, announces itself and logs in to the
// stand-in service on its own.
class TestAutoLogin : public QObject
{
    Q_OBJECT

private slots:
    void programLogsInWithTheRememberedAccount()
    {
        StandIn standIn;
        QVERIFY(standIn.start());
        standIn.applyEnvironment();
        TestHome home;
        QDir().mkpath(home.dataFolder());
        {
            QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
            settings.setValue("LastUserName", "alice");
            settings.setValue("LastPassWord", "secret");
        }

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("FERRYDESK_NONINTERACTIVE", "1");
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(FERRYDESK_BINARY), QStringList());
        QVERIFY(program.waitForStarted(Timeout));

        QTRY_VERIFY_WITH_TIMEOUT(!standIn.requests("login").isEmpty(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(home.logLines().filter("#127.0.0.1 is ready!").size() == 1,
                                 Timeout);
        program.terminate();
        if (!program.waitForFinished(Timeout))
            program.kill();
        program.waitForFinished(Timeout);

        const QJsonArray startups = standIn.requests("startup");
        QCOMPARE(startups.size(), 1);
        const QString startup = startups.at(0)["payload"].toString();
        QVERIFY(startup.endsWith("#2.56"));
        const QJsonArray logins = standIn.requests("login");
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins.at(0)["user"].toString(), QStringLiteral("alice"));
        QCOMPARE(logins.at(0)["payload"].toString(), startup + QStringLiteral("/alice/secret"));
        // The startup request came first; the root folder arrived with the login answer.
        QVERIFY(startups.at(0)["time"].toDouble() <= logins.at(0)["time"].toDouble());
    }
};

QTEST_GUILESS_MAIN(TestAutoLogin)
#include "tst_autologin.moc"
