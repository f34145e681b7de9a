#include "tests/transfers/transfersession.h"

// Downloads over real sockets against the stand-in service: exact bytes after cuts, pauses,
// stalls, servers that ignore ranges, and the naming rules of partial and final files.
class TestDownload : public TransferFixture
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(openSession(QStringLiteral("dl"))); }
    void cleanup() { closeAll(); }

    void serverTroubleStillEndsExact_data()
    {
        QTest::addColumn<QJsonArray>("faults");
        QTest::addColumn<QStringList>("expected"); // the range of each request, "-" for none
        QTest::addColumn<qint64>("partial"); // restored from this many bytes, junk past the end
        QTest::addColumn<bool>("force");     // started with "force start" instead of a resume
        const auto row = [](const char* name, const QJsonArray& faults, const QStringList& expected,
                            qint64 partial = 0, bool force = false) {
            QTest::newRow(name) << faults << expected << partial << force;
        };
        const QJsonObject cut = fault("download", "cut", {{"bytes", 300000}});
        const QJsonObject noSize =
            fault("dlfile", "answer", {{"fields", QJsonObject{{"size", QJsonValue()}}}});
        row("cut twice: resumes from the bytes on disk",
            {fault("download", "cut", {{"bytes", 300000}, {"times", 2}})},
            {"-", "bytes=300000-", "bytes=600000-"});
        row("force started, then cut: the retry resumes", {cut}, {"-", "bytes=300000-"}, 0, true);
        row("clean end before the last byte: resumes",
            {fault("download", "short", {{"bytes", 300000}})}, {"-", "bytes=300000-"});
        row("range ignored: starts over", {cut, fault("download", "ignore_range")},
            {"-", "bytes=300000-", "-"});
        row("stall: the attempt ends",
            {fault("download", "stall", {{"bytes", 200000}, {"seconds", 30}})},
            {"-", "bytes=200000-"});
        row("every byte there: 416 completes", {}, {"bytes=2097152-"}, BigSize);
        row("longer than the file: starts over", {}, {"bytes=2097162-", "-"}, BigSize + 10);
        row("416 and no size known: starts over", {noSize, fault("download", "unsatisfiable")},
            {"bytes=1000000-", "-"}, 1000000);
    }

    void serverTroubleStillEndsExact()
    {
        QFETCH(QJsonArray, faults);
        QFETCH(qint64, partial);
        QFETCH(bool, force);
        int id = -1;
        if (partial > 0) {
            const QString path = target("big.bin.201.part");
            const QByteArray junk(int(std::max<qint64>(0, partial - BigSize)), 'x');
            QVERIFY(writeFile(path, bigContent().left(int(partial)) + junk));
            DDownloadCommand* restored = manager->restoreDownload(BigId, path);
            restored->restorePaused();
            id = restored->id();
        } else {
            id = startBig();
        }
        standIn.reset();
        startUnder(faults, id, force);
        QVERIFY2(finishes(id), trace(id));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        QTEST(ranges(), "expected");
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("dlfile_ok").size(), 1, Timeout);
        QCOMPARE(historyText(), EmptyHistory);
    }

    // Answers the download must not trust, a refused link and a missing file fail it for good:
    // no retry, no completion notice, the disk untouched beyond the size the service gave, and
    // the user's file it was to overwrite still as it was. An abort leaves no partial file.
    void failuresEndForGood_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::newRow("aborted") << fault("download", "throttle", {{"kbps", 256}, {"times", 0}});
        const auto answer = [](const char* name, const char* value) {
            return fault("dlfile", "answer", {{"fields", QJsonObject{{name, value}}}});
        };
        QTest::newRow("size not a number") << answer("size", "12abc");
        QTest::newRow("link to a local file") << answer("direct_link", "file:///etc/hostname");
        QTest::newRow("endless answer") << fault("download", "endless");
        QTest::newRow("missing file: nothing of the error page kept")
            << fault("download", "missing", {{"times", 0}});
        QTest::newRow("link refused") << fault("dlfile", "refuse", {{"text", "File gone"}});
    }

    void failuresEndForGood()
    {
        QFETCH(QJsonObject, fault);
        standIn.addFault(fault);
        QVERIFY(writeFile(target("big.bin"), "mine"));
        prompts->conflictAnswers << DPrompt::ConflictOverwrite;
        const int id = resumed(startBig());
        const QString partial = target("big.bin.201.part");
        if (fault["action"] == "throttle") {
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, Timeout);
            manager->abort(id);
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(partial), Timeout);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(lastReport(id, TransferError), Timeout);
        }
        const qint64 kept = QFileInfo(partial).size();
        QVERIFY(kept <= BigSize && (kept == 0 || fault["action"] == "endless"));
        QCOMPARE(readFile(target("big.bin")), QByteArray("mine"));
        QCOMPARE(historyText(), EmptyHistory);
        QTest::qWait(300);
        QVERIFY(standIn.requests("download").size() <= 1 && !manager->findCommand(id));
        QVERIFY(standIn.requests("dlfile_ok").isEmpty());
    }

    // A global cap is shared: both downloads together can not arrive sooner than it allows.
    void globalCapHolds()
    {
        constexpr int Cap = 1200;
        const QList<int> ids{startBig(), startBig("second.bin")};
        manager->setLimitsEnabled(true);
        manager->setMaxDownSpeed(Cap);
        QElapsedTimer elapsed;
        elapsed.start();
        // Both run at once: one after the other, a cap given to each would take as long.
        for (int id : ids)
            resumed(id);
        for (int id : ids)
            QVERIFY2(finishes(id), trace(id));
        QVERIFY(elapsed.elapsed() >= 2 * BigSize / (Cap * 1024) * 1000 * 8 / 10);
        QCOMPARE(StandIn::sha256Of(target("second.bin")), bigSha());
    }

    void startRefusals()
    {
        // The same target twice; names that differ by case are other files here.
        QVERIFY(startBig() > 0);
        QCOMPARE(startBig(), -1);
        QVERIFY(startBig("Big.bin") > 0);
        // A target that climbs out of its folder or a file id ".." builds nothing; dots inside
        // a name are fine.
        QCOMPARE(manager->startDownload(folder + "/../x.avi", "7", 5, "L"), -1);
        QCOMPARE(manager->startDownload(target("x.avi"), "..", 5, "L"), -1);
        QVERIFY(manager->startDownload(target("x..avi"), "7", 5, "L") > 0);
        // An existing target: closed without OK, nothing is built.
        const auto film = [this] {
            return manager->startDownload(target("film.avi"), BigId, 5, "L");
        };
        QVERIFY(writeFile(target("film.avi"), "mine"));
        QCOMPARE(film(), -1);
        // Overwrite without the download permission keeps the user's file.
        DGlobals::canDownload = false;
        prompts->conflictAnswers << DPrompt::ConflictOverwrite;
        QCOMPARE(film(), -1);
        DGlobals::canDownload = true;
        QCOMPARE(readFile(target("film.avi")), QByteArray("mine"));
        // Overwrite: the user's file stays until the new one is whole, which then takes its place.
        prompts->conflictAnswers << DPrompt::ConflictOverwrite;
        const QStringList before = QDir(folder).entryList(QDir::Files);
        const int overwriting = film();
        QCOMPARE(readFile(target("film.avi")), QByteArray("mine"));
        QVERIFY2(finishes(resumed(overwriting)), trace(overwriting));
        QCOMPARE(StandIn::sha256Of(target("film.avi")), bigSha());
        QCOMPARE(QDir(folder).entryList(QDir::Files), before);
    }

    // The partial file is "<name>.<id>.part" plus counters, a folder counting as taken; the final
    // name counts up before the last dot of the name, not of the folder.
    void freeNames()
    {
        for (const char* taken : {"x.avi.7.part", "x.avi.7.part1", "x.avi", "x(1).avi", "v1.2/n"})
            QVERIFY(QDir().mkpath(QFileInfo(target(taken)).path()) &&
                    writeFile(target(taken), "p"));
        QVERIFY(QDir().mkpath(target("x.avi.7.part12")));
        QCOMPARE(DDownloadCommand::freePartialPath(target("x.avi"), "7"),
                 target("x.avi.7.part123"));
        QCOMPARE(DDownloadCommand::targetOfPartial(target("x.avi.7.part123"), "7"),
                 target("x.avi"));
        QCOMPARE(DDownloadCommand::finalName(target("x.avi")), target("x(1)(2).avi"));
        QCOMPARE(DDownloadCommand::finalName(target("v1.2/n")), target("v1.2/n(1)"));
    }

    // 16 KB blocks: the sleep per block for a cap shared by the running downloads.
    void throttleSleeps()
    {
        QCOMPARE(DTransferCommand::throttleDelayMs(0, 2), 0);     // no cap at all
        QCOMPARE(DTransferCommand::throttleDelayMs(3, 4), 16000); // 1 KB/s each, never 0
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
