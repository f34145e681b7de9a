#include "tests/ui/modalanswer.h"
#include "ui/dwidgetprompt.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

// The real dialogs behind the engine's questions, answered by clicks.
class TestWidgetPrompt : public QObject
{
    Q_OBJECT

private slots:
    // "Rename" is offered first and checked; closing the dialog cancels.
    void targetExists()
    {
        DWidgetPrompt prompt;
        ModalAnswer::next([](QWidget* dialog) {
            const auto radios = dialog->findChildren<QRadioButton*>();
            QCOMPARE(radios.size(), 2);
            QCOMPARE(radios.at(0)->text(), QString("Rename"));
            QVERIFY(radios.at(0)->isChecked());
            ModalAnswer::click(dialog, "OK");
        });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictRename);
        ModalAnswer::next([](QWidget* dialog) {
            dialog->findChildren<QRadioButton*>().at(1)->click();
            ModalAnswer::click(dialog, "OK");
        });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictOverwrite);
        ModalAnswer::next([](QWidget* dialog) { dialog->close(); });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictCancelled);
    }

    void newNameIsEditable()
    {
        DWidgetPrompt prompt;
        ModalAnswer::next([](QWidget* dialog) {
            auto* edit = dialog->findChild<QLineEdit*>();
            QCOMPARE(edit->text(), QString("film(1)(2).avi"));
            edit->setText("mine.avi");
            ModalAnswer::click(dialog, "OK");
        });
        QString name = "film(1)(2).avi";
        QVERIFY(prompt.askNewName(name));
        QCOMPARE(name, QString("mine.avi"));
        ModalAnswer::next([](QWidget* dialog) { dialog->close(); });
        QVERIFY(!prompt.askNewName(name));
        QCOMPARE(name, QString("mine.avi"));
    }

    void nonInteractiveAnswersCancel()
    {
        qputenv("FERRYDESK_NONINTERACTIVE", "1");
        DWidgetPrompt prompt;
        QString name = "x";
        QVERIFY(!prompt.askNewName(name));
        QCOMPARE(prompt.askTargetExists("/tmp/x"), DPrompt::ConflictCancelled);
        prompt.showMessage("no dialog appears");
        qunsetenv("FERRYDESK_NONINTERACTIVE");
    }
};

QTEST_MAIN(TestWidgetPrompt)
#include "tst_widgetprompt.moc"
