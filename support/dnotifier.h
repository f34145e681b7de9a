#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

class QDBusPendingCallWatcher;
class QTimer;

// Notices on the desktop through the notification service of the session bus
// (org.freedesktop.Notifications). Calls never wait for the service: the answers come back on
// the event loop. Two kinds of notice:
//  - news (a batch of transfers finished, a transfer failed): news that arrives while a notice
//    was shown only moments ago waits and goes out merged into one notice;
//  - the countdown: one notice, updated in place, with an "Abort" action; a click on it or on
//    the action emits di_countdownClicked.
// Never more than one notice goes out per coalescing period. Without a service every call is a
// no-op; a countdown that the service refused reports di_countdownFailed so that the caller
// can show it by other means.
class DNotifier : public QObject
{
    Q_OBJECT
public:
    // At most one notice per this period; tests scale it down with the other timings.
    static constexpr int CoalesceMs = 4000;
    static constexpr int MaxMergedLines = 5;

    explicit DNotifier(QObject* parent = nullptr);
    ~DNotifier() override;

    // Whether a notification service is on the session bus (asked once per run; a refused
    // notice turns it off for the rest of the run).
    bool isAvailable();

    void notify(const QString& summary, const QString& body);
    void showCountdown(const QString& summary, const QString& body);
    void closeCountdown();

signals:
    void di_countdownClicked();
    void di_countdownFailed();

private slots:
    void onActionInvoked(uint id, const QString& actionKey);

private:
    struct Pending
    {
        QString summary;
        QStringList lines;
        bool waiting = false;
        qint64 since = 0; // when it began to wait, for first come, first served
    };
    void schedule();
    void sendNext();
    void send(const Pending& notice, bool countdown);
    void onAnswer(QDBusPendingCallWatcher* watcher, bool countdown);
    void giveUp(const QString& why);

    enum class ServiceState
    {
        Unknown,
        Present,
        Absent
    };
    ServiceState m_service = ServiceState::Unknown;
    Pending m_news;
    Pending m_countdown;
    uint m_countdownId = 0;
    bool m_countdownShown = false;
    bool m_countdownInFlight = false; // an update before the id is known would open a second
    QElapsedTimer m_clock;
    qint64 m_lastSent = -1;
    QTimer* m_timer = nullptr;
};
