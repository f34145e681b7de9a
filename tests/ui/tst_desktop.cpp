#include "engine/datafolder.h"
#include "support/dsingleinstance.h"
#include "tests/ui/queuewindow.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

// What the program asks of the desktop it runs on: one program per home folder.
class TestDesktop : public QObject
{
    Q_OBJECT

private:
    // The real program with the test's HOME and service.
    static void startProgram(QProcess& program, const QStringList& arguments, bool scripted)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (scripted)
            env.insert("FERRYDESK_NONINTERACTIVE", "1");
        else
            env.remove("FERRYDESK_NONINTERACTIVE");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(FERRYDESK_BINARY, arguments);
    }

    static bool historyHolds(const QueueWindow& q, const QString& fileId)
    {
        return readFile(q.engine()->historyFilePath()).contains("folderId=\"" + fileId.toUtf8());
    }

private slots:
    // A second start with the same HOME, while the first downloads, brings the first forward
    // and ends with code 0 without touching the data folder. Run beside it, it would restore
    // the first's history, and its saves would drop the transfers the first started since. A
    // socket left by a program killed with SIGKILL does not stand in the way.
    void secondStartHandsOver_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("scripted");
        QTest::addColumn<bool>("killedBefore");
        QTest::newRow("plain start") << QStringList{} << false << false;
        QTest::newRow("log-on start") << QStringList{"-m"} << false << false;
        QTest::newRow("scripted run") << QStringList{} << true << false;
        QTest::newRow("after a kill -9") << QStringList{} << true << true;
    }

    void secondStartHandsOver()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, scripted);
        QFETCH(bool, killedBefore);
        QueueWindow q;
        QVERIFY(q.prepare());
        DSingleInstance instance(dataFolder());
        if (killedBefore) {
            QProcess killed;
            startProgram(killed, {}, true);
            QTRY_VERIFY_WITH_TIMEOUT(q.service.requests("login").size() == 1, 20000);
            ::kill(pid_t(killed.processId()), SIGKILL);
            QVERIFY(killed.waitForFinished(20000));
        }
        const bool leftSocket = QFile::exists(instance.socketPath());
        const int logins = q.service.requests("login").size();

        // The first: this test's window, with the program's own hand-over (as the program's
        // start does it), downloading.
        QCOMPARE(instance.claim(), DSingleInstance::First);
        connect(&instance, &DSingleInstance::di_showRequested, q.window.get(),
                &MainWindow::showAppplication);
        QVERIFY(q.open());
        q.service.addFault({{"kind", "download"},
                            {"action", "throttle"},
                            {"kbps", 16},
                            {"file", "201"},
                            {"times", 0}});
        q.service.addFault({{"kind", "download"},
                            {"action", "throttle"},
                            {"kbps", 16},
                            {"file", "301"},
                            {"times", 0}});
        q.startDownloads({"big.bin"}, {"201"});
        q.invoke("onResumeAll");
        QTRY_COMPARE(q.engine()->runningDownloadCount(), 1);
        QTRY_VERIFY(historyHolds(q, "201"));
        // A second program would ask for big.bin's link when it restores it; that answer is
        // held back, so its history is saved after the first started clip.mp4.
        q.service.addFault(
            {{"kind", "dlfile"}, {"action", "delay"}, {"seconds", 3}, {"file", "201"}});
        q.window->hide();

        QProcess second;
        startProgram(second, arguments, scripted);
        const auto restored = [&] {
            return q.home.logLines().filter("Restoring 1 transfers from the history").size() > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning || restored(), 20000);
        q.startDownloads({"clip.mp4"}, {"301"});
        q.invoke("onResumeAll");
        QTRY_VERIFY(historyHolds(q, "301"));
        // Either the second start ends, or its history save lands (it must not).
        (void)QTest::qWaitFor(
            [&] { return second.state() == QProcess::NotRunning || !historyHolds(q, "301"); },
            15000);
        const bool ranBeside = second.state() != QProcess::NotRunning;
        if (ranBeside) {
            second.terminate();
            second.waitForFinished(20000);
        }
        QVERIFY2(historyHolds(q, "201") && historyHolds(q, "301"),
                 "a running download is missing from the transfer history");
        QVERIFY2(!ranBeside, "the second start ran beside the first");
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(q.service.requests("login").size(), logins + 1);
        QVERIFY(q.window->isVisible());
        QVERIFY2(!killedBefore || leftSocket, "the killed program left no socket behind");
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
