#include "engine/dcommandmanager.h"
#include "tests/common/testhome.h"
#include "ui/logindialog.h"

#include <QCheckBox>
#include <QCompleter>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

struct Login
{
    QString name;
    QString password;
    bool remember;
};
Q_DECLARE_METATYPE(QList<Login>)

// Remembered accounts: what OK stores, what a later dialog completes and fills in, and how the
// pairs look in the settings file.
class TestLoginDialog : public QObject
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
        QTest::mouseClick(dialog.findChild<QPushButton*>(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    static QStringList storedItems()
    {
        const QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        return settings.value("param1s").toStringList() + settings.value("param2s").toStringList();
    }

private slots:
    void remembered_data()
    {
        QTest::addColumn<QList<Login>>("logins");
        QTest::addColumn<QStringList>("names");     // completions, in order
        QTest::addColumn<QStringList>("passwords"); // filled in for each name
        QTest::newRow("known name, new password")
            << QList<Login>{{"alice", "one", true}, {"alice", "two", true}} << QStringList{"alice"}
            << QStringList{"two"};
        QTest::newRow("not ticked")
            << QList<Login>{{"alice", "secret", false}} << QStringList{} << QStringList{};
        QTest::newRow("names differ in case")
            << QList<Login>{{"alice", "a", true}, {"Alice", "B", true}, {"alice", "c", false}}
            << QStringList{"alice", "Alice"} << QStringList{"a", "B"};
        QTest::newRow("empty password keeps the pairs")
            << QList<Login>{{"alice", "", true}, {"bob", "pw/b", true}, {"", "x", true}}
            << QStringList{"alice", "bob"} << QStringList{"", "pw/b"};
        QTest::newRow("text beyond Latin-1")
            << QList<Login>{{"thu\u1ea3o", "m\u1eadt", true}} << QStringList{"thu\u1ea3o"}
            << QStringList{"m\u1eadt"};
    }

    void remembered()
    {
        QFETCH(QList<Login>, logins);
        QFETCH(QStringList, names);
        QFETCH(QStringList, passwords);
        TestHome home;
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
        // An unknown name leaves the password alone.
        edit(dialog, 1)->setText("typed");
        edit(dialog, 0)->setText("nobody");
        emit edit(dialog, 0)->editingFinished();
        QCOMPARE(edit(dialog, 1)->text(), QString("typed"));
    }

    // The file holds every item scrambled (uppercase hexadecimal, never the plain text), each
    // save draws a new key, and only the owner may read the file and its folder.
    void storedScrambled()
    {
        TestHome home;
        logIn({"alice", "secret", true});
        const QStringList first = storedItems();
        logIn({"alice", "secret", true});
        const QStringList second = storedItems();
        QCOMPARE(first.size(), 2);
        QCOMPARE(second.size(), 2);
        QVERIFY(first.at(0) != second.at(0) && first.at(1) != second.at(1));
        for (const QString& item : first + second)
            QVERIFY2(QRegularExpression("^[0-9A-F]+$").match(item).hasMatch(), qPrintable(item));
        QFile file(DCommandManager::settingsFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(!text.contains("alice") && !text.contains("secret"));
        QCOMPARE(int(file.permissions() & 0x7077), 0x6000);
        QCOMPARE(int(QFileInfo(home.dataFolder()).permissions() & 0x7077), 0x7000);
    }
};

QTEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
