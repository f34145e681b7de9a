#include "protocol/dmachineid.h"

#include "engine/dglobals.h"

#include <QNetworkInterface>

const char* const DMachineId::Unset = "000000000000";

QString DMachineId::current()
{
    const QString stored = DGlobals::machineId();
    if (stored != QLatin1String(Unset))
        return stored;
    const QString id = fromInterfaces(systemInterfaces());
    if (!id.isEmpty())
        DGlobals::setMachineId(id);
    return id;
}

QString DMachineId::fromInterfaces(const QList<Interface>& interfaces)
{
    for (const Interface& candidate : interfaces) {
        if (candidate.isLoopBack)
            continue;
        QString id = candidate.hardwareAddress;
        return id.remove(QLatin1Char(':'));
    }
    return QString();
}

QList<DMachineId::Interface> DMachineId::systemInterfaces()
{
    QList<Interface> result;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& netInterface : all) {
        Interface entry;
        entry.isLoopBack = netInterface.flags().testFlag(QNetworkInterface::IsLoopBack);
        entry.hardwareAddress = netInterface.hardwareAddress();
        result.append(entry);
    }
    return result;
}
