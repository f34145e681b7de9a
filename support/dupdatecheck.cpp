#include "support/dupdatecheck.h"

#include "support/dlog.h"

#include <QMutex>
#include <QMutexLocker>

namespace DUpdateCheck {

// The version request and the hand-over to the updater come with the self-update work; for now
// the check only leaves its start and end marks in the log file.
void run()
{
    static QMutex oneAtATime;
    QMutexLocker locker(&oneAtATime);
    logToFile(QStringLiteral("---UpdateVersion : start"));
    logToFile(QStringLiteral("---UpdateVersion : End"));
}

} // namespace DUpdateCheck
