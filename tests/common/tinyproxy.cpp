#include "tests/common/tinyproxy.h"

#include "tests/common/testhome.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>

namespace {

const int ReadyTimeoutMs = 10000;
const int PortTries = 5;

// A loopback port that was free a moment ago.
int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

QString TinyProxy::program()
{
    return QStandardPaths::findExecutable(
        QStringLiteral("tinyproxy"), {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin")});
}

bool TinyProxy::start()
{
    // Another program may take the probed port before the proxy binds it: probe again.
    for (int i = 0; i < PortTries; ++i) {
        if (startOnce())
            return true;
    }
    qWarning("TinyProxy: the proxy did not become ready:\n%s", log().constData());
    return false;
}

bool TinyProxy::startOnce()
{
    stop();
    m_port = freePort();
    if (!m_dir.isValid() || m_port == 0 || program().isEmpty())
        return false;
    QFile::remove(m_dir.filePath("tinyproxy.log"));
    // No "ConnectPort" line: CONNECT may reach every port. Each request line is logged.
    const QString config = QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 60\n"
                                          "LogFile \"%2\"\nLogLevel Info\nPidFile \"%3\"\n"
                                          "MaxClients 100\nAllow 127.0.0.1\n")
                               .arg(m_port)
                               .arg(m_dir.filePath("tinyproxy.log"), m_dir.filePath("pid"));
    if (!writeFile(m_dir.filePath("tinyproxy.conf"), config.toUtf8()))
        return false;
    m_process.setProgram(program());
    m_process.setArguments({"-d", "-c", m_dir.filePath("tinyproxy.conf")});
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start();
    const QDeadlineTimer deadline(ReadyTimeoutMs);
    while (!deadline.hasExpired()) {
        if (log().contains("Accepting connections"))
            return true;
        // Ended: most likely the port was taken meanwhile.
        if (m_process.waitForFinished(20) || m_process.state() == QProcess::NotRunning)
            return false;
    }
    return false;
}

void TinyProxy::stop()
{
    stopProcess(m_process);
}

QStringList TinyProxy::requests() const
{
    static const QRegularExpression request(
        QStringLiteral("Request \\(file descriptor \\d+\\): (.*)$"),
        QRegularExpression::MultilineOption);
    QStringList lines;
    auto it = request.globalMatch(QString::fromLatin1(log()));
    while (it.hasNext())
        lines << it.next().captured(1).trimmed();
    return lines;
}

QByteArray TinyProxy::log() const
{
    return readFile(m_dir.filePath("tinyproxy.log"));
}
