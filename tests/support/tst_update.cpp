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
const QString UpdaterPrefix = "ferrydesk-update: ";
const QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const QFile::Permissions ProgramMode = Executable | QFile::ReadGroup | QFile::ExeGroup;

// The log of a check that finds 2.57 and fetches it, stage by stage.
const QStringList Asked{Start, "Call UpdateVersion Current PID: %PID%"};
const QStringList Newer =
    Asked + QStringList{"Ver on server:2.57", "Have new version2.57 , your version:2.56",
                        "url_download:%URL%", "md5_lastver:%WEB%"};
const QStringList Downloaded = Newer + QStringList{"Start Download:", "MD5 Downloaded:%GOT%"};
const QStringList HandOver =
    Downloaded + QStringList{"Call Update file now ...", "Current PID: %PID%"};

// The log's messages; the updater's go to `updater` without their prefix. The lines of the
// start-up request are left out: a log-on start checks while that request is sent.
QStringList messages(const TestHome& home, QStringList* updater = nullptr)
{
    QStringList lines;
    for (const QString& line : home.logLines()) {
        const QString text = line.mid(line.indexOf(QLatin1Char('#')) + 1);
        if (text.startsWith(UpdaterPrefix)) {
            if (updater)
                *updater << text.mid(UpdaterPrefix.size());
        } else if (text != "Connecting to web server..." && !text.startsWith("http://")) {
            lines << text;
        }
    }
    return lines;
}

QString md5(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// The file offered as the new program, by kind; by default a small program for this machine.
QByteArray offeredFile(const QString& kind)
{
    QByteArray program =
        readFile(kind == "newer" || kind == "unstartable" ? FERRYDESK_BINARY : FERRYDESK_UPDATER);
    if (kind == "script")
        return "#!/bin/sh\necho stranger\n";
    if (kind == "truncated")
        return program.left(program.size() / 2);
    if (kind == "MZ")
        return "MZ" + QByteArray(510, '\0');
    if (kind == "empty")
        return QByteArray();
    if (kind == "unstartable") // its loader is missing
        return program.replace(program.indexOf("ld-linux"), 8, "ld-nixul");
    return kind == "newer" ? program + "newer" : program;
}

QStringList expanded(QStringList lines, const QMap<QString, QString>& values)
{
    for (QString& line : lines)
        for (auto it = values.begin(); it != values.end(); ++it)
            line.replace(it.key(), it.value());
    return lines;
}

// Ends every process that runs the program file, and waits up to 20 s for them to go.
void endCopies(const QString& program)
{
    const QString target = QFileInfo(program).canonicalFilePath();
    QList<pid_t> copies;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        if (entry.toInt() > 0 && QFileInfo("/proc/" + entry + "/exe").canonicalFilePath() == target)
            copies << entry.toInt();
    }
    for (const pid_t pid : copies)
        ::kill(pid, SIGTERM);
    const auto alive = [](pid_t pid) { // and not a zombie
        const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
        return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
    };
    for (int waited = 0; waited < 20000 && std::any_of(copies.begin(), copies.end(), alive);
         waited += 100)
        QThread::msleep(100);
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

} // namespace

// The update check against the stand-in service, in this process with a recording updater;
// the real updater on its own; and whole updates of a copy of the built program.
class TestUpdate : public QObject
{
    Q_OBJECT

private:
    StandIn m_standIn;
    QTemporaryDir m_offered;

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

