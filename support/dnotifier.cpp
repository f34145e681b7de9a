#include "support/dnotifier.h"

#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
#include <QVariantMap>

namespace {

const QString NoticeService = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
const QString AbortAction = QStringLiteral("abort");
const QString ClickAction = QStringLiteral("default"); // a click on the notice itself
constexpr int AskBusMs = 1000;  // the bus itself answers at once; never hang the window on it
constexpr int NeverExpires = 0; // the countdown stays until it is over or aborted
constexpr int ServerDefault = -1;
constexpr uchar Critical = 2;

bool busKnows(QDBusConnection& bus, const QString& method, const QVariantList& arguments,
              bool inList)
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), method);
    ask.setArguments(arguments);
    const QDBusMessage answer = bus.call(ask, QDBus::Block, AskBusMs);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return false;
    const QVariant value = answer.arguments().constFirst();
    return inList ? value.toStringList().contains(NoticeService) : value.toBool();
}

} // namespace

DNotifier::DNotifier(QObject* parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_clock.start();
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &DNotifier::sendNext);
}

// A countdown notice must not outlive the program that would have powered off.
DNotifier::~DNotifier()
{
    closeCountdown();
}

bool DNotifier::isAvailable()
{
    if (m_service != ServiceState::Unknown)
        return m_service == ServiceState::Present;
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Many notification services start on the first call (bus activation).
    const bool present = bus.isConnected() &&
                         (busKnows(bus, QStringLiteral("NameHasOwner"), {NoticeService}, false) ||
                          busKnows(bus, QStringLiteral("ListActivatableNames"), {}, true));
    m_service = present ? ServiceState::Present : ServiceState::Absent;
    if (present) {
        bus.connect(QString(), Path, Interface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
    }
    return present;
}

void DNotifier::notify(const QString& summary, const QString& body)
{
    if (!isAvailable())
        return;
    if (!m_news.waiting) {
        m_news.waiting = true;
        m_news.since = m_clock.elapsed();
        m_news.lines.clear();
    }
    m_news.summary = summary;
    m_news.lines.append(body);
    schedule();
}

void DNotifier::showCountdown(const QString& summary, const QString& body)
{
    if (!isAvailable()) {
        emit di_countdownFailed();
        return;
    }
    if (!m_countdown.waiting) {
        m_countdown.waiting = true;
        m_countdown.since = m_clock.elapsed();
    }
    // Only the latest text of the countdown matters.
    m_countdown.summary = summary;
    m_countdown.lines = QStringList{body};
    m_countdownShown = true;
    schedule();
}

void DNotifier::closeCountdown()
{
    m_countdown.waiting = false;
    m_countdownShown = false;
    if (m_countdownId == 0)
        return;
    QDBusMessage close = QDBusMessage::createMethodCall(NoticeService, Path, Interface,
                                                        QStringLiteral("CloseNotification"));
    close << m_countdownId;
    QDBusConnection::sessionBus().send(close);
    m_countdownId = 0;
}

void DNotifier::schedule()
{
    if (m_timer->isActive())
        return;
    const qint64 period = DTimings::scaled(CoalesceMs);
    const qint64 wait =
        m_lastSent < 0 ? 0 : qMax<qint64>(0, m_lastSent + period - m_clock.elapsed());
    m_timer->start(static_cast<int>(wait));
}

// One notice per period: whichever kind has waited longer goes first, so that a countdown
// that updates every second never keeps the news back.
void DNotifier::sendNext()
{
    const bool countdownReady = m_countdown.waiting && !m_countdownInFlight;
    const bool countdownFirst =
        countdownReady && (!m_news.waiting || m_countdown.since <= m_news.since);
    if (countdownFirst) {
        m_countdown.waiting = false;
        m_countdownInFlight = true;
        send(m_countdown, true);
    } else if (m_news.waiting) {
        m_news.waiting = false;
        send(m_news, false);
    } else {
        return;
    }
    m_lastSent = m_clock.elapsed();
    if (m_news.waiting || (m_countdown.waiting && !m_countdownInFlight))
        schedule();
}

void DNotifier::send(const Pending& notice, bool countdown)
{
    QStringList lines = notice.lines;
    if (lines.size() > MaxMergedLines) {
        const int more = int(lines.size()) - (MaxMergedLines - 1);
        lines = lines.mid(lines.size() - (MaxMergedLines - 1));
        lines.prepend(tr("(%1 more)").arg(more));
    }
    QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("ferrydesk")}};
    QStringList actions;
    if (countdown) {
        hints.insert(QStringLiteral("urgency"), QVariant::fromValue(Critical));
        actions = QStringList{ClickAction, tr("Abort"), AbortAction, tr("Abort")};
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(NoticeService, Path, Interface, QStringLiteral("Notify"));
    call << QStringLiteral("Ferrydesk") << (countdown ? m_countdownId : 0u)
         << QStringLiteral("ferrydesk") << notice.summary << lines.join(QLatin1Char('\n'))
         << actions << hints << (countdown ? NeverExpires : ServerDefault);
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, countdown](QDBusPendingCallWatcher* done) { onAnswer(done, countdown); });
}

void DNotifier::onAnswer(QDBusPendingCallWatcher* watcher, bool countdown)
{
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    if (countdown)
        m_countdownInFlight = false;
    if (reply.isError()) {
        giveUp(reply.error().message());
        if (countdown && m_countdownShown)
            emit di_countdownFailed();
        return;
    }
    if (!countdown)
        return;
    m_countdownId = reply.value();
    if (!m_countdownShown)
        closeCountdown(); // ended while the notice was on its way
    else if (m_countdown.waiting)
        schedule();
}

void DNotifier::giveUp(const QString& why)
{
    if (m_service == ServiceState::Absent)
        return;
    m_service = ServiceState::Absent;
    m_news.waiting = false;
    m_countdown.waiting = false;
    logToFile(tr("The desktop's notification service did not answer (%1); notices show in the "
                 "window instead.")
                  .arg(why));
}

void DNotifier::onActionInvoked(uint id, const QString& actionKey)
{
    if (id == 0 || id != m_countdownId || !m_countdownShown)
        return;
    if (actionKey == AbortAction || actionKey == ClickAction)
        emit di_countdownClicked();
}
