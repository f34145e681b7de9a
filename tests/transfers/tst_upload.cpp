#include "protocol/dlinkcheck.h"
#include "support/dshutdown.h"
#include "support/logwindow.h"
#include "tests/common/tinyproxy.h"
#include "tests/transfers/transfersession.h"

#include <sys/resource.h>

// Uploads over real FTP against the stand-in service: exact files after cut data connections,
// the size query and append, pauses and forced restarts, and the server's refusals.
class TestUpload : public TransferFixture
{
    Q_OBJECT

private:
    QString source(const QString& name, int size, int seed = 1)
    {
        if (!QFile::exists(target(name)))
            writeFile(target(name), pattern(size, seed));
        return target(name);
    }

    // What a program we start finds open besides its standard streams, as "fd -> target". The
    // power-off command stands for them all: VLC and the updater are started the same way.
    QStringList inheritedByChild()
    {
        const QString listing = target("inherited.txt");
        const QString command =
            "ls -ln /proc/self/fd > " + listing + ".part && mv " + listing + ".part " + listing;
        qputenv("FERRYDESK_SHUTDOWN_COMMAND", ("/bin/sh -c \"" + command + "\"").toLocal8Bit());
        if (!DShutdown::powerOff() || !QTest::qWaitFor([&] { return QFile::exists(listing); }))
            return {"no listing"};
        static const QRegularExpression entry(" (\\d+) -> (.*)$");
        QStringList open;
        for (const QString& line : QString::fromLocal8Bit(readFile(listing)).split('\n')) {
            const QRegularExpressionMatch match = entry.match(line);
            // Besides the standard streams, only the folder that "ls" reads.
            if (match.hasMatch() && match.captured(1).toInt() > 2 &&
                !match.captured(2).startsWith("/proc/"))
                open << match.captured(1) + " -> " + match.captured(2);
        }
        QFile::remove(listing);
        return open;
    }

    QString serverName(int id) const
    {
        return qobject_cast<DUploadCommand*>(manager->findCommand(id))->serverFileName();
    }

private slots:
    void init() { QVERIFY(openSession(QStringLiteral("up"))); }
    void cleanup() { closeAll(); }

    void sameFileTwiceOnlyIntoTwoFolders()
    {
        const QString path = source("b.bin", 1000);
        const int first = manager->startUpload(path);
        QVERIFY(first > 0);
        QCOMPARE(manager->startUpload(path), -1);
        QCOMPARE(prompts->calls.last().text,
                 QStringLiteral("Local file with name %1 already in upload list").arg(path));
        const QString folder = manager->currentFolderId();
        manager->setCurrentFolderId("10");
        QVERIFY(manager->startUpload(path) > 0);
        // An aborted upload is no longer in the way.
        manager->setCurrentFolderId(folder);
        manager->abort(first);
        QVERIFY(manager->startUpload(path) > 0);
    }

    void resumesFromWhatTheServerHolds_data()
    {
        QTest::addColumn<QJsonArray>("faults");
        QTest::addColumn<int>("serverBytes"); // a copy already on the server, restored from it
        QTest::addColumn<bool>("force");      // started with "force start" instead of a resume
        QTest::addColumn<bool>("appended");
        QTest::addColumn<int>("waits"); // for a login slot, on the worker that keeps its slot
        const QJsonObject cut{{"kind", "ftp-stor"}, {"action", "cut"}, {"bytes", 400000}};
        const QJsonObject full{{"kind", "ftp-login"}, {"action", "max_clients"}, {"times", 3}};
        QTest::newRow("no trouble: stored in one go") << QJsonArray{} << 0 << false << false << 0;
        QTest::newRow("cut: appends from the server's size")
            << QJsonArray{cut} << 0 << false << true << 0;
        QTest::newRow("force started, then cut: the retry appends")
            << QJsonArray{cut} << 0 << true << true << 0;
        QTest::newRow("server copy larger than the file: stored whole")
            << QJsonArray{} << 1600000 << false << false << 0;
        QTest::newRow("no login slot three times: waits and cycles")
            << QJsonArray{full} << 0 << false << false << 3;
        // A throttled upload is paused half-way by the user, then started again.
        const QJsonObject slow{{"kind", "ftp-stor"}, {"action", "throttle"}, {"kbps", 1024}};
        QTest::newRow("paused, resumed: appends on the same worker")
            << QJsonArray{slow} << 0 << false << true << 0;
        QTest::newRow("paused, force started: stored whole")
            << QJsonArray{slow} << 0 << true << false << 0;
    }

