#include "support/dsingleinstance.h"

#include "support/dlog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray ShowRequest = "show\n";
const QByteArray ShownAnswer = "shown\n";
// A request is one short line; anything longer is not ours.
constexpr qint64 MaxRequestBytes = 64;
// Between its lock and its listen the running program cannot answer yet.
constexpr int ConnectRetryMs = 100;

} // namespace

DSingleInstance::DSingleInstance(const QString& folder, QObject* parent)
    : QObject(parent), m_folder(folder)
{
}

DSingleInstance::~DSingleInstance()
{
    // The socket goes first: a start that finds the lock free never meets a dead socket of ours.
    if (m_server)
        m_server->close();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString DSingleInstance::lockPath() const
{
    return m_folder + QStringLiteral("/ferrydesk.lock");
}

QString DSingleInstance::socketPath() const
{
    return m_folder + QStringLiteral("/ferrydesk.socket");
}

DSingleInstance::Outcome DSingleInstance::claim()
{
    if (m_lockFd >= 0)
        return First;
    if (takeLock()) {
        listen();
        return First;
    }
    return handOver() ? HandedOver : NoAnswer;
}

bool DSingleInstance::takeLock()
{
    // Close-on-exec: the player, the updater and the power-off command must not inherit it,
    // or the lock would outlive the program.
    const QByteArray path = QFile::encodeName(lockPath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        m_lockFd = fd;
        return true;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return false;
    logError(tr("Could not lock %1; another start of the program may run beside this one")
                 .arg(lockPath()));
    return true;
}

void DSingleInstance::listen()
{
    // Only the holder of the lock gets here, so a socket already there is a dead program's.
    QLocalServer::removeServer(socketPath());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &DSingleInstance::onConnection);
    if (!m_server->listen(socketPath()))
        logError(tr("A second start of the program cannot reach this one: %1")
                     .arg(m_server->errorString()));
}

void DSingleInstance::onConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onRequest(socket); });
        if (socket->bytesAvailable() > 0)
            onRequest(socket);
    }
}

void DSingleInstance::onRequest(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > MaxRequestBytes)
            socket->abort();
        return;
    }
    const QByteArray request = socket->readLine(MaxRequestBytes);
    if (request == ShowRequest) {
        emit di_showRequested();
        socket->write(ShownAnswer);
        socket->flush();
    }
    socket->disconnectFromServer();
}

bool DSingleInstance::handOver() const
{
    const QDeadlineTimer deadline(HandOverTimeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(ConnectRetryMs);
    }
    socket.write(ShowRequest);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return false;
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return socket.readLine(MaxRequestBytes) == ShownAnswer;
}
