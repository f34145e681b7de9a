#include "support/dlog.h"

#include "engine/datafolder.h"
#include "engine/dglobals.h"

#include <QDir>
#include <QFile>
#include <QMutex>

#include <ctime>

// Skeleton: filled in by the logging work.
QString logFilePath() { return dataFolder() + QStringLiteral("/Ferrydesk.log"); }
void writeLogLine(const QByteArray& message)
{
    QFile file(logFilePath());
    if (file.open(QIODevice::Append))
        file.write("#" + message + "\n");
}
void logToFile(const QString& text) { writeLogLine(text.toLocal8Bit()); }
void logError(const QString& text)
{
    writeLogLine(text.toLocal8Bit());
    if (!DGlobals::startedByOs)
        emit DLogHub::instance()->di_entry(text, LogKindError);
}
void logStatus(const QString& text)
{
    writeLogLine(text.toLocal8Bit());
    emit DLogHub::instance()->di_entry(text, LogKindStatus);
}
DLogHub* DLogHub::instance()
{
    static DLogHub hub;
    return &hub;
}
