#include "engine/datafolder.h"
#include "engine/dtimings.h"
#include "support/dshutdown.h"
#include "support/dnotifier.h"
#include "support/dsingleinstance.h"
#include "tests/common/privatebus.h"
#include "tests/ui/queuewindow.h"
#include "ui/logindialog.h"

#include <QCheckBox>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Stands in for logind's manager: every Inhibit call gets the write end of a pipe of its own,
// so the test sees a lock let go when the read end reports the other end closed (the read
// ends stay open for the whole run).
class FakeLoginManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
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

// A notification service of the test's own: records every notice, can refuse them all, and
// sends the signal of a click on a notice's action.
class FakeNotifications : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notice
    {
        QString text; // summary|body
        QStringList actions;
        uint id;
    };
    QList<Notice> notices;
    QList<uint> closed;
    bool refuse = false;
    QDBusConnection bus{QString()};

    void click(uint id, const QString& action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
        bus.send(signal << id << action);
    }

public slots:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int)
    {
        if (refuse) {
            sendErrorReply(QDBusError::AccessDenied, "no notices today");
            return 0;
        }
        const uint id = replaces ? replaces : uint(notices.size() + 1);
        notices.append({summary + "|" + body, actions, id});
        return id;
    }
    void CloseNotification(uint id) { closed.append(id); }
};

// What the program asks of the desktop it runs on, on a session bus of the test's own: one
// program per home folder, no sleep while transferring, passwords in the keyring (Debian's
// gnome-keyring, with its keyrings in a folder of the test's own), notices, and the power-off
// countdown after the last transfer. The offscreen platform has no system tray, so the
// countdown shows as a notice of the service, or in its own window when no service takes it.
// The shut-down command is a script that records its call.
class TestDesktop : public QObject
{
    Q_OBJECT

private:
    PrivateBus m_bus;
    FakeNotifications m_fake;
    FakeLoginManager m_logind;
    QTemporaryDir m_scratch;
    const QString m_record = m_scratch.filePath("poweroff-calls");
    QTemporaryDir m_keyringHome;
    QProcess m_keyringDaemon;

    static QSettings settings()
    {
        return {DCommandManager::settingsFilePath(), QSettings::IniFormat};
    }

    static QString noticeWindow(MainWindow& window)
    {
        auto* box = window.findChild<QMessageBox*>("shutDownNotice");
        return box && box->isVisible() ? box->text() : QString();
    }

    // The window's running countdown timer, or null.
    static QTimer* runningCountdown(MainWindow& window)
    {
        for (QTimer* timer : window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (timer->isActive())
                return timer;
        }
        return nullptr;
    }

