#include "engine/dstartup.h"

#include "engine/datafolder.h"

#include <QCoreApplication>
#include <QFile>

namespace DStartup {

bool hasFlag(const QStringList& arguments, const QString& flag)
{
    return arguments.contains(flag, Qt::CaseSensitive);
}

void resetDumpFile()
{
    QFile dump(dataFolder() + QStringLiteral("/dftp.dump"));
    if (dump.open(QIODevice::WriteOnly))
        dump.close();
}

bool dataFolderWritable()
{
    const QString probe = dataFolder() + QStringLiteral("/testwrite01234567890");
    if (fileExists(probe)) {
        // A leftover of an earlier crash.
        QFile::remove(probe);
        if (fileExists(probe))
            return false;
    }
    appendLine(QStringLiteral("0"), probe);
    if (!fileExists(probe))
        return false;
    QFile::remove(probe);
    return true;
}

QString writeFailureTitle()
{
    return QStringLiteral("Program can not write to disk, please Run As Administrator");
}

QString writeFailureText(const QString& serviceHost)
{
    const QString guide = QCoreApplication::translate("DStartup", "http://") + serviceHost +
                          QStringLiteral("/help.html?guide=runAsAdmin");
    return QCoreApplication::translate(
               "DStartup", "<a href='%1'>Click here to Guide \r\n(Hay chay voi quyen Administrator "
                           "hoac Vui long Xem huong dan tai day)</a>")
        .arg(guide);
}

} // namespace DStartup
