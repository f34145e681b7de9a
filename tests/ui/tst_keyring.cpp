#include "tests/common/privatebus.h"
#include "tests/ui/queuewindow.h"
#include "ui/logindialog.h"

#include <QCheckBox>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLineEdit>
#include <QtTest>

// Where the window keeps passwords: in the desktop's keyring where a Secret Service runs
// (Debian's gnome-keyring, on a bus of the test's own, with its keyrings in a folder of the
// test's own), else in the settings file as it always did. Every row logs in once and then
// starts the program again, which must log in by itself: no password is ever lost.
class TestKeyring : public QObject
{
    Q_OBJECT

private:
    PrivateBus m_bus;
    QTemporaryDir m_keyringHome;
    QProcess m_keyringDaemon;

    // The daemon creates the "login" keyring, unlocked with the password on its input.
    bool startKeyring()
    {
        if (m_keyringDaemon.state() == QProcess::Running)
            return true;
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
        return QTest::qWaitFor(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    "org.freedesktop.secrets");
            },
            10000);
    }

    static QSettings settings()
    {
        return {DCommandManager::settingsFilePath(), QSettings::IniFormat};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bus.start());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
    }

    void cleanupTestCase() { stopProcess(m_keyringDaemon); }

    // Rows run in order: the keyring starts with the first row that wants one. The passwords
    // are in the file before, as an earlier version without a keyring left them.
    void passwords_data()
    {
        QTest::addColumn<QString>("keyring"); // "none", "running" or "locked"
        QTest::newRow("no keyring: the file as ever") << "none";
        QTest::newRow("keyring: the file's passwords move") << "running";
        QTest::newRow("locked keyring: the file keeps them") << "locked";
    }

    void passwords()
    {
        QFETCH(QString, keyring);
        const QString user = "bob", password = "pw/with/slash";
        if (keyring != "none")
            QVERIFY(startKeyring());
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
        if (keyring == "locked")
            QTRY_VERIFY(!q.home.logLines().filter("keyring").isEmpty());
        if (keyring == "running") {
            QTRY_VERIFY(!settings().contains("LastPassWord") && !settings().contains("param2s"));
        } else {
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
        QCOMPARE(q.engine()->userName(), user);
        auto* dialog = q.window->findChild<LoginDialog*>();
        dialog->findChildren<QLineEdit*>().at(0)->setText(user);
        QMetaObject::invokeMethod(dialog, "onUserNameChanged");
        QTRY_COMPARE(dialog->password(), password);
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
