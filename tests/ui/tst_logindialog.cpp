#include "engine/dcommandmanager.h"
#include "tests/common/testhome.h"
#include "ui/logindialog.h"

#include <QCheckBox>
#include <QCompleter>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStringListModel>
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

    static QLineEdit* userEdit(LoginDialog& dialog)
    {
        for (QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
            if (edit->echoMode() == QLineEdit::Normal)
                return edit;
        }
        return nullptr;
    }

    static QLineEdit* passwordEdit(LoginDialog& dialog)
    {
        for (QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
            if (edit->echoMode() == QLineEdit::Password)
                return edit;
        }
        return nullptr;
    }

    // One use of a fresh dialog, as the window makes it: type, maybe tick, press "Login".
    static void logIn(const Login& login)
    {
        LoginDialog dialog;
        userEdit(dialog)->setText(login.name);
        passwordEdit(dialog)->setText(login.password);
        dialog.findChild<QCheckBox*>()->setChecked(login.remember);
        QPushButton* button = dialog.findChild<QPushButton*>();
        QCOMPARE(button->text(), QString("Login"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.userName(), login.name);
        QCOMPARE(dialog.password(), login.password);
    }

    static QStringList storedItems(const QString& key)
    {
        return QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
            .value(key)
            .toStringList();
    }

private slots:
    void remembered_data()
    {
        QTest::addColumn<QList<Login>>("logins");
        QTest::addColumn<QStringList>("names");     // completions, in order
        QTest::addColumn<QStringList>("passwords"); // filled in for each name
        QTest::newRow("new pair") << QList<Login>{{"alice", "secret", true}} << QStringList{"alice"}
                                  << QStringList{"secret"};
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
        auto* model = qobject_cast<QStringListModel*>(userEdit(dialog)->completer()->model());
        QCOMPARE(model->stringList(), names);
        QCOMPARE(userEdit(dialog)->completer()->completionMode(), QCompleter::PopupCompletion);
        for (int i = 0; i < names.size(); ++i) {
            passwordEdit(dialog)->setText("typed");
            userEdit(dialog)->setText(names.at(i));
            emit userEdit(dialog)->editingFinished();
            QCOMPARE(passwordEdit(dialog)->text(), passwords.at(i));
        }
        // An unknown name leaves the password alone.
        userEdit(dialog)->setText("nobody");
        emit userEdit(dialog)->editingFinished();
        QCOMPARE(passwordEdit(dialog)->text(), names.isEmpty() ? QString() : passwords.last());
    }

    // The file holds every item scrambled (uppercase hexadecimal, never the plain text), and
    // each save draws a new key.
    void storedScrambled()
    {
        TestHome home;
        logIn({"alice", "secret", true});
        const QStringList first = storedItems("param1s") + storedItems("param2s");
        logIn({"alice", "secret", true});
        const QStringList second = storedItems("param1s") + storedItems("param2s");
        QCOMPARE(first.size(), 2);
        QCOMPARE(second.size(), 2);
        const QRegularExpression hex("^[0-9A-F]+$");
        for (const QString& item : first + second) {
            QVERIFY2(hex.match(item).hasMatch(), qPrintable(item));
            QVERIFY(!item.contains("alice") && !item.contains("secret"));
        }
        QVERIFY(first.at(0) != second.at(0));
        QVERIFY(first.at(1) != second.at(1));

        QFile file(DCommandManager::settingsFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(!text.contains("alice") && !text.contains("secret"));
    }
};

QTEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
