#include "engine/dglobals.h"

#include <QMutex>
#include <QMutexLocker>

namespace DGlobals {

std::atomic<bool> startedByOs(false);
std::atomic<bool> dumpResponses(false);
std::atomic<bool> canModify(false);
std::atomic<bool> canDownload(false);
std::atomic<int> uploadSpeedCap(0);
std::atomic<double> MaxDownSpeed(0.0);
std::atomic<double> MaxUpSpeed(0.0);

namespace {

const QString InitialMachineId = QStringLiteral("000000000000");

struct Texts
{
    QMutex lock;
    QString serviceHost;
    QString servicePort = QStringLiteral("56666");
    QString securePort;
    QString caFile;
    QString machineId = InitialMachineId;
    QString userName;
    QString ftpHost;
    QString ftpPort;
};

Texts& texts()
{
    static Texts instance;
    return instance;
}

QString read(QString Texts::*field)
{
    QMutexLocker locker(&texts().lock);
    return texts().*field;
}

void write(QString Texts::*field, const QString& value)
{
    QMutexLocker locker(&texts().lock);
    texts().*field = value;
}

} // namespace

QString serviceHost()
{
    return read(&Texts::serviceHost);
}
void setServiceHost(const QString& host)
{
    write(&Texts::serviceHost, host);
}
QString servicePort()
{
    return read(&Texts::servicePort);
}
void setServicePort(const QString& port)
{
    write(&Texts::servicePort, port);
}
QString securePort()
{
    return read(&Texts::securePort);
}
void setSecurePort(const QString& port)
{
    write(&Texts::securePort, port);
}
QString caFile()
{
    return read(&Texts::caFile);
}
void setCaFile(const QString& path)
{
    write(&Texts::caFile, path);
}
QString machineId()
{
    return read(&Texts::machineId);
}
void setMachineId(const QString& id)
{
    write(&Texts::machineId, id);
}
QString userName()
{
    return read(&Texts::userName);
}
void setUserName(const QString& name)
{
    write(&Texts::userName, name);
}
QString ftpHost()
{
    return read(&Texts::ftpHost);
}
void setFtpHost(const QString& host)
{
    write(&Texts::ftpHost, host);
}
QString ftpPort()
{
    return read(&Texts::ftpPort);
}
void setFtpPort(const QString& port)
{
    write(&Texts::ftpPort, port);
}

void resetForTests()
{
    startedByOs = false;
    dumpResponses = false;
    canModify = false;
    canDownload = false;
    uploadSpeedCap = 0;
    MaxDownSpeed = 0.0;
    MaxUpSpeed = 0.0;
    QMutexLocker locker(&texts().lock);
    texts().serviceHost.clear();
    texts().servicePort = QStringLiteral("56666");
    texts().securePort.clear();
    texts().caFile.clear();
    texts().machineId = InitialMachineId;
    texts().userName.clear();
    texts().ftpHost.clear();
    texts().ftpPort.clear();
}

} // namespace DGlobals
