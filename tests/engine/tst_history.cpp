#include "tests/transfers/transfersession.h"

#include <QCoreApplication>
#include <QProcess>

#include <csignal>

#include <sys/resource.h>

static const char* const ChildOption = "--child";

// The per-user transfer history: the file's exact layout, restore after a restart (also after
// the process was killed) with progress from the bytes on disk, damaged files and refusals.
class TestHistory : public TransferFixture
{
    Q_OBJECT

private:
    // This program: the killed processes below run it again.
    const QString self = QCoreApplication::applicationFilePath();

    // Ids of the transfers the restore announced, in order.
    QList<int> restoredIds() const
    {
        QList<int> ids;
        for (const auto& r : reports) {
            if (r.status == TransferQueued)
                ids << r.id;
        }
        return ids;
    }

    // A new manager in the same HOME (a restart, the service's faults gone), restored.
    bool restart()
    {
        manager.reset();
        standIn.reset();
        if (!openManager())
            return false;
        manager->restoreHistory();
        return QTest::qWaitFor([&] { return !manager->isRestoring(); }, Timeout);
    }

    int entriesInFile() const { return int(historyText().count(QStringLiteral(" filename="))); }

private slots:
    void init() { QVERIFY(openSession(QStringLiteral("files"))); }
    void cleanup() { closeAll(); }

    // The entry's layout is what older and newer versions read back (a download's entry is
    // checked after the restart below); the file is the owner's alone. A save that breaks off
    // half-way, as on a full disk, keeps the last good file, and the quit writes it again.
    void layoutAndAFailedSave()
    {
        const QString source = target("up&<\"x\".bin");
        QVERIFY(writeFile(source, QByteArray(1234, 'u')));
        const int up = manager->startUpload(source);
        QVERIFY(up > 0);
        const QString serverName = qobject_cast<DUploadCommand*>(transfer(up))->serverFileName();
        QTRY_COMPARE_WITH_TIMEOUT(
            historyText(),
            EmptyHistory +
                QStringLiteral("<Transfers>\n    <Uploads>\n        <cmd%1 filename=\"%2\" "
                               "serverfilename=\"%3\" folderId=\"-1\" size=\"1234\"/>\n"
                               "    </Uploads>\n</Transfers>\n")
                    .arg(up)
                    .arg(source.toHtmlEscaped(), serverName.toHtmlEscaped()),
            Timeout);
        QCOMPARE(int(QFileInfo(manager->historyFilePath()).permissions() & 0x7077), 0x6000);
        manager->abort(up);
        QTRY_COMPARE(historyText(), EmptyHistory);
        QVERIFY(!manager->hasHistory());

        QVERIFY(writeFile(target("a.bin"), "a") && writeFile(target("b.bin"), "b"));
        QVERIFY(manager->startUpload(target("a.bin")) > 0);
        const QString saved = historyText();
        // No file of this process may grow past half the history now: the next save breaks
        // off half-way.
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = rlim_t(saved.size() / 2);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QVERIFY(manager->startUpload(target("b.bin")) > 0);
        manager->saveHistoryNow();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(QString::fromUtf8(readFile(manager->historyFilePath())), saved);
        manager.reset();
        QCOMPARE(entriesInFile(), 2);
        QVERIFY(historyText().endsWith("</Transfers>\n"));
    }

    // Files as a previous run (or a crash, a full disk, another program) left them: what comes
    // back, whether the user hears that the file was damaged (kept aside), and how many entries
    // the file holds afterwards (never fewer than could be read).
    void restoreFromFile_data()
    {
        QTest::addColumn<QString>("content"); // %1: the folder of the partial files
        QTest::addColumn<int>("restored");
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<int>("kept");
        const QString entry = "        <cmd%2 filename=\"%1/p%2.bin.201.part\" folderId=\"201\" "
                              "size=\"2097152\" link=\"k\" playable=\"%3\"/>\n";
        const QString head = EmptyHistory + "<Transfers>\n    <Downloads>\n";
        // The first entry is playable, "yes" of older files is not.
        const QString first = entry.arg("%1", "1", "1");
        const QString third = entry.arg("%1", "3", "yes");
        QTest::newRow("control character in the middle entry")
            << head + first + entry.arg("%1", "2\v", "0") + third +
                   "    </Downloads>\n</Transfers>\n"
            << 2 << true << 2;
        QTest::newRow("truncated in the third entry")
            << head + first + entry.arg("%1", "2", "0") + third.left(40) << 2 << true << 2;
        QTest::newRow("nested far too deep")
            << EmptyHistory + "<Transfers>" + QString("<a>").repeated(200000) << 0 << true << 0;
        QTest::newRow("path leaving its folder is refused and kept")
            << head + entry.arg("%1/x/..", "1", "0") + "    </Downloads>\n</Transfers>\n"
            << 0 << false << 1;
        QTest::newRow("empty") << QString() << 0 << false << 0;
    }

