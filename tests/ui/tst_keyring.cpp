#include "tests/common/privatebus.h"
#include "tests/ui/queuewindow.h"
#include "ui/logindialog.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLineEdit>
#include <QProcess>
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
        env.insert("HOME", m_keyringHome.path());
        env.insert("XDG_DATA_HOME", m_keyringHome.filePath("data"));
        env.insert("XDG_CONFIG_HOME", m_keyringHome.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", m_keyringHome.path());
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_bus.address());
        m_keyringDaemon.setProcessEnvironment(env);
        m_keyringDaemon.setStandardOutputFile(QProcess::nullDevice());
        m_keyringDaemon.setStandardErrorFile(QProcess::nullDevice());
        m_keyringDaemon.start("gnome-keyring-daemon",
                              {"--unlock", "--foreground", "--components=secrets"});
        if (!m_keyringDaemon.waitForStarted())
            return false;
        m_keyringDaemon.write("keyring-password");
        m_keyringDaemon.closeWriteChannel();
        return QTest::qWaitFor(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    "org.freedesktop.secrets");
            },
            10000);
    }

    static bool lockKeyring()
    {
        QDBusMessage lock =
            QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                           "org.freedesktop.Secret.Service", "Lock");
        lock << QVariant::fromValue(
            QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
        return QDBusConnection::sessionBus().call(lock).type() == QDBusMessage::ReplyMessage;
    }

    // Types into the login dialog as soon as the window shows it.
    static void answerLoginDialog(MainWindow* window, const QString& user, const QString& password)
    {
        auto* poll = new QTimer(window);
        QObject::connect(poll, &QTimer::timeout, window, [=] {
            auto* dialog = window->findChild<LoginDialog*>();
            if (!dialog || !dialog->isVisible())
                return;
            poll->deleteLater();
            const QList<QLineEdit*> edits = dialog->findChildren<QLineEdit*>();
            edits.at(0)->setText(user);
            edits.at(1)->setText(password);
            dialog->findChild<QCheckBox*>()->setChecked(true);
            ModalAnswer::click(dialog, "Login");
        });
        poll->start(20);
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
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }

    void cleanupTestCase()
    {
        m_keyringDaemon.kill();
        m_keyringDaemon.waitForFinished();
    }

    // Rows run in order: the keyring starts with the first row that wants one.
    void passwords_data()
    {
        QTest::addColumn<QString>("keyring"); // "none", "running" or "locked"
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("typed"); // typed into the dialog, else already in the file
        QTest::newRow("no keyring: the file as ever") << "none"
                                                      << "alice"
                                                      << "secret" << true;
        QTest::newRow("keyring: typed password") << "running"
                                                 << "alice"
                                                 << "secret" << true;
        QTest::newRow("keyring: the file's passwords move") << "running"
                                                            << "bob"
                                                            << "pw/with/slash" << false;
        QTest::newRow("locked keyring: the file keeps them") << "locked"
                                                             << "bob"
                                                             << "pw/with/slash" << false;
    }

    void passwords()
    {
        QFETCH(QString, keyring);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, typed);
        if (keyring != "none")
            QVERIFY(startKeyring());
        if (keyring == "locked")
            QVERIFY(lockKeyring());

        QueueWindow q;
        QVERIFY(q.prepare(typed ? QString() : user, typed ? QString() : password));
        if (typed) {
            settings().remove("LastPassWord");
            answerLoginDialog(q.window.get(), user, password);
        } else {
            // Remembered by an earlier version, without a keyring.
            LoginDialog earlier;
            earlier.findChildren<QLineEdit*>().at(0)->setText(user);
            earlier.findChildren<QLineEdit*>().at(1)->setText(password);
            earlier.findChild<QCheckBox*>()->setChecked(true);
            ModalAnswer::click(&earlier, "Login");
        }
        QVERIFY(q.open(user, password));

        const QString file = DCommandManager::settingsFilePath();
        if (keyring == "running") {
            // Only the names stay in the file.
            QTRY_VERIFY(!settings().contains("LastPassWord") && !settings().contains("param2s"));
        } else {
            QCOMPARE(settings().value("LastPassWord").toString(), password);
            QVERIFY(readFile(file).contains("\nLastPassWord=" + password.toUtf8() + "\n"));
            QCOMPARE(settings().value("param2s").toStringList().size(), 1);
        }
        QCOMPARE(settings().value("LastUserName").toString(), user);
        QCOMPARE(settings().value("param1s").toStringList().size(), 1);
        QVERIFY(!readFile(file).contains("param2s=" + password.toUtf8()));
        QCOMPARE(QFile::permissions(file) & (QFile::ReadGroup | QFile::ReadOther),
                 QFile::Permissions());
        // A keyring that refuses says so once in the log, and the file keeps the passwords.
        const auto keyringLines = [&q] {
            int count = 0;
            for (const QString& line : q.home.logLines())
                count += line.contains("keyring");
            return count;
        };
        if (keyring == "locked") {
            QTRY_COMPARE(keyringLines(), 1);
            QCOMPARE(settings().value("LastPassWord").toString(), password);
            QCOMPARE(settings().value("param2s").toStringList().size(), 1);
        }
        QCOMPARE(keyringLines(), keyring == "locked" ? 1 : 0);

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
