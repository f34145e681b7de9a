#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dupdatecheck.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QtTest>

#include <csignal>
#include <optional>

namespace {

const QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const QFile::Permissions ProgramMode = Executable | QFile::ReadGroup | QFile::ExeGroup;

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

// The live processes that run the program file.
QList<pid_t> copiesOf(const QString& program)
{
    const QString target = QFileInfo(program).canonicalFilePath();
    QList<pid_t> copies;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        const QByteArray stat = readFile("/proc/" + entry + "/stat");
        if (entry.toInt() > 0 &&
            QFileInfo("/proc/" + entry + "/exe").canonicalFilePath() == target &&
            stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z")
            copies << entry.toInt();
    }
    return copies;
}

} // namespace

// The update check against the stand-in service, in this process with a recording updater;
// the real updater on its own; and whole updates of a copy of the built program.
class TestUpdate : public QObject
{
    Q_OBJECT

private:
    StandIn m_standIn;
    // Each test's own home (the log, the settings) and the program's folder.
    std::optional<TestHome> m_home;
    std::optional<QTemporaryDir> m_scratch;

    QString scratch(const QString& name) const { return m_scratch->filePath(name); }

    QString fileUrl(const QString& host = "127.0.0.1", const QString& name = "tool.exe") const
    {
        return QString("https://%1:%2/update/%3").arg(host).arg(m_standIn.httpsPort()).arg(name);
    }

    // Offers `file` as version 2.57, changed by the `setup` words: a version ("10.0"), "wrong
    // digest", "http", "other host" (the file named on localhost), "redirect away" / "redirect
    // within" (the file's address redirects to localhost / to the service). Answers the digest
    // the service names.
    QString offer(const QStringList& setup, const QByteArray& file)
    {
        const QString url =
            setup.contains("http")
                ? QString("http://127.0.0.1:%1/update/tool.exe").arg(m_standIn.httpPort())
            : setup.contains("other host")      ? fileUrl("localhost")
            : setup.contains("redirect within") ? fileUrl("127.0.0.1", "old")
                                                : fileUrl();
        writeFile(scratch("tool.exe"), file);
        m_standIn.control("POST", "update", {{"path", scratch("tool.exe")}});
        const QString digest = setup.contains("wrong digest") ? QString(32, '0') : md5(file);
        const QString version = setup.filter(QRegularExpression("^\\d")).value(0, "2.57");
        m_standIn.control(
            "POST", "version",
            {{"version_on_server", version}, {"url_download", url}, {"md5_lastver", digest}});
        if (setup.contains("redirect away") || setup.contains("redirect within"))
            m_standIn.addFault(
                {{"kind", "update"},
                 {"action", "redirect"},
                 {"to", setup.contains("redirect away") ? fileUrl("localhost") : fileUrl()}});
        return digest;
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

    // A TestHome resets the process-wide values: the check is pointed at the stand-in again.
    void init()
    {
        m_home.emplace();
        m_scratch.emplace();
        DGlobals::setServiceHost(QStringLiteral("127.0.0.1"));
        DGlobals::setServicePort(QString::number(m_standIn.httpPort()));
        DGlobals::setSecurePort(QString::number(m_standIn.httpsPort()));
        DGlobals::setCaFile(m_standIn.caFile());
    }

    void cleanup()
    {
        m_scratch.reset();
        m_home.reset();
        m_standIn.reset();
        DUpdateCheck::setProgramFile(QString());
        DGlobals::startedByOs = false;
    }

    // `setup`: the words of offer(), the kind of file served, "-m" (a log-on start). Only a
    // newer program with the named digest, fetched over HTTPS from the service's host, is
    // handed to the updater.
    void check_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<int>("downloads");
        QTest::addColumn<bool>("handedOver");
        // Plain text order: "2.6" is newer than 2.56, "10.0" is not; no downgrade either way.
        QTest::newRow("older in text order") << QStringList{"10.0"} << 0 << false;
        QTest::newRow("plain HTTP") << QStringList{"http"} << 0 << false;
        QTest::newRow("file on another host") << QStringList{"other host"} << 0 << false;
        QTest::newRow("redirect to another host") << QStringList{"redirect away"} << 1 << false;
        QTest::newRow("wrong digest") << QStringList{"wrong digest"} << 1 << false;
        for (const char* kind : {"script", "truncated", "MZ", "empty"})
            QTest::newRow(kind) << QStringList{kind} << 1 << false;
        QTest::newRow("2.6 in a log-on start") << QStringList{"2.6", "-m"} << 1 << true;
    }

    void check()
    {
        QFETCH(QStringList, setup);
        QFETCH(bool, handedOver);
        DGlobals::startedByOs = setup.contains("-m");
        const QString recorded = scratch("updater-arguments");
        QVERIFY(writeFile(scratch("ferrydesk"), "old", Executable));
        QVERIFY(writeFile(scratch("ferrydesk-update"),
                          "#!/bin/sh\necho \"$@\" > '" + recorded.toUtf8() + "'\n", Executable));
        DUpdateCheck::setProgramFile(scratch("ferrydesk"));
        const QString digest = offer(setup, offeredFile(setup.value(0)));

        DUpdateCheck::run();

        QTEST(int(m_standIn.requests("update").size()), "downloads");
        // A file that is no program here goes at once; one with another digest stays unused.
        QCOMPARE(QFile::exists(scratch("update.bin")),
                 handedOver || setup.contains("wrong digest"));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        if (handedOver)
            QTRY_COMPARE(readFile(recorded), (pid + " -m --md5=" + digest + "\n").toUtf8());
        else
            QVERIFY(!QFile::exists(recorded));
    }

