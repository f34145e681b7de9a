#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

class QDBusPendingCallWatcher;

// Keeps the computer from going to sleep while transfers run, through a "sleep" inhibitor lock
// of the login manager (logind) on the system bus. The lock lasts as long as the file
// descriptor logind hands out stays open: closing it lets the computer sleep again.
//
// The mode is "block", not "delay": a delay lock only postpones sleep by a few seconds
// (logind's InhibitDelayMaxSec), after which the transfers are cut all the same, which is what
// the lock is for. A block lock keeps an idle desktop from suspending a long download; the
// user can still put the computer to sleep on purpose (the lid switch ignores such locks by
// default, and desktops name "Ferrydesk: Transfers running" and offer to go on anyway).
//
// Without a system bus or a login manager the program runs on as before; the first failure is
// logged once. FERRYDESK_SYSTEM_BUS_ADDRESS, when set, is the address of the bus to use
// instead of the system bus (tests and the demo point it at a bus of their own or nowhere).
class DSleepInhibitor : public QObject
{
    Q_OBJECT
public:
    explicit DSleepInhibitor(QObject* parent = nullptr);
    ~DSleepInhibitor() override;

    // Takes the lock when `wanted` and none is held or asked for; lets it go when not.
    void setWanted(bool wanted);
    bool isHeld() const { return m_lock.isValid(); }

private:
    void request();
    void onReply(QDBusPendingCallWatcher* call);
    void reportOnce(const QString& reason);
    void disconnectBus();

    QString m_connectionName;
    bool m_connected = false;
    bool m_busMissing = false;
    bool m_reported = false;
    bool m_wanted = false;
    QDBusPendingCallWatcher* m_pending = nullptr;
    QDBusUnixFileDescriptor m_lock;
};
