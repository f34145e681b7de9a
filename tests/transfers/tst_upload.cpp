#include "tests/transfers/transfersession.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <sys/resource.h>

// Uploads over real FTP against the stand-in service: exact files after cut data connections,
// the size query and append, forced restarts, and the server's refusals.
class TestUpload : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    TransferSession session;
    QString folder;

    QString source(const QString& name, int size, int seed = 1)
    {
        const QString path = folder + QLatin1Char('/') + name;
        if (!QFile::exists(path))
            TransferSession::writeFile(path, TransferSession::pattern(size, seed));
        return path;
    }

    QString serverName(int id) const
    {
        auto* upload = qobject_cast<DUploadCommand*>(session.manager->findCommand(id));
        return upload ? upload->serverFileName() : QString();
    }

    QJsonObject onServer(const QString& name) const
    {
        return standIn.ftpFile(QStringLiteral("alice"), name);
    }

private slots:
    void initTestCase()
    {
        DTimings::setScale(0.01);
        QVERIFY(standIn.start());
        standIn.applyEnvironment();
    }

    void init()
    {
        standIn.reset();
        session.openHome();
        folder = session.home->path() + QStringLiteral("/up");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(session.openManager());
    }

    void cleanup() { session.closeAll(); }

    void completesExactly()
    {
        const QString path = source("a.bin", 1500000);
        const int id = session.manager->startUpload(path);
        QVERIFY(id > 0);
        QCOMPARE(session.manager->status(id), int(StatusPaused));
        const QString name = serverName(id);
        QVERIFY(name.startsWith("a.bin."));
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(onServer(name).value("sha256").toString(), StandIn::sha256Of(path));
        // The notice registers the file, then the folder is listed again.
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("upload_done").size(), 1,
                                  TransferSession::Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("listing").size(), 1, TransferSession::Timeout);
        QCOMPARE(session.historyText(), QStringLiteral("<!DOCTYPE transfers>\n"));
        QVERIFY(!TransferSession::ftpCommands(standIn).contains("APPE"));
    }

    void sameFileTwiceIntoOneFolder()
    {
        const QString path = source("b.bin", 1000);
        QVERIFY(session.manager->startUpload(path) > 0);
        QCOMPARE(session.manager->startUpload(path), -1);
        QCOMPARE(session.prompts->calls.last().title, QStringLiteral("Upload start error.."));
        QCOMPARE(session.prompts->calls.last().text,
                 QStringLiteral("Local file with name %1 already in upload list").arg(path));
        session.manager->setCurrentFolderId("10");
        QVERIFY(session.manager->startUpload(path) > 0);
    }

    void cutDataConnectionAppendsFromServerSize()
    {
        standIn.addFault({{"kind", "ftp-stor"}, {"action", "cut"}, {"bytes", 400000}});
        const QString path = source("c.bin", 1500000, 2);
        const int id = session.manager->startUpload(path);
        const QString name = serverName(id);
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(onServer(name).value("sha256").toString(), StandIn::sha256Of(path));
        const QStringList commands = TransferSession::ftpCommands(standIn);
        const int stor = commands.indexOf("STOR");
        const int size = commands.indexOf("SIZE", stor);
        const int appe = commands.indexOf("APPE", size);
        QVERIFY2(stor >= 0 && size > stor && appe > size, qPrintable(commands.join(' ')));
    }

    void maximumClientsCyclesUntilALoginSlotIsFree()
    {
        standIn.addFault({{"kind", "ftp-login"}, {"action", "max_clients"}, {"times", 3}});
        const QString path = source("d.bin", 50000, 3);
        const int id = session.manager->startUpload(path);
        const QString name = serverName(id);
        QSignalSpy starts(session.manager->findCommand(id), &QThread::started);
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(session.rowTexts(id).count("Waiting 10 sec to restart (max reached)..."), 3);
        // The wait happens on the worker, which keeps its slot: one thread for everything.
        QCOMPARE(starts.size(), 1);
        QCOMPARE(onServer(name).value("sha256").toString(), StandIn::sha256Of(path));
        QVERIFY(session.home->logLines()
                    .filter("Reach max upload concurrent, wait for continue ...")
                    .size() == 3);
    }

    void refusalsEndAsFailed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("finalStatus");
        QTest::addColumn<QString>("logText");
        QTest::addColumn<QString>("rowText");
        QTest::newRow("quota")
            << "ftp-stor"
            << "quota" << int(StatusFailed) << "Error Upload: you're uploading over quota limit! "
            << "Error: quota is limited! Please upgrade you account or delete files to continue "
               "upload!";
        QTest::newRow("login denied")
            << "ftp-login"
            << "login_denied" << int(StatusFailed)
            << "Upload: invalid User or Password (Login denied) (CM?)" << QString();
    }

    void refusalsEndAsFailed()
    {
        QFETCH(QString, kind);
        QFETCH(QString, action);
        QFETCH(int, finalStatus);
        QFETCH(QString, logText);
        QFETCH(QString, rowText);
        standIn.addFault({{"kind", kind}, {"action", action}, {"times", 0}});
        const int id = session.manager->startUpload(source("e.bin", 30000, 4));
        session.resume(id);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return session.manager->status(id) == finalStatus ||
                       session.lastReport(id, TransferError);
            },
            TransferSession::Timeout));
        QTRY_VERIFY_WITH_TIMEOUT(!session.home->logLines().filter(logText).isEmpty(),
                                 TransferSession::Timeout);
        if (!rowText.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(session.rowTexts(id).contains(rowText),
                                     TransferSession::Timeout);
        else
            QCOMPARE(session.lastReport(id, TransferError)->err, logText);
        QCOMPARE(session.historyText(), QStringLiteral("<!DOCTYPE transfers>\n"));
        QTest::qWait(300);
        QCOMPARE(session.manager->status(id) == StatusFailed ||
                     session.manager->findCommand(id) == nullptr,
                 true);
        QCOMPARE(standIn.requests("upload_done").size(), 0);
    }

    void forceStartStoresTheWholeFileAgain()
    {
        standIn.addFault({{"kind", "ftp-stor"}, {"action", "throttle"}, {"kbps", 256}});
        const QString path = source("f.bin", 1200000, 5);
        const int id = session.manager->startUpload(path);
        const QString name = serverName(id);
        session.resume(id);
        QVERIFY(QTest::qWaitFor([&] { return onServer(name).value("size").toInt() > 100000; },
                                TransferSession::Timeout));
        session.manager->pause(id);
        QVERIFY(session.waitForStatus(id, StatusPaused));
        QTRY_VERIFY_WITH_TIMEOUT(session.manager->runningUploadCount() == 0,
                                 TransferSession::Timeout);
        standIn.reset();
        session.manager->forceStart(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(onServer(name).value("sha256").toString(), StandIn::sha256Of(path));
        const QStringList commands = TransferSession::ftpCommands(standIn);
        QVERIFY2(commands.contains("STOR") && !commands.contains("APPE"),
                 qPrintable(commands.join(' ')));
    }

    void pauseThenResumeAppendsExactly()
    {
        // Larger than the socket buffers can swallow, so the upload is still reading its file.
        standIn.addFault({{"kind", "ftp-stor"}, {"action", "throttle"}, {"kbps", 1024}});
        const QString path = source("g.bin", 12000000, 6);
        const int id = session.manager->startUpload(path);
        const QString name = serverName(id);
        QSignalSpy starts(session.manager->findCommand(id), &QThread::started);
        session.resume(id);
        QVERIFY(QTest::qWaitFor([&] { return onServer(name).value("size").toInt() > 100000; },
                                TransferSession::Timeout));
        session.manager->pause(id);
        QVERIFY(session.waitForStatus(id, StatusPaused));
        // Resumed at once: bytes of the aborted connection may still be arriving.
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(starts.size(), 1);
        QVERIFY2(TransferSession::ftpCommands(standIn).contains("APPE"),
                 qPrintable(TransferSession::ftpCommands(standIn).join(' ') + session.trace(id)));
        QCOMPARE(onServer(name).value("sha256").toString(), StandIn::sha256Of(path));
    }

    void unreadableSourceIsReportedAtCreation()
    {
        DUploadCommand upload(folder + "/missing.bin");
        QCOMPARE(session.prompts->calls.last().text,
                 QStringLiteral("Error can not open file:") + folder + "/missing.bin");
        QCOMPARE(upload.status(), int(StatusQueued));
    }

    void manyQueuedUploadsHoldNoFiles()
    {
        // Far more queued uploads than the process may open files.
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
        rlimit low = old;
        low.rlim_cur = 160;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        QList<int> ids;
        for (int i = 0; i < 400; ++i)
            ids << session.manager->startUpload(source(QStringLiteral("m%1.bin").arg(i), 64, i));
        setrlimit(RLIMIT_NOFILE, &old);
        QVERIFY(!ids.contains(-1));
        QVERIFY(session.prompts->calls.isEmpty());
        session.resume(ids.last());
        QVERIFY(session.waitForEnd(ids.last()));
        QVERIFY(session.lastReport(ids.last(), TransferDone));
    }

    void uploadCap_data()
    {
        QTest::addColumn<bool>("limitsEnabled");
        QTest::addColumn<double>("maxUp");
        QTest::addColumn<int>("accountCap");
        QTest::addColumn<double>("limit");
        QTest::newRow("account cap below the user's") << false << 500.0 << 200 << 200.0;
        QTest::newRow("user's cap below the account's") << true << 100.0 << 200 << 100.0;
        QTest::newRow("user's cap alone") << true << 300.0 << 0 << 300.0;
        QTest::newRow("caps off, no account cap") << false << 300.0 << 0 << 0.0;
        QTest::newRow("account cap without a user cap") << true << 0.0 << 150 << 150.0;
    }

    void uploadCap()
    {
        QFETCH(bool, limitsEnabled);
        QFETCH(double, maxUp);
        QFETCH(int, accountCap);
        QFETCH(double, limit);
        QCOMPARE(DUploadCommand::uploadLimit(limitsEnabled, maxUp, accountCap), limit);
    }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
