#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dupdatecheck.h"
#include "support/mythread.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QtTest>

namespace {

// The stand-in serves this as the new program (see its "update_file").
const QByteArray NewProgram = "new program";
const char* const Start = "---UpdateVersion : start";
const char* const End = "---UpdateVersion : End";

QStringList messages(const TestHome& home)
{
    QStringList lines;
    for (const QString& line : home.logLines())
        lines << line.mid(line.indexOf(QLatin1Char('#')) + 1);
    return lines;
}

QString scenarioWithUpdate()
{
    QJsonObject scenario = QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
    scenario.insert("update_file", QJsonObject{{"content", QString::fromUtf8(NewProgram)}});
    return QString::fromUtf8(QJsonDocument(scenario).toJson());
}

const QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

} // namespace

// The update check against the stand-in service, with the program file, "update.bin" and an
// updater that records its arguments in a scratch folder; and the real updater replacing a
// scratch program.
class TestUpdate : public QObject
{
    Q_OBJECT

private:
    StandIn m_standIn{scenarioWithUpdate()};

    // Points the check at the stand-in again (a TestHome resets the process-wide values).
    void useStandIn()
    {
        DGlobals::setServiceHost(QStringLiteral("127.0.0.1"));
        DGlobals::setServicePort(QString::number(m_standIn.httpPort()));
        DGlobals::setCaFile(m_standIn.caFile());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_standIn.start());
        // Time-outs of a few hundred milliseconds, and a short wait for the updater.
        DTimings::setScale(0.05);
    }

    void cleanup()
    {
        m_standIn.reset();
        DUpdateCheck::setProgramFile(QString());
        DGlobals::startedByOs = false;
    }

    void versionComparison_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("newer");
        QTest::newRow("same") << "2.56" << false;
        QTest::newRow("next") << "2.57" << true;
        QTest::newRow("text order: 2.6") << "2.6" << true;
        QTest::newRow("text order: 10.0") << "10.0" << false;
    }

    void versionComparison()
    {
        QFETCH(QString, server);
        QTEST(DUpdateCheck::isNewer(server), "newer");
    }

    void windowsHandOver()
    {
        QCOMPARE(DUpdateCheck::windowsUpdaterCommandLine(4321, false), "./update.exe 4321");
        QCOMPARE(DUpdateCheck::windowsUpdaterCommandLine(4321, true), "./update.exe 4321 -m");
    }

    // `setup` words change the default situation (a newer version 2.57 offered over verified
    // HTTPS with the right digest, an old program in a writable folder): "current" (2.56 on
    // the server), "silent" (the service never answers), "same" (the program already is the
    // new one), "http", "unwritable", "wrong digest", "-m" (a log-on start). Log lines use
    // %PID%, %URL%, %DIR%, %WEB% (the digest the service names), %GOT% (that of the file served).
    void check_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("expected");
        const QStringList asked{Start, "Call UpdateVersion Current PID: %PID%"};
        const QStringList newer =
            asked + QStringList{"Ver on server:2.57", "Have new version2.57 , your version:2.56",
                                "url_download:%URL%", "md5_lastver:%WEB%"};
        const QStringList downloaded =
            newer + QStringList{"Start Download:", "MD5 Downloaded:%GOT%"};
        const QStringList handOver =
            downloaded + QStringList{"Call Update file now ...", "Current PID: %PID%"};
        const QStringList notStopped{"Not stoped? Some error in update?", End};

        QTest::newRow("no newer version")
            << QStringList{"current"}
            << asked + QStringList{"Ver on server:2.56", "Not Need update", End};
        QTest::newRow("dead service ends by time-out")
            << QStringList{"silent"}
            << asked + QStringList{"Ver on server:", "Not Need update", End};
        QTest::newRow("same digest as the running program")
            << QStringList{"same"}
            << newer + QStringList{"Current excute is the same last version on server? => Not "
                                   "update",
                                   End};
        QTest::newRow("plain HTTP is refused")
            << QStringList{"http"}
            << newer + QStringList{"Refused to download a program over an unverified address: "
                                   "%URL%",
                                   End};
        QTest::newRow("program folder not writable")
            << QStringList{"unwritable"}
            << newer + QStringList{"Program folder %DIR% can not be written; the update is left "
                                   "to the package manager",
                                   End};
        // The message holds a line break, so it takes two lines of the file.
        QTest::newRow("checksum mismatch")
            << QStringList{"wrong digest"}
            << downloaded + QStringList{"UpdateVersion CheckSum error? Can not update new "
                                        "version! ",
                                        "(Web:%WEB% <>%GOT%)", End};
        QTest::newRow("hand-over")
            << QStringList{} << handOver + QStringList{"Call ferrydesk-update %PID%"} + notStopped;
        QTest::newRow("hand-over in a log-on start")
            << QStringList{"-m"}
            << handOver + QStringList{"Call ferrydesk-update %PID% -m"} + notStopped;
    }

    void check()
    {
        QFETCH(QStringList, setup);
        QFETCH(QStringList, expected);
        TestHome home;
        useStandIn();
        DGlobals::startedByOs = setup.contains("-m");
        QTemporaryDir scratch;
        const QString folder =
            setup.contains("unwritable") ? scratch.filePath("missing") : scratch.path();
        const QString recorded = scratch.filePath("updater-arguments");
        QVERIFY(writeFile(scratch.filePath("ferrydesk"),
                          setup.contains("same") ? NewProgram : QByteArray("old"), Executable));
        QVERIFY(writeFile(scratch.filePath("ferrydesk-update"),
                          "#!/bin/sh\necho \"$@\" > '" + recorded.toUtf8() + "'\n", Executable));
        DUpdateCheck::setProgramFile(folder + "/ferrydesk");

        const bool http = setup.contains("http");
        const QString url = QString("%1://127.0.0.1:%2/update/tool.exe")
                                .arg(http ? "http" : "https")
                                .arg(http ? m_standIn.httpPort() : m_standIn.httpsPort());
        const QString served =
            QCryptographicHash::hash(NewProgram, QCryptographicHash::Md5).toHex();
        const QString announced = setup.contains("wrong digest") ? QString(32, '0') : served;
        m_standIn.control("POST", "version",
                          {{"version_on_server", setup.contains("current") ? "2.56" : "2.57"},
                           {"url_download", url},
                           {"md5_lastver", announced}});
        if (setup.contains("silent"))
            m_standIn.addFault({{"kind", "ver"}, {"action", "delay"}, {"seconds", 10}});

        DUpdateCheck::run();

        const QString pid = QString::number(QCoreApplication::applicationPid());
        for (QString& line : expected)
            line.replace("%PID%", pid)
                .replace("%URL%", url)
                .replace("%WEB%", announced)
                .replace("%GOT%", served)
                .replace("%DIR%", folder);
        QCOMPARE(messages(home), expected);
        const bool downloadedFile = expected.contains("Start Download:");
        QCOMPARE(QFile::exists(folder + "/update.bin"), downloadedFile);
        QCOMPARE(m_standIn.requests("update").size(), downloadedFile ? 1 : 0);
        if (expected.contains("Call Update file now ...")) {
            const QString arguments = DGlobals::startedByOs ? pid + " -m\n" : pid + "\n";
            QTRY_COMPARE(QString::fromUtf8(readFile(recorded)), arguments);
        } else {
            QVERIFY(!QFile::exists(recorded));
        }
    }

    void checksNeverOverlap()
    {
        TestHome home;
        useStandIn();
        // A slow answer keeps the first check busy while the others want to start.
        m_standIn.addFault({{"kind", "ver"}, {"action", "delay"}, {"seconds", 0.3}, {"times", 0}});
        DGlobals::startedByOs = true;
        MyThread logOnCheck;
        logOnCheck.start();
        DUpdateCheck::start();
        DUpdateCheck::start();
        QVERIFY(DUpdateCheck::waitForQueued(60000));
        QVERIFY(logOnCheck.wait(60000));

        QStringList marks;
        for (const QString& line : messages(home)) {
            if (line == Start || line == End)
                marks << line;
        }
        QCOMPARE(marks, QStringList() << Start << End << Start << End << Start << End);
        QCOMPARE(m_standIn.requests("ver").size(), 3);
    }

    void updaterReplacesTheProgram_data()
    {
        QTest::addColumn<bool>("ofTheProgram"); // the id belongs to the program, or a stranger
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("restartedWith");
        QTest::newRow("restart with -m") << true << QStringList{"-m"} << 0 << QByteArray("-m\n");
        QTest::newRow("restart without -m") << true << QStringList{} << 0 << QByteArray("\n");
        QTest::newRow("another program's id") << false << QStringList{} << 1 << QByteArray();
    }

    void updaterReplacesTheProgram()
    {
        QFETCH(bool, ofTheProgram);
        QFETCH(QStringList, flags);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, restartedWith);

        TestHome home;
        QTemporaryDir scratch;
        const QString program = scratch.filePath("ferrydesk");
        const QString updater = scratch.filePath("ferrydesk-update");
        const QString sleep = QStandardPaths::findExecutable("sleep");
        // A real executable stands in for the running program, so /proc names it.
        QVERIFY(QFile::copy(sleep, program));
        QVERIFY(QFile::copy(FERRYDESK_UPDATER, updater));
        const QByteArray newProgram = "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/restarted\"\n";
        QVERIFY(writeFile(scratch.filePath("update.bin"), newProgram,
                          QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(QFile::setPermissions(program, Executable | QFile::ReadGroup | QFile::ExeGroup));
        QVERIFY(QFile::setPermissions(updater, Executable));

        QProcess running;
        running.start(ofTheProgram ? program : sleep, {"60"});
        QVERIFY(running.waitForStarted());
        QProcess update;
        update.start(updater, QStringList{QString::number(running.processId())} + flags);
        QVERIFY(update.waitForFinished(60000));
        QCOMPARE(update.exitCode(), exitCode);

        if (!ofTheProgram) {
            QCOMPARE(running.state(), QProcess::Running);
            QVERIFY(readFile(program) != newProgram);
            running.kill();
            running.waitForFinished();
            return;
        }
        QVERIFY(running.waitForFinished(10000));
        QCOMPARE(readFile(program), newProgram);
        // The mode is kept: owner, group and others, not what this user happens to see.
        const QFile::Permissions mode(0x7077);
        QCOMPARE(QFile::permissions(program) & mode,
                 Executable | QFile::ReadGroup | QFile::ExeGroup);
        QVERIFY(!QFile::exists(scratch.filePath("update.bin")));
        QTRY_COMPARE(readFile(scratch.filePath("restarted")), restartedWith);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