    bool serve(bool refusing)
    {
        m_fake.notices.clear();
        m_fake.closed.clear();
        m_fake.refuse = refusing;
        return m_fake.bus.registerObject("/org/freedesktop/Notifications", &m_fake,
                                         QDBusConnection::ExportAllSlots) &&
               m_fake.bus.registerService("org.freedesktop.Notifications");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bus.start());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        m_fake.bus = m_bus.connect("fake");
        // The login manager stands on the same bus, for the whole run.
        qputenv("FERRYDESK_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8());
        QVERIFY(m_fake.bus.registerObject("/org/freedesktop/login1", &m_logind,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(m_fake.bus.registerService("org.freedesktop.login1"));
        const QString script = m_scratch.filePath("poweroff");
        QVERIFY(
            writeFile(script,
                      "#!/bin/sh\n{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; } >> '" +
                          m_record.toUtf8() + "'\n",
                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("FERRYDESK_SHUTDOWN_COMMAND", (script + " --now \"two words\"").toUtf8());

        // The keyring daemon creates the "login" keyring, unlocked with the password on its input.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
            env.insert(name, m_keyringHome.path());
        m_keyringDaemon.setProcessEnvironment(env);
        m_keyringDaemon.setStandardOutputFile(QProcess::nullDevice());
        m_keyringDaemon.setStandardErrorFile(QProcess::nullDevice());
        m_keyringDaemon.start("gnome-keyring-daemon",
                              {"--unlock", "--foreground", "--components=secrets"});
        m_keyringDaemon.write("keyring-password");
        m_keyringDaemon.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     "org.freedesktop.secrets"),
                                 10000);
    }

    void cleanupTestCase() { stopProcess(m_keyringDaemon); }

    void cleanup()
    {
        DTimings::setScale(1.0);
        QFile::remove(m_record);
        m_fake.bus.unregisterService("org.freedesktop.Notifications");
        m_fake.bus.unregisterObject("/org/freedesktop/Notifications");
    }

    // A log-on start (-m) with the same HOME brings the first forward and ends with code 0
    // without logging in or touching the data folder: run beside it, it would restore the
    // first's history, and its saves would drop the transfers the first started since.
    void secondStartHandsOver()
    {
        QueueWindow q;
        QVERIFY(q.prepare());
        // The first: this test's window, with the program's own hand-over.
        DSingleInstance instance(dataFolder());
        QCOMPARE(instance.claim(), DSingleInstance::First);
        connect(&instance, &DSingleInstance::di_showRequested, q.window.get(),
                &MainWindow::showAppplication);
        QVERIFY(q.open());
        const int logins = q.service.requests("login").size();
        q.window->hide();

        QProcess second; // with this test's HOME and buses
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        second.start(FERRYDESK_BINARY, {"-m"});
        // One that runs beside the first is killed when the test ends.
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(q.service.requests("login").size(), logins);
        QVERIFY(q.window->isVisible());
    }

    // While any transfer runs the program holds a "sleep" lock of the login manager, in block
    // mode: pausing lets it go, resuming takes a new one, the end of the last transfer lets that
    // one go too.
    void noSleepWhileTransferring()
    {
        QueueWindow q;
        QVERIFY(q.open());
        // Slow until the pause, then at full speed.
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 64}, {"file", "201"}});
        q.startDownloads({"big.bin"}, {"201"});
        const int first = m_logind.calls.size(); // the locks of this test from here on
        q.invoke("onResumeAll");
        QTRY_COMPARE(m_logind.calls.size(), first + 1);
        QCOMPARE(m_logind.calls.at(first),
                 (QStringList{"sleep", "Ferrydesk", "Transfers running", "block"}));
        QVERIFY(m_logind.held(first));
        const int id = q.row(q.running, 0)->commandId();
        q.engine()->pause(id);
        QTRY_VERIFY(!m_logind.held(first));
        q.engine()->resume(id);
        q.engine()->flush();
        QTRY_COMPARE(m_logind.calls.size(), first + 2);
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 20000);
        QTRY_VERIFY(!m_logind.held(first + 1));
    }

    // The passwords are in the file before, as an earlier version without a keyring left them.
    void passwords_data()
    {
        QTest::addColumn<QString>("keyring"); // "running" or "locked"
        QTest::newRow("keyring: the file's passwords move") << "running";
        QTest::newRow("locked keyring: the file keeps them") << "locked";
    }

    void passwords()
    {
        QFETCH(QString, keyring);
        const QString user = "bob", password = "pw/with/slash";
        if (keyring == "locked") {
            QDBusMessage lock = QDBusMessage::createMethodCall(
                "org.freedesktop.secrets", "/org/freedesktop/secrets",
                "org.freedesktop.Secret.Service", "Lock");
            lock << QVariant::fromValue(QList<QDBusObjectPath>{
                QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
            QCOMPARE(QDBusConnection::sessionBus().call(lock).type(), QDBusMessage::ReplyMessage);
        }

        QueueWindow q;
        QVERIFY(q.prepare(user, password));
        LoginDialog earlier;
        earlier.findChildren<QLineEdit*>().at(0)->setText(user);
        earlier.findChildren<QLineEdit*>().at(1)->setText(password);
        earlier.findChild<QCheckBox*>()->setChecked(true);
        ModalAnswer::click(&earlier, "Login");
        QVERIFY(q.open(user, password));

        // A keyring that takes the passwords leaves only the names in the file; one that
        // refuses (it says so in the log) leaves the file as it was.
        if (keyring == "running") {
            QTRY_VERIFY(!settings().contains("LastPassWord") && !settings().contains("param2s"));
        } else {
            QTRY_VERIFY(!q.home.logLines().filter("keyring").isEmpty());
            QVERIFY(readFile(DCommandManager::settingsFilePath())
                        .contains("\nLastPassWord=" + password.toUtf8() + "\n"));
            QCOMPARE(settings().value("param2s").toStringList().size(), 1);
        }

        // The next start logs in by itself, and the dialog still knows the password.
        q.window.reset();
        q.window = std::make_unique<MainWindow>();
        q.prompt = std::make_unique<ScriptedPrompt>();
        QSignalSpy loggedIn(q.engine(), &DCommandManager::di_loggedIn);
        q.window->show();
        QVERIFY(loggedIn.wait(10000));
        auto* dialog = q.window->findChild<LoginDialog*>();
        dialog->findChildren<QLineEdit*>().at(0)->setText(user);
        QMetaObject::invokeMethod(dialog, "onUserNameChanged");
        QTRY_COMPARE(dialog->password(), password);
    }

    // Every tick takes one second off, also when the engine asked twice (a second request
    // restarts the countdown, it must not make each tick count twice).
    void countdownRunsToTheCommand()
    {
        DTimings::setScale(0.001); // one countdown second lasts a millisecond
        TestHome home;
        MainWindow window;
        window.shutDownRequested();
        window.shutDownRequested();
        QVERIFY(!noticeWindow(window).isEmpty());

        // Read what each tick showed, right after the window's own handling of it.
        QTimer* timer = runningCountdown(window);
        QVERIFY(timer);
        QStringList shown;
        connect(timer, &QTimer::timeout, this, [&] { shown << noticeWindow(window); });
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(m_record).isEmpty(), 60000);
        QCOMPARE(shown.size(), 600);
        QCOMPARE(shown.last(), QString()); // the notice closes as the command runs
        QCOMPARE(readFile(m_record), QByteArray("[--now][two words]\n"));
        QVERIFY(!timer->isActive());
        // Without the variable each platform has its fixed command.
        QCOMPARE(DShutdown::commandFor(DShutdown::Windows, " "),
                 QStringList({"shutdown", "-s", "-f", "-t", "0"}));
        QCOMPARE(DShutdown::commandFor(DShutdown::Linux, QString()),
                 QStringList({"systemctl", "poweroff"}));
    }

    // A click on the countdown's notice asks, "Yes" powers off at once and "Cancel" ends the
    // countdown. The desktop's notice is one, updated in place, with an "Abort" action that
    // stands for the click; a service that refuses it leaves the countdown to the window.
    void clickOnTheNotice_data()
    {
        QTest::addColumn<QString>("service"); // "none", "shows" or "refuses"
        QTest::addColumn<bool>("yes");
        QTest::newRow("Yes powers off at once") << "none" << true;
        QTest::newRow("Cancel stops the countdown") << "none" << false;
        QTest::newRow("desktop notice: Abort, Cancel") << "shows" << false;
        QTest::newRow("desktop notice refused: the window's") << "refuses" << false;
    }
    void clickOnTheNotice()
    {
        QFETCH(QString, service);
        QFETCH(bool, yes);
        DTimings::setScale(0.05); // the countdown lasts 30 s, notices merge for 200 ms
        QVERIFY(service == "none" || serve(service == "refuses"));
        TestHome home;
        MainWindow window;
        ScriptedPrompt prompts;
        prompts.yesAnswers = {yes};
        window.shutDownRequested();
        if (service == "refuses") {
            QTRY_VERIFY(!noticeWindow(window).isEmpty());
            return;
        }
        if (service == "shows") {
            QTRY_VERIFY(m_fake.notices.size() >= 2);
            const FakeNotifications::Notice shown = m_fake.notices[0];
            QVERIFY(shown.actions.contains("abort"));
            QCOMPARE(m_fake.notices[1].id, shown.id); // updated in place
            QCOMPARE(noticeWindow(window), QString());
            m_fake.click(shown.id, "abort");
            QTRY_COMPARE(m_fake.closed, QList<uint>{shown.id});
        } else {
            window.onTrayMessageClicked();
        }
        QCOMPARE(prompts.calls.size(), 1);
        QVERIFY(!runningCountdown(window));
        QCOMPARE(noticeWindow(window), QString());
        const int sent = m_fake.notices.size();
        QTest::qWait(DTimings::scaled(DNotifier::CoalesceMs) * 2);
        QCOMPARE(m_fake.notices.size(), sent);
        QTRY_COMPARE(readFile(m_record), yes ? QByteArray("[--now][two words]\n") : QByteArray());
    }

    // A failure shows at once; what comes within the next few seconds (another failure, then
    // the end of the batch) waits and shows merged into one notice. A row that was never
    // started does not hold the batch open.
    void transferNoticesMerge()
    {
        DTimings::setScale(0.5); // merging lasts 2 s: the reports below must fall within it
        QVERIFY(serve(false));
        QueueWindow q; // the window counts the rows it shows
        QVERIFY(q.open());
        DCommandManager* engine = q.engine();
        for (int id : {950, 951, 952, 953, 954})
            engine->reportTransferStatus(id, "f.bin", "f.bin", TransferQueued, QString(), 1);
        engine->reportTransferStatus(950, "a.bin", "a.bin", TransferError, "gone");
        QTRY_COMPARE(m_fake.notices.size(), 1);
        engine->reportTransferStatus(951, "b.bin", "b.bin", TransferError, "locked");
        engine->reportTransferStatus(952, "c.bin", "c.bin", TransferDone, QString());
        engine->reportTransferStatus(953, "d.bin", "d.bin", TransferDone, QString());
        QTRY_COMPARE(m_fake.notices.size(), 2);
        QCOMPARE(m_fake.notices[1].text,
                 QString("Transfers finished|b.bin: locked\n4 transfers ended: 2 done, 2 failed."));
        QTest::qWait(DTimings::scaled(DNotifier::CoalesceMs) * 2);
        QCOMPARE(m_fake.notices.size(), 2);
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
