#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dupdatecheck.h"
#include "support/mythread.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
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

bool writeFile(const QString& path, const QByteArray& content, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.setPermissions(permissions);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
        QTest::newRow("older") << "2.55" << false;
        QTest::newRow("next") << "2.57" << true;
        QTest::newRow("text order: 2.6") << "2.6" << true;
        QTest::newRow("text order: 10.0") << "10.0" << false;
        QTest::newRow("no answer") << "" << false;
    }

    void versionComparison()
    {
        QFETCH(QString, server);
        QFETCH(bool, newer);
        QCOMPARE(DUpdateCheck::isNewer(server), newer);
    }

    void handOverArguments_data()
    {
        QTest::addColumn<bool>("logOnStart");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("windows");
        QTest::newRow("normal start") << false << QStringList{"4321"} << "./update.exe 4321";
        QTest::newRow("log-on start")
            << true << QStringList{"4321", "-m"} << "./update.exe 4321 -m";
    }

    void handOverArguments()
    {
        QFETCH(bool, logOnStart);
        QFETCH(QStringList, arguments);
        QFETCH(QString, windows);
        QCOMPARE(DUpdateCheck::updaterArguments(4321, logOnStart), arguments);
        QCOMPARE(DUpdateCheck::windowsUpdaterCommandLine(4321, logOnStart), windows);
    }

    // Log lines use %PID%, %URL%, %WEB% (the digest the service names) and %GOT% (the digest of
    // the file served).
    void check_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("scheme"); // of url_download
        QTest::addColumn<bool>("wrongDigest");
        QTest::addColumn<QByteArray>("program"); // content of the running program file
        QTest::addColumn<bool>("logOnStart");
        QTest::addColumn<bool>("silentService");
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("updaterArguments"); // empty: the updater is not started

        const QStringList newer{Start,
                                "Call UpdateVersion Current PID: %PID%",
                                "Ver on server:2.57",
                                "Have new version2.57 , your version:2.56",
                                "url_download:%URL%",
                                "md5_lastver:%WEB%"};
        const QStringList downloaded =
            newer + QStringList{"Start Download:", "MD5 Downloaded:%GOT%"};
        const QStringList handOver{"Call Update file now ...", "Current PID: %PID%"};
        const QString failed = "Not stoped? Some error in update?";

        QTest::newRow("no newer version")
            << "2.56"
            << "https" << false << QByteArray("old") << false << false << true
            << QStringList{Start, "Call UpdateVersion Current PID: %PID%", "Ver on server:2.56",
                           "Not Need update", End}
            << "";
        QTest::newRow("dead service ends by time-out")
            << "2.57"
            << "https" << false << QByteArray("old") << false << true << true
            << QStringList{Start, "Call UpdateVersion Current PID: %PID%",
                           "Ver on server:", "Not Need update", End}
            << "";
        QTest::newRow("same digest as the running program")
            << "2.57"
            << "https" << false << NewProgram << false << false << true
            << newer + QStringList{"Current excute is the same last version on server? => Not "
                                   "update",
                                   End}
            << "";
        QTest::newRow("plain HTTP is refused")
            << "2.57"
            << "http" << false << QByteArray("old") << false << false << true
            << newer + QStringList{"Refused to download a program over an unverified address: "
                                   "%URL%",
                                   End}
            << "";
        QTest::newRow("program folder not writable")
            << "2.57"
            << "https" << false << QByteArray("old") << false << false << false
            << newer + QStringList{"Program folder %DIR% can not be written; the update is left "
                                   "to the package manager",
                                   End}
            << "";
        QTest::newRow("checksum mismatch")
            << "2.57"
            << "https" << true << QByteArray("old") << false << false
            << true
            // The message holds a line break, so it takes two lines of the file.
            << downloaded + QStringList{"UpdateVersion CheckSum error? Can not update new "
                                        "version! ",
                                        "(Web:%WEB% <>%GOT%)", End}
            << "";
        QTest::newRow("hand-over")
            << "2.57"
            << "https" << false << QByteArray("old") << false << false << true
            << downloaded + handOver + QStringList{"Call ferrydesk-update %PID%", failed, End}
            << "%PID%";
        QTest::newRow("hand-over in a log-on start")
            << "2.57"
            << "https" << false << QByteArray("old") << true << false << true
            << downloaded + handOver + QStringList{"Call ferrydesk-update %PID% -m", failed, End}
            << "%PID% -m";
    }

    void check()
    {
        QFETCH(QString, version);
        QFETCH(QString, scheme);
        QFETCH(bool, wrongDigest);
        QFETCH(QByteArray, program);
        QFETCH(bool, logOnStart);
        QFETCH(bool, silentService);
        QFETCH(bool, folderWritable);
        QFETCH(QStringList, expected);
        QFETCH(QString, updaterArguments);

        TestHome home;
        useStandIn();
        DGlobals::startedByOs = logOnStart;
        QTemporaryDir scratch;
        const QString folder = folderWritable ? scratch.path() : scratch.filePath("missing");
        const QString recorded = scratch.filePath("updater-arguments");
        QVERIFY(writeFile(scratch.filePath("ferrydesk"), program, Executable));
        QVERIFY(writeFile(scratch.filePath("ferrydesk-update"),
                          "#!/bin/sh\necho \"$@\" > '" + recorded.toUtf8() + "'\n", Executable));
        DUpdateCheck::setProgramFile(folder + "/ferrydesk");

        const int port = scheme == "https" ? m_standIn.httpsPort() : m_standIn.httpPort();
        const QString url = QString("%1://127.0.0.1:%2/update/tool.exe").arg(scheme).arg(port);
        const QString served =
            QCryptographicHash::hash(NewProgram, QCryptographicHash::Md5).toHex();
        const QString announced = wrongDigest ? QString(32, '0') : served;
        m_standIn.control(
            "POST", "version",
            {{"version_on_server", version}, {"url_download", url}, {"md5_lastver", announced}});
        if (silentService)
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
        if (updaterArguments.isEmpty()) {
            QVERIFY(!QFile::exists(recorded));
        } else {
            QTRY_COMPARE(QString::fromUtf8(readFile(recorded)),
                         updaterArguments.replace("%PID%", pid) + "\n");
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
