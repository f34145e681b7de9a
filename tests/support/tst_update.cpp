#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dupdatecheck.h"
#include "support/mythread.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QtTest>

#include <csignal>
#include <cstddef>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

namespace {

const char* const Start = "---UpdateVersion : start";
const char* const End = "---UpdateVersion : End";
const char* const UpdaterPrefix = "ferrydesk-update: ";

QStringList messages(const TestHome& home)
{
    QStringList lines;
    for (const QString& line : home.logLines())
        lines << line.mid(line.indexOf(QLatin1Char('#')) + 1);
    return lines;
}

// The update checks in the log, each from its start line to its end line, without the lines of
// the updater and of the start-up request (a log-on start checks while that one is sent); and
// the updater's lines, without their prefix.
QList<QStringList> checks(const TestHome& home, QStringList* updater = nullptr)
{
    QList<QStringList> blocks;
    bool inside = false;
    for (const QString& line : messages(home)) {
        if (line.startsWith(UpdaterPrefix)) {
            if (updater)
                *updater << line.mid(int(strlen(UpdaterPrefix)));
            continue;
        }
        if (line == "Connecting to web server..." || line.startsWith("http://"))
            continue;
        if (line == Start) {
            blocks << QStringList();
            inside = true;
        }
        if (inside)
            blocks.last() << line;
        inside = inside && line != End;
    }
    return blocks;
}

QString md5(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// Still there and not a zombie.
bool alive(qint64 pid)
{
    const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
    return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

// Ends every process that runs the program file, and waits up to 20 s for them to go.
void endCopies(const QString& program)
{
    const QString target = QFileInfo(program).canonicalFilePath();
    QList<qint64> copies;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        if (pid > 0 && QFileInfo("/proc/" + entry + "/exe").canonicalFilePath() == target) {
            ::kill(static_cast<pid_t>(pid), SIGTERM);
            copies << pid;
        }
    }
    for (int waited = 0; waited < 20000; waited += 100) {
        if (std::none_of(copies.begin(), copies.end(), alive))
            return;
        QThread::msleep(100);
    }
}

// Every rename of this process and its children fails, as in a folder where the user may write
// files but not replace them; root included.
void forbidRenames()
{
    static sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __NR_rename
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rename, 2, 0),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    static sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

const QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const QFile::Permissions ProgramMode = Executable | QFile::ReadGroup | QFile::ExeGroup;

} // namespace

// The update check against the stand-in service with a recording updater in a scratch folder;
// and whole updates: a copy of the built program with the real updater beside it, pointed at
// the stand-in.
class TestUpdate : public QObject
{
    Q_OBJECT

private:
    StandIn m_standIn;

    // Points the check at the stand-in again (a TestHome resets the process-wide values).
    void useStandIn()
    {
        DGlobals::setServiceHost(QStringLiteral("127.0.0.1"));
        DGlobals::setServicePort(QString::number(m_standIn.httpPort()));
        DGlobals::setSecurePort(QString::number(m_standIn.httpsPort()));
        DGlobals::setCaFile(m_standIn.caFile());
    }

    QString fileUrl(const QString& host = "127.0.0.1", const QString& name = "tool.exe") const
    {
        return QString("https://%1:%2/update/%3").arg(host).arg(m_standIn.httpsPort()).arg(name);
    }

