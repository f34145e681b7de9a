#include "support/dshutdown.h"
#include "tests/common/tinyproxy.h"
#include "tests/transfers/transfersession.h"

#include <sys/resource.h>

// Uploads over real FTP against the stand-in service: exact files after cut data connections,
// the size query and append, pauses and forced restarts, and the server's refusals.
class TestUpload : public TransferFixture
{
    Q_OBJECT

    QString source(const QString& name, int size, int seed = 1)
    {
        if (!QFile::exists(target(name)))
            writeFile(target(name), pattern(size, seed));
        return target(name);
    }

    QString serverName(int id) const
    {
        return qobject_cast<DUploadCommand*>(manager->findCommand(id))->serverFileName();
    }

    // What a program we start finds open besides its standard streams: the power-off command
    // stands for VLC and the updater, which start the same way.
    QStringList inheritedByChild()
    {
        const QString listing = target("inherited.txt");
        qputenv("FERRYDESK_SHUTDOWN_COMMAND",
                QString("/bin/sh -c \"ls -l /proc/self/fd > %1.part && mv %1.part %1\"")
                    .arg(listing)
                    .toLocal8Bit());
        if (!DShutdown::powerOff() || !QTest::qWaitFor([&] { return QFile::exists(listing); }))
            return {"no listing"};
        // Beyond 0-2, only the folder "ls" itself reads may be open.
        return QString::fromLocal8Bit(readFile(listing))
            .split('\n')
            .filter(QRegularExpression(" ([3-9]|\\d\\d+) -> (?!/proc/)"));
    }

private slots:
    void init() { QVERIFY(openSession(QStringLiteral("up"))); }
    void cleanup() { closeAll(); }

    void resumesFromWhatTheServerHolds_data()
    {
        QTest::addColumn<QJsonArray>("faults");
        QTest::addColumn<bool>("appended");
        QTest::addColumn<bool>("force");      // started with "force start" instead of a resume
        QTest::addColumn<int>("serverBytes"); // a copy already on the server, restored from it
        const auto row = [](const char* name, const QJsonArray& faults, bool appended,
                            bool force = false, int serverBytes = 0) {
            QTest::newRow(name) << faults << appended << force << serverBytes;
        };
        const QJsonObject cut = fault("ftp-stor", "cut", {{"bytes", 400000}});
        // A throttled upload is paused half-way by the user, then started again.
        const QJsonObject slow = fault("ftp-stor", "throttle", {{"kbps", 1024}});
        row("cut: appends from the server's size", {cut}, true);
        row("server copy larger than the file: stored whole", {}, false, false, 1600000);
        // Waits for a login slot on the worker that keeps its slot.
        row("no login slot three times: waits and cycles",
            {fault("ftp-login", "max_clients", {{"times", 3}})}, false);
        row("paused, resumed: appends on the same worker", {slow}, true);
        row("paused, force started: stored whole", {slow}, false, true);
    }

    // Each attempt is judged by the server's own replies to it: a file name holding the words of a
    // refusal fails nothing.
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
        const QString path =
            source("quota exceeded: a.bin", action == "throttle" ? 12000000 : 1500000, 2);
        QString name = "a.bin.restored";
        int id = -1;
        if (serverBytes > 0) {
            standIn.control(
                "POST", "ftpfile",
                {{"user", "alice"}, {"name", name}, {"content", QString(serverBytes, 'z')}});
            DUploadCommand* upload = manager->restoreUpload(path, name, "-1");
            upload->restorePaused();
            id = upload->id();
        } else {
            id = manager->startUpload(path);
            name = serverName(id);
        }
        QSignalSpy starts(manager->findCommand(id), &QThread::started);
        if (action == "throttle") {
            startUnder(faults, id, false);
            QTRY_VERIFY_WITH_TIMEOUT(standIn.ftpFile("alice", name).value("size").toInt() > 100000,
                                     Timeout);
            // Mid-transfer: neither the source nor curl's sockets go to a child.
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
        QVERIFY(!debugLines.filter("ftp://alice:********@").isEmpty());
        QVERIFY(debugLines.filter(manager->password()).isEmpty());
        QVERIFY(action == "cut" || force || starts.size() == 1);
        QCOMPARE(ftpSha(name), StandIn::sha256Of(path));
        QTEST(ftpCommands().contains("APPE"), "appended");
        QVERIFY(action != "throttle" || ftpCommands().contains("STOR") == force);
        // Registered once: server name, the source's name, its size and the folder.
        const QString notice =
            QString("/%1/quota exceeded: a.bin/%2/-1").arg(name).arg(QFileInfo(path).size());
        QTRY_COMPARE_WITH_TIMEOUT(logged("upload_done", "payload").size(), 1, Timeout);
        QVERIFY2(logged("upload_done", "payload")[0].endsWith(notice), qPrintable(notice));
        QCOMPARE(historyText(), EmptyHistory);
    }

