#include "engine/dcommandmanager.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "tests/ui/modalanswer.h"
#include "ui/dwidgetprompt.h"
#include "ui/logindialog.h"
#include "ui/mainwindow.h"

#include <QAction>
#include <QCheckBox>
#include <QCompleter>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QtTest>

#include <functional>

struct Login
{
    QString name, password;
    bool remember;
};
Q_DECLARE_METATYPE(QList<Login>)

// The line edits of the preferences' first tab, by their place in the dialog.
constexpr int Transfers = 0, Downloads = 1, Uploads = 2, DownSpeed = 3, ProxyHost = 5,
              ProxyPort = 8;
using Edits = QMap<int, QString>;

// The dialogs, driven by clicks: remembered accounts in the login dialog, the preferences
// against a real engine, and the real dialogs behind the engine's questions.
class TestDialogs : public QObject
{
    Q_OBJECT

    // The name edit (0) and the password edit (1).
    static QLineEdit* edit(LoginDialog& dialog, int which)
    {
        return dialog.findChildren<QLineEdit*>().at(which);
    }

    // One use of a fresh dialog, as the window makes it: type, maybe tick, press "Login".
    static void logIn(const Login& login)
    {
        LoginDialog dialog;
        edit(dialog, 0)->setText(login.name);
        edit(dialog, 1)->setText(login.password);
        dialog.findChild<QCheckBox*>()->setChecked(login.remember);
        ModalAnswer::click(&dialog, "Login");
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    static QLineEdit* field(QDialog* dialog, int which)
    {
        QList<QLineEdit*> inGroups;
        for (QGroupBox* group : dialog->findChildren<QGroupBox*>())
            inGroups += group->findChildren<QLineEdit*>();
        return inGroups.at(which);
    }

    // Opens the preferences as the window's "&Option" does while `act` works on the open
    // dialog; a dialog still open afterwards is closed without OK.
    static void runDialog(MainWindow& window, const std::function<void(QDialog*)>& act)
    {
        ModalAnswer::next([&](QWidget* widget) {
            auto* dialog = qobject_cast<QDialog*>(widget);
            act(dialog);
            if (dialog->isVisible())
                dialog->reject();
        });
        QMetaObject::invokeMethod(&window, "onOptions");
    }

private slots:
    void remembered_data()
    {
        QTest::addColumn<QStringList>("namesOnly"); // in the file before, without passwords
        QTest::addColumn<QList<Login>>("logins");
        QTest::addColumn<QStringList>("names");     // completions, in order
        QTest::addColumn<QStringList>("passwords"); // filled in for each name
        const auto row = [](const char* name, const QList<Login>& logins, const QStringList& names,
                            const QStringList& passwords, const QStringList& namesOnly = {}) {
            QTest::newRow(name) << namesOnly << logins << names << passwords;
        };
        row("known name, new password, beyond Latin-1",
            {{"thu\u1ea3o", "one", true}, {"thu\u1ea3o", "m\u1eadt", true}}, {"thu\u1ea3o"},
            {"m\u1eadt"});
        row("names differ in case, unticked ones are not kept",
            {{"alice", "a", true},
             {"Alice", "B", true},
             {"alice", "c", false},
             {"bob", "d", false}},
            {"alice", "Alice"}, {"a", "B"});
        row("empty password keeps the pairs",
            {{"alice", "", true}, {"bob", "pw/b", true}, {"", "x", true}}, {"alice", "bob"},
            {"", "pw/b"});
        row("names stored without a password are kept", {{"alice", "a", true}},
            {"carol", "dave", "alice"}, {"", "", "a"}, {"carol", "dave"});
    }

    void remembered()
    {
        QFETCH(QStringList, namesOnly);
        QFETCH(QList<Login>, logins);
        QFETCH(QStringList, names);
        QFETCH(QStringList, passwords);
        TestHome home;
        for (const QString& name : namesOnly)
            logIn({name, "x", true});
        if (!namesOnly.isEmpty())
            QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat).remove("param2s");
        for (const Login& login : logins)
            logIn(login);

        LoginDialog dialog;
        QCompleter* completer = edit(dialog, 0)->completer();
        QCOMPARE(qobject_cast<QStringListModel*>(completer->model())->stringList(), names);
        for (int i = 0; i < names.size(); ++i) {
            edit(dialog, 0)->setText(names.at(i));
            emit edit(dialog, 0)->editingFinished();
            QCOMPARE(edit(dialog, 1)->text(), passwords.at(i));
        }
    }

    // The file holds every item scrambled (uppercase hexadecimal, never the plain text), each
    // save draws a new key, and only the owner may read the file and its folder.
    void storedScrambled()
    {
        TestHome home;
        const QString file = DCommandManager::settingsFilePath();
        QStringList saves;
        for (int i = 0; i < 2; ++i) {
            logIn({"alice", "secret", true});
            const QSettings settings(file, QSettings::IniFormat);
            saves << settings.value("param1s").toStringList() +
                         settings.value("param2s").toStringList();
        }
        QCOMPARE(saves.size(), 4);
        QVERIFY(saves.at(0) != saves.at(2) && saves.at(1) != saves.at(3));
        QVERIFY2(QRegularExpression("^([0-9A-F]+,)+$").match(saves.join(',') + ',').hasMatch(),
                 qPrintable(saves.join(',')));
        QVERIFY(!readFile(file).contains("alice") && !readFile(file).contains("secret"));
        QCOMPARE(int(QFile::permissions(file) & 0x7077), 0x6000);
        QCOMPARE(int(QFileInfo(home.dataFolder()).permissions() & 0x7077), 0x7000);
    }
    void apply_data()
    {
        QTest::addColumn<Edits>("edits");
        QTest::addColumn<QList<int>>("limits"); // transfers, downloads, uploads; none: refused
        QTest::addColumn<double>("downSpeed");
        QTest::newRow("zero or empty means the maximum")
            << Edits{{Transfers, ""}, {Downloads, "0"}, {Uploads, "0"}, {DownSpeed, ""}}
            << QList<int>{15, 10, 5} << 0.0;
        QTest::newRow("above the maximum is the maximum")
            << Edits{{Downloads, "11"}, {DownSpeed, "250.5"}} << QList<int>{4, 10, 2} << 250.5;
        QTest::newRow("text that is not a number")
            << Edits{{Transfers, "7"}, {Uploads, "three"}} << QList<int>{} << 0.0;
    }

