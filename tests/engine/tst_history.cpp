#include "tests/transfers/transfersession.h"

#include "support/dlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

const QString BigId = QStringLiteral("201");
const qint64 BigSize = 2097152;
const char* const ChildModeVariable = "FERRYDESK_HISTORY_CHILD";

} // namespace

// The per-user transfer history: the file's exact layout, restore after a restart (also after
// the process was killed mid-transfer) with progress from the bytes on disk, and refusals.
class TestHistory : public QObject
{
    Q_OBJECT

private:
    StandIn standIn;
    TransferSession session;
    QString folder;

    QString target(const QString& name) const { return folder + QLatin1Char('/') + name; }

    // Ids of the transfers the restore announced, in order.
    QList<int> restoredIds() const
    {
        QList<int> ids;
        for (const auto& r : session.reports) {
            if (r.status == TransferQueued)
                ids << r.id;
        }
        return ids;
    }

    // The whole seeded file, fetched once through the engine itself.
    QByteArray bigContent()
    {
        static QByteArray content;
        if (!content.isEmpty())
            return content;
        const int id = session.manager->startDownload(target("whole.bin"), BigId, BigSize, "L");
        session.resume(id);
        if (!session.waitForEnd(id))
            return QByteArray();
        content = TransferSession::readFile(target("whole.bin"));
        QFile::remove(target("whole.bin"));
        return content;
    }