    void restoreFromFile()
    {
        QFETCH(QString, content);
        QFETCH(int, restored);
        QFETCH(bool, damaged);
        manager.reset();
        QVERIFY(writeFile(home->dataFolder() + "/transfers_alice",
                          content.replace(QLatin1String("%1"), folder).toUtf8()));
        QVERIFY(restart());
        QCOMPARE(restoredIds().size(), restored);
        const QDir data(home->dataFolder());
        QCOMPARE(data.entryList({"transfers_alice.corrupt-*"}, QDir::Files).size(), int(damaged));
        QCOMPARE(prompts->texts().filter("transfers could be read back").size(), int(damaged));
        QTEST(entriesInFile(), "kept");
        if (restored == 0)
            return;
        QVERIFY(manager->isPlayable(restoredIds().first()));
        QVERIFY(!manager->isPlayable(restoredIds().last()));
    }

    // A refusal ends the restore with one box, shown once the restore is over. Every entry
    // stays until its transfer is back; what the user adds during the restore or while the box
    // is open joins them and takes no entry of the history.
    void refusalsAtRestore_data()
    {
        QTest::addColumn<bool>("uploads"); // the right taken away: uploads, else downloads
        QTest::addColumn<int>("restored");
        QTest::newRow("no downloads: nothing at all") << false << 0;
        QTest::newRow("no uploads: downloads only") << true << 1;
    }

    void refusalsAtRestore()
    {
        QFETCH(bool, uploads);
        QVERIFY(writeFile(target("s.bin"), "s") && startBig("q.bin") > 0);
        QVERIFY(manager->startUpload(target("s.bin")) > 0);
        manager.reset();
        QVERIFY(openManager());
        // The user adds a transfer of the kind still allowed.
        const auto add = [this, uploads](const QString& name) {
            return uploads                        ? startBig(name)
                   : writeFile(target(name), "x") ? manager->startUpload(target(name))
                                                  : -1;
        };
        prompts->whileOpen = [&, once = true]() mutable {
            if (std::exchange(once, false))
                add("m.bin");
        };
        std::atomic<bool>& right = uploads ? DGlobals::canModify : DGlobals::canDownload;
        right = false;
        manager->restoreHistory();
        QVERIFY(add("n.bin") > 0);
        const bool restored = QTest::qWaitFor([&] { return !manager->isRestoring(); }, Timeout);
        right = true;
        QVERIFY(restored);
        QCOMPARE(prompts->texts(), QStringList{uploads ? "Your account Can NOT Uploads!"
                                                       : "Your account Can NOT Downloads!"});
        QTEST(int(restoredIds().size()), "restored");
        QCOMPARE(entriesInFile(), 4);
    }

    // Every transfer ends exactly once across a kill -9 or a quit. A download killed midway
    // comes back paused with the size the history holds and resumes from exactly the bytes on
    // disk; the user's file it overwrites stays as it was until the new one is whole; queued over
    // a file of its size, it is not taken for finished; queued beside a kept file of its name and
    // size, that file is not taken for it. An upload is done once the service has registered it:
    // after a quit while the service drops every notice, the next start sends no byte again, and
    // a file of the same name and size listed before tells nothing.
    void endsOnceAcrossARestart_data()
    {
        QTest::addColumn<QString>("moment"); // of the kill or the quit
        QTest::addColumn<QString>("flag");   // the download entry's mark of the user's choice
        QTest::newRow("download killed midway, overwriting the user's file") << "midway"
                                                                             << " overwrite=\"1\"";
        QTest::newRow("download queued to overwrite a file of the same size") << "queued"
                                                                              << " overwrite=\"1\"";
        QTest::newRow("download queued beside a kept file of the same size") << "kept"
                                                                             << " namesake=\"1\"";
        QTest::newRow("upload, quit while notices fail, same file listed before") << "quit"
                                                                                  << "";
    }

