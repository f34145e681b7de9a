#include "tests/transfers/transfersession.h"

#include <QCoreApplication>
#include <QProcess>

#include <csignal>

// Makes this program the killed process of the kill tests: "--child download|upload <path>".
static const char* const ChildOption = "--child";

// The per-user transfer history: the file's exact layout, restore after a restart (also after
// the process was killed mid-transfer) with progress from the bytes on disk, and refusals.
class TestHistory : public TransferFixture
{
    Q_OBJECT

private:
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

    // Quits (every command aborted) and logs in again.
    bool restart()
    {
        manager->abortAll();
        manager.reset();
        return openManager();
    }

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
        const auto escape = [](QString text) {
            return text.replace("&", "&amp;").replace("<", "&lt;").replace("\"", "&quot;");
        };
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
                .arg(escape(source), escape(serverName));
        QTRY_COMPARE_WITH_TIMEOUT(
            historyText(), EmptyHistory + "<Transfers>\n" + downloads + uploads + "</Transfers>\n",
            Timeout);
        // A running transfer keeps its entry.
        transfer(down)->setStatus(StatusRunning);
        QVERIFY(!manager->removeFromHistory(transfer(down)));
        transfer(down)->setStatus(StatusPaused);
        manager->abort(up);
        QCOMPARE(historyText(), EmptyHistory + "<Transfers>\n" + downloads + "</Transfers>\n");
        manager->abort(down);
        QCOMPARE(historyText(), EmptyHistory);
        QVERIFY(!manager->hasHistory());
    }

    void restoreAfterRestartResumesFromThePartial()
    {
        const QByteArray whole = bigContent();
        QCOMPARE(whole.size(), int(BigSize));
        QVERIFY(linked(manager->startDownload(target("r.bin"), BigId, BigSize, "link-r")));
        QVERIFY(writeFile(target("r.bin.201.part"), whole.left(1000000)));
        QVERIFY(restart());
        standIn.reset();
        manager->restoreHistory();
        QCOMPARE(restoredIds().size(), 1);
        const int id = restoredIds().first();
        QCOMPARE(lastReport(id, TransferQueued)->rFile, target("r.bin.201.part"));
        QCOMPARE(lastReport(id, TransferQueued)->size, BigSize);
        QCOMPARE(manager->status(id), int(StatusPaused));
        QTRY_COMPARE_WITH_TIMEOUT(progress.value(id), 1000000LL * 10000 / BigSize, Timeout);
        // The new id and the link are in the file again; the link is asked for over HTTPS.
        QVERIFY(historyText().contains(
            QStringLiteral("<cmd%1 filename=\"%2\" folderId=\"201\" size=\"2097152\" "
                           "link=\"link-r\" playable=\"0\"/>")
                .arg(id)
                .arg(target("r.bin.201.part"))));
        QCOMPARE(standIn.requests("dlfile").size(), 1);
        QVERIFY2(finishes(resumed(id)), trace(id));
        QCOMPARE(ranges(), (QStringList{"bytes=1000000-"}));
        QCOMPARE(readFile(target("r.bin")), whole);
    }

    void restoreFromFile_data()
    {
        QTest::addColumn<QString>("content"); // %1: the partial file
        QTest::addColumn<int>("restored");
        QTest::addColumn<bool>("playable");
        const QString entry = EmptyHistory +
                              "<Transfers>\n    <Downloads>\n        <cmd3 filename=\"%1\" "
                              "folderId=\"201\" size=\"2097152\" link=\"k\"%2/>\n"
                              "    </Downloads>\n</Transfers>\n";
        QTest::newRow("playable") << entry.arg("%1", " playable=\"1\"") << 1 << true;
        QTest::newRow("flag not a number") << entry.arg("%1", " playable=\"yes\"") << 1 << false;
        QTest::newRow("not XML") << EmptyHistory + "<Transfers><Down" << 0 << false;
        QTest::newRow("empty") << QString() << 0 << false;
    }

    void restoreFromFile()
    {
        QFETCH(QString, content);
        QFETCH(int, restored);
        QFETCH(bool, playable);
        const QString partial = target("p.bin.201.part");
        content.replace(QLatin1String("%1"), partial);
        QVERIFY(writeFile(manager->historyFilePath(), content.toUtf8()));
        QCOMPARE(manager->hasHistory(), restored > 0);
        manager->restoreHistory();
        QCOMPARE(restoredIds().size(), restored);
        if (restored == 0)
            return;
        QCOMPARE(manager->isPlayable(restoredIds().first()), playable);
        // An empty partial file stands in for one that was never written.
        QCOMPARE(QFileInfo(partial).size(), 0);
        QCOMPARE(progress.value(restoredIds().first(), -1), 0LL);
    }

    void refusalsAtRestore_data()
    {
        QTest::addColumn<QString>("param");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("restored");
        QTest::newRow("no downloads: nothing at all") << "param2"
                                                      << "Your account Can NOT Downloads!" << 0;
        QTest::newRow("no uploads: downloads only") << "param1"
                                                    << "Your account Can NOT Uploads!" << 1;
    }

    void refusalsAtRestore()
    {
        QFETCH(QString, param);
        QFETCH(QString, text);
        QFETCH(int, restored);
        QVERIFY(writeFile(target("s.bin"), "12345"));
        QVERIFY(startBig("q.bin") > 0 && manager->startUpload(target("s.bin")) > 0);
        standIn.setAccount("alice", {{param, "0"}});
        const bool restarted = restart();
        standIn.setAccount("alice", {{param, "1"}});
        QVERIFY(restarted);
        prompts->calls.clear();
        manager->restoreHistory();
        QCOMPARE(prompts->texts(), QStringList{text});
        QVERIFY(!home->logLines().filter(text).isEmpty());
        QCOMPARE(restoredIds().size(), restored);
    }

    void killedMidTransferResumesExactly_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("download") << "download";
        QTest::newRow("upload") << "upload";
    }

    void killedMidTransferResumesExactly()
    {
        QFETCH(QString, mode);
        const bool upload = mode == "upload";
        const QString path = target("k.bin");
        const QByteArray whole = upload ? pattern(1500000, 9) : bigContent();
        QVERIFY(!upload || writeFile(path, whole));
        standIn.addFault({{"kind", upload ? "ftp-stor" : "download"},
                          {"action", "throttle"},
                          {"kbps", 200},
                          {"times", 0}});
        manager.reset();
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {ChildOption, mode, path});
        // What got across before the kill: the partial file, or the file on the server.
        QString name;
        const auto sent = [&]() -> qint64 {
            if (!upload)
                return QFileInfo(path + ".201.part").size();
            const QString text = historyText();
            const int at = text.indexOf("serverfilename=\"") + 16;
            name = text.mid(at, text.indexOf('"', at) - at);
            return at < 16 ? 0 : standIn.ftpFile("alice", name).value("size").toInteger();
        };
        QTRY_VERIFY_WITH_TIMEOUT(sent() > 150000, Timeout);
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
        const qint64 before = sent();

        standIn.reset();
        QVERIFY(openManager());
        manager->restoreHistory();
        QCOMPARE(restoredIds().size(), 1);
        const int id = restoredIds().first();
        // A download resumes from the bytes on disk; an upload asks the server at restore.
        QTRY_VERIFY_WITH_TIMEOUT(transfer(id)->currentResumeOffset() >= before, Timeout);
        const qint64 offset = transfer(id)->currentResumeOffset();
        QVERIFY(upload || offset == before);
        QVERIFY(offset < whole.size());
        QTRY_COMPARE_WITH_TIMEOUT(progress.value(id), offset * 10000 / whole.size(), Timeout);
        QVERIFY2(finishes(resumed(id)), trace(id));
        if (upload) {
            QVERIFY(ftpCommands().contains("APPE"));
            QCOMPARE(ftpSha(name), StandIn::sha256Of(path));
        } else {
            QCOMPARE(ranges(), QStringList{QStringLiteral("bytes=%1-").arg(offset)});
            QCOMPARE(readFile(path), whole);
        }
    }
};

// The killed process: logs in (HOME and service come from the parent's environment), starts
// one transfer and runs until killed.
static int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScriptedPrompt prompts;
    TransferSession session;
    if (!session.openManager())
        return 2;
    const QString path = QString::fromLocal8Bit(argv[3]);
    const int id = qstrcmp(argv[2], "download") == 0
                       ? session.manager->startDownload(path, BigId, BigSize, QStringLiteral("k"))
                       : session.manager->startUpload(path);
    if (id <= 0)
        return 3;
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