    // The file the stand-in serves as the new program, by kind.
    QByteArray offeredFile(const QString& kind) const
    {
        const QByteArray program = readFile(FERRYDESK_BINARY);
        if (kind == "random") {
            QByteArray bytes(65536, Qt::Uninitialized);
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                                  bytes.size() / 4);
            return bytes;
        }
        if (kind == "truncated")
            return program.left(program.size() / 2);
        if (kind == "MZ")
            return "MZ" + QByteArray(510, '\0');
        if (kind == "unstartable") {
            // Its loader is missing, so it cannot even start.
            QByteArray bytes = program;
            return bytes.replace(bytes.indexOf("ld-linux"), 8, "ld-nixul");
        }
        return kind == "newer" ? program + "newer" : QByteArray();
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
        // Any program for this machine will do as the new one.
        const QByteArray newProgram = readFile(FERRYDESK_UPDATER);
        QVERIFY(writeFile(scratch.filePath("ferrydesk"),
                          setup.contains("same") ? newProgram : QByteArray("old"), Executable));
        QVERIFY(writeFile(scratch.filePath("ferrydesk-update"),
                          "#!/bin/sh\necho \"$@\" > '" + recorded.toUtf8() + "'\n", Executable));
        DUpdateCheck::setProgramFile(folder + "/ferrydesk");

