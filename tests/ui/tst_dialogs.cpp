#include "engine/dcommandmanager.h"
#include "support/dvlc.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "tests/ui/modalanswer.h"
#include "ui/dformat.h"
#include "ui/dragformats.h"
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
#include <memory>

struct Login
{
    QString name, password;
    bool remember;
};
Q_DECLARE_METATYPE(QList<Login>)

// The line edits of the preferences' first tab, by their place in the dialog.
constexpr int Transfers = 0, Downloads = 1, Uploads = 2, DownSpeed = 3, ProxyHost = 5;
using Edits = QMap<int, QString>;

// Quotes, spaces, shell syntax and a leading "-": none of it may split or become an option.
const QString Address = "-vvv \"quoted\" it's $(echo x); a b.mkv";

// The dialogs, driven by clicks: remembered accounts in the login dialog, the preferences
// against a real engine, the real dialogs behind the engine's questions, the player preview;
// and what the panes show and hand to each other.
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

    // A player at `path` that writes each argument it got on a line of "<itself>.args".
    static QString plant(const QString& path)
    {
        writeFile(path,
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n",
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
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
        row("names differ in case, unticked ones are not kept, a new password replaces",
            {{"alice", "a", true},
             {"Alice", "B", true},
             {"alice", "c", false},
             {"bob", "d", false},
             {"Alice", "m\u1eadt", true}},
            {"alice", "Alice"}, {"a", "m\u1eadt"});
        row("empty password keeps the pairs, beyond Latin-1",
            {{"thu\u1ea3o", "", true}, {"bob", "pw/b", true}, {"", "x", true}},
            {"thu\u1ea3o", "bob"}, {"", "pw/b"});
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
        // Every item is scrambled (uppercase hexadecimal), never in plain text.
        const QSettings file(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        for (const QString& item :
             file.value("param1s").toStringList() + file.value("param2s").toStringList())
            QVERIFY2(QRegularExpression("^[0-9A-F]*$").match(item).hasMatch(), qPrintable(item));

        LoginDialog dialog;
        QCompleter* completer = edit(dialog, 0)->completer();
        QCOMPARE(qobject_cast<QStringListModel*>(completer->model())->stringList(), names);
        for (int i = 0; i < names.size(); ++i) {
            edit(dialog, 0)->setText(names.at(i));
            emit edit(dialog, 0)->editingFinished();
            QCOMPARE(edit(dialog, 1)->text(), passwords.at(i));
        }
    }

    // A field that is not a number keeps the dialog open with a message, and closing it then
    // changes nothing. OK writes the values into the engine: zero, empty or above the maximum
    // mean the maximum; unchecking "Proxy" keeps what was typed; the power-off box and the tray's
    // action show the same armed state either way round, so that OK never arms what the tray
    // disarmed. The unchanged (empty) VLC path is never handed to the window, whose setter would
    // refuse it with a message.
    void preferences()
    {
        TestHome home;
        MainWindow window;
        ScriptedPrompt prompt; // after the window, which installs its own
        DCommandManager* engine = window.engine();
        auto* trayPowerOff = window.findChild<QAction*>("powerOffAction");
        const auto fillIn = [](QDialog* dialog, const Edits& edits) {
            for (auto it = edits.cbegin(); it != edits.cend(); ++it)
                field(dialog, it.key())->setText(it.value());
            ModalAnswer::click(dialog, "OK");
        };
        const auto limits = [engine] {
            return QList<int>{engine->maxTransfers(), engine->maxDownloads(), engine->maxUploads()};
        };
        runDialog(window, [&](QDialog* dialog) {
            fillIn(dialog, {{Transfers, "7"}, {Uploads, "three"}});
            QVERIFY(dialog->isVisible());
        });
        QCOMPARE(prompt.texts().size(), 1);
        QCOMPARE(limits(), (QList<int>{4, 2, 2}));

        runDialog(window, [&](QDialog* dialog) {
            trayPowerOff->trigger(); // armed from the tray while the dialog is open
            QCheckBox* powerOff = dialog->findChildren<QCheckBox*>().at(1);
            QVERIFY(powerOff->isChecked());
            powerOff->toggle();
            dialog->findChildren<QGroupBox*>().at(2)->setChecked(false);
            fillIn(dialog, {{Transfers, ""},
                            {Downloads, "11"},
                            {Uploads, "0"},
                            {DownSpeed, "250.5"},
                            {ProxyHost, "proxy.lan"}});
            QVERIFY(!dialog->isVisible());
        });
        QCOMPARE(prompt.texts().size(), 1);
        QCOMPARE(limits(), (QList<int>{15, 10, 5}));
        QCOMPARE(engine->maxDownSpeed(), 250.5);
        QString host, user, password;
        int port = 0;
        QVERIFY(!engine->proxy(host, user, password, port));
        QCOMPARE(host, QString("proxy.lan"));
        QVERIFY(!engine->powerOff() && !trayPowerOff->isChecked());
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
            prompt.tellLater("Timeout");
            prompt.tellLater("Timeout");
            prompt.tellLater("Invalid user name or password");
            QTimer::singleShot(600, &own, &QDialog::accept);
        });
        own.exec();
        QTRY_COMPARE_WITH_TIMEOUT(user.shown.size(), 3, 5000);
        QTest::qWait(600);
        QCOMPARE(user.shown, QStringList({"QDialog", "QMessageBox: Timeout",
                                          "QMessageBox: Invalid user name or password"}));
        QCOMPARE(user.mostAtOnce, 1);
    }

    // The real dialog behind the engine's question offers "Rename" first; closing it, or nobody
    // there to answer, cancels: a file in the way is never overwritten unasked.
    void questionDialogs()
    {
        DWidgetPrompt prompt;
        ModalAnswer::press("OK");
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictRename);
        ModalAnswer::next([](QWidget* dialog) { dialog->close(); });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictCancelled);
        qputenv("FERRYDESK_NONINTERACTIVE", "1");
        QString name = "film(1).avi";
        QVERIFY(!prompt.askNewName(name));
        QCOMPARE(prompt.askTargetExists("/tmp/x"), DPrompt::ConflictCancelled);
        qunsetenv("FERRYDESK_NONINTERACTIVE");
    }

    // The player gets the address as one argument after "--". A remembered one gone, the one on
    // PATH plays and is remembered; none found, the user is offered the install link and the
    // gone path is forgotten.
    void preview_data()
    {
        QTest::addColumn<QString>("stored"); // "VLCPath" before: "player" or "gone"
        QTest::addColumn<QString>("played"); // and after: "player", "vlc" (on PATH) or empty
        QTest::newRow("remembered player, no search") << QString("player") << QString("player");
        QTest::newRow("remembered one gone: PATH's") << QString("gone") << QString("vlc");
        QTest::newRow("none found: Install VLC, Cancel") << QString("gone") << QString();
    }
    void preview()
    {
        QFETCH(QString, stored);
        QFETCH(QString, played);
        TestHome home;
        if (!DVlc::findLinuxPlayer(QString(), DVlc::linuxPlaces(home.path())).isEmpty())
            QSKIP("VLC is installed on this machine");
        QTemporaryDir scratch;
        const QMap<QString, QString> paths{{"player", plant(scratch.filePath("player"))},
                                           {"vlc", scratch.filePath("bin/vlc")},
                                           {"gone", scratch.filePath("gone")}};
        if (!played.isEmpty())
            plant(paths.value("vlc"));
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        settings.setValue("VLCPath", paths.value(stored));
        settings.sync();
        const QByteArray previousPath = qgetenv("PATH");
        qputenv("PATH", scratch.filePath("bin").toLocal8Bit());
        MainWindow window; // installs its own prompt: the scripted one comes after it
        ScriptedPrompt prompt;
        window.playInVlc(Address);
        qputenv("PATH", previousPath);

        QCOMPARE(prompt.texts(),
                 played.isEmpty() ? QStringList{DVlc::installLinkHtml()} : QStringList());
        settings.sync();
        QCOMPARE(settings.value("VLCPath").toString(), paths.value(played));
        if (!played.isEmpty())
            QTRY_COMPARE(readFile(paths.value(played) + ".args"), "--\n" + Address.toUtf8() + "\n");
        const QString other = played == "player" ? paths.value("vlc") : paths.value("player");
        QCOMPARE(readFile(other + ".args"), QByteArray());
    }

    // Sizes at their boundaries (a KB is never rounded up to the next). The exact size that
    // travels to the queue reads back to the same bytes whatever the locale groups digits with.
    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("below a KB") << qint64(1023) << "1.023 bytes";
        QTest::newRow("KB never rounded up") << qint64(1048575) << "1.023 KB";
        QTest::newRow("one MB") << qint64(1048576) << "1,0 MB";
        QTest::newRow("two TB") << qint64(2199023255552) << "2,000 TB";
    }
    void sizeText()
    {
        QFETCH(qint64, bytes);
        const QLocale german(QLocale::German, QLocale::Germany);
        QTEST(DFormat::sizeText(bytes, german), "text");
        QLocale::setDefault(german);
        const qint64 readBack = DFormat::readSize(DFormat::exactSizeText(bytes));
        QLocale::setDefault(QLocale::c());
        QCOMPARE(readBack, bytes);
    }

    // The remote pane's drags carry no local file address, so that a program outside does not
    // read a remote name as one. Local drags carry each file once (every column of a row is a
    // dragged index) and leave folders behind.
    void dragPayloads()
    {
        std::unique_ptr<QMimeData> data(
            DragFormats::remoteMimeData({{"a.txt", "1", "2 KB", "<html/>", false}}));
        QVERIFY(!data->hasUrls());
        QTemporaryDir dir;
        const QString file = dir.filePath("x.txt");
        QFile(file).open(QIODevice::WriteOnly);
        data.reset(DragFormats::localMimeData({file, file, dir.path(), file}));
        QCOMPARE(data->formats(), QStringList{"item/copy"});
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy"), QStringList{file});
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
