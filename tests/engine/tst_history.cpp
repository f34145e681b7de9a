#include "tests/transfers/transfersession.h"

#include <QCoreApplication>
#include <QProcess>

#include <csignal>

#include <sys/resource.h>

static const char* const ChildOption = "--child";

// Answers like the scripted prompt; while its first box is open the user does something more.
struct BusyUserPrompt : ScriptedPrompt
{
    std::function<void()> meanwhile;
    void showMessage(const QString& text) override
    {
        ScriptedPrompt::showMessage(text);
        if (meanwhile)
            std::exchange(meanwhile, nullptr)();
    }
};

// The per-user transfer history: the file's exact layout, restore after a restart (also after
// the process was killed mid-transfer) with progress from the bytes on disk, and refusals.
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

    // Restores and waits until the restore has gone through every entry.
    bool restoreAll()
    {
        manager->restoreHistory();
        return QTest::qWaitFor([&] { return !manager->isRestoring(); }, Timeout);
    }

    int entriesInFile() const { return int(historyText().count(QStringLiteral(" filename="))); }

private slots:
    void init() { QVERIFY(openSession(QStringLiteral("files"))); }
    void cleanup() { closeAll(); }

    void layoutAfterAddAndRemove()
    {
        const QString source = target("up&<\"x\".bin");
        QVERIFY(writeFile(source, QByteArray(1234, 'u')));
        const int down = manager->startDownload(target("d.bin"), BigId, BigSize, "L<1>");
        const int up = manager->startUpload(source);
        QVERIFY(down > 0 && up > 0);
        const QString downloads =
            QStringLiteral("    <Downloads>\n        <cmd%1 filename=\"%2\" folderId=\"201\" "
                           "size=\"2097152\" link=\"L&lt;1&gt;\" playable=\"0\"/>\n"
                           "    </Downloads>\n")
                .arg(down)
                .arg(target("d.bin.201.part"));
        const QString serverName = qobject_cast<DUploadCommand*>(transfer(up))->serverFileName();
        const QString uploads =
            QStringLiteral("    <Uploads>\n        <cmd%1 filename=\"%2\" serverfilename=\"%3\" "
                           "folderId=\"-1\" size=\"1234\"/>\n    </Uploads>\n")
                .arg(up)
                .arg(source.toHtmlEscaped(), serverName.toHtmlEscaped());
        QTRY_COMPARE_WITH_TIMEOUT(
            historyText(), EmptyHistory + "<Transfers>\n" + downloads + uploads + "</Transfers>\n",
            Timeout);
        QCOMPARE(int(QFileInfo(manager->historyFilePath()).permissions() & 0x7077), 0x6000);
        // A running transfer keeps its entry.
        transfer(down)->setStatus(StatusRunning);
        QVERIFY(!manager->removeFromHistory(transfer(down)));
        transfer(down)->setStatus(StatusPaused);
        manager->abort(up);
        QTRY_COMPARE(historyText(), EmptyHistory + "<Transfers>\n" + downloads + "</Transfers>\n");
        manager->abort(down);
        QTRY_COMPARE(historyText(), EmptyHistory);
        QVERIFY(!manager->hasHistory());
    }

    // Files as a previous run (or a crash, a full disk, another program) left them: what comes
    // back, whether the user hears that the file was damaged, and how many entries the file
    // holds afterwards (never fewer than could be read).
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
        const auto entries = [&](int n) {
            QString text;
            for (int i = 1; i <= n; ++i)
                text += entry.arg("%1", QString::number(i), i == 1 ? "1" : "yes");
            return text;
        };
        QTest::newRow("three entries") << head + entries(3) + tail << 3 << false << 3;
        QTest::newRow("control character in the middle entry")
            << head + entries(1) + entry.arg("%1", "2\v", "0") + entries(3).mid(entries(2).size()) +
                   tail
            << 2 << true << 2;
        QTest::newRow("truncated in the third entry")
            << head + entries(2) + entries(3).mid(entries(2).size()).left(40) << 2 << true << 2;
        QTest::newRow("not XML") << EmptyHistory + "<Transfers><Down" << 0 << true << 0;
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
        content.replace(QLatin1String("%1"), folder);
        QVERIFY(writeFile(home->dataFolder() + "/transfers_alice", content.toUtf8()));
        QVERIFY(openManager());
        QVERIFY(restoreAll());
        QCOMPARE(restoredIds().size(), restored);
        const QDir data(home->dataFolder());
        QCOMPARE(data.entryList({"transfers_alice.corrupt-*"}, QDir::Files).size(),
                 damaged ? 1 : 0);
        QCOMPARE(prompts->texts().filter("transfers could be read back").size(), damaged ? 1 : 0);
        if (damaged)
            QVERIFY(prompts->texts().last().contains(QString::number(restored) + " transfers"));
        manager->saveHistoryNow();
        QTEST(entriesInFile(), "kept");
        if (restored == 0)
            return;
        const int first = restoredIds().first();
        QVERIFY(manager->isPlayable(first));
        QVERIFY(!manager->isPlayable(restoredIds().last()));
        // An empty partial file stands in for one that was never written.
        QCOMPARE(progress.value(first, -1), 0LL);
    }

    // A refusal ends the restore with one box, shown once the restore is over: a transfer the
    // user adds while it is open (or during the restore) takes no entry of the history.
    void refusalsAtRestore_data()
    {
        QTest::addColumn<QString>("param"); // turned off for the next login
        QTest::addColumn<bool>("midway");   // downloads turned off once the restore has begun
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("restored");
        QTest::newRow("no downloads: nothing at all")
            << "param2" << false << "Your account Can NOT Downloads!" << 0;
        QTest::newRow("no uploads: downloads only")
            << "param1" << false << "Your account Can NOT Uploads!" << 1;
        QTest::newRow("downloads turned off during the restore")
            << "" << true << "Your account Can NOT Downloads!" << 0;
    }

    void refusalsAtRestore()
    {
        QFETCH(QString, param);
        QFETCH(bool, midway);
        QFETCH(QString, text);
        QVERIFY(writeFile(target("s.bin"), "12345") && writeFile(target("n.bin"), "new"));
        QVERIFY(startBig("q.bin") > 0 && manager->startUpload(target("s.bin")) > 0);
        if (!param.isEmpty())
            standIn.setAccount("alice", {{param, "0"}});
        manager->abortAll(); // quit, and log in again
        manager.reset();
        const bool restarted = openManager();
        if (!param.isEmpty())
            standIn.setAccount("alice", {{param, "1"}});
        QVERIFY(restarted);
        // While a box is open the user starts another upload.
        prompts.reset();
        auto* busy = new BusyUserPrompt;
        prompts.reset(busy);
        if (midway)
            busy->meanwhile = [this] { manager->startUpload(target("n.bin")); };
        manager->restoreHistory();
        if (midway)
            DGlobals::canDownload = false;
        const bool restored = QTest::qWaitFor([&] { return !manager->isRestoring(); }, Timeout);
        DGlobals::canDownload = true;
        QVERIFY(restored);
        QCOMPARE(prompts->texts(), QStringList{text});
        QVERIFY(!home->logLines().filter(text).isEmpty());
        QTEST(int(restoredIds().size()), "restored");
        // Nothing lost: the entries not restored stay, the user's upload joins them.
        const QString history = historyText();
        for (const char* name : {"q.bin.201.part", "s.bin", "n.bin"})
            QVERIFY2(!midway || history.contains(name), name);
        QCOMPARE(entriesInFile(), midway ? 3 : 2);
    }

    // Killed mid-download: back paused under a new id, with its link and the progress of the
    // bytes on disk, and resumed from exactly there. A file the user chose to overwrite stays as
    // it was until the new one is whole, then the new one takes its place. Killed right after
    // the finished file took its name: it is not fetched again.
    void killedDownloadEndsOnce_data()
    {
        QTest::addColumn<QString>("moment"); // of the kill: midway, renamed, queued
        QTest::addColumn<bool>("overwrite"); // the user's file of the same size is in the way
        QTest::newRow("mid-download") << "midway" << false;
        QTest::newRow("mid-download, overwriting the user's file") << "midway" << true;
        QTest::newRow("right after the rename at the end") << "renamed" << false;
        QTest::newRow("queued to overwrite a file of the same size") << "queued" << true;
        QTest::newRow("queued beside a kept file of the same size") << "kept" << true;
    }

    void killedDownloadEndsOnce()
    {
        QFETCH(QString, moment);
        QFETCH(bool, overwrite);
        const QString path = target("k.bin");
        const QString partial = path + ".201.part";
        const QByteArray mine(int(BigSize), 'm');
        QVERIFY(!overwrite || writeFile(path, mine));
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
        const qint64 before = QFileInfo(partial).size();
        QVERIFY(!overwrite || readFile(path) == mine);

        standIn.reset();
        QVERIFY(openManager());
        QVERIFY(restoreAll());
        if (moment == "renamed") {
            QCOMPARE(restoredIds().size(), 0);
            QCOMPARE(entriesInFile(), 0);
            QVERIFY(standIn.requests("download").isEmpty());
        } else {
            QCOMPARE(restoredIds().size(), 1);
            const int id = restoredIds().first();
            QCOMPARE(manager->status(id), int(StatusPaused));
            QCOMPARE(lastReport(id, TransferQueued)->size, BigSize);
            QVERIFY(historyText().contains(
                QStringLiteral("<cmd%1 filename=\"%2\" folderId=\"201\" size=\"2097152\" "
                               "link=\"k\" playable=\"0\"%3/>")
                    .arg(id)
                    .arg(partial, moment == "kept" ? " namesake=\"1\""
                                  : overwrite      ? " overwrite=\"1\""
                                                   : "")));
            QTRY_COMPARE_WITH_TIMEOUT(transfer(id)->currentResumeOffset(), before, Timeout);
            QTRY_COMPARE_WITH_TIMEOUT(progress.value(id), before * 10000 / BigSize, Timeout);
            QVERIFY2(finishes(resumed(id)), trace(id));
            QCOMPARE(ranges(), QStringList{before > 0 ? QStringLiteral("bytes=%1-").arg(before)
                                                      : QStringLiteral("-")});
        }
        // A kept file stays; the download takes the first free name beside it.
        const QString done = moment == "kept" ? target("k(1).bin") : path;
        QCOMPARE(StandIn::sha256Of(done), bigSha());
        QVERIFY(moment != "kept" || readFile(path) == mine);
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), moment == "kept" ? 2 : 1);
    }

    // An upload is done once the service has registered the file, exactly once: a quit while
    // the service drops every notice keeps it for the next start, which sends no byte again;
    // an entry a kill left after the service registered it sends nothing at all. A file of the
    // same name and size in the folder before tells nothing: the notice goes out.
    void uploadRegisteredOnce_data()
    {
        QTest::addColumn<QString>("end");   // quit (notices failing) or left (by a kill)
        QTest::addColumn<bool>("namesake"); // the same file was registered before
        QTest::newRow("quit while the service drops the notices") << "quit" << false;
        QTest::newRow("entry left after the service registered it") << "left" << false;
        QTest::newRow("quit while notices fail, same name and size listed") << "quit" << true;
    }

    void uploadRegisteredOnce()
    {
        QFETCH(QString, end);
        QFETCH(bool, namesake);
        // The service keeps its files from row to row.
        static int row = 0;
        const QString name = QStringLiteral("u%1.bin").arg(++row);
        const QString path = target(name);
        QVERIFY(writeFile(path, pattern(300000, row)));
        if (namesake) {
            QSignalSpy listed(manager.get(), &DCommandManager::di_contentsChanged);
            const int first = resumed(manager->startUpload(path));
            QVERIFY2(finishes(first), trace(first));
            QTRY_VERIFY_WITH_TIMEOUT(!listed.isEmpty(), Timeout);
        }
        if (end == "quit")
            standIn.addFault({{"kind", "upload_done"}, {"action", "drop"}, {"times", 0}});
        const int id = manager->startUpload(path);
        QVERIFY(id > 0);
        const QString left = historyText();
        resumed(id);
        if (end == "quit") {
            QTRY_VERIFY_WITH_TIMEOUT(standIn.requests("upload_done").size() >= 3, Timeout);
            QVERIFY(!lastReport(id, TransferDone));
            QVERIFY(historyText().contains(name));
            manager->abortAll();
        } else {
            QVERIFY2(finishes(id), trace(id));
        }
        manager.reset();
        QVERIFY(end == "quit" || writeFile(home->dataFolder() + "/transfers_alice", left.toUtf8()));

        standIn.reset();
        QVERIFY(openManager());
        QVERIFY(restoreAll());
        QCOMPARE(restoredIds().size(), 1);
        const int restored = restoredIds().first();
        QVERIFY2(finishes(resumed(restored)), trace(restored));
        const QStringList commands = ftpCommands();
        QVERIFY2(!commands.contains("STOR") && !commands.contains("APPE"),
                 qPrintable(commands.join(' ')));
        QCOMPARE(standIn.requests("upload_done").size(), end == "quit" ? 1 : 0);
        int registered = 0;
        for (const auto& file : standIn.files("alice"))
            registered += file.toObject().value("name").toString() == name;
        QCOMPARE(registered, 1 + int(namesake));
        QCOMPARE(historyText(), EmptyHistory);
    }

    // Saves are coalesced, never skipped: a clean quit right after a burst keeps every entry;
    // a kill -9 loses at most the burst of its last moment, and the file stays whole.
    void burstOfAddsSurvives_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("clean quit") << "quit";
        QTest::newRow("kill -9") << "kill";
        QTest::newRow("a save that fails half-way keeps the last one") << "disk full";
    }

    void burstOfAddsSurvives()
    {
        QFETCH(QString, end);
        const int count = 40;
        for (int i = 0; i < count; ++i)
            QVERIFY(writeFile(target(QStringLiteral("u%1.bin").arg(i, 2, 10, QChar('0'))), "x"));
        manager.reset();
        if (end == "kill") {
            QCOMPARE(QProcess::execute(self, {ChildOption, "burst", folder}), -1); // killed
            QVERIFY(entriesInFile() >= count / 2);
            QVERIFY(historyText().endsWith("</Transfers>\n"));
            return;
        }
        QVERIFY(openManager());
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            QVERIFY(manager->startUpload(target(name)) > 0);
        if (end == "disk full") {
            manager->saveHistoryNow();
            const QString saved = historyText();
            // No file of this process may grow past half the history now: the next save breaks
            // off half-way, as on a full disk.
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
        QCOMPARE(entriesInFile(), count + (end == "disk full"));
    }

    // Every entry stays in the file until its transfer is back: a restore killed half-way
    // leaves the whole history, and the user's new transfers during a restore join it.
    void restoreKeepsEveryEntry()
    {
        const int count = 60;
        QString text = EmptyHistory + "<Transfers>\n    <Uploads>\n";
        for (int i = 0; i < count; ++i) {
            const QString path = target(QStringLiteral("r%1.bin").arg(i));
            QVERIFY(writeFile(path, "12345"));
            text += QStringLiteral("        <cmd%1 filename=\"%2\" serverfilename=\"r%1.srv\" "
                                   "folderId=\"-1\" size=\"5\"/>\n")
                        .arg(i + 1)
                        .arg(path);
        }
        text += "    </Uploads>\n</Transfers>\n";
        manager.reset();
        QVERIFY(writeFile(home->dataFolder() + "/transfers_alice", text.toUtf8()));

        QCOMPARE(QProcess::execute(self, {ChildOption, "restore", "-"}), -1);
        QCOMPARE(entriesInFile(), count);

        QVERIFY(writeFile(target("new.bin"), "new"));
        QVERIFY(openManager());
        manager->restoreHistory();
        QVERIFY(manager->isRestoring());
        QVERIFY(manager->startUpload(target("new.bin")) > 0);
        QVERIFY(QTest::qWaitFor([&] { return !manager->isRestoring(); }, Timeout));
        QCOMPARE(restoredIds().size(), count);
        QCOMPARE(entriesInFile(), count + 1);
        QVERIFY(historyText().contains("new.bin"));
    }

    // Each account has its own queue and history file: logging in as someone else puts the
    // first account's transfers aside (kept for its next login), and a restore never brings an
    // entry back twice.
    void anotherAccountDoesNotMix()
    {
        const int id = startBig("a.bin");
        QVERIFY(id > 0);
        QSignalSpy loggedIn(manager.get(), &DCommandManager::di_loggedIn);
        manager->login("bob", "pw/with/slash");
        QVERIFY(loggedIn.wait(Timeout));
        QCOMPARE(manager->status(id), int(StatusUnknown));
        QVERIFY(!manager->hasHistory());
        QVERIFY(historyText().contains("a.bin.201.part"));
        QVERIFY(!QFile::exists(home->dataFolder() + "/transfers_bob") ||
                !readFile(home->dataFolder() + "/transfers_bob").contains("a.bin"));

        manager->login("alice", "secret");
        QVERIFY(loggedIn.wait(Timeout));
        QVERIFY(restoreAll());
        QVERIFY(restoreAll());
        QCOMPARE(restoredIds().size(), 1);
    }
};