    void endsOnceAcrossARestart()
    {
        QFETCH(QString, moment);
        QFETCH(QString, flag);
        const bool upload = moment == "quit";
        // The service keeps its files from row to row.
        static int row = 0;
        const QString name = QStringLiteral("k%1").arg(++row);
        const QString path = target(name + ".bin");
        const QString partial = path + ".201.part";
        // The user's file of the download's size, or the upload's source.
        const QByteArray mine = upload ? pattern(300000, row) : QByteArray(int(BigSize), 'm');
        QVERIFY(writeFile(path, mine));
        if (upload) {
            QSignalSpy listed(manager.get(), &DCommandManager::di_contentsChanged);
            QVERIFY(finishes(resumed(manager->startUpload(path))));
            QTRY_VERIFY_WITH_TIMEOUT(!listed.isEmpty(), Timeout);
            standIn.addFault({{"kind", "upload_done"}, {"action", "drop"}, {"times", 0}});
            const int id = resumed(manager->startUpload(path));
            QTRY_VERIFY_WITH_TIMEOUT(standIn.requests("upload_done").size() >= 3, Timeout);
            QVERIFY(!lastReport(id, TransferDone));
            manager.reset();
        } else {
            if (moment == "midway")
                standIn.addFault(
                    {{"kind", "download"}, {"action", "throttle"}, {"kbps", 200}, {"times", 0}});
            manager.reset();
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(self, {ChildOption, moment, path});
            if (moment == "midway") {
                QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 150000, Timeout);
                ::kill(pid_t(child.processId()), SIGKILL);
            }
            QVERIFY(child.waitForFinished(Timeout));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            QVERIFY(readFile(path) == mine);
        }
        const qint64 before = QFileInfo(partial).size();

        QVERIFY(restart());
        QCOMPARE(restoredIds().size(), 1);
        const int id = restoredIds().first();
        if (!upload) {
            QCOMPARE(lastReport(id, TransferQueued)->size, BigSize);
            QVERIFY(historyText().contains(
                QStringLiteral("<cmd%1 filename=\"%2\" folderId=\"201\" size=\"2097152\" "
                               "link=\"k\" playable=\"0\"%3/>")
                    .arg(id)
                    .arg(partial, flag)));
        }
        QVERIFY2(finishes(resumed(id)), trace(id));
        QCOMPARE(historyText(), EmptyHistory);
        if (upload) {
            const QStringList commands = ftpCommands();
            QVERIFY2(!commands.contains("STOR") && !commands.contains("APPE"),
                     qPrintable(commands.join(' ')));
            QCOMPARE(standIn.requests("upload_done").size(), 1);
            int registered = 0;
            for (const auto& file : standIn.files("alice"))
                registered += file.toObject().value("name").toString() == name + ".bin";
            QCOMPARE(registered, 2);
            return;
        }
        const QString range = before > 0 ? QStringLiteral("bytes=%1-").arg(before) : "-";
        QCOMPARE(ranges(), QStringList{range});
        // A kept file stays; the download takes the first free name beside it.
        const bool kept = moment == "kept";
        QCOMPARE(StandIn::sha256Of(kept ? target(name + "(1).bin") : path), bigSha());
        QVERIFY(!kept || readFile(path) == mine);
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), kept ? 2 : 1);
    }
};

// A killed process (HOME and service come from the parent's environment) queues one download
// to <path>, over the file in the way (midway, queued) or beside it (kept: "Rename", then the
// new name dialog closed). Once the history holds it, it kills itself (queued, kept) or runs it
// until the parent kills it (midway).
static int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScriptedPrompt prompts;
    TransferSession session;
    if (!session.openManager())
        return 2;
    DCommandManager& manager = *session.manager;
    const bool keep = qstrcmp(argv[2], "kept") == 0;
    prompts.conflictAnswers << (keep ? DPrompt::ConflictRename : DPrompt::ConflictOverwrite);
    prompts.newNameAnswers << QString();
    const int id =
        manager.startDownload(QString::fromLocal8Bit(argv[3]), BigId, BigSize, QStringLiteral("k"));
    if (id <= 0)
        return 3;
    if (!QTest::qWaitFor(
            [&] { return readFile(manager.historyFilePath()).contains("size=\"2097152\" link"); }))
        return 4;
    if (qstrcmp(argv[2], "midway") != 0)
        ::raise(SIGKILL);
    session.resumed(id);
    return app.exec();
}

int main(int argc, char** argv)
{
    if (argc == 4 && qstrcmp(argv[1], ChildOption) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestHistory test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
