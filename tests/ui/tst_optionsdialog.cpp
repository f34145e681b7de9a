#include "engine/dcommandmanager.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"
#include "ui/optionsdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

#include <functional>

using Edits = QMap<QString, QString>; // field label -> new text

// The preferences dialog against a real engine: what it shows, what OK writes into the engine,
// what it refuses, and that closing the window changes nothing.
class TestOptionsDialog : public QObject
{
    Q_OBJECT

    // The line edit beside the label `label` in its grid.
    static QLineEdit* field(QDialog* dialog, const QString& label)
    {
        for (QLabel* text : dialog->findChildren<QLabel*>()) {
            if (text->text() != label)
                continue;
            auto* grid = qobject_cast<QGridLayout*>(text->parentWidget()->layout());
            int row = 0, column = 0, rows = 0, columns = 0;
            grid->getItemPosition(grid->indexOf(text), &row, &column, &rows, &columns);
            return qobject_cast<QLineEdit*>(grid->itemAtPosition(row, 1)->widget());
        }
        return nullptr;
    }

    static QGroupBox* group(QDialog* dialog, const QString& title)
    {
        for (QGroupBox* box : dialog->findChildren<QGroupBox*>()) {
            if (box->title() == title)
                return box;
        }
        return nullptr;
    }

    static QCheckBox* checkBox(QDialog* dialog, const QString& text)
    {
        for (QCheckBox* box : dialog->findChildren<QCheckBox*>()) {
            if (box->text() == text)
                return box;
        }
        return nullptr;
    }

    // Runs execAndApply while `act` works on the open dialog.
    static void runDialog(MainWindow& window, const std::function<void(QDialog*)>& act)
    {
        OptionsDialog dialog(window.engine(), &window);
        QTimer::singleShot(0, &dialog, [&] { act(&dialog); });
        dialog.execAndApply();
    }

    static void pressOk(QDialog* dialog)
    {
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (button->text() == "OK")
                QTest::mouseClick(button, Qt::LeftButton);
        }
    }

private slots:
    void showsTheEngineValues()
    {
        TestHome home;
        MainWindow window;
        DCommandManager* engine = window.engine();
        engine->setMaxDownSpeed(1234.5678);
        engine->setProxy("proxy.lan", "pu", "pp", 3128);
        engine->setLimitsEnabled(false);
        runDialog(window, [](QDialog* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("Preferences..."));
            auto* tabs = dialog->findChild<QTabWidget*>();
            QCOMPARE(tabs->tabText(0), QString("Transfers"));
            QCOMPARE(tabs->tabText(1), QString("General"));
            QCOMPARE(field(dialog, "Maximum simultaneous transfers:")->text(), QString("4"));
            QCOMPARE(field(dialog, "Limit for concurrent downloads:")->text(), QString("2"));
            QCOMPARE(field(dialog, "Download limit:")->text(), QString("1234.57"));
            QCOMPARE(field(dialog, "Upload limit:")->text(), QString("0"));
            QCOMPARE(field(dialog, "Hostname:")->text(), QString("proxy.lan"));
            QCOMPARE(field(dialog, "Password:")->echoMode(), QLineEdit::Password);
            QCOMPARE(field(dialog, "Port:")->text(), QString("3128"));
            QVERIFY(group(dialog, "Proxy")->isChecked());
            QVERIFY(!group(dialog, "Speed limits")->isChecked());
            QVERIFY(checkBox(dialog, "Minimize to tray")->isChecked());
            QVERIFY(!checkBox(dialog, "Shutdown after tranfers complete")->isChecked());
            QVERIFY(checkBox(dialog, "Start when OS starts")->isChecked());
            dialog->reject();
        });
    }

    void apply_data()
    {
        QTest::addColumn<Edits>("edits");
        QTest::addColumn<QList<int>>("limits"); // transfers, downloads, uploads after OK
        QTest::addColumn<double>("downSpeed");
        QTest::addColumn<bool>("refused");
        QTest::newRow("zero means the maximum") << Edits{{"Maximum simultaneous transfers:", "0"},
                                                         {"Limit for concurrent downloads:", "0"},
                                                         {"Limit for concurrent uploads:", "0"}}
                                                << QList<int>{15, 10, 5} << 0.0 << false;
        QTest::newRow("above the hint, below the maximum")
            << Edits{{"Maximum simultaneous transfers:", "12"}, {"Download limit:", "250.5"}}
            << QList<int>{12, 2, 2} << 250.5 << false;
        QTest::newRow("empty counts as zero")
            << Edits{{"Maximum simultaneous transfers:", ""}, {"Download limit:", ""}}
            << QList<int>{15, 2, 2} << 0.0 << false;
        QTest::newRow("text that is not a number")
            << Edits{{"Maximum simultaneous transfers:", "7"},
                     {"Limit for concurrent uploads:", "three"}}
            << QList<int>{4, 2, 2} << 0.0 << true;
        QTest::newRow("negative speed")
            << Edits{{"Download limit:", "-5"}} << QList<int>{4, 2, 2} << 0.0 << true;
        QTest::newRow("port out of range")
            << Edits{{"Port:", "70000"}} << QList<int>{4, 2, 2} << 0.0 << true;
    }

    // OK writes the values into the engine; a field that is not a number keeps the dialog
    // open with a message, and closing it then changes nothing.
    void apply()
    {
        QFETCH(Edits, edits);
        QFETCH(QList<int>, limits);
        QFETCH(double, downSpeed);
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
            if (refused)
                dialog->reject();
        });
        QCOMPARE(prompt.texts().size(), refused ? 1 : 0);
        QCOMPARE((QList<int>{engine->maxTransfers(), engine->maxDownloads(), engine->maxUploads()}),
                 limits);
        QCOMPARE(engine->maxDownSpeed(), downSpeed);
    }

    // Unchecking "Proxy" keeps what was typed, with the proxy off; the check boxes and the
    // speed limits group reach the engine; an unchanged VLC path is left alone.
    void proxyAndChoices()
    {
        TestHome home;
        MainWindow window;
        DCommandManager* engine = window.engine();
        engine->setProxy("old", "", "", 1);
        runDialog(window, [](QDialog* dialog) {
            field(dialog, "Hostname:")->setText("proxy.lan");
            field(dialog, "Username:")->setText("user");
            field(dialog, "Password:")->setText("pw");
            field(dialog, "Port:")->setText("8080");
            group(dialog, "Proxy")->setChecked(false);
            group(dialog, "Speed limits")->setChecked(false);
            checkBox(dialog, "Minimize to tray")->setChecked(false);
            checkBox(dialog, "Shutdown after tranfers complete")->setChecked(true);
            checkBox(dialog, "Start when OS starts")->setChecked(false);
            pressOk(dialog);
        });
        QString host, user, password;
        int port = 0;
        QVERIFY(!engine->proxy(host, user, password, port));
        QCOMPARE((QStringList{host, user, password}), (QStringList{"proxy.lan", "user", "pw"}));
        QCOMPARE(port, 8080);
        QVERIFY(!engine->limitsEnabled());
        QVERIFY(!engine->minToTray());
        QVERIFY(engine->powerOff());
        QVERIFY(!engine->osStart());
    }
};

QTEST_MAIN(TestOptionsDialog)
#include "tst_optionsdialog.moc"
