#include "support/dsleepinhibitor.h"

#include "support/dlog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <atomic>

namespace {

const QString LoginService = QStringLiteral("org.freedesktop.login1");
const QString LoginPath = QStringLiteral("/org/freedesktop/login1");
const QString LoginManager = QStringLiteral("org.freedesktop.login1.Manager");

std::atomic<int> connectionCount{0};

} // namespace

DSleepInhibitor::DSleepInhibitor(QObject* parent)
    : QObject(parent), m_connectionName(QStringLiteral("ferrydesk-sleep-%1").arg(++connectionCount))
{
}

DSleepInhibitor::~DSleepInhibitor()
{
    m_wanted = false;
    // An answer still on its way is dropped with its lock.
    delete m_pending;
    m_pending = nullptr;
    m_lock = QDBusUnixFileDescriptor();
    disconnectBus();
}

void DSleepInhibitor::setWanted(bool wanted)
{
    m_wanted = wanted;
    if (!wanted) {
        m_lock = QDBusUnixFileDescriptor();
        return;
    }
    if (!m_lock.isValid() && !m_pending)
        request();
}

void DSleepInhibitor::request()
{
    if (m_busMissing)
        return;
    if (!m_connected) {
        const QString address = qEnvironmentVariable("FERRYDESK_SYSTEM_BUS_ADDRESS");
        QDBusConnection bus =
            address.isEmpty()
                ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName)
                : QDBusConnection::connectToBus(address, m_connectionName);
        m_connected = true;
        if (!bus.isConnected()) {
            m_busMissing = true;
            reportOnce(tr("no system bus (%1)").arg(bus.lastError().message()));
            disconnectBus();
            return;
        }
    }
    QDBusMessage call = QDBusMessage::createMethodCall(LoginService, LoginPath, LoginManager,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Ferrydesk")
         << QStringLiteral("Transfers running") << QStringLiteral("block");
    // Asynchronous: a login manager that is slow to answer never holds up the window.
    m_pending =
        new QDBusPendingCallWatcher(QDBusConnection(m_connectionName).asyncCall(call), this);
    connect(m_pending, &QDBusPendingCallWatcher::finished, this, &DSleepInhibitor::onReply);
}

void DSleepInhibitor::onReply(QDBusPendingCallWatcher* call)
{
    m_pending = nullptr;
    {
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
        if (reply.isError())
            reportOnce(reply.error().message());
        else if (m_wanted)
            m_lock = reply.value();
    }
    // The answer's own copy of the descriptor goes with it: a lock nobody wants any more is
    // closed then, and a kept one closes with m_lock alone.
    call->deleteLater();
}

void DSleepInhibitor::reportOnce(const QString& reason)
{
    if (m_reported)
        return;
    m_reported = true;
    logStatus(tr("Transfers can not keep the computer awake: %1").arg(reason));
}

void DSleepInhibitor::disconnectBus()
{
    if (m_connected)
        QDBusConnection::disconnectFromBus(m_connectionName);
    m_connected = false;
}