    // With the user's HTTP proxy every connection goes through it: service requests as GET,
    // secure and FTP connections (control and data) through CONNECT tunnels, so the FTP address
    // with the account's name and password is never a request line to the proxy.
    void everyTransferThroughTheProxy()
    {
        if (TinyProxy::program().isEmpty())
            QSKIP("tinyproxy is not installed: scripts/install-deps.sh installs it");
        TinyProxy proxy;
        QVERIFY(proxy.start());
        manager->setProxy("127.0.0.1", QString(), QString(), proxy.port());
        standIn.addFault(fault("ftp-stor", "cut", {{"bytes", 400000}}));
        const QString path = source("p.bin", 1500000, 5);
        const int up = resumed(manager->startUpload(path));
        const QString name = serverName(up);
        const QByteArray password = transfer(up)->url.password().toLatin1();
        const int down = resumed(startBig());
        QVERIFY2(finishes(up), trace(up));
        QVERIFY2(finishes(down), trace(down));
        QCOMPARE(ftpSha(name), StandIn::sha256Of(path));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        const QStringList lines = proxy.requests();
        QVERIFY2(
            !lines.filter(QString("GET http://127.0.0.1:%1/dl/").arg(standIn.httpPort())).isEmpty(),
            proxy.log());
        // The control connection and the data connections of both attempts.
        QVERIFY2(lines.filter(QRegularExpression("^CONNECT 127\\.0\\.0\\.1:")).size() >= 3,
                 proxy.log());
        for (const QByteArray& text : {QByteArray("ftp://"), QByteArray("alice"), password})
            QVERIFY2(!proxy.log().contains(text), proxy.log());
    }

    // Attempts that end in odd places give their slot back: with both upload slots lost
    // before, no upload would ever start again and power-off would never come. The size query
    // runs on the worker: a silent server leaves the window free.
    void slotsComeBackAfterAbortedAttempts_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("command"); // the FTP command the fault answers
        QTest::addColumn<bool>("fresh");      // a new upload, or one paused earlier
        QTest::newRow("aborted while waiting for a login slot")
            << fault("ftp-login", "max_clients", {{"times", 0}}) << "PASS" << true;
        QTest::newRow("aborted during a silent size query")
            << fault("ftp-size", "silent", {{"seconds", 8}}) << "SIZE" << false;
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
            QVERIFY(fault["action"] != "silent" || manager->status(id) == StatusRunning);
            manager->abort(id);
        }
        QTRY_COMPARE_WITH_TIMEOUT(manager->runningUploadCount(), 0, Timeout);
        standIn.reset();
        // Power-off comes once nothing is left to do.
        QSignalSpy shutDown(manager.get(), &DCommandManager::di_shutDown);
        manager->setPowerOffOptions(true);
        const int id = resumed(manager->startUpload(source("t.bin", 4000, 7)));
        manager->transferComplete();
        QVERIFY(shutDown.isEmpty());
        QVERIFY2(finishes(id), trace(id));
        QTRY_VERIFY_WITH_TIMEOUT(manager->registry().isEmpty(), Timeout);
        manager->transferComplete();
        QVERIFY(!shutDown.isEmpty());
        manager->setPowerOffOptions(false);
    }

    // The server's refusals end the upload as failed for good: no retry brings it back, and nothing
    // is registered. A refusal once fails nothing later.
    void serverRefusals_data()
    {
        QTest::addColumn<QJsonArray>("faults");
        QTest::newRow("quota") << QJsonArray{fault("ftp-stor", "quota", {{"times", 0}})};
        QTest::newRow("no login slot once, then login denied")
            << QJsonArray{fault("ftp-login", "max_clients", {{"times", 1}}),
                          fault("ftp-login", "login_denied", {{"times", 0}})};
        QTest::newRow("the service refuses to register it")
            << QJsonArray{fault("upload_done", "refuse", {{"text", "Size mismatch"}})};
    }

    void serverRefusals()
    {
        QFETCH(QJsonArray, faults);
        for (const auto& fault : faults)
            standIn.addFault(fault.toObject());
        const int id = resumed(manager->startUpload(source("e.bin", 30000, 4)));
        QTRY_VERIFY_WITH_TIMEOUT(lastReport(id, TransferError), Timeout);
        QTest::qWait(300);
        QVERIFY(!manager->findCommand(id) && !lastReport(id, TransferDone));
        QCOMPARE(historyText(), EmptyHistory);
        for (const auto& file : standIn.files("alice"))
            QVERIFY(file.toObject().value("name").toString() != "e.bin");
    }

    // Far more queued uploads than the process may open files.
    void startingUploads()
    {
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
        rlimit low = old;
        low.rlim_cur = 160;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        QList<int> ids;
        for (int i = 0; i < 400; ++i)
            ids << manager->startUpload(source(QStringLiteral("m%1.bin").arg(i), 64, i));
        setrlimit(RLIMIT_NOFILE, &old);
        QVERIFY(!ids.contains(-1) && prompts->calls.isEmpty());
        QVERIFY(finishes(resumed(ids.last())));
        // The same file goes twice only into two folders; an aborted upload is no longer in the
        // way.
        const QString path = target("m0.bin");
        QCOMPARE(manager->startUpload(path), -1);
        manager->setCurrentFolderId("10");
        QVERIFY(manager->startUpload(path) > 0);
        manager->abort(ids.first());
        manager->setCurrentFolderId("-1");
        QVERIFY(manager->startUpload(path) > 0);
        // An unreadable source is still reported when the upload is created.
        DUploadCommand upload(target("missing.bin"));
        QCOMPARE(prompts->calls.size(), 2);
    }

    // The upload runs at the lower of the user's cap (when caps are on) and the account's.
    void uploadCap()
    {
        QCOMPARE(DUploadCommand::uploadLimit(false, 500, 200), 200.0);
        QCOMPARE(DUploadCommand::uploadLimit(true, 0, 150), 150.0); // 0: no cap
    }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