    // Runs this test program as a second process that starts one transfer and then runs until
    // it is killed.
    bool startChild(QProcess& child, const QString& mode, const QString& path)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildModeVariable), mode);
        environment.insert(QStringLiteral("FERRYDESK_HISTORY_PATH"), path);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {});
        return child.waitForStarted();
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
        folder = session.home->path() + QStringLiteral("/files");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(session.openManager());
    }

    void cleanup() { session.closeAll(); }

    void layoutAfterAddAndRemove()
    {
        const QString source = target("up&<\"x\".bin");
        QVERIFY(TransferSession::writeFile(source, QByteArray(1234, 'u')));
        const int down = session.manager->startDownload(target("d.bin"), BigId, BigSize, "L<1>");
        const int up = session.manager->startUpload(source);
        QVERIFY(down > 0 && up > 0);
        auto* upload = qobject_cast<DUploadCommand*>(session.manager->findCommand(up));
        const auto escape = [](QString text) {
            return text.replace("&", "&amp;").replace("<", "&lt;").replace("\"", "&quot;");
        };
        const QString downloadLine =
            QStringLiteral("        <cmd%1 filename=\"%2\" folderId=\"201\" size=\"2097152\" "
                           "link=\"L&lt;1&gt;\" playable=\"0\"/>\n")
                .arg(down)
                .arg(target("d.bin.201.part"));
        const QString downloads = QStringLiteral("    <Downloads>\n") + downloadLine +
                                  QStringLiteral("    </Downloads>\n");
        const QString uploads =
            QStringLiteral("    <Uploads>\n        <cmd%1 filename=\"%2\" serverfilename=\"%3\" "
                           "folderId=\"-1\" size=\"1234\"/>\n    </Uploads>\n")
                .arg(up)
                .arg(escape(source), escape(upload->serverFileName()));
        QCOMPARE(session.historyText(),
                 "<!DOCTYPE transfers>\n<Transfers>\n" + downloads + uploads + "</Transfers>\n");

        // A running transfer keeps its entry.
        session.transfer(down)->setStatus(StatusRunning);
        QVERIFY(!session.manager->removeFromHistory(session.transfer(down)));
        session.transfer(down)->setStatus(StatusPaused);

        session.manager->abort(up);
        QCOMPARE(session.historyText(),
                 "<!DOCTYPE transfers>\n<Transfers>\n" + downloads + "</Transfers>\n");
        session.manager->abort(down);
        QCOMPARE(session.historyText(), QStringLiteral("<!DOCTYPE transfers>\n"));
        QVERIFY(!session.manager->hasHistory());
    }

    void restoreAfterRestartResumesFromThePartial()
    {
        const QByteArray whole = bigContent();
        QCOMPARE(whole.size(), int(BigSize));
        const int id = session.manager->startDownload(target("r.bin"), BigId, BigSize, "link-r");
        QVERIFY(id > 0);
        QVERIFY(TransferSession::writeFile(target("r.bin.201.part"), whole.left(1000000)));
        session.manager->abortAll();
        session.closeManager();

        QVERIFY(session.openManager());
        QVERIFY(session.manager->hasHistory());
        standIn.reset();
        session.manager->restoreHistory();
        const QList<int> ids = restoredIds();
        QCOMPARE(ids.size(), 1);
        const int restored = ids.first();
        QVERIFY(restored != id);
        const auto* queued = session.lastReport(restored, TransferQueued);
        QCOMPARE(queued->rFile, target("r.bin.201.part"));
        QCOMPARE(queued->lFile, QStringLiteral("r.bin.201.part"));
        QCOMPARE(queued->size, BigSize);
        QCOMPARE(session.manager->status(restored), int(StatusPaused));
        QCOMPARE(session.progress.last().id, restored);
        QCOMPARE(session.progress.last().progress, 1000000LL * 10000 / BigSize);
        // The new id and the link are in the file again.
        QVERIFY(session.historyText().contains(
            QStringLiteral("<cmd%1 filename=\"%2\" folderId=\"201\" size=\"2097152\" "
                           "link=\"link-r\" playable=\"0\"/>")
                .arg(restored)
                .arg(target("r.bin.201.part"))));
        // The restore asks for the link over HTTPS.
        QCOMPARE(standIn.requests("dlfile").size(), 1);

        session.resume(restored);
        QVERIFY2(session.waitForEnd(restored), session.trace(restored));
        QCOMPARE(TransferSession::ranges(standIn), (QStringList{"bytes=1000000-"}));
        QCOMPARE(TransferSession::readFile(target("r.bin")), whole);
    }

    void playableFlagComesBack_data()
    {
        QTest::addColumn<QString>("attribute");
        QTest::addColumn<bool>("playable");
        QTest::newRow("1") << " playable=\"1\"" << true;
        QTest::newRow("0") << " playable=\"0\"" << false;
        QTest::newRow("missing") << "" << false;
        QTest::newRow("not a number") << " playable=\"yes\"" << false;
    }

    void playableFlagComesBack()
    {
        QFETCH(QString, attribute);
        QFETCH(bool, playable);
        const QString text = QStringLiteral("<!DOCTYPE transfers>\n<Transfers>\n    <Downloads>\n"
                                            "        <cmd3 filename=\"%1\" folderId=\"201\" "
                                            "size=\"2097152\" link=\"k\"%2/>\n    </Downloads>\n"
                                            "</Transfers>\n")
                                 .arg(target("p.bin.201.part"), attribute);
        QVERIFY(TransferSession::writeFile(session.manager->historyFilePath(), text.toUtf8()));
        session.manager->restoreHistory();
        QCOMPARE(restoredIds().size(), 1);
        QCOMPARE(session.manager->isPlayable(restoredIds().first()), playable);
        // An empty partial file stands in for one that was never written.
        QCOMPARE(QFileInfo(target("p.bin.201.part")).size(), 0);
        QCOMPARE(session.progress.last().progress, 0LL);
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
        const QString source = target("s.bin");
        QVERIFY(TransferSession::writeFile(source, "12345"));
        QVERIFY(session.manager->startDownload(target("q.bin"), BigId, BigSize, "L") > 0);
        QVERIFY(session.manager->startUpload(source) > 0);
        session.manager->abortAll();
        session.closeManager();

        standIn.setAccount("alice", {{param, "0"}});
        QVERIFY(session.openManager());
        standIn.setAccount("alice", {{param, "1"}});
        session.prompts->calls.clear();
        session.manager->restoreHistory();
        QCOMPARE(session.prompts->texts(), QStringList{text});
        QVERIFY(!session.home->logLines().filter(text).isEmpty());
        QCOMPARE(restoredIds().size(), restored);
    }

    void unreadableHistoryRestoresNothing_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("logged");
        QTest::newRow("not XML") << QByteArray("<!DOCTYPE transfers>\n<Transfers><Down")
                                 << "History corrupted";
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("no entries")
            << QByteArray("<!DOCTYPE transfers>\n<Transfers/>\n") << QString();
    }

    void unreadableHistoryRestoresNothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, logged);
        QVERIFY(TransferSession::writeFile(session.manager->historyFilePath(), content));
        QVERIFY(!session.manager->hasHistory());
        session.manager->restoreHistory();
        QVERIFY(restoredIds().isEmpty());
        if (!logged.isEmpty())
            QVERIFY(!session.home->logLines().filter(logged).isEmpty());
    }

    void killedMidDownloadResumesExactly()
    {
        const QByteArray whole = bigContent();
        standIn.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 200}, {"times", 0}});
        session.closeManager();
        QProcess child;
        QVERIFY(startChild(child, "download", target("k.bin")));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(target("k.bin.201.part")).size() > 150000; },
                                TransferSession::Timeout));
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
        const qint64 onDisk = QFileInfo(target("k.bin.201.part")).size();
        QVERIFY(onDisk < BigSize);

        standIn.reset();
        QVERIFY(session.openManager());
        session.manager->restoreHistory();
        QCOMPARE(restoredIds().size(), 1);
        const int id = restoredIds().first();
        QCOMPARE(session.progress.last().progress, onDisk * 10000 / BigSize);
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QCOMPARE(TransferSession::ranges(standIn),
                 QStringList{QStringLiteral("bytes=%1-").arg(onDisk)});
        QCOMPARE(TransferSession::readFile(target("k.bin")), whole);
    }

    void killedMidUploadResumesExactly()
    {
        const QString source = target("ku.bin");
        QVERIFY(TransferSession::writeFile(source, TransferSession::pattern(1500000, 9)));
        standIn.addFault(
            {{"kind", "ftp-stor"}, {"action", "throttle"}, {"kbps", 200}, {"times", 0}});
        session.closeManager();
        QProcess child;
        QVERIFY(startChild(child, "upload", source));
        QString name;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QString text = session.historyText();
                const int at = text.indexOf("serverfilename=\"");
                if (at < 0)
                    return false;
                name = text.mid(at + 16, text.indexOf('"', at + 16) - at - 16);
                return standIn.ftpFile("alice", name).value("size").toInt() > 150000;
            },
            TransferSession::Timeout));
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());

        standIn.reset();
        QVERIFY(session.openManager());
        session.manager->restoreHistory();
        QCOMPARE(restoredIds().size(), 1);
        const int id = restoredIds().first();
        // The restore asked the server how far the file got.
        const qint64 onServer = session.transfer(id)->currentResumeOffset();
        QVERIFY(onServer > 150000);
        QCOMPARE(session.progress.last().progress, onServer * 10000 / 1500000);
        session.resume(id);
        QVERIFY2(session.waitForEnd(id), session.trace(id));
        QVERIFY(TransferSession::ftpCommands(standIn).contains("APPE"));
        QCOMPARE(standIn.ftpFile("alice", name).value("sha256").toString(),
                 StandIn::sha256Of(source));
    }
};

// The child process of the kill tests: logs in, starts one transfer and runs until killed.
static int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScriptedPrompt prompts;
    TransferSession session;
    if (!session.openManager())
        return 2;
    const QString mode = qEnvironmentVariable(ChildModeVariable);
    const QString path = qEnvironmentVariable("FERRYDESK_HISTORY_PATH");
    const int id = mode == QLatin1String("download")
                       ? session.manager->startDownload(path, BigId, BigSize, QStringLiteral("k"))
                       : session.manager->startUpload(path);
    if (id <= 0)
        return 3;
    session.resume(id);
    return app.exec();
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(ChildModeVariable))
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestHistory test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