    // OK writes the values into the engine; a field that is not a number keeps the dialog
    // open with a message, and closing it then changes nothing. The unchanged (empty) VLC path
    // is never handed to the window, whose setter would refuse it with a message.
    void apply()
    {
        QFETCH(Edits, edits);
        QFETCH(QList<int>, limits);
        const bool refused = limits.isEmpty();
        TestHome home;
        MainWindow window;
        ScriptedPrompt prompt; // after the window, which installs its own
        DCommandManager* engine = window.engine();
        runDialog(window, [&](QDialog* dialog) {
            for (auto it = edits.cbegin(); it != edits.cend(); ++it)
                field(dialog, it.key())->setText(it.value());
            ModalAnswer::click(dialog, "OK");
            QCOMPARE(dialog->isVisible(), refused);
        });
        QCOMPARE(prompt.texts().size(), refused ? 1 : 0);
        QCOMPARE((QList<int>{engine->maxTransfers(), engine->maxDownloads(), engine->maxUploads()}),
                 (refused ? QList<int>{4, 2, 2} : limits));
        QTEST(engine->maxDownSpeed(), "downSpeed");
    }

    // The power-off box and the tray's action show the same armed state either way round, so
    // that OK never arms what the tray disarmed; unchecking "Proxy" keeps what was typed.
    void choices()
    {
        TestHome home;
        MainWindow window;
        auto* trayPowerOff = window.findChild<QAction*>("powerOffAction");
        runDialog(window, [&](QDialog* dialog) {
            trayPowerOff->trigger(); // armed from the tray while the dialog is open
            QCheckBox* powerOff = dialog->findChildren<QCheckBox*>().at(1);
            QVERIFY(powerOff->isChecked());
            powerOff->toggle();
            field(dialog, ProxyHost)->setText("proxy.lan");
            dialog->findChildren<QGroupBox*>().at(2)->setChecked(false);
            ModalAnswer::click(dialog, "OK");
        });
        QString host, user, password;
        int port = 0;
        QVERIFY(!window.engine()->proxy(host, user, password, port));
        QCOMPARE(host, QString("proxy.lan"));
        QVERIFY(!window.engine()->powerOff() && !trayPowerOff->isChecked());
    }

    // Messages told from completion steps wait for the user's own dialog to close, never stack
    // on it or on each other, and a text told again while it waits is shown once.
    void toldMessagesWaitTheirTurn()
    {
        DWidgetPrompt prompt;
        ModalAnswer::Watch user(
            [](QWidget* dialog) {
                if (auto* box = qobject_cast<QMessageBox*>(dialog))
                    box->accept();
            },
            20);
        QDialog own; // the user's: open while the failures come in
        QTimer::singleShot(0, [&] {
            prompt.tellLater("Transfer Perform failed(1): Timeout was reached");
            prompt.tellLater("Transfer Perform failed(1): Timeout was reached");
            prompt.tellLater("Invalid user name or password");
            QTimer::singleShot(600, &own, &QDialog::accept);
        });
        own.exec();
        QTRY_COMPARE_WITH_TIMEOUT(user.shown.size(), 3, 5000);
        QTest::qWait(600);
        QCOMPARE(
            user.shown,
            QStringList({"QDialog", "QMessageBox: Transfer Perform failed(1): Timeout was reached",
                         "QMessageBox: Invalid user name or password"}));
        QCOMPARE(user.mostAtOnce, 1);
    }

    // The real dialogs behind the engine's questions: "Rename" is offered first, the suggested
    // name is editable, closing a dialog cancels, and without a user to answer nothing is shown
    // and everything is cancelled.
    void questionDialogs()
    {
        DWidgetPrompt prompt;
        const auto answer = [](const std::function<void(QWidget*)>& act) {
            ModalAnswer::next([act](QWidget* dialog) {
                act(dialog);
                ModalAnswer::click(dialog, "OK");
            });
        };
        answer([](QWidget*) {});
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictRename);
        answer([](QWidget* dialog) { dialog->findChildren<QRadioButton*>().at(1)->click(); });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictOverwrite);
        answer([](QWidget* dialog) {
            auto* edit = dialog->findChild<QLineEdit*>();
            QCOMPARE(edit->text(), QString("film(1)(2).avi"));
            edit->setText("mine.avi");
        });
        QString name = "film(1)(2).avi";
        QVERIFY(prompt.askNewName(name));
        QCOMPARE(name, QString("mine.avi"));
        ModalAnswer::next([](QWidget* dialog) { dialog->close(); });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictCancelled);

        qputenv("FERRYDESK_NONINTERACTIVE", "1");
        QVERIFY(!prompt.askNewName(name));
        QCOMPARE(prompt.askTargetExists("/tmp/x"), DPrompt::ConflictCancelled);
        qunsetenv("FERRYDESK_NONINTERACTIVE");
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
