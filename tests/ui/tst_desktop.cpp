#include "engine/datafolder.h"
#include "support/dsingleinstance.h"
#include "tests/common/privatebus.h"
#include "tests/ui/queuewindow.h"

#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Stands in for logind's manager: every Inhibit call gets the write end of a pipe of its own,
// so the test sees a lock let go when the read end reports the other end closed.
class FakeLoginManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~FakeLoginManager() override
    {
        for (const int fd : m_readEnds)
            ::close(fd);
    }

    QList<QStringList> calls;

    // True while the program keeps the lock's descriptor open.
    bool held(int index) const
    {
        pollfd end{m_readEnds.at(index), POLLIN, 0};
        return ::poll(&end, 1, 0) == 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        calls.append({what, who, why, mode});
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        m_readEnds.append(ends[0]);
        const QDBusUnixFileDescriptor lock(ends[1]); // a copy of its own
        ::close(ends[1]);
        return lock;
    }

private:
    QList<int> m_readEnds;
};

// What the program asks of the desktop it runs on: one program per home folder, no sleep while
// transferring.
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

private slots:
    // A second start with the same HOME brings the first forward and ends with code 0 without
    // logging in or touching the data folder: run beside it, it would restore the first's
    // history, and its saves would drop the transfers the first started since. A socket left
    // by a program killed with SIGKILL does not stand in the way.
    void secondStartHandsOver_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("killedBefore"); // and the second start scripted
        QTest::newRow("log-on start") << QStringList{"-m"} << false;
        QTest::newRow("scripted run after a kill -9") << QStringList{} << true;
    }
    void secondStartHandsOver()
    {
        QFETCH(QStringList, arguments);
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
            QVERIFY2(QFile::exists(instance.socketPath()), "the killed program left no socket");
        }
        // The first: this test's window, with the program's own hand-over (as the program's
        // start does it).
        QCOMPARE(instance.claim(), DSingleInstance::First);
        connect(&instance, &DSingleInstance::di_showRequested, q.window.get(),
                &MainWindow::showAppplication);
        QVERIFY(q.open());
        const int logins = q.service.requests("login").size();
        q.window->hide();

        QProcess second;
        startProgram(second, arguments, killedBefore);
        const bool ended =
            QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000);
        if (!ended)
            stopProcess(second);
        QVERIFY2(ended, "the second start ran beside the first");
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(q.service.requests("login").size(), logins);
        QVERIFY(q.window->isVisible());
    }

    // While any transfer runs the program holds a "sleep" lock of the login manager, in block
    // mode, and lets it go when nothing runs any more: all finished, paused, or the program
    // quits.
    void noSleepWhileTransferring_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("held until the downloads finish") << "finish";
        QTest::newRow("let go when paused, taken again on resume") << "pause";
        QTest::newRow("let go on quit") << "quit";
    }

    void noSleepWhileTransferring()
    {
        QFETCH(QString, ending);
        PrivateBus systemBus;
        FakeLoginManager logind;
        const auto dropFake =
            qScopeGuard([] { QDBusConnection::disconnectFromBus("fake-login1"); });
        QVERIFY(systemBus.start());
        qputenv("FERRYDESK_SYSTEM_BUS_ADDRESS", systemBus.address().toUtf8());
        QDBusConnection connection = systemBus.connect("fake-login1");
        QVERIFY(connection.registerObject("/org/freedesktop/login1", &logind,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(connection.registerService("org.freedesktop.login1"));
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault({{"kind", "download"},
                            {"action", "throttle"},
                            {"kbps", ending == "finish" ? 1024 : 64},
                            {"file", "201"},
                            {"times", 0}});
        q.startDownloads({"big.bin", "a.txt"}, {"201", "101"});
        QCOMPARE(logind.calls.size(), 0);
        q.invoke("onResumeAll");
        QTRY_VERIFY(q.engine()->runningDownloadCount() > 0);
        QTRY_COMPARE(logind.calls.size(), 1);
        QCOMPARE(logind.calls.at(0),
                 (QStringList{"sleep", "Ferrydesk", "Transfers running", "block"}));
        QTRY_VERIFY(q.engine()->keepsAwake());
        QVERIFY(logind.held(0));
        if (ending == "finish") {
            QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 2, 20000);
            QTRY_VERIFY(!logind.held(0));
        } else if (ending == "pause") {
            const int id = q.row(q.running, 0)->commandId();
            q.engine()->pause(id);
            QTRY_VERIFY(!logind.held(0));
            QCOMPARE(q.engine()->runningDownloadCount(), 0);
            q.engine()->resume(id);
            q.engine()->flush();
            QTRY_COMPARE(logind.calls.size(), 2);
            QTRY_VERIFY(logind.held(1));
            q.engine()->pause(id);
            QTRY_VERIFY(!logind.held(1));
        } else {
            q.engine()->abortAll(); // what "&Exit" does before the event loop ends
            QTRY_VERIFY(!logind.held(0));
        }
        QVERIFY(!q.engine()->keepsAwake());
        QCOMPARE(logind.calls.size(), ending == "pause" ? 2 : 1);
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