    // The updater, handed "update.bin" of the `kind` (by default a good one) and the id of a
    // running program (or of a stranger: this test), refuses what the program would have
    // refused, and leaves the program alone.
    void updaterRefuses_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"script", "truncated", "MZ", "empty", "wrong digest", "stranger"})
            QTest::newRow(kind) << kind;
    }

    void updaterRefuses()
    {
        QFETCH(QString, kind);
        QVERIFY(QFile::copy("/bin/sleep", scratch("ferrydesk")));
        QVERIFY(QFile::copy(FERRYDESK_UPDATER, scratch("ferrydesk-update")));
        const QByteArray file = offeredFile(kind);
        QVERIFY(writeFile(scratch("update.bin"), file));
        QProcess running;
        running.start(scratch("ferrydesk"), {"60"});
        QVERIFY(running.waitForStarted());
        const auto endAll = qScopeGuard([&] { stopProcess(running); });
        const qint64 id =
            kind == "stranger" ? QCoreApplication::applicationPid() : running.processId();
        const QString digest = kind == "wrong digest" ? QString(32, '0') : md5(file);

        QProcess update;
        update.start(scratch("ferrydesk-update"), {QString::number(id), "--md5=" + digest});
        QVERIFY(update.waitForFinished(60000));

        QCOMPARE(update.exitCode(), 1);
        QCOMPARE(running.state(), QProcess::Running);
        QCOMPARE(QFile::exists(scratch("update.bin")),
                 kind == "wrong digest" || kind == "stranger");
    }

    // A copy of the built program runs in a scratch folder with the real updater beside it and
    // is offered `served` ("newer": the program with bytes appended); `setup` holds offer()'s
    // words and "-m". The updater ends the program (which quits cleanly on SIGTERM, saving its
    // settings) and starts it again. The program file is then the new one, or the old one put
    // back, and the restarted program does not try the same update again. A log-on start checks
    // at start and again after the login: one check at a time, so the file is fetched once.
    void selfUpdate_data()
    {
        QTest::addColumn<QString>("served");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("again");
        QTest::newRow("new program does not start: old one back")
            << "unstartable" << QStringList{} << "Update failed before\\? Not tried again before ";
        QTest::newRow("newer program, log-on start, redirected within the service")
            << "newer" << QStringList{"-m", "redirect within"}
            << "Current excute is the same last version on server?";
    }

    void selfUpdate()
    {
        QFETCH(QString, served);
        QFETCH(QStringList, setup);
        QFETCH(QString, again);
        const QString program = scratch("ferrydesk");
        const QByteArray old = readFile(FERRYDESK_BINARY);
        QVERIFY(writeFile(program, old, ProgramMode));
        QVERIFY(QFile::copy(FERRYDESK_UPDATER, scratch("ferrydesk-update")));
        const QByteArray newFile = offeredFile(served);
        offer(setup, newFile);
        QProcess running;
        // The updater and the restarted program inherit these; a pipe would end with the test.
        running.setStandardOutputFile(QProcess::nullDevice());
        running.setStandardErrorFile(QProcess::nullDevice());
        const bool logOn = setup.contains("-m");
        running.start(program, logOn ? QStringList{"-m"} : QStringList{});
        QVERIFY(running.waitForStarted());
        // However the row ends, no copy of the program outlives it.
        const auto endAll = qScopeGuard([&] {
            stopProcess(running);
            for (const pid_t pid : copiesOf(program))
                ::kill(pid, SIGTERM);
            QTRY_VERIFY_WITH_TIMEOUT(copiesOf(program).isEmpty(), 20000);
        });

        QVERIFY(running.waitForFinished(60000));
        QCOMPARE(running.exitStatus(), QProcess::NormalExit);
        QCOMPARE(running.exitCode(), 0);
        QVERIFY(QFile::exists(m_home->dataFolder() + "/Ferrydesk.ini"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_home->logLines().filter(QRegularExpression(again)).isEmpty(),
                                 60000);
        // The program file runs again, as a log-on start when it was one.
        const QList<pid_t> restarted = copiesOf(program);
        QCOMPARE(restarted.size(), 1);
        QCOMPARE(readFile(QString("/proc/%1/cmdline").arg(restarted[0])).split('\0').mid(1),
                 (logOn ? QList<QByteArray>{"-m", ""} : QList<QByteArray>{""}));
        QCOMPARE(readFile(program), served == "newer" ? newFile : old);
        QCOMPARE(QFile::permissions(program) & QFile::Permissions(0x7077), ProgramMode);
        QVERIFY(!QFile::exists(scratch("update.bin")));
        QVERIFY(!QFile::exists(scratch("ferrydesk.old")));
        for (const QJsonValue& ask : m_standIn.requests("ver"))
            QVERIFY(ask.toObject().value("secure").toBool());
        QCOMPARE(m_standIn.requests("update").size(), setup.contains("redirect within") ? 2 : 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
