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

    bool writeHistory(const QString& text)
    {
        return writeFile(home->dataFolder() + "/transfers_alice", text.toUtf8());
    }

    int entriesInFile() const { return int(historyText().count(QStringLiteral(" filename="))); }

private slots:
    void init() { QVERIFY(openSession(QStringLiteral("files"))); }
    void cleanup() { closeAll(); }

    // The entry's layout is what older and newer versions read back (a download's entry is
    // checked after the restart below); the file is the owner's alone.
    void layoutAfterAddAndRemove()
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
        const QString tail = "    </Downloads>\n</Transfers>\n";
        // Entries `from` to 3; the first is playable, "yes" of older files is not.
        const auto entries = [&](int from) {
            QString text;
            for (int i = from; i <= 3; ++i)
                text += entry.arg("%1", QString::number(i), i == 1 ? "1" : "yes");
            return text;
        };
        const QString first = entry.arg("%1", "1", "1");
        QTest::newRow("three entries") << head + entries(1) + tail << 3 << false << 3;
        QTest::newRow("control character in the middle entry")
            << head + first + entry.arg("%1", "2\v", "0") + entries(3) + tail << 2 << true << 2;
        QTest::newRow("truncated in the third entry")
            << head + entries(1).chopped(entries(3).size() - 40) << 2 << true << 2;
        QTest::newRow("nested far too deep")
            << EmptyHistory + "<Transfers>" + QString("<a>").repeated(200000) << 0 << true << 0;
        QTest::newRow("path leaving its folder is refused and kept")
            << head + entry.arg("%1/x/..", "1", "0") + tail << 0 << false << 1;
        QTest::newRow("empty") << QString() << 0 << false << 0;
    }

    void restoreFromFile()
    {
        QFETCH(QString, content);
        QFETCH(int, restored);
        QFETCH(bool, damaged);
        manager.reset();
        QVERIFY(writeHistory(content.replace(QLatin1String("%1"), folder)));
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
    // disk; a file it overwrites stays as it was until the new one is whole; killed right after
    // the finished file took its name, it is not fetched again; queued beside a kept file of its
    // name and size, that file is not taken for it. An upload is done once the service has
    // registered it: after a quit while the service drops every notice, the next start sends no
    // byte again; an entry a kill left after the registration sends nothing at all; a file of
    // the same name and size listed before tells nothing.
    void endsOnceAcrossARestart_data()
    {
        QTest::addColumn<QString>("moment"); // of the kill or the quit
        QTest::addColumn<bool>("inTheWay");  // the user's file of that size, or upload listed
        QTest::addColumn<QString>("flag");   // the download entry's mark of the user's choice
        QTest::newRow("download killed midway") << "midway" << false << "";
        QTest::newRow("download killed midway, overwriting the user's file")
            << "midway" << true << " overwrite=\"1\"";
        QTest::newRow("download killed right after the rename at the end")
            << "renamed" << false << "";
        QTest::newRow("download queued to overwrite a file of the same size")
            << "queued" << true << " overwrite=\"1\"";
        QTest::newRow("download queued beside a kept file of the same size")
            << "kept" << true << " namesake=\"1\"";
        QTest::newRow("upload, quit while the service drops the notices") << "quit" << false << "";
        QTest::newRow("upload entry left after the service registered it") << "left" << false << "";
        QTest::newRow("upload, quit while notices fail, same file listed before")
            << "quit" << true << "";
    }

    void endsOnceAcrossARestart()
    {
        QFETCH(QString, moment);
        QFETCH(bool, inTheWay);
        QFETCH(QString, flag);
        const bool upload = moment == "quit" || moment == "left";
        // The service keeps its files from row to row.
        static int row = 0;
        const QString name = QStringLiteral("k%1").arg(++row);
        const QString path = target(name + ".bin");
        const QString partial = path + ".201.part";
        const QByteArray mine = upload ? pattern(300000, row) : QByteArray(int(BigSize), 'm');
        QVERIFY(!(upload || inTheWay) || writeFile(path, mine));
        if (moment == "midway")
            standIn.addFault(
                {{"kind", "download"}, {"action", "throttle"}, {"kbps", 200}, {"times", 0}});
        if (upload && inTheWay) {
            QSignalSpy listed(manager.get(), &DCommandManager::di_contentsChanged);
            QVERIFY(finishes(resumed(manager->startUpload(path))));
            QTRY_VERIFY_WITH_TIMEOUT(!listed.isEmpty(), Timeout);
        }
        if (moment == "quit")
            standIn.addFault({{"kind", "upload_done"}, {"action", "drop"}, {"times", 0}});
        if (upload) {
            const int id = manager->startUpload(path);
            QVERIFY(id > 0);
            const QString left = historyText();
            resumed(id);
            if (moment == "quit")
                QTRY_VERIFY_WITH_TIMEOUT(standIn.requests("upload_done").size() >= 3, Timeout);
            else
                QVERIFY2(finishes(id), trace(id));
            QVERIFY(moment == "left" || !lastReport(id, TransferDone));
            manager.reset();
            QVERIFY(moment == "quit" || writeHistory(left));
        } else {
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
            QVERIFY(!inTheWay || readFile(path) == mine);
        }
        const qint64 before = QFileInfo(partial).size();

        QVERIFY(restart());
        QCOMPARE(restoredIds().size(), int(moment != "renamed"));
        if (moment != "renamed") {
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
        }
        QCOMPARE(historyText(), EmptyHistory);
        if (upload) {
            const QStringList commands = ftpCommands();
            QVERIFY2(!commands.contains("STOR") && !commands.contains("APPE"),
                     qPrintable(commands.join(' ')));
            QCOMPARE(standIn.requests("upload_done").size(), int(moment == "quit"));
            int registered = 0;
            for (const auto& file : standIn.files("alice"))
                registered += file.toObject().value("name").toString() == name + ".bin";
            QCOMPARE(registered, 1 + int(inTheWay));
            return;
        }
        const QString range = before > 0 ? QStringLiteral("bytes=%1-").arg(before) : "-";
        QCOMPARE(ranges(), moment == "renamed" ? QStringList() : QStringList{range});
        // A kept file stays; the download takes the first free name beside it.
        QCOMPARE(StandIn::sha256Of(moment == "kept" ? target(name + "(1).bin") : path), bigSha());
        QVERIFY(moment != "kept" || readFile(path) == mine);
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), moment == "kept" ? 2 : 1);
    }

    // Saves are coalesced, never skipped: a clean quit right after a burst keeps every entry;
    // a kill -9 loses at most the burst of its last moment, and the file stays whole; so does
    // a save that breaks off half-way, as on a full disk. A restore killed half-way leaves the
    // whole history.
    void burstOfAddsSurvives_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("clean quit") << "quit";
        QTest::newRow("kill -9") << "kill";
        QTest::newRow("a save that fails half-way keeps the last one") << "disk full";
        QTest::newRow("kill -9 half-way through the restore") << "restore";
    }

    void burstOfAddsSurvives()
    {
        QFETCH(QString, end);
        const int count = 40;
        for (int i = 0; i < count; ++i) {
            const QString path = target(QStringLiteral("u%1.bin").arg(i, 2, 10, QChar('0')));
            QVERIFY(writeFile(path, "x"));
            QVERIFY(end == "kill" || manager->startUpload(path) > 0);
        }
        if (end == "disk full") {
            const QString saved = historyText();
            // No file of this process may grow past half the history now: the next save breaks
            // off half-way.
            QVERIFY(writeFile(target("late.bin"), "x"));
            rlimit old{};
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
            rlimit small = old;
            small.rlim_cur = rlim_t(saved.size() / 2);
            const auto previous = std::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
            QVERIFY(manager->startUpload(target("late.bin")) > 0);
            manager->saveHistoryNow();
            setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, previous);
            QCOMPARE(QString::fromUtf8(readFile(manager->historyFilePath())), saved);
        }
        manager.reset();
        if (end == "kill" || end == "restore") {
            QCOMPARE(QProcess::execute(self, {ChildOption, end == "kill" ? "burst" : end, folder}),
                     -1); // killed
        }
        QVERIFY(entriesInFile() >= (end == "kill" ? count / 2 : count + (end == "disk full")));
        QVERIFY(historyText().endsWith("</Transfers>\n"));
    }
};

