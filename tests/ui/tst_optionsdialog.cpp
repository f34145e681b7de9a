#include "engine/dcommandmanager.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"
#include "ui/optionsdialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <functional>

// The line edits of the first tab, in the order the dialog shows them.
enum Field
{
    Transfers,
    Downloads,
    Uploads,
    DownSpeed,
    UpSpeed,
    ProxyHost,
    ProxyUser,
    ProxyPassword,
    ProxyPort
};
using Edits = QMap<int, QString>;

// The preferences dialog against a real engine: what it shows, what OK writes into the engine,
// what it refuses, and that closing the window changes nothing.
class TestOptionsDialog : public QObject
{
    Q_OBJECT

    static QLineEdit* field(QDialog* dialog, int which)
    {
        QList<QLineEdit*> inGroups;
        for (QGroupBox* group : dialog->findChildren<QGroupBox*>())
            inGroups += group->findChildren<QLineEdit*>();
        return inGroups.at(which);
    }

    // Runs execAndApply while `act` works on the open dialog; a dialog still open afterwards
    // is closed without OK.
    static void runDialog(MainWindow& window, const std::function<void(QDialog*)>& act)
    {
        OptionsDialog dialog(window.engine(), &window);
        QTimer::singleShot(0, &dialog, [&] {
            act(&dialog);
            if (dialog.isVisible())
                dialog.reject();
        });
        dialog.execAndApply();
    }

    static void pressOk(QDialog* dialog)
    {
        QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
    }

private slots:
    void apply_data()
    {
        QTest::addColumn<Edits>("edits");
        QTest::addColumn<QList<int>>("limits"); // transfers, downloads, uploads after OK
        QTest::addColumn<double>("downSpeed");
        QTest::addColumn<bool>("refused");
        QTest::newRow("zero means the maximum")
            << Edits{{Transfers, "0"}, {Downloads, "0"}, {Uploads, "0"}} << QList<int>{15, 10, 5}
            << 0.0 << false;
        QTest::newRow("above the maximum is the maximum")
            << Edits{{Downloads, "11"}} << QList<int>{4, 10, 2} << 0.0 << false;
        QTest::newRow("above the hint, below the maximum")
            << Edits{{Transfers, "12"}, {DownSpeed, "250.5"}} << QList<int>{12, 2, 2} << 250.5
            << false;
        QTest::newRow("empty counts as zero")
            << Edits{{Transfers, ""}, {DownSpeed, ""}} << QList<int>{15, 2, 2} << 0.0 << false;
        QTest::newRow("text that is not a number")
            << Edits{{Transfers, "7"}, {Uploads, "three"}} << QList<int>{4, 2, 2} << 0.0 << true;
        QTest::newRow("negative speed")
            << Edits{{DownSpeed, "-5"}} << QList<int>{4, 2, 2} << 0.0 << true;
        QTest::newRow("port out of range")
            << Edits{{ProxyPort, "70000"}} << QList<int>{4, 2, 2} << 0.0 << true;
    }

    // OK writes the values into the engine; a field that is not a number keeps the dialog
    // open with a message, and closing it then changes nothing. The unchanged (empty) VLC path
    // is never handed to the window, whose setter would refuse it with a message.
    void apply()
    {
        QFETCH(Edits, edits);
        QFETCH(bool, refused);
        TestHome home;
        MainWindow window;
        ScriptedPrompt prompt; // after the window, which installs its own
        DCommandManager* engine = window.engine();
        runDialog(window, [&](QDialog* dialog) {
            for (auto it = edits.cbegin(); it != edits.cend(); ++it)
                field(dialog, it.key())->setText(it.value());
            pressOk(dialog);
            QCOMPARE(dialog->isVisible(), refused);
        });
        QCOMPARE(prompt.texts().size(), refused ? 1 : 0);
        QTEST((QList<int>{engine->maxTransfers(), engine->maxDownloads(), engine->maxUploads()}),
              "limits");
        QTEST(engine->maxDownSpeed(), "downSpeed");
    }

    // The dialog shows the engine's values; unchecking "Proxy" keeps what was typed, with the
    // proxy off; the check boxes, the speed limits group and a new VLC path are taken.
    void loadAndChoices()
    {
        TestHome home;
        MainWindow window;
        DCommandManager* engine = window.engine();
        engine->setMaxDownSpeed(1234.5678);
        engine->setProxy("old", "", "", 3128);
        runDialog(window, [](QDialog* dialog) {
            QCOMPARE(field(dialog, Transfers)->text(), QString("4"));
            QCOMPARE(field(dialog, DownSpeed)->text(), QString("1234.57"));
            QCOMPARE(field(dialog, ProxyPort)->text(), QString("3128"));
            QCOMPARE(field(dialog, ProxyPassword)->echoMode(), QLineEdit::Password);
            const QList<QGroupBox*> groups = dialog->findChildren<QGroupBox*>();
            QVERIFY(groups.at(1)->isChecked() && groups.at(2)->isChecked()); // limits, proxy
            field(dialog, ProxyHost)->setText("proxy.lan");
            field(dialog, ProxyUser)->setText("user");
            field(dialog, ProxyPassword)->setText("pw");
            field(dialog, ProxyPort)->setText("8080");
            groups.at(1)->setChecked(false);
            groups.at(2)->setChecked(false);
            for (QCheckBox* box : dialog->findChildren<QCheckBox*>())
                box->toggle(); // tray on -> off, power-off off -> on, start on -> off
            for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
                if (!qobject_cast<QGroupBox*>(edit->parentWidget()))
                    edit->setText("/bin/sh"); // the VLC path
            }
            pressOk(dialog);
        });
        QString host, user, password;
        int port = 0;
        QVERIFY(!engine->proxy(host, user, password, port));
        QCOMPARE((QStringList{host, user, password, QString::number(port)}),
                 (QStringList{"proxy.lan", "user", "pw", "8080"}));
        QVERIFY(!engine->limitsEnabled());
        QVERIFY(!engine->minToTray());
        QVERIFY(engine->powerOff());
        QVERIFY(!engine->osStart());
        QCOMPARE(window.vlcPath(), QString("/bin/sh"));
    }
};

QTEST_MAIN(TestOptionsDialog)
#include "tst_optionsdialog.moc"
