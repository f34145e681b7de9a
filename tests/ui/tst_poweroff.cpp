#include "engine/dtimings.h"
#include "support/dshutdown.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QtTest>

// The power-off countdown of a window that was never shown (no engine contact). The offscreen
// platform has no system tray, so the countdown's texts show in the notice window. The
// shut-down command is always a script that records its call.
class TestPowerOff : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_scratch;
    QString m_record;

    QString notice(MainWindow& window) const
    {
        auto* box = window.findChild<QMessageBox*>("shutDownNotice");
        return box && box->isVisible() ? box->text() : QString();
    }

    // The window's running countdown timer, or null.
    static QTimer* runningCountdown(MainWindow& window)
    {
        for (QTimer* timer : window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (timer->isActive())
                return timer;
        }
        return nullptr;
    }

    QByteArray recorded() const { return readFile(m_record); }

private slots:
    void initTestCase()
    {
        // The offscreen platform complains at every relayout of the notice; nothing to see.
        static const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                if (!text.contains("propagateSizeHints"))
                    previous(type, context, text);
            });
        m_record = m_scratch.filePath("poweroff-calls");
        const QString script = m_scratch.filePath("poweroff");
        QVERIFY(
            writeFile(script,
                      "#!/bin/sh\n{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; } >> '" +
                          m_record.toUtf8() + "'\n",
                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("FERRYDESK_SHUTDOWN_COMMAND", (script + " --now \"two words\"").toUtf8());
        // One countdown second lasts a millisecond.
        DTimings::setScale(0.001);
    }

    void cleanup() { QFile::remove(m_record); }

    // Each platform's command when nothing replaces it (the countdown runs a replacement).
    void command()
    {
        QCOMPARE(DShutdown::commandFor(DShutdown::Linux, QString()),
                 (QStringList{"systemctl", "poweroff"}));
        QCOMPARE(DShutdown::commandFor(DShutdown::Windows, QString()),
                 (QStringList{"shutdown", "-s", "-f", "-t", "0"}));
    }

    // Every tick takes one second off, also when the engine asked twice (a second request
    // restarts the countdown, it must not make each tick count twice).
    void countdownRunsToTheCommand()
    {
        TestHome home;
        MainWindow window;
        window.shutDownRequested();
        window.shutDownRequested();
        QCOMPARE(notice(window), "Going to shut down in 10 mins.\nClick to abort process.");

        // Read what each tick showed, right after the window's own handling of it.
        QTimer* timer = runningCountdown(window);
        QVERIFY(timer);
        QStringList shown;
        connect(timer, &QTimer::timeout, this, [&] { shown << notice(window); });
        QTRY_VERIFY_WITH_TIMEOUT(!recorded().isEmpty(), 60000);

        QCOMPARE(shown.size(), 600);
        QCOMPARE(shown.first(), "Going to shut down in 9 mins 59 secs.\nClick to abort process.");
        QCOMPARE(shown.at(1), "Going to shut down in 9 mins 58 secs.\nClick to abort process.");
        QCOMPARE(shown.last(), QString()); // the notice closes as the command runs
        QCOMPARE(recorded(), QByteArray("[--now][two words]\n"));
        QVERIFY(!timer->isActive());
    }

    void clickOnTheNotice_data()
    {
        QTest::addColumn<bool>("counting");
        QTest::addColumn<QList<bool>>("answers");
        QTest::addColumn<int>("questions");
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("Yes powers off at once")
            << true << QList<bool>{true} << 1 << QByteArray("[--now][two words]\n");
        QTest::newRow("Cancel stops the countdown")
            << true << QList<bool>{false} << 1 << QByteArray();
        QTest::newRow("no countdown, no question")
            << false << QList<bool>{true} << 0 << QByteArray();
    }

    void clickOnTheNotice()
    {
        QFETCH(bool, counting);
        QFETCH(QList<bool>, answers);
        QFETCH(int, questions);
        QFETCH(QByteArray, command);
        TestHome home;
        DTimings::setScale(1); // a real second per tick: nothing ends on its own here
        MainWindow window;
        ScriptedPrompt prompts;
        prompts.yesAnswers = answers;
        if (counting)
            window.shutDownRequested();
        window.onTrayMessageClicked();
        DTimings::setScale(0.001);

        QCOMPARE(prompts.calls.size(), questions);
        if (questions) {
            QCOMPARE(prompts.calls[0].kind + prompts.calls[0].title + prompts.calls[0].text,
                     "yesCancelConfirm shut down..Do you really want to shut down the machine ?");
        }
        QVERIFY(!runningCountdown(window));
        QCOMPARE(notice(window), QString());
        if (command.isEmpty()) {
            QTest::qWait(200);
            QCOMPARE(recorded(), QByteArray());
        } else {
            QTRY_COMPARE(recorded(), command);
        }
    }
};

QTEST_MAIN(TestPowerOff)
#include "tst_poweroff.moc"