    void resumesFromWhatTheServerHolds()
    {
        QFETCH(QJsonArray, faults);
        QFETCH(int, serverBytes);
        QFETCH(bool, force);
        const QString action = faults.isEmpty() ? "" : faults[0].toObject()["action"].toString();
        // The debug output shows the address, never the scrambled password.
        static QStringList debugLines;
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { debugLines << text; });
        // Larger than the socket buffers hold when paused, so the upload is still reading it.
        const QString path = source("a.bin", action == "throttle" ? 12000000 : 1500000, 2);
        int id = -1;
        QString name;
        if (serverBytes > 0) {
            name = "a.bin.restored";
            standIn.control(
                "POST", "ftpfile",
                {{"user", "alice"}, {"name", name}, {"content", QString(serverBytes, 'z')}});
            DUploadCommand* upload = manager->restoreUpload(path, name, "-1");
            upload->restorePaused();
            id = upload->id();
        } else {
            id = manager->startUpload(path);
            name = serverName(id);
            QVERIFY(name.startsWith("a.bin."));
        }
        QCOMPARE(manager->status(id), int(StatusPaused));
        QSignalSpy starts(manager->findCommand(id), &QThread::started);
        if (action == "throttle") {
            startUnder(faults, id, false);
            QTRY_VERIFY_WITH_TIMEOUT(standIn.ftpFile("alice", name).value("size").toInt() > 100000,
                                     Timeout);
            // Mid-transfer, with the log window's file open too: nothing of ours leaks.
            LogWindow::instance();
            const QStringList inherited = inheritedByChild();
            QVERIFY2(inherited.isEmpty(), qPrintable(inherited.join(", ")));
            manager->pause(id);
            QTRY_COMPARE_WITH_TIMEOUT(manager->status(id), int(StatusPaused), Timeout);
            // A force start waits for the old attempt's end; a resume takes over its worker.
            QTRY_VERIFY_WITH_TIMEOUT(!force || manager->runningUploadCount() == 0, Timeout);
            standIn.reset();
            faults = {};
        }
        startUnder(faults, id, force);
        const bool finished = finishes(id);
        qInstallMessageHandler(previous);
        QVERIFY2(finished, trace(id));
        QTEST(int(rowTexts(id).count("Waiting 10 sec to restart (max reached)...")), "waits");
        QTEST(int(home->logLines().filter("Reach max upload concurrent, wait for continue").size()),
              "waits");
        if (action != "cut" && !force)
            QCOMPARE(starts.size(), 1);
        QCOMPARE(ftpSha(name), StandIn::sha256Of(path));
        const QStringList commands = ftpCommands();
        QTEST(commands.contains("APPE"), "appended");
        QVERIFY(action != "throttle" || commands.contains("STOR") == force);
        QVERIFY(debugLines.filter("ftp://alice:********@").size() > 0);
        QVERIFY(debugLines.filter(manager->password()).isEmpty());
        // The notice registers the file, then the folder is listed again.
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("upload_done").size(), 1, Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("listing").size(), 1, Timeout);
        QCOMPARE(historyText(), EmptyHistory);
    }

    // With the user's HTTP proxy every connection goes through it: service requests as GET,
    // secure and FTP connections (control and data) through CONNECT tunnels, so the FTP address
    // with the account's name and password is never a request line to the proxy.
    void everyTransferThroughTheProxy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("through"); // a request line, with the ports named
        QTest::addColumn<int>("dataTunnels"); // CONNECTs to the FTP server's data ports
        QTest::newRow("upload, cut and appended") << "upload"
                                                  << "CONNECT 127.0.0.1:FTP " << 2;
        QTest::newRow("download") << "download"
                                  << "GET http://127.0.0.1:HTTP/dl/" << 0;
        QTest::newRow("link check") << "link"
                                    << "CONNECT 127.0.0.1:SECURE " << 0;
    }

    void everyTransferThroughTheProxy()
    {
        QFETCH(QString, kind);
        QFETCH(QString, through);
        QFETCH(int, dataTunnels);
        if (TinyProxy::program().isEmpty())
            QSKIP("tinyproxy is not installed: scripts/install-deps.sh installs it");
        TinyProxy proxy;
        QVERIFY(proxy.start());
        manager->setProxy("127.0.0.1", QString(), QString(), proxy.port());
        QList<QByteArray> never{"ftp://", "alice"};
        if (kind == "upload") {
            standIn.addFault({{"kind", "ftp-stor"}, {"action", "cut"}, {"bytes", 400000}});
            const QString path = source("p.bin", 1500000, 5);
            const int id = resumed(manager->startUpload(path));
            const QString name = serverName(id);
            never << transfer(id)->url.password().toLatin1();
            QVERIFY2(finishes(id), trace(id));
            QCOMPARE(ftpSha(name), StandIn::sha256Of(path));
            QVERIFY(ftpCommands().contains("APPE"));
        } else if (kind == "download") {
            const int id = resumed(startBig());
            QVERIFY2(finishes(id), trace(id));
            QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        } else {
            DLinkCheck check;
            check.setEngine(manager.get());
            QVERIFY(DLinkCheck::isCanonical(
                check.checkOneLink("https://127.0.0.1/f/201/big.bin.file")));
        }
        const QString line = QString(through)
                                 .replace("HTTP", QString::number(standIn.httpPort()))
                                 .replace("SECURE", QString::number(standIn.httpsPort()))
                                 .replace("FTP", QString::number(standIn.ftpPort()));
        QTRY_VERIFY2_WITH_TIMEOUT(!proxy.requests().filter(line).isEmpty(), proxy.log(), Timeout);
        const QRegularExpression otherPort(
            QString("^CONNECT 127\\.0\\.0\\.1:(?!%1 )").arg(standIn.ftpPort()));
        QVERIFY2(proxy.requests().filter(otherPort).size() >= dataTunnels, proxy.log());
        for (const QByteArray& text : never)
            QVERIFY2(!proxy.log().contains(text), proxy.log());
    }

    // Attempts that end in odd places give their slot back: with both upload slots lost
    // before, no upload would ever start again and power-off would never come.
    void slotsComeBackAfterAbortedAttempts_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("command"); // the FTP command the fault answers
        QTest::addColumn<bool>("fresh");      // a new upload, or one paused earlier
        QTest::newRow("aborted while waiting for a login slot")
            << QJsonObject{{"kind", "ftp-login"}, {"action", "max_clients"}, {"times", 0}} << "PASS"
            << true;
        QTest::newRow("aborted after a failed size query")
            << QJsonObject{{"kind", "ftp-size"}, {"action", "drop"}, {"times", 0}} << "SIZE"
            << false;
    }

    void slotsComeBackAfterAbortedAttempts()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, command);
        QFETCH(bool, fresh);
        standIn.addFault(fault);
        for (int i = 0; i < 2; ++i) {
            const int id = manager->startUpload(source(QStringLiteral("s%1.bin").arg(i), 4000, i));
            // Paused earlier: resuming asks the server's size first.
            transfer(id)->setFreshStart(fresh);
            resumed(id);
            QTRY_VERIFY_WITH_TIMEOUT(ftpCommands().count(command) > i, Timeout);
            manager->abort(id);
        }
        QTRY_COMPARE_WITH_TIMEOUT(manager->runningUploadCount(), 0, Timeout);
        standIn.reset();
        // Power-off comes only with nothing left to do, and only when asked for.
        QSignalSpy shutDown(manager.get(), &DCommandManager::di_shutDown);
        manager->setPowerOffOptions(true);
        const int id = resumed(manager->startUpload(source("t.bin", 4000, 7)));
        manager->transferComplete();
        QVERIFY(shutDown.isEmpty());
        QVERIFY2(finishes(id), trace(id));
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        manager->transferComplete();
        QVERIFY(!shutDown.isEmpty());
        const int count = shutDown.size();
        manager->setPowerOffOptions(false);
        manager->transferComplete();
        QCOMPARE(shutDown.size(), count);
    }

    // The size query runs on the worker: a silent server leaves the window free, and an abort
    // ends the question at once.
    void silentServerDuringTheSizeQuery()
    {
        standIn.addFault({{"kind", "ftp-size"}, {"action", "silent"}, {"seconds", 8}});
        const int id = manager->startUpload(source("q.bin", 4000, 8));
        transfer(id)->setFreshStart(false);
        resumed(id);
        QTRY_VERIFY_WITH_TIMEOUT(ftpCommands().contains("SIZE"), Timeout);
        QCOMPARE(manager->status(id), int(StatusRunning));
        QPointer<DCommand> command = manager->findCommand(id);
        manager->abort(id);
        QTRY_VERIFY_WITH_TIMEOUT(command.isNull(), Timeout);
        QCOMPARE(manager->runningUploadCount(), 0);
    }

    // The server's refusals end the upload as failed; each attempt is judged by the server's
    // own replies to it, so a refusal once (or a file name holding its words) fails nothing later.
    void serverRefusals_data()
    {
        QTest::addColumn<QJsonArray>("faults");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("logged"); // empty: the upload ends whole
        QTest::addColumn<QString>("shown");
        const QString quotaShown = "Error: quota is limited! Please upgrade you account or delete "
                                   "files to continue upload!";
        const QString denied = "Upload: invalid User or Password (Login denied) (CM?)";
        const auto fault = [](const char* kind, const char* action, int times) {
            return QJsonObject{{"kind", kind}, {"action", action}, {"times", times}};
        };
        QJsonObject cut = fault("ftp-stor", "cut", 1);
        cut["bytes"] = 10000;
        QTest::newRow("quota") << QJsonArray{fault("ftp-stor", "quota", 0)} << "e.bin"
                               << "Error Upload: you're uploading over quota limit! " << quotaShown;
        QTest::newRow("login denied")
            << QJsonArray{fault("ftp-login", "login_denied", 0)} << "e.bin" << denied << denied;
        QTest::newRow("no login slot once, then login denied")
            << QJsonArray{fault("ftp-login", "max_clients", 1),
                          fault("ftp-login", "login_denied", 0)}
            << "e.bin" << denied << denied;
        QTest::newRow("the service refuses to register it")
            << QJsonArray{QJsonObject{
                   {"kind", "upload_done"}, {"action", "refuse"}, {"text", "Size mismatch"}}}
            << "e.bin"
            << "Size mismatch"
            << "Size mismatch";
        QTest::newRow("the quota words in the file name, cut: resumes")
            << QJsonArray{cut} << "quota exceeded: e.bin"
            << ""
            << "";
    }

    void serverRefusals()
    {
        QFETCH(QJsonArray, faults);
        QFETCH(QString, name);
        QFETCH(QString, logged);
        QFETCH(QString, shown);
        for (const auto& fault : faults)
            standIn.addFault(fault.toObject());
        const QString path = source(name, 30000, 4);
        const int id = resumed(manager->startUpload(path));
        const QString stored = serverName(id);
        if (logged.isEmpty()) {
            QVERIFY2(finishes(id), trace(id));
            QCOMPARE(ftpSha(stored), StandIn::sha256Of(path));
            QCOMPARE(historyText(), EmptyHistory);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(lastReport(id, TransferError), Timeout);
        QCOMPARE(lastReport(id, TransferError)->err, shown);
        QTRY_VERIFY_WITH_TIMEOUT(!home->logLines().filter(logged).isEmpty(), Timeout);
        // Failed for good: no retry brings it back, and nothing is registered.
        QTest::qWait(300);
        QVERIFY(!manager->findCommand(id));
        QVERIFY(!lastReport(id, TransferDone));
        QCOMPARE(historyText(), EmptyHistory);
        QVERIFY(standIn.requests("upload_done").size() <= 1);
        for (const auto& file : standIn.files("alice"))
            QVERIFY(file.toObject().value("name").toString() != name);
    }

    void sourcesOpenOnlyWhenNeeded()
    {
        // Far more queued uploads than the process may open files.
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
        rlimit low = old;
        low.rlim_cur = 160;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        QList<int> ids;
        for (int i = 0; i < 400; ++i)
            ids << manager->startUpload(source(QStringLiteral("m%1.bin").arg(i), 64, i));
        setrlimit(RLIMIT_NOFILE, &old);
        QVERIFY(!ids.contains(-1));
        QVERIFY(prompts->calls.isEmpty());
        QVERIFY(finishes(resumed(ids.last())));
        // An unreadable source is still reported when the upload is created.
        DUploadCommand upload(target("missing.bin"));
        QCOMPARE(prompts->calls.last().text, "Error can not open file:" + target("missing.bin"));
    }

    // The upload runs at the lower of the user's cap (when caps are on) and the account's.
    void uploadCap()
    {
        QCOMPARE(DUploadCommand::uploadLimit(false, 500, 200), 200.0);
        QCOMPARE(DUploadCommand::uploadLimit(true, 100, 200), 100.0);
        QCOMPARE(DUploadCommand::uploadLimit(true, 0, 150), 150.0); // 0: no cap
        QCOMPARE(DUploadCommand::uploadLimit(false, 300, 0), 0.0);
    }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
