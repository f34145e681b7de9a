#include "tests/transfers/transfersession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString BigId = QStringLiteral("201");
const qint64 BigSize = 2097152;
const QString ClipId = QStringLiteral("301");

} // namespace

// Downloads over real sockets against the stand-in service: exact bytes after cuts, pauses,
// stalls, servers that ignore ranges, and the naming rules of partial and final files.
class TestDownload : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    TransferSession session;
    QString folder;

    QString target(const QString& name) const { return folder + QLatin1Char('/') + name; }

    int startBig(const QString& name = QStringLiteral("big.bin"))
    {
        return session.manager->startDownload(target(name), BigId, BigSize, QStringLiteral("L"));
    }

    QString bigSha() const { return standIn.fileSha256(QStringLiteral("alice"), BigId); }

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
        folder = session.home->path() + QStringLiteral("/dl");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(session.openManager());
    }

    void cleanup() { session.closeAll(); }

    void completesExactly()
    {
        const int id = startBig();
        QVERIFY(id > 0);
        QCOMPARE(session.manager->status(id), int(StatusPaused));
        QVERIFY(session.manager->waitingQueue().contains(session.manager->findCommand(id)));
        QVERIFY(session.historyText().contains(QStringLiteral("<cmd%1 ").arg(id)));
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        const auto* done = session.lastReport(id, TransferDone);
        QVERIFY(done);
        QCOMPARE(done->rFile, QStringLiteral("big.bin.201.part"));
        QCOMPARE(done->lFile, QStringLiteral("big.bin"));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        QVERIFY(!QFile::exists(target("big.bin.201.part")));
        QCOMPARE(session.rowTexts(id).first(), QStringLiteral("Trying"));
        QTRY_COMPARE_WITH_TIMEOUT(standIn.requests("dlfile_ok").size(), 1,
                                  TransferSession::Timeout);
        QCOMPARE(session.historyText(), QStringLiteral("<!DOCTYPE transfers>\n"));
        QTRY_VERIFY_WITH_TIMEOUT(session.manager->findCommand(id) == nullptr,
                                 TransferSession::Timeout);
    }

    void cutTwiceResumesFromTheBytesOnDisk()
    {
        standIn.addFault(
            {{"kind", "download"}, {"action", "cut"}, {"bytes", 300000}, {"times", 2}});
        const int id = startBig();
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        QCOMPARE(TransferSession::ranges(standIn),
                 (QStringList{"-", "bytes=300000-", "bytes=600000-"}));
        QCOMPARE(standIn.requests("dlfile_ok").size(), 1);
    }

    void pauseAndResumeKeepOneWorker()
    {
        standIn.addFault({{"kind", "download"}, {"action", "throttle"}, {"kbps", 256}});
        const int id = startBig();
        DCommand* command = session.manager->findCommand(id);
        QSignalSpy threadStarts(command, &QThread::started);
        session.resume(id);
        QVERIFY(
            QTest::qWaitFor([&] { return QFileInfo(target("big.bin.201.part")).size() > 100000; },
                            TransferSession::Timeout));
        session.manager->pause(id);
        QVERIFY(session.waitForStatus(id, StatusPaused));
        // The worker parks on the gate: the thread stays, the transfer stops.
        QTRY_VERIFY_WITH_TIMEOUT(session.manager->runningDownloadCount() == 0,
                                 TransferSession::Timeout);
        QVERIFY(command->isRunning());
        const qint64 partial = QFileInfo(target("big.bin.201.part")).size();
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(threadStarts.size(), 1);
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        QCOMPARE(TransferSession::ranges(standIn).last(), QStringLiteral("bytes=%1-").arg(partial));
    }

    void missingFileFailsForGood()
    {
        standIn.addFault({{"kind", "download"}, {"action", "missing"}, {"times", 0}});
        const int id = startBig();
        session.resume(id);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return session.rowTexts(id).contains(
                    QStringLiteral("Error Download: File not found!"));
            },
            TransferSession::Timeout));
        QCOMPARE(session.manager->status(id), int(StatusFailed));
        // Nothing of the error answer reached the partial file, and no retry follows.
        QCOMPARE(QFileInfo(target("big.bin.201.part")).size(), 0);
        QCOMPARE(session.historyText(), QStringLiteral("<!DOCTYPE transfers>\n"));
        QTest::qWait(300);
        QCOMPARE(standIn.requests("download").size(), 1);
    }

    void serverIgnoringRangeStartsOver()
    {
        standIn.addFault({{"kind", "download"}, {"action", "cut"}, {"bytes", 500000}});
        const int id = startBig();
        session.resume(id);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return standIn.requests("download").size() >= 1 &&
                       session.manager->status(id) == StatusRetryWait;
            },
            TransferSession::Timeout));
        standIn.addFault({{"kind", "download"}, {"action", "ignore_range"}});
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        const QStringList ranges = TransferSession::ranges(standIn);
        QCOMPARE(ranges.mid(0, 2), (QStringList{"-", "bytes=500000-"}));
        QCOMPARE(ranges.last(), QStringLiteral("-"));
    }

    void stallEndsTheAttempt()
    {
        standIn.addFault(
            {{"kind", "download"}, {"action", "stall"}, {"bytes", 200000}, {"seconds", 6}});
        QElapsedTimer clock;
        clock.start();
        const int id = startBig();
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        // The silent connection was left long before the server gave up on it.
        QVERIFY2(clock.elapsed() < 4000, session.trace(id));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        QCOMPARE(TransferSession::ranges(standIn), (QStringList{"-", "bytes=200000-"}));
    }

    void completePartialAnswered416Completes()
    {
        // A restored partial file that already holds every byte.
        const int first = startBig(QStringLiteral("copy.bin"));
        session.resume(first);
        QVERIFY(session.waitForEnd(first));
        const QByteArray whole = TransferSession::readFile(target("copy.bin"));
        QCOMPARE(whole.size(), int(BigSize));
        const QString partial = target("big.bin.201.part");
        QVERIFY(TransferSession::writeFile(partial, whole));
        DDownloadCommand* download = session.manager->restoreDownload(BigId, partial);
        QVERIFY(download);
        download->restorePaused();
        const int id = download->id();
        standIn.reset();
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(session.lastReport(id, TransferDone));
        QCOMPARE(TransferSession::ranges(standIn), (QStringList{"bytes=2097152-"}));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
    }

    void oversizedPartialStartsOver()
    {
        const QString partial = target("big.bin.201.part");
        QVERIFY(TransferSession::writeFile(partial, QByteArray(BigSize + 10, 'x')));
        DDownloadCommand* download = session.manager->restoreDownload(BigId, partial);
        QVERIFY(download);
        download->restorePaused();
        const int id = download->id();
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QCOMPARE(StandIn::sha256Of(target("big.bin")), bigSha());
        QCOMPARE(TransferSession::ranges(standIn).first(), QStringLiteral("bytes=2097162-"));
        QCOMPARE(TransferSession::ranges(standIn).last(), QStringLiteral("-"));
    }

    void perTransferLimitSlowsTheTransfer()
    {
        const int id = session.manager->startDownload(target("clip.mp4"), ClipId, 262144, "L");
        session.manager->setTransferSpeedLimit(id, 100);
        QElapsedTimer clock;
        clock.start();
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        // 256 KiB at 100 KB/s: well over two seconds, where the loop-back needs milliseconds.
        QVERIFY2(clock.elapsed() > 1800, session.trace(id));
        QCOMPARE(StandIn::sha256Of(target("clip.mp4")),
                 standIn.fileSha256(QStringLiteral("alice"), ClipId));
    }

    void userAbortDeletesThePartialQuitKeepsIt()
    {
        standIn.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 256}, {"times", 0}});
        const int aborted = startBig(QStringLiteral("a.bin"));
        const int kept = startBig(QStringLiteral("k.bin"));
        session.resume(aborted);
        session.resume(kept);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return QFileInfo(target("a.bin.201.part")).size() > 0 &&
                       QFileInfo(target("k.bin.201.part")).size() > 0;
            },
            TransferSession::Timeout));
        session.manager->abort(aborted);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(target("a.bin.201.part")),
                                 TransferSession::Timeout);
        QVERIFY(!session.historyText().contains(QStringLiteral("a.bin")));
        session.manager->abortAll();
        session.closeManager();
        QVERIFY(QFileInfo(target("k.bin.201.part")).size() > 0);
        QVERIFY(session.historyText().isEmpty() == false);
    }

    void startRefusals()
    {
        const int id = startBig();
        QVERIFY(id > 0);
        QCOMPARE(startBig(), -1);
        QCOMPARE(session.prompts->calls.last().title, QStringLiteral("Download start error.."));
        QCOMPARE(session.prompts->calls.last().text,
                 QStringLiteral("Local file with name %1 already in download list")
                     .arg(target("big.bin")));
        // Names from the server that would leave the chosen folder.
        QCOMPARE(session.manager->startDownload(folder + "/../evil.bin", BigId, 1, "L"), -1);
        QCOMPARE(session.manager->startDownload(target("x.bin"), "../../7", 1, "L"), -1);
        QCOMPARE(session.manager->startDownload(target(".."), BigId, 1, "L"), -1);
        QCOMPARE(session.prompts->calls.last().title, QStringLiteral("Download start error.."));
        QCOMPARE(standIn.requests("dlfile").size(), 1);
    }

    void existingTarget()
    {
        QVERIFY(TransferSession::writeFile(target("film.avi"), "mine"));
        QVERIFY(TransferSession::writeFile(target("film(1).avi"), "older"));
        // Unknown size: no question at all.
        const int unknown = session.manager->startDownload(target("film.avi"), BigId, -1, "L");
        QVERIFY(unknown > 0);
        QVERIFY(session.prompts->calls.isEmpty());
        session.manager->abort(unknown);

        // Closed without OK: nothing is built.
        QCOMPARE(session.manager->startDownload(target("film.avi"), BigId, 5, "L"), -1);
        QCOMPARE(session.prompts->calls.last().kind, QStringLiteral("targetExists"));

        // Rename: the suggestion accumulates counters; the user's file moves out of the way.
        session.prompts->conflictAnswers << DPrompt::ConflictRename;
        session.prompts->newNameAnswers << QString("");
        const int renamed = session.manager->startDownload(target("film.avi"), BigId, 5, "L");
        QVERIFY(renamed > 0);
        QCOMPARE(session.prompts->calls.last().kind, QStringLiteral("newName"));
        QCOMPARE(session.prompts->calls.last().text, QStringLiteral("film(1)(2).avi"));
        QCOMPARE(TransferSession::readFile(target("film(1)(2).avi")), QByteArray("mine"));
        QVERIFY(!QFile::exists(target("film.avi")));
        session.manager->abort(renamed);

        // Overwrite without the download permission keeps the user's file.
        QVERIFY(TransferSession::writeFile(target("film.avi"), "mine"));
        DGlobals::canDownload = false;
        session.prompts->conflictAnswers << DPrompt::ConflictOverwrite;
        QCOMPARE(session.manager->startDownload(target("film.avi"), BigId, 5, "L"), -1);
        QCOMPARE(TransferSession::readFile(target("film.avi")), QByteArray("mine"));
        QCOMPARE(session.prompts->calls.last().text,
                 QStringLiteral("Your account Can NOT Download!"));
        DGlobals::canDownload = true;
        session.prompts->conflictAnswers << DPrompt::ConflictOverwrite;
        QVERIFY(session.manager->startDownload(target("film.avi"), BigId, 5, "L") > 0);
        QVERIFY(!QFile::exists(target("film.avi")));
    }

    void refusedLinkRequest()
    {
        standIn.addFault({{"kind", "dlfile"}, {"action", "refuse"}, {"text", "gone"}});
        const int id = startBig();
        QVERIFY(id > 0);
        QCOMPARE(session.prompts->calls.last().text, QStringLiteral("Error download:gone"));
        QVERIFY(session.lastReport(id, TransferError));
        QTRY_VERIFY_WITH_TIMEOUT(session.manager->findCommand(id) == nullptr,
                                 TransferSession::Timeout);
        QVERIFY(session.manager->waitingQueue().isEmpty());
    }

    void partialNames_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "x.avi.7.part";
        QTest::newRow("counters accumulate")
            << QStringList{"x.avi.7.part", "x.avi.7.part1"} << "x.avi.7.part12";
        QTest::newRow("a folder counts as taken")
            << QStringList{"x.avi.7.part/"} << "x.avi.7.part1";
    }

    void partialNames()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        for (const QString& name : existing) {
            if (name.endsWith('/'))
                QVERIFY(QDir().mkpath(target(name)));
            else
                QVERIFY(TransferSession::writeFile(target(name), "p"));
        }
        QCOMPARE(DDownloadCommand::freePartialPath(target("x.avi"), "7"), target(expected));
        QCOMPARE(DDownloadCommand::targetOfPartial(target(expected), "7"), target("x.avi"));
    }

    void finalNames_data()
    {
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << "x.avi" << QStringList{} << "x.avi";
        QTest::newRow("counters accumulate")
            << "x.avi" << QStringList{"x.avi", "x(1).avi"} << "x(1)(2).avi";
        QTest::newRow("no extension") << "README" << QStringList{"README"} << "README(1)";
        QTest::newRow("hidden file") << ".profile" << QStringList{".profile"} << ".profile(1)";
        QTest::newRow("last dot only") << "a.tar.gz" << QStringList{"a.tar.gz"} << "a.tar(1).gz";
    }

    void finalNames()
    {
        QFETCH(QString, wanted);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        for (const QString& name : existing)
            QVERIFY(TransferSession::writeFile(target(name), "p"));
        QCOMPARE(DDownloadCommand::finalName(target(wanted)), target(expected));
        // A dot in a folder name is no extension.
        QVERIFY(QDir().mkpath(folder + "/v1.2"));
        QVERIFY(TransferSession::writeFile(folder + "/v1.2/notes", "p"));
        QCOMPARE(DDownloadCommand::finalName(folder + "/v1.2/notes"), folder + "/v1.2/notes(1)");
    }

    void unsafeNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileId");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "/d/x.avi"
                               << "7" << true;
        QTest::newRow("dots inside a name") << "/d/x..avi"
                                            << "7" << true;
        QTest::newRow("parent segment") << "/d/../x.avi"
                                        << "7" << false;
        QTest::newRow("name is ..") << "/d/.."
                                    << "7" << false;
        QTest::newRow("name is .") << "/d/."
                                   << "7" << false;
        QTest::newRow("backslash in the name") << "/d/..\\x.avi"
                                               << "7" << false;
        QTest::newRow("empty name") << "/d/"
                                    << "7" << false;
        QTest::newRow("id with a slash") << "/d/x.avi"
                                         << "../7" << false;
        QTest::newRow("id with a backslash") << "/d/x.avi"
                                             << "a\\7" << false;
        QTest::newRow("id is ..") << "/d/x.avi"
                                  << ".." << false;
    }

    void unsafeNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, fileId);
        QFETCH(bool, safe);
        QCOMPARE(DDownloadCommand::unsafeTargetError(path, fileId).isEmpty(), safe);
    }

    void throttleSleeps_data()
    {
        QTest::addColumn<double>("limit");
        QTest::addColumn<int>("divisor");
        QTest::addColumn<int>("ms");
        QTest::newRow("100 KB/s over two downloads") << 100.0 << 2 << 320;
        QTest::newRow("one transfer") << 1000.0 << 1 << 16;
        QTest::newRow("no divisor") << 500.0 << 0 << 32;
        QTest::newRow("fraction truncated") << 100.9 << 1 << 160;
        QTest::newRow("no cap") << 0.0 << 2 << 0;
        QTest::newRow("negative cap") << -5.0 << 1 << 0;
        QTest::newRow("share below 1 KB/s") << 3.0 << 4 << 16000;
    }

    void throttleSleeps()
    {
        QFETCH(double, limit);
        QFETCH(int, divisor);
        QFETCH(int, ms);
        QCOMPARE(DTransferCommand::throttleDelayMs(limit, divisor), ms);
    }

    void progressUnits_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<double>("now");
        QTest::addColumn<double>("total");
        QTest::addColumn<long long>("expected");
        QTest::newRow("resumed at 40 %") << qint64(400) << 0.0 << 600.0 << 4000LL;
        QTest::newRow("half of the rest") << qint64(400) << 300.0 << 600.0 << 7000LL;
        QTest::newRow("complete") << qint64(0) << 10.0 << 10.0 << 10000LL;
        QTest::newRow("truncated") << qint64(0) << 1.0 << 3.0 << 3333LL;
        QTest::newRow("unknown total") << qint64(0) << 0.0 << 0.0 << 0LL;
    }

    void progressUnits()
    {
        QFETCH(qint64, offset);
        QFETCH(double, now);
        QFETCH(double, total);
        QFETCH(long long, expected);
        QCOMPARE(DTransferCommand::progressOf(offset, now, total), expected);
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
