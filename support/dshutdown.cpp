#include "support/dshutdown.h"

#include "support/dchildprocess.h"
#include "support/dlog.h"

#include <QProcess>

namespace DShutdown {

QStringList commandFor(Platform platform, const QString& override)
{
    if (!override.trimmed().isEmpty())
        return QProcess::splitCommand(override);
    if (platform == Windows)
        return QProcess::splitCommand(QString::fromLatin1(WindowsCommand));
    return {QStringLiteral("systemctl"), QStringLiteral("poweroff")};
}

QStringList command()
{
#ifdef Q_OS_WIN
    const Platform platform = Windows;
#else
    const Platform platform = Linux;
#endif
    return commandFor(platform, qEnvironmentVariable("FERRYDESK_SHUTDOWN_COMMAND"));
}

bool powerOff()
{
    QStringList arguments = command();
    if (arguments.isEmpty())
        return false;
    const QString program = arguments.takeFirst();
    logToFile(QStringLiteral("Shut down: ") + program + QLatin1Char(' ') +
              arguments.join(QLatin1Char(' ')));
    return DChildProcess::startDetached(program, arguments);
}

} // namespace DShutdown
