#include "engine/dtimings.h"
#include "support/dnotifier.h"
#include "tests/common/privatebus.h"
#include "tests/ui/queuewindow.h"

#include <QDBusContext>
#include <QDBusMessage>
#include <QMessageBox>
#include <QtTest>

// A notification service of the test's own: records every notice, can refuse them all, and
// sends the signal of a click on a notice's action.
class FakeNotifications : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notice
    {
        uint replaces;
        QString text; // summary|body
        QStringList actions;
        uint id;
    };
    QList<Notice> notices;
    QList<uint> closed;
    bool refuse = false;
    QDBusConnection bus{QString()};

    void click(uint id, const QString& action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
        bus.send(signal << id << action);
    }

public slots:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int)
    {
        if (refuse) {
            sendErrorReply(QDBusError::AccessDenied, "no notices today");
            return 0;
        }
        const uint id = replaces ? replaces : uint(notices.size() + 1);
        notices.append({replaces, summary + "|" + body, actions, id});
        return id;
    }
    void CloseNotification(uint id) { closed.append(id); }
};

// The power-off countdown after the last transfer, of windows that were never shown (no
// engine contact), and the desktop's notices, on a session bus of the test's own. The offscreen
// platform has no system tray, so the countdown shows as a notice of the service, or in its
// own window when no service takes it. The shut-down command is a script that records its call.
class TestPowerOff : public QObject
{
    Q_OBJECT

private:
    PrivateBus m_bus;
    FakeNotifications m_fake;
    QTemporaryDir m_scratch;
    const QString m_record = m_scratch.filePath("poweroff-calls");

    static QString noticeWindow(MainWindow& window)
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

    bool serve(bool refusing)
    {
        m_fake.notices.clear();
        m_fake.closed.clear();
        m_fake.refuse = refusing;
        return m_fake.bus.registerObject("/org/freedesktop/Notifications", &m_fake,
                                         QDBusConnection::ExportAllSlots) &&
               m_fake.bus.registerService("org.freedesktop.Notifications");
    }

private slots:
    void initTestCase()
    {
        // The offscreen platform complains at every relayout of the notice; nothing to see.
        static const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                if (!text.contains("propagateSizeHints"))
                    previous(type, context, text);
            });
        QVERIFY(m_bus.start());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        m_fake.bus = m_bus.connect("fake");
        const QString script = m_scratch.filePath("poweroff");
        QVERIFY(
            writeFile(script,
                      "#!/bin/sh\n{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo; } >> '" +
                          m_record.toUtf8() + "'\n",
                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("FERRYDESK_SHUTDOWN_COMMAND", (script + " --now \"two words\"").toUtf8());
    }

    void cleanup()
    {
        QFile::remove(m_record);
        m_fake.bus.unregisterService("org.freedesktop.Notifications");
        m_fake.bus.unregisterObject("/org/freedesktop/Notifications");
    }

    // Every tick takes one second off, also when the engine asked twice (a second request
    // restarts the countdown, it must not make each tick count twice).
    void countdownRunsToTheCommand()
    {
        DTimings::setScale(0.001); // one countdown second lasts a millisecond
        TestHome home;
        MainWindow window;
        window.shutDownRequested();
        window.shutDownRequested();
        QVERIFY(!noticeWindow(window).isEmpty());

        // Read what each tick showed, right after the window's own handling of it.
        QTimer* timer = runningCountdown(window);
        QVERIFY(timer);
        QStringList shown;
        connect(timer, &QTimer::timeout, this, [&] { shown << noticeWindow(window); });
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(m_record).isEmpty(), 60000);
        QCOMPARE(shown.size(), 600);
        QCOMPARE(shown.last(), QString()); // the notice closes as the command runs
        QCOMPARE(readFile(m_record), QByteArray("[--now][two words]\n"));
        QVERIFY(!timer->isActive());
    }

    // A click on the countdown's notice asks, "Yes" powers off at once and "Cancel" ends the
    // countdown. The desktop's notice is one, updated in place, with an "Abort" action that
    // stands for the click; a service that refuses it leaves the countdown to the window.
    void clickOnTheNotice_data()
    {
        QTest::addColumn<QString>("service"); // "none", "shows" or "refuses"
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QByteArray>("command");
        const QByteArray command = "[--now][two words]\n";
        QTest::newRow("Yes powers off at once") << "none" << true << command;
        QTest::newRow("Cancel stops the countdown") << "none" << false << QByteArray();
        QTest::newRow("desktop notice: Abort, Cancel") << "shows" << false << QByteArray();
        QTest::newRow("desktop notice refused: the window's") << "refuses" << false << QByteArray();
    }
    void clickOnTheNotice()
    {
        QFETCH(QString, service);
        QFETCH(bool, yes);
        QFETCH(QByteArray, command);
        DTimings::setScale(0.05); // the countdown lasts 30 s, notices merge for 200 ms
        QVERIFY(service == "none" || serve(service == "refuses"));
        TestHome home;
        MainWindow window;
        ScriptedPrompt prompts;
        prompts.yesAnswers = {yes};
        window.shutDownRequested();
        if (service == "refuses") {
            QTRY_VERIFY(!noticeWindow(window).isEmpty());
            return;
        }
        if (service == "shows") {
            QTRY_VERIFY(m_fake.notices.size() >= 2);
            const FakeNotifications::Notice shown = m_fake.notices[0];
            QVERIFY(shown.actions.contains("abort"));
            QCOMPARE(m_fake.notices[1].replaces, shown.id);
            QCOMPARE(noticeWindow(window), QString());
            m_fake.click(shown.id, "abort");
            QTRY_COMPARE(m_fake.closed, QList<uint>{shown.id});
        } else {
            window.onTrayMessageClicked();
        }
        QCOMPARE(prompts.calls.size(), 1);
        QVERIFY(!runningCountdown(window));
        QCOMPARE(noticeWindow(window), QString());
        const int sent = m_fake.notices.size();
        QTest::qWait(DTimings::scaled(DNotifier::CoalesceMs) * 2);
        QCOMPARE(m_fake.notices.size(), sent);
        QTRY_COMPARE(readFile(m_record), command);
    }

    // A failure shows at once; what comes within the next few seconds (another failure, then
    // the end of the batch) waits and shows merged into one notice. A row that was never
    // started does not hold the batch open.
    void transferNoticesMerge()
    {
        DTimings::setScale(0.05); // one merging period lasts 200 ms
        QVERIFY(serve(false));
        QueueWindow q; // the window counts the rows it shows
        QVERIFY(q.open());
        DCommandManager* engine = q.engine();
        for (int id : {950, 951, 952, 953, 954})
            engine->reportTransferStatus(id, "f.bin", "f.bin", TransferQueued, QString(), 1);
        engine->reportTransferStatus(950, "a.bin", "a.bin", TransferError, "gone");
        QTRY_COMPARE(m_fake.notices.size(), 1);
        engine->reportTransferStatus(951, "b.bin", "b.bin", TransferError, "locked");
        engine->reportTransferStatus(952, "c.bin", "c.bin", TransferDone, QString());
        engine->reportTransferStatus(953, "d.bin", "d.bin", TransferDone, QString());
        QTRY_COMPARE(m_fake.notices.size(), 2);
        QCOMPARE(m_fake.notices[1].text,
                 QString("Transfers finished|b.bin: locked\n4 transfers ended: 2 done, 2 failed."));
        QTest::qWait(DTimings::scaled(DNotifier::CoalesceMs) * 2);
        QCOMPARE(m_fake.notices.size(), 2);
    }
};

QTEST_MAIN(TestPowerOff)
#include "tst_poweroff.moc"
