#include "ui/dwidgetprompt.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include <functional>

// The real dialogs behind the engine's questions, answered by clicks.
class TestWidgetPrompt : public QObject
{
    Q_OBJECT

private:
    // Runs `act` on the modal dialog once it is shown.
    static void whenDialogShows(std::function<void(QWidget*)> act)
    {
        QTimer::singleShot(0, [act] {
            QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
            act(QApplication::activeModalWidget());
        });
    }

    static QPushButton* button(QWidget* dialog, const QString& text)
    {
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            if (b->text() == text)
                return b;
        return nullptr;
    }

private slots:
    void targetExistsOffersRenameFirst()
    {
        DWidgetPrompt prompt;
        whenDialogShows([](QWidget* dialog) {
            const auto radios = dialog->findChildren<QRadioButton*>();
            QCOMPARE(radios.size(), 2);
            QCOMPARE(radios.at(0)->text(), QString("Rename"));
            QVERIFY(radios.at(0)->isChecked());
            QTest::mouseClick(button(dialog, "OK"), Qt::LeftButton);
        });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictRename);
    }

    void targetExistsOverwriteAndClose()
    {
        DWidgetPrompt prompt;
        whenDialogShows([](QWidget* dialog) {
            dialog->findChildren<QRadioButton*>().at(1)->click();
            QTest::mouseClick(button(dialog, "OK"), Qt::LeftButton);
        });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictOverwrite);
        whenDialogShows([](QWidget* dialog) { dialog->close(); });
        QCOMPARE(prompt.askTargetExists("/tmp/x.avi"), DPrompt::ConflictCancelled);
    }

    void newNameIsEditable()
    {
        DWidgetPrompt prompt;
        whenDialogShows([](QWidget* dialog) {
            auto* edit = dialog->findChild<QLineEdit*>();
            QCOMPARE(edit->text(), QString("film(1)(2).avi"));
            edit->setText("mine.avi");
            QTest::mouseClick(button(dialog, "OK"), Qt::LeftButton);
        });
        QString name = "film(1)(2).avi";
        QVERIFY(prompt.askNewName(name));
        QCOMPARE(name, QString("mine.avi"));
        whenDialogShows([](QWidget* dialog) { dialog->close(); });
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
