#include "support/dkeyring.h"

#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QPointer>
#include <QTimer>
#include <qt6keychain/keychain.h>

#include <memory>

namespace {

const QString KeychainService = QStringLiteral("Ferrydesk");
const QString SecretService = QStringLiteral("org.freedesktop.secrets");
constexpr int AskBusMs = 1000; // the bus itself answers at once; never hang the window on it

// Only a Secret Service that runs counts: starting one on demand could greet the user with
// a "create a new keyring" prompt the desktop never asked for.
bool secretServiceRuns()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << SecretService;
    const QDBusMessage answer = bus.call(ask, QDBus::Block, AskBusMs);
    return answer.type() == QDBusMessage::ReplyMessage && !answer.arguments().isEmpty() &&
           answer.arguments().constFirst().toBool();
}

// Runs `job` and hands its end (or the end of the waiting) to `finish` exactly once.
void run(QKeychain::Job* job, QObject* context, std::function<void(QKeychain::Job*)> finish)
{
    auto settled = std::make_shared<bool>(false);
    auto* timer = new QTimer(context);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, context, [=] {
        timer->deleteLater();
        if (*settled)
            return;
        *settled = true;
        finish(nullptr);
    });
    QObject::connect(job, &QKeychain::Job::finished, context, [=](QKeychain::Job* done) {
        timer->deleteLater();
        if (*settled)
            return;
        *settled = true;
        finish(done);
    });
    timer->start(DTimings::scaled(DKeyring::TimeoutMs));
    job->start();
}

} // namespace

DKeyring::DKeyring(QObject* parent) : QObject(parent) {}

bool DKeyring::isUsable()
{
    if (m_state == State::Unknown)
        m_state = secretServiceRuns() ? State::Usable : State::GivenUp;
    return m_state == State::Usable;
}

void DKeyring::read(const QString& key, QObject* context, ReadDone done)
{
    if (!isUsable()) {
        done(false, QString());
        return;
    }
    auto* job = new QKeychain::ReadPasswordJob(KeychainService);
    job->setKey(key);
    QPointer<DKeyring> self(this);
    run(job, context, [self, done](QKeychain::Job* finished) {
        if (!finished) {
            if (self)
                self->giveUp(tr("no answer"));
            done(false, QString());
            return;
        }
        // A locked keyring answers "not found" too: the password is then asked for, and the
        // next login's password goes to the settings file when the keyring refuses it.
        if (finished->error() != QKeychain::NoError) {
            if (finished->error() != QKeychain::EntryNotFound && self)
                self->giveUp(finished->errorString());
            done(false, QString());
            return;
        }
        done(true, static_cast<QKeychain::ReadPasswordJob*>(finished)->textData());
    });
}

void DKeyring::write(const QString& key, const QString& password, QObject* context, WriteDone done)
{
    if (!isUsable()) {
        done(false);
        return;
    }
    auto* job = new QKeychain::WritePasswordJob(KeychainService);
    job->setKey(key);
    job->setTextData(password);
    QPointer<DKeyring> self(this);
    run(job, context, [self, done](QKeychain::Job* finished) {
        const bool stored = finished && finished->error() == QKeychain::NoError;
        if (!stored && self)
            self->giveUp(finished ? finished->errorString() : tr("no answer"));
        done(stored);
    });
}

void DKeyring::remove(const QString& key)
{
    if (!isUsable())
        return;
    auto* job = new QKeychain::DeletePasswordJob(KeychainService);
    job->setKey(key);
    job->start(); // nothing is lost when an old entry stays behind
}

QString DKeyring::accountKey(const QString& user)
{
    return QStringLiteral("account/") + user;
}

QString DKeyring::lastLoginKey(const QString& user)
{
    return QStringLiteral("last/") + user;
}

void DKeyring::giveUp(const QString& why)
{
    if (m_state == State::GivenUp)
        return;
    m_state = State::GivenUp;
    logStatus(tr("The desktop's keyring refused the passwords (%1); they stay in the settings "
                 "file for this run.")
                  .arg(why));
}
