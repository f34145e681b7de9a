// ferrydesk-update <pid> [-m]
//
// Finishes a self-update that the program prepared: it asks the program with the given process
// id to end, waits until it has, puts "update.bin" (downloaded and verified by the program)
// in place of the program file in one rename, keeping the program file's mode, and starts the
// program again, with "-m" when it was given. Both files live in this executable's folder.
// Every step is appended to the program's log file.

#include "support/dlog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int EndWaitMs = 60000; // how long the program gets to save its state and end
constexpr int PollMs = 100;

void report(const QString& text)
{
    logToFile(QStringLiteral("ferrydesk-update: ") + text);
    std::fprintf(stderr, "ferrydesk-update: %s\n", qPrintable(text));
}

// A process that has ended but was not yet collected by its parent counts as ended.
bool isRunning(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = status.readAll();
    const int afterName = line.lastIndexOf(')');
    return afterName < 0 || line.mid(afterName + 2, 1) != "Z";
}

// Only the program itself is asked to end, never whatever process the id names by now.
bool isTheProgram(pid_t pid, const QString& program)
{
    const QString running = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
    return !running.isEmpty() && running == QFileInfo(program).canonicalFilePath();
}

bool waitUntilEnded(pid_t pid)
{
    for (int waited = 0; waited < EndWaitMs; waited += PollMs) {
        if (!isRunning(pid))
            return true;
        QThread::msleep(PollMs);
    }
    return !isRunning(pid);
}

bool replaceProgram(const QString& download, const QString& program)
{
    struct stat programStat = {};
    const mode_t mode = ::stat(QFile::encodeName(program).constData(), &programStat) == 0
                            ? programStat.st_mode & 07777
                            : 0755;
    const QByteArray from = QFile::encodeName(download);
    if (::chmod(from.constData(), mode) != 0 ||
        ::rename(from.constData(), QFile::encodeName(program).constData()) != 0) {
        report(QStringLiteral("can not replace %1: %2")
                   .arg(program, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    bool ok = false;
    const qint64 pid = arguments.value(0).toLongLong(&ok);
    const bool logOnStart = arguments.size() == 2 && arguments.at(1) == QLatin1String("-m");
    if (!ok || pid <= 1 || arguments.size() > 2 || (arguments.size() == 2 && !logOnStart)) {
        std::fprintf(stderr, "usage: ferrydesk-update <process id> [-m]\n");
        return 2;
    }
    const QString folder = QCoreApplication::applicationDirPath();
    const QString program = folder + QStringLiteral("/ferrydesk");
    const QString download = folder + QStringLiteral("/update.bin");
    if (!QFileInfo(download).isFile()) {
        report(QStringLiteral("%1 is missing; nothing to update").arg(download));
        return 1;
    }
    const auto processId = static_cast<pid_t>(pid);
    if (isRunning(processId)) {
        if (!isTheProgram(processId, program)) {
            report(QStringLiteral("process %1 is not %2; not updating").arg(pid).arg(program));
            return 1;
        }
        ::kill(processId, SIGTERM);
    }
    if (!waitUntilEnded(processId)) {
        report(QStringLiteral("process %1 did not end; not updating").arg(pid));
        return 1;
    }
    if (!replaceProgram(download, program))
        return 1;
    report(QStringLiteral("updated %1").arg(program));
    const QStringList again = logOnStart ? QStringList{QStringLiteral("-m")} : QStringList{};
    if (!QProcess::startDetached(program, again, folder)) {
        report(QStringLiteral("can not start %1 again").arg(program));
        return 1;
    }
    return 0;
}