// Killed processes (HOME and service come from the parent's environment):
//   midway <path>           starts one download and runs until the parent kills it;
//   renamed <path>          starts one download and kills itself the moment it is done;
//   queued|kept <path>      queues one download over (beside) the file in the way and kills
//                           itself once the history holds it;
//   burst <folder>          adds uploads of every file in the folder in two bursts, a moment
//                           apart, and kills itself right after the second;
//   restore <folder>        restores the history and kills itself half-way through.
static int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScriptedPrompt prompts;
    TransferSession session;
    if (!session.openManager())
        return 2;
    DCommandManager& manager = *session.manager;
    const QString path = QString::fromLocal8Bit(argv[3]);
    if (qstrcmp(argv[2], "burst") == 0) {
        const QStringList files = QDir(path).entryList(QDir::Files, QDir::Name);
        for (int i = 0; i < files.size(); ++i) {
            if (i == files.size() / 2)
                QTest::qWait(1000);
            manager.startUpload(path + QLatin1Char('/') + files.at(i));
        }
        ::raise(SIGKILL);
    }
    if (qstrcmp(argv[2], "restore") == 0) {
        // A restore may take a single slice now, so count the transfers as they come back.
        QObject::connect(&manager, &DCommandManager::di_dataTransferStatus,
                         [restored = 0]() mutable {
                             if (++restored == 20)
                                 ::raise(SIGKILL);
                         });
        manager.restoreHistory();
        return app.exec();
    }
    // A file in the way is overwritten, or kept: "Rename", then the new name dialog closed.
    const bool keep = qstrcmp(argv[2], "kept") == 0;
    prompts.conflictAnswers << (keep ? DPrompt::ConflictRename : DPrompt::ConflictOverwrite);
    prompts.newNameAnswers << QString();
    const int id = manager.startDownload(path, BigId, BigSize, QStringLiteral("k"));
    if (id <= 0)
        return 3;
    if (!QTest::qWaitFor(
            [&] { return readFile(manager.historyFilePath()).contains("size=\"2097152\" link"); }))
        return 4;
    if (qstrcmp(argv[2], "queued") == 0 || keep)
        ::raise(SIGKILL);
    QObject::connect(&manager, &DCommandManager::di_dataTransferStatus,
                     [&](int, const QString&, const QString&, DTransferStatus status) {
                         if (status == TransferDone && qstrcmp(argv[2], "renamed") == 0)
                             ::raise(SIGKILL);
                     });
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
