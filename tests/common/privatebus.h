#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A message bus of the test's own (Debian's dbus-daemon on a socket in a temporary folder), so
// that fake desktop services can be registered on it and the program under test talks to them
// instead of the user's session or the system bus. Stopped when the object goes away.
class PrivateBus
{
public:
    PrivateBus() = default;
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon and waits for its address; false when it did not come up.
    bool start();
    void stop();

    // "unix:path=…": for DBUS_SESSION_BUS_ADDRESS or the program's own bus variables.
    QString address() const { return m_address; }
    // A connection of the test's own to this bus (e.g. to register a fake service on it).
    QDBusConnection connect(const QString& connectionName) const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_address;
};