        const bool http = setup.contains("http");
        const QString url =
            http ? QString("http://127.0.0.1:%1/update/tool.exe").arg(m_standIn.httpPort())
                 : fileUrl();
        m_standIn.control("POST", "update", {{"path", FERRYDESK_UPDATER}});
        const QString announced =
            setup.contains("wrong digest") ? QString(32, '0') : md5(newProgram);
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
                .replace("%GOT%", md5(newProgram))
                .replace("%DIR%", folder);
        QCOMPARE(messages(home), expected);
        const bool downloadedFile = expected.contains("Start Download:");
        QCOMPARE(QFile::exists(folder + "/update.bin"), downloadedFile);
        QCOMPARE(m_standIn.requests("update").size(), downloadedFile ? 1 : 0);
        if (expected.contains("Call Update file now ...")) {
            const QString arguments =
                (DGlobals::startedByOs ? pid + " -m" : pid) + " --md5=" + announced + "\n";
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

    // A copy of the built program runs in a scratch folder with the real updater beside it and
    // asks the stand-in, which offers 2.57 as `served` ("newer": the program with bytes
    // appended). `setup`: "other host" (the answer names the file on localhost), "redirect
    // away" / "redirect within" (the file's address redirects to localhost / to the service),
    // "oversize" (a 4 MB answer), "renames fail", "-m". `firstCheck` is the running program's
    // check; `updater` what the updater logs. Where the program kept running, `planted` puts
    // the served file as update.bin and runs the updater for the program's id (or a stranger's).
    // `restartedSays`: what the program says in its first check after the updater restarted it.
    void selfUpdate_data()
    {
        QTest::addColumn<QString>("served");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("firstCheck");
        QTest::addColumn<QStringList>("updater");
        QTest::addColumn<QString>("planted");
        QTest::addColumn<QString>("restartedSays");
        QTest::addColumn<int>("fetched");

        const QStringList newer{Start,
                                "Call UpdateVersion Current PID: %PID%",
                                "Ver on server:2.57",
                                "Have new version2.57 , your version:2.56",
                                "url_download:%URL%",
                                "md5_lastver:%WEB%"};
        const QStringList downloaded =
            newer + QStringList{"Start Download:", "MD5 Downloaded:%WEB%"};
        const QStringList notAProgram =
            downloaded +
            QStringList{"update.bin is not a program for this machine? Not update", End};
        const QStringList refusedHere{"%DIR%/update.bin is not a program for this machine; not "
                                      "installed"};
        const QStringList handOver =
            downloaded + QStringList{"Call Update file now ...", "Current PID: %PID%",
                                     "Call ferrydesk-update %PID%", End};
        const QString restarted = "started %DIR%/ferrydesk again (process N)";
        const QString failedBefore = "Update failed before? Not tried again before ";
        const QString same = "Current excute is the same last version on server? => Not update";

        for (const char* kind : {"random", "truncated", "MZ"})
            QTest::newRow(kind) << kind << QStringList{} << notAProgram << refusedHere << "program"
                                << QString() << 1;
        QTest::newRow("0 bytes") << "empty" << QStringList{}
                                 << newer + QStringList{"Start Download:",
                                                        " Can not download update.bin?", End}
                                 << refusedHere << "program" << QString() << 1;
        QTest::newRow("file on another host")
            << "newer" << QStringList{"other host"}
            << newer + QStringList{"Refused to download a program outside the service's host "
                                   "127.0.0.1: %URL%",
                                   End}
            << QStringList{"process %TEST% is not %DIR%/ferrydesk; not updating"} << "stranger"
            << QString() << 0;
        QTest::newRow("redirect to another host")
            << "newer" << QStringList{"redirect away"}
            << newer + QStringList{"Start Download:",
                                   "Refused a redirect outside the service's host 127.0.0.1: "
                                   "%AWAY%",
                                   " Can not download update.bin?", End}
            << QStringList{} << QString() << QString() << 1;
        QTest::newRow("oversize answer")
            << "newer" << QStringList{"oversize"}
            << QStringList{Start,
                           "Call UpdateVersion Current PID: %PID%",
                           "Version answer too long? Not read past 262144 bytes",
                           "Ver on server:",
                           "Not Need update",
                           End}
            << QStringList{} << QString() << QString() << 0;
        QTest::newRow("replacing fails")
            << "newer" << QStringList{"renames fail"} << handOver
            << QStringList{"can not replace %DIR%/ferrydesk: Operation not permitted", restarted}
            << QString() << failedBefore << 1;
        QTest::newRow("new program does not start")
            << "unstartable" << QStringList{} << handOver
            << QStringList{"updated %DIR%/ferrydesk", "can not start %DIR%/ferrydesk",
                           "put the old program back", restarted}
            << QString() << failedBefore << 1;
        QTest::newRow("newer program")
            << "newer" << QStringList{} << handOver
            << QStringList{"updated %DIR%/ferrydesk", restarted} << QString() << same << 1;
        QStringList logOnHandOver = handOver;
        logOnHandOver.replaceInStrings(QRegularExpression("(Call ferrydesk-update .*)"), "\\1 -m");
        QTest::newRow("newer program, log-on start, redirected within the service")
            << "newer" << QStringList{"-m", "redirect within"} << logOnHandOver
            << QStringList{"updated %DIR%/ferrydesk", restarted} << QString() << same << 2;
    }

    void selfUpdate()
    {
        QFETCH(QString, served);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, firstCheck);
        QFETCH(QStringList, updater);
        QFETCH(QString, planted);
        QFETCH(QString, restartedSays);
        QFETCH(int, fetched);

        TestHome home;
        QTemporaryDir scratch;
        const QString program = scratch.filePath("ferrydesk");
        const QByteArray old = readFile(FERRYDESK_BINARY);
        QVERIFY(writeFile(program, old, ProgramMode));
        QVERIFY(QFile::copy(FERRYDESK_UPDATER, scratch.filePath("ferrydesk-update")));
        const QByteArray newFile = offeredFile(served);
        QTemporaryDir offered;
        QVERIFY(writeFile(offered.filePath("tool.exe"), newFile));
        m_standIn.control("POST", "update", {{"path", offered.filePath("tool.exe")}});
        const QString url = setup.contains("other host")        ? fileUrl("localhost")
                            : setup.contains("redirect within") ? fileUrl("127.0.0.1", "old")
                                                                : fileUrl();
        m_standIn.control(
            "POST", "version",
            {{"version_on_server", "2.57"}, {"url_download", url}, {"md5_lastver", md5(newFile)}});
        const QString away = fileUrl("localhost");
        if (setup.contains("redirect away") || setup.contains("redirect within"))
            m_standIn.addFault({{"kind", "update"},
                                {"action", "redirect"},
                                {"to", setup.contains("redirect away") ? away : fileUrl()}});
        if (setup.contains("oversize"))
            m_standIn.addFault({{"kind", "ver"}, {"action", "pad"}, {"bytes", 4 << 20}});

        QProcess running;
        m_standIn.applyEnvironment();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("FERRYDESK_NONINTERACTIVE", "1");
        running.setProcessEnvironment(env);
        running.setStandardOutputFile(QProcess::nullDevice());
        running.setStandardErrorFile(QProcess::nullDevice());
        if (setup.contains("renames fail"))
            running.setChildProcessModifier(forbidRenames);
        running.start(program, setup.contains("-m") ? QStringList{"-m"} : QStringList{});
        QVERIFY(running.waitForStarted());
        // However the row ends, no copy of the program outlives it.
        const auto endAll = qScopeGuard([&] {
            running.terminate();
            running.waitForFinished(20000);
            endCopies(program);
        });
        const QString pid = QString::number(running.processId());

        qint64 again = 0;
        if (restartedSays.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(!checks(home).isEmpty() && checks(home)[0].endsWith(End),
                                     60000);
        } else {
            // The updater ends the program and starts it again; wait for that one's first check.
            QVERIFY(running.waitForFinished(60000));
            QTRY_VERIFY_WITH_TIMEOUT(
                !messages(home)
                     .filter(QRegularExpression("^" + QRegularExpression::escape(restartedSays)))
                     .isEmpty(),
                60000);
            QStringList lines;
            checks(home, &lines);
            const QRegularExpression startedAgain("again \\(process (\\d+)\\)$");
            again = startedAgain.match(lines.value(lines.size() - 1)).captured(1).toLongLong();
            QVERIFY(again > 0);
            // The program file runs again, as a log-on start when it was one.
            QCOMPARE(QFileInfo(QString("/proc/%1/exe").arg(again)).canonicalFilePath(),
                     QFileInfo(program).canonicalFilePath());
            QCOMPARE(readFile(QString("/proc/%1/cmdline").arg(again)).split('\0').mid(1),
                     (setup.contains("-m") ? QList<QByteArray>{"-m", ""} : QList<QByteArray>{""}));
        }
        if (!planted.isEmpty()) {
            // The updater refuses what the program refused, even when handed it directly.
            QVERIFY(writeFile(scratch.filePath("update.bin"), newFile));
            QProcess update;
            update.start(
                scratch.filePath("ferrydesk-update"),
                {planted == "program" ? pid : QString::number(QCoreApplication::applicationPid()),
                 "--md5=" + md5(newFile)});
            QVERIFY(update.waitForFinished(60000));
            QCOMPARE(update.exitCode(), 1);
            QCOMPARE(running.state(), QProcess::Running);
            QFile::remove(scratch.filePath("update.bin"));
        }

        QStringList updaterLines;
        const QList<QStringList> blocks = checks(home, &updaterLines);
        const QString test = QString::number(QCoreApplication::applicationPid());
        for (QStringList* lines : {&firstCheck, &updater})
            for (QString& line : *lines)
                line.replace("%PID%", pid)
                    .replace("%TEST%", test)
                    .replace("%URL%", url)
                    .replace("%AWAY%", away)
                    .replace("%WEB%", md5(newFile))
                    .replace("%DIR%", scratch.path());
        updaterLines.replaceInStrings(QRegularExpression("\\(process \\d+\\)$"), "(process N)");
        QVERIFY(!blocks.isEmpty());
        QCOMPARE(blocks[0], firstCheck);
        QCOMPARE(updaterLines, updater);
        const bool replaced = restartedSays.startsWith("Current excute");
        QCOMPARE(readFile(program) == newFile, replaced);
        QCOMPARE(readFile(program) == old, !replaced);
        QCOMPARE(QFile::permissions(program) & QFile::Permissions(0x7077), ProgramMode);
        QVERIFY(!QFile::exists(scratch.filePath("update.bin")));
        QVERIFY(!QFile::exists(scratch.filePath("ferrydesk.old")));
        for (const QJsonValue& ask : m_standIn.requests("ver"))
            QVERIFY(ask.toObject().value("secure").toBool());
        QCOMPARE(m_standIn.requests("update").size(), fetched);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