    // Offers `file` with its digest as version 2.57, changed by the `setup` words: a version
    // ("2.56"), "silent" (no answer), "oversize" (a 4 MB answer), "wrong digest", "http",
    // "other host" (the file named on localhost), "redirect away" / "redirect within" (the
    // file's address redirects to localhost / to the service). Answers the file's address.
    QString offer(const QStringList& setup, const QByteArray& file)
    {
        const QString url =
            setup.contains("http")
                ? QString("http://127.0.0.1:%1/update/tool.exe").arg(m_standIn.httpPort())
            : setup.contains("other host")      ? fileUrl("localhost")
            : setup.contains("redirect within") ? fileUrl("127.0.0.1", "old")
                                                : fileUrl();
        writeFile(m_offered.filePath("tool.exe"), file);
        m_standIn.control("POST", "update", {{"path", m_offered.filePath("tool.exe")}});
        const QString version = setup.filter(QRegularExpression("^\\d")).value(0, "2.57");
        m_standIn.control(
            "POST", "version",
            {{"version_on_server", version},
             {"url_download", url},
             {"md5_lastver", setup.contains("wrong digest") ? QString(32, '0') : md5(file)}});
        if (setup.contains("silent"))
            m_standIn.addFault({{"kind", "ver"}, {"action", "delay"}, {"seconds", 10}});
        if (setup.contains("oversize"))
            m_standIn.addFault({{"kind", "ver"}, {"action", "pad"}, {"bytes", 4 << 20}});
        if (setup.contains("redirect away") || setup.contains("redirect within"))
            m_standIn.addFault(
                {{"kind", "update"},
                 {"action", "redirect"},
                 {"to", setup.contains("redirect away") ? fileUrl("localhost") : fileUrl()}});
        return url;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_standIn.start());
        // Time-outs of a few hundred milliseconds, and a short wait for the updater.
        DTimings::setScale(0.05);
        // For the copies of the program started here.
        m_standIn.applyEnvironment();
        qputenv("FERRYDESK_NONINTERACTIVE", "1");
    }

    void cleanup()
    {
        m_standIn.reset();
        DUpdateCheck::setProgramFile(QString());
        DGlobals::startedByOs = false;
    }

    // `setup`: the words of offer(), the kind of file served, "same" (the program already is the
    // new one), "unwritable" (the program folder), "-m" (a log-on start). Log lines use %PID%,
    // %URL%, %AWAY% (the redirect's target), %DIR% (the program folder), %WEB% (the digest the
    // service names) and %GOT% (that of the file served).
    void check_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, const QStringList& setup, const QStringList& stage,
                            const QStringList& lines) {
            QTest::newRow(name) << setup << stage + lines + QStringList{End};
        };
        row("same version", {"2.56"}, Asked, {"Ver on server:2.56", "Not Need update"});
        // Plain text order: "2.6" is newer than 2.56, "10.0" is not; no downgrade either way.
        row("older in text order", {"10.0"}, Asked, {"Ver on server:10.0", "Not Need update"});
        row("dead service ends by time-out", {"silent"}, Asked,
            {"Ver on server:", "Not Need update"});
        row("oversize answer", {"oversize"}, Asked,
            {"Version answer too long? Not read past 262144 bytes",
             "Ver on server:", "Not Need update"});
        row("same digest as the running program", {"same"}, Newer,
            {"Current excute is the same last version on server? => Not update"});
        row("plain HTTP is refused", {"http"}, Newer,
            {"Refused to download a program over an unverified address: %URL%"});
        row("file on another host", {"other host"}, Newer,
            {"Refused to download a program outside the service's host 127.0.0.1: %URL%"});
        row("redirect to another host", {"redirect away"}, Newer,
            {"Start Download:", "Refused a redirect outside the service's host 127.0.0.1: %AWAY%",
             " Can not download update.bin?"});
        row("program folder not writable", {"unwritable"}, Newer,
            {"Program folder %DIR% can not be written; the update is left to the package manager"});
        row("0 bytes", {"empty"}, Newer, {"Start Download:", " Can not download update.bin?"});
        // The message holds a line break, so it takes two lines of the file.
        row("checksum mismatch", {"wrong digest"}, Downloaded,
            {"UpdateVersion CheckSum error? Can not update new version! ", "(Web:%WEB% <>%GOT%)"});
        for (const char* kind : {"script", "truncated", "MZ"})
            row(kind, {kind}, Downloaded,
                {"update.bin is not a program for this machine? Not update"});
        row("2.6 in a log-on start: hand-over", {"2.6", "-m"},
            expanded(HandOver, {{"2.57", "2.6"}}),
            {"Call ferrydesk-update %PID% -m", "Not stoped? Some error in update?"});
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
        const QByteArray file = offeredFile(setup.value(0));
        QVERIFY(writeFile(scratch.filePath("ferrydesk"), setup.contains("same") ? file : "old",
                          Executable));
        QVERIFY(writeFile(scratch.filePath("ferrydesk-update"),
                          "#!/bin/sh\necho \"$@\" > '" + recorded.toUtf8() + "'\n", Executable));
        DUpdateCheck::setProgramFile(folder + "/ferrydesk");
        const QString url = offer(setup, file);

        DUpdateCheck::run();

        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString announced = setup.contains("wrong digest") ? QString(32, '0') : md5(file);
        QCOMPARE(messages(home), expanded(expected, {{"%PID%", pid},
                                                     {"%URL%", url},
                                                     {"%AWAY%", fileUrl("localhost")},
                                                     {"%WEB%", announced},
                                                     {"%GOT%", md5(file)},
                                                     {"%DIR%", folder}}));
        QCOMPARE(m_standIn.requests("update").size(), expected.contains("Start Download:") ? 1 : 0);
        // A file that is no program here goes at once; one with another digest stays unused.
        QCOMPARE(QFile::exists(folder + "/update.bin"),
                 setup.contains("-m") || setup.contains("wrong digest"));
        if (setup.contains("-m"))
            QTRY_COMPARE(readFile(recorded), (pid + " -m --md5=" + announced + "\n").toUtf8());
        else
            QVERIFY(!QFile::exists(recorded));
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
        QCOMPARE(messages(home).filter("---UpdateVersion"),
                 QStringList({Start, End, Start, End, Start, End}));
        QCOMPARE(m_standIn.requests("ver").size(), 3);
    }

    // The updater, handed "update.bin" of the `served` kind and the id of a running program
    // (or of a stranger: this test), refuses what the program would have refused, and leaves
    // the program alone.
    void updaterRefuses_data()
    {
        QTest::addColumn<QString>("served");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("says");
        for (const char* kind : {"script", "truncated", "MZ", "empty"})
            QTest::newRow(kind) << kind << QString()
                                << "%DIR%/update.bin is not a program for this machine; not "
                                   "installed";
        QTest::newRow("wrong digest")
            << QString() << "wrong digest"
            << "%DIR%/update.bin does not have the digest %WEB%; not installed";
        QTest::newRow("id of a stranger") << QString() << "stranger"
                                          << "process %TEST% is not %DIR%/ferrydesk; not updating";
    }

    void updaterRefuses()
    {
        QFETCH(QString, served);
        QFETCH(QString, setup);
        QFETCH(QString, says);
        TestHome home;
        QTemporaryDir scratch;
        const QString program = scratch.filePath("ferrydesk");
        QVERIFY(QFile::copy("/bin/sleep", program));
        QVERIFY(QFile::copy(FERRYDESK_UPDATER, scratch.filePath("ferrydesk-update")));
        const QByteArray file = offeredFile(served);
        QVERIFY(writeFile(scratch.filePath("update.bin"), file));
        QProcess running;
        running.start(program, {"60"});
        QVERIFY(running.waitForStarted());
        const auto endAll = qScopeGuard([&] { stopProcess(running); });
        const QString test = QString::number(QCoreApplication::applicationPid());
        const QString digest = setup == "wrong digest" ? QString(32, '0') : md5(file);

        QProcess update;
        update.start(
            scratch.filePath("ferrydesk-update"),
            {setup == "stranger" ? test : QString::number(running.processId()), "--md5=" + digest});
        QVERIFY(update.waitForFinished(60000));

        QCOMPARE(update.exitCode(), 1);
        QStringList lines;
        messages(home, &lines);
        QCOMPARE(lines, expanded({says},
                                 {{"%TEST%", test}, {"%DIR%", scratch.path()}, {"%WEB%", digest}}));
        QCOMPARE(running.state(), QProcess::Running);
        QCOMPARE(QFile::exists(scratch.filePath("update.bin")), served.isEmpty());
    }

    // A copy of the built program runs in a scratch folder with the real updater beside it and
    // is offered `served` ("newer": the program with bytes appended); `setup` holds offer()'s
    // words, "renames fail" and "-m". `updater` is what the updater logs; `replaced` whether the
    // program file is the new one after the restart.
    void selfUpdate_data()
    {
        QTest::addColumn<QString>("served");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("updater");
        QTest::addColumn<bool>("replaced");
        const QString updated = "updated %DIR%/ferrydesk";
        const QString restarted = "started %DIR%/ferrydesk again (process N)";
        QTest::newRow("replacing fails")
            << "newer" << QStringList{"renames fail"}
            << QStringList{"can not replace %DIR%/ferrydesk: Operation not permitted", restarted}
            << false;
        QTest::newRow("new program does not start")
            << "unstartable" << QStringList{}
            << QStringList{updated, "can not start %DIR%/ferrydesk", "put the old program back",
                           restarted}
            << false;
        QTest::newRow("newer program")
            << "newer" << QStringList{} << QStringList{updated, restarted} << true;
        QTest::newRow("newer program, log-on start, redirected within the service")
            << "newer" << QStringList{"-m", "redirect within"} << QStringList{updated, restarted}
            << true;
    }

    void selfUpdate()
    {
        QFETCH(QString, served);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, updater);
        QFETCH(bool, replaced);
        TestHome home;
        QTemporaryDir scratch;
        const QString program = scratch.filePath("ferrydesk");
        const QByteArray old = readFile(FERRYDESK_BINARY);
        QVERIFY(writeFile(program, old, ProgramMode));
        QVERIFY(QFile::copy(FERRYDESK_UPDATER, scratch.filePath("ferrydesk-update")));
        const QByteArray newFile = offeredFile(served);
        const QString url = offer(setup, newFile);
        QProcess running;
        // The updater and the restarted program inherit these; a pipe would end with the test.
        running.setStandardOutputFile(QProcess::nullDevice());
        running.setStandardErrorFile(QProcess::nullDevice());
        if (setup.contains("renames fail"))
            running.setChildProcessModifier(forbidRenames);
        const bool logOn = setup.contains("-m");
        running.start(program, logOn ? QStringList{"-m"} : QStringList{});
        QVERIFY(running.waitForStarted());
        // However the row ends, no copy of the program outlives it.
        const auto endAll = qScopeGuard([&] {
            stopProcess(running);
            endCopies(program);
        });
        const QString pid = QString::number(running.processId());

        // The updater ends the program and starts it again; the new one checks once more and
        // finds the update done, or held back since it failed.
        QVERIFY(running.waitForFinished(60000));
        const QString again = replaced ? "Current excute is the same last version on server?.*"
                                       : "Update failed before\\? Not tried again before .*";
        QTRY_VERIFY_WITH_TIMEOUT(messages(home).indexOf(QRegularExpression(again)) >= 0, 60000);
        QStringList lines;
        const QStringList log = messages(home, &lines);
        const QString restartedPid = QRegularExpression("again \\(process (\\d+)\\)$")
                                         .match(lines.value(lines.size() - 1))
                                         .captured(1);
        // The program file runs again, as a log-on start when it was one.
        QCOMPARE(QFileInfo("/proc/" + restartedPid + "/exe").canonicalFilePath(),
                 QFileInfo(program).canonicalFilePath());
        QCOMPARE(readFile("/proc/" + restartedPid + "/cmdline").split('\0').mid(1),
                 (logOn ? QList<QByteArray>{"-m", ""} : QList<QByteArray>{""}));

        const QMap<QString, QString> values{{"%PID%", pid},
                                            {"%URL%", url},
                                            {"%WEB%", md5(newFile)},
                                            {"%GOT%", md5(newFile)},
                                            {"%DIR%", scratch.path()}};
        const QStringList firstCheck =
            HandOver +
            QStringList{logOn ? "Call ferrydesk-update %PID% -m" : "Call ferrydesk-update %PID%",
                        End};
        QCOMPARE(log.mid(log.indexOf(Start), firstCheck.size()), expanded(firstCheck, values));
        lines.replaceInStrings(QRegularExpression("\\(process \\d+\\)$"), "(process N)");
        QCOMPARE(lines, expanded(updater, values));
        QCOMPARE(readFile(program), replaced ? newFile : old);
        QCOMPARE(QFile::permissions(program) & QFile::Permissions(0x7077), ProgramMode);
        QVERIFY(!QFile::exists(scratch.filePath("update.bin")));
        QVERIFY(!QFile::exists(scratch.filePath("ferrydesk.old")));
        for (const QJsonValue& ask : m_standIn.requests("ver"))
            QVERIFY(ask.toObject().value("secure").toBool());
        QCOMPARE(m_standIn.requests("update").size(), setup.contains("redirect within") ? 2 : 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