// Killed processes (HOME and service come from the parent's environment):
//   midway <path>           starts one download and runs until the parent kills it;
//   renamed <path>          starts one download, recorded whole in the history, and kills
//                           itself the moment it is done;
//   queued <path>           queues one download and kills itself once the history holds it;
//   burst <folder>          adds uploads of every file in the folder in two bursts, a moment
//                           apart, and kills itself right after the second;
//   restore -               restores the history and kills itself half-way through.
static int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScriptedPrompt prompts;
    TransferSession session;
    if (!session.openManager())
        return 2;
    const QString path = QString::fromLocal8Bit(argv[3]);
    if (qstrcmp(argv[2], "burst") == 0) {
        const QStringList files = QDir(path).entryList(QDir::Files, QDir::Name);
        for (int i = 0; i < files.size(); ++i) {
            if (i == files.size() / 2)
                QTest::qWait(1000);
            session.manager->startUpload(path + QLatin1Char('/') + files.at(i));
        }
        ::raise(SIGKILL);
    }
    if (qstrcmp(argv[2], "restore") == 0) {
        // A restore may take a single slice now, so count the transfers as they come back.
        QObject::connect(session.manager.get(), &DCommandManager::di_dataTransferStatus,
                         [restored = 0]() mutable {
                             if (++restored == 30)
                                 ::raise(SIGKILL);
                         });
        session.manager->restoreHistory();
        return app.exec();
    }
    // A file in the way is overwritten, or kept: "Rename", then the new name dialog closed.
    const bool keep = qstrcmp(argv[2], "kept") == 0;
    prompts.conflictAnswers << (keep ? DPrompt::ConflictRename : DPrompt::ConflictOverwrite);
    prompts.newNameAnswers << QString();
    const int id = session.manager->startDownload(path, BigId, BigSize, QStringLiteral("k"));
    if (id <= 0)
        return 3;
    const QString history = session.manager->historyFilePath();
    if (!QTest::qWaitFor([&] { return readFile(history).contains("size=\"2097152\" link"); }))
        return 4;
    if (qstrcmp(argv[2], "queued") == 0 || keep)
        ::raise(SIGKILL);
    QObject::connect(session.manager.get(), &DCommandManager::di_dataTransferStatus,
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
