#include "tests/common/privatebus.h"

#include "tests/common/testhome.h"

#include <QDeadlineTimer>

namespace {

const int ReadyTimeoutMs = 10000;

// Anyone on the bus may own any name and talk to anyone: the bus holds only the test's fakes.
const char BusConfig[] = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration"
                         " 1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                         "busconfig.dtd\">\n"
                         "<busconfig><type>session</type><listen>unix:path=%1</listen>"
                         "<auth>EXTERNAL</auth><policy context=\"default\">"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";

} // namespace

bool PrivateBus::start()
{
    stop();
    if (!m_dir.isValid())
        return false;
    const QString config = m_dir.filePath("bus.conf");
    if (!writeFile(config, QString::fromLatin1(BusConfig).arg(m_dir.filePath("bus")).toUtf8()))
        return false;
    m_process.setProgram(QStringLiteral("dbus-daemon"));
    m_process.setArguments({"--nofork", "--print-address=1", "--config-file=" + config});
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start();
    const QDeadlineTimer deadline(ReadyTimeoutMs);
    while (!deadline.hasExpired() && !m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(100) && m_process.state() == QProcess::NotRunning)
            return false;
    }
    m_address = QString::fromUtf8(m_process.readLine()).trimmed();
    return !m_address.isEmpty();
}

void PrivateBus::stop()
{
    if (m_address.isEmpty() && m_process.state() == QProcess::NotRunning)
        return;
    m_address.clear();
    m_process.kill();
    m_process.waitForFinished();
}

QDBusConnection PrivateBus::connect(const QString& connectionName) const
{
    return QDBusConnection::connectToBus(m_address, connectionName);
}
