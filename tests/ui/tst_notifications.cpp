#include "engine/dtimings.h"
#include "support/dnotifier.h"
#include "tests/common/privatebus.h"
#include "tests/ui/queuewindow.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QMessageBox>
#include <QtTest>

// A notification service of the test's own: records every call, can refuse every notice, and
// sends the signal of a click on a notice's action.
class FakeNotifications : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notice
    {
        uint replaces;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int timeout;
        uint id;
    };
    QList<Notice> notices;
    QList<uint> closed;
    bool refuse = false;

    bool registerOn(QDBusConnection bus)
    {
        m_bus = bus;
        return bus.registerObject(Path, this, QDBusConnection::ExportAllSlots) &&
               bus.registerService(Service);
    }
    void unregister()
    {
        m_bus.unregisterService(Service);
        m_bus.unregisterObject(Path);
    }
    void click(uint id, const QString& action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(Path, Service, "ActionInvoked");
        signal << id << action;
        m_bus.send(signal);
    }

public slots:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout)
    {
        if (refuse) {
            sendErrorReply(QDBusError::AccessDenied, "no notices today");
            return 0;
        }
        const uint id = replaces ? replaces : ++m_lastId;
        notices.append({replaces, summary, body, actions, hints, timeout, id});
        return id;
    }
    void CloseNotification(uint id) { closed.append(id); }
    QStringList GetCapabilities() { return {"actions", "body"}; }

private:
    const QString Service = "org.freedesktop.Notifications";
    const QString Path = "/org/freedesktop/Notifications";
    QDBusConnection m_bus{QString()};
    uint m_lastId = 0;
};

// Desktop notices of the window on a bus of the test's own: the end of a batch of transfers,
// failed transfers, and the power-off countdown where there is no tray (the offscreen platform
// has none), with the countdown's own window when no service takes it.
class TestNotifications : public QObject
{
    Q_OBJECT

private:
    PrivateBus m_bus;
    FakeNotifications m_fake;

    static QString noticeWindowText(MainWindow& window)
    {
        auto* box = window.findChild<QMessageBox*>("shutDownNotice");
        return box && box->isVisible() ? box->text() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bus.start());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        // Never the real command, whatever goes wrong.
        qputenv("FERRYDESK_SHUTDOWN_COMMAND", "true");
        // One coalescing period lasts two seconds, a countdown second half of one.
        DTimings::setScale(0.5);
    }

    void cleanup() { m_fake.unregister(); }

    void notices_data()
    {
        QTest::addColumn<QString>("service"); // "present", "absent" or "refusing"
        QTest::addColumn<bool>("countdown");
        QTest::newRow("transfers end") << "present" << false;
        QTest::newRow("countdown") << "present" << true;
        QTest::newRow("countdown, no service") << "absent" << true;
        QTest::newRow("countdown, service refuses") << "refusing" << true;
    }

    void notices()
    {
        QFETCH(QString, service);
        QFETCH(bool, countdown);
        m_fake.notices.clear();
        m_fake.closed.clear();
        m_fake.refuse = service == "refusing";
        if (service != "absent")
            QVERIFY(m_fake.registerOn(m_bus.connect("fake")));
        QueueWindow q;
        QVERIFY(q.open());

        if (!countdown) {
            // A failure shows at once; what comes within the next few seconds (another failure,
            // then the end of the batch) waits and shows merged into one notice. A row that
            // was never started does not hold the batch open.
            for (int id : {950, 951, 952, 953, 954})
                q.engine()->reportTransferStatus(id, "f.bin", "f.bin", TransferQueued, QString(),
                                                 1);
            q.engine()->reportTransferStatus(950, "a.bin", "a.bin", TransferError, "gone");
            QTRY_COMPARE(m_fake.notices.size(), 1);
            QCOMPARE(m_fake.notices[0].summary + "|" + m_fake.notices[0].body,
                     QString("Transfer failed|a.bin: gone"));
            q.engine()->reportTransferStatus(951, "b.bin", "b.bin", TransferError, "locked");
            q.engine()->reportTransferStatus(952, "c.bin", "c.bin", TransferDone, QString());
            q.engine()->reportTransferStatus(953, "d.bin", "d.bin", TransferDone, QString());
            QTRY_COMPARE(m_fake.notices.size(), 2);
            QCOMPARE(m_fake.notices[1].summary + "|" + m_fake.notices[1].body,
                     QString("Transfers finished|b.bin: locked\n4 transfers ended: 2 done, 2 "
                             "failed."));
            QTest::qWait(DTimings::scaled(DNotifier::CoalesceMs) * 2);
            QCOMPARE(m_fake.notices.size(), 2);
            return;
        }

        const QString first = "Going to shut down in 10 mins.\nClick to abort process.";
        q.window->shutDownRequested();
        if (service != "present") {
            QTRY_COMPARE(noticeWindowText(*q.window), first);
            QVERIFY(m_fake.notices.isEmpty());
            return;
        }
        // One notice, updated in place every few ticks, with an "Abort" action; its click asks
        // as the balloon's does, and "Cancel" ends the countdown and closes the notice.
        QTRY_COMPARE(m_fake.notices.size(), 1);
        const FakeNotifications::Notice shown = m_fake.notices[0];
        QCOMPARE(shown.summary + "|" + shown.body, "Shut Down Computer|" + first);
        QVERIFY(shown.actions.contains("abort"));
        QCOMPARE(shown.timeout, 0);
        QCOMPARE(noticeWindowText(*q.window), QString());
        QTRY_COMPARE(m_fake.notices.size(), 2);
        QCOMPARE(m_fake.notices[1].replaces, shown.id);
        QVERIFY(m_fake.notices[1].body.startsWith("Going to shut down in 9 mins "));

        q.prompt->yesAnswers = {false};
        m_fake.click(shown.id, "abort");
        QTRY_COMPARE(q.prompt->calls.size(), 1);
        QCOMPARE(q.prompt->calls[0].title, QString("Confirm shut down.."));
        QTRY_COMPARE(m_fake.closed, QList<uint>{shown.id});
        const int sent = m_fake.notices.size();
        QTest::qWait(DTimings::scaled(DNotifier::CoalesceMs) * 2);
        QCOMPARE(m_fake.notices.size(), sent);
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
