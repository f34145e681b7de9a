// ferrydesk-update <pid> [-m] --md5=<digest>
//
// Finishes a self-update that the program prepared. It installs nothing but a program for this
// machine whose digest is the one it was given: it checks "update.bin" before anything else,
// then asks the program with the given process id to end and waits until it has. It keeps the
// old program as "ferrydesk.old" until the new one runs, puts "update.bin" in place of the
// program file in one rename (keeping the program file's mode), and starts the program again,
// with "-m" when it was given. When the new file cannot be put in place or cannot be started,
// the old program stays or is put back and is started instead, and the digest is remembered in
// the data folder so that the program does not fetch the same file again at once. Both files
// live in this executable's folder. Every step is appended to the program's log file.

#include "support/dlog.h"
#include "support/dupdatecheck.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
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

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

struct Arguments
{
    qint64 pid = 0;
    bool logOnStart = false;
    QString md5;
};

// "<pid> [-m] --md5=<digest>"; false for anything else.
bool parse(const QStringList& arguments, Arguments& parsed)
{
    bool ok = false;
    parsed.pid = arguments.value(0).toLongLong(&ok);
    if (!ok || parsed.pid <= 1)
        return false;
    const QString digestOption = QString::fromLatin1(DUpdateCheck::DigestOption);
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("-m") && !parsed.logOnStart)
            parsed.logOnStart = true;
        else if (argument.startsWith(digestOption) && parsed.md5.isEmpty())
            parsed.md5 = argument.mid(digestOption.size());
        else
            return false;
    }
    static const QRegularExpression digest(QStringLiteral("^[0-9a-f]{32}$"));
    return digest.match(parsed.md5).hasMatch();
}

// Only a program for this machine with the expected digest gets past here. A file that is no
// program here is removed; one with another digest stays, since nothing installs it unchecked.
bool verify(const QString& download, const QString& md5)
{
    if (!QFileInfo::exists(download)) {
        report(QStringLiteral("%1 is missing; nothing to update").arg(download));
        return false;
    }
    if (DUpdateCheck::md5Of(download) != md5) {
        report(QStringLiteral("%1 does not have the digest %2; not installed").arg(download, md5));
        DUpdateCheck::rememberFailed(md5);
        return false;
    }
    if (!DUpdateCheck::isProgramForThisMachine(download)) {
        report(QStringLiteral("%1 is not a program for this machine; not installed").arg(download));
        QFile::remove(download);
        DUpdateCheck::rememberFailed(md5);
        return false;
    }
    return true;
}

// A copy for file systems without hard links, written in place: no rename is needed.
bool copyFile(const QString& from, const QString& to)
{
    QFile source(from);
    QFile target(to);
    if (!source.open(QIODevice::ReadOnly) ||
        !target.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    while (!source.atEnd()) {
        const QByteArray block = source.read(1 << 20);
        if (block.isEmpty() || target.write(block) != block.size())
            return false;
    }
    return target.flush() && target.setPermissions(source.permissions());
}

// The old program stays beside the new one until the new one runs.
bool keepOld(const QString& program, const QString& backup)
{
    const QByteArray backupName = QFile::encodeName(backup);
    ::unlink(backupName.constData());
    if (::link(QFile::encodeName(program).constData(), backupName.constData()) == 0 ||
        copyFile(program, backup))
        return true;
    report(QStringLiteral("can not keep the old program as %1: %2").arg(backup, lastError()));
    QFile::remove(backup);
    return false;
}

// One rename puts the new program in place, with the program file's mode; the program file is
// never missing, whatever happens.
bool replaceProgram(const QString& download, const QString& program)
{
    struct stat programStat = {};
    const mode_t mode = ::stat(QFile::encodeName(program).constData(), &programStat) == 0
                            ? programStat.st_mode & 07777
                            : 0755;
    const QByteArray from = QFile::encodeName(download);
    if (::chmod(from.constData(), mode) != 0 ||
        ::rename(from.constData(), QFile::encodeName(program).constData()) != 0) {
        report(QStringLiteral("can not replace %1: %2").arg(program, lastError()));
        return false;
    }
    return true;
}

// Installs the new program; on failure the old one is untouched and "update.bin" is gone.
bool install(const QString& download, const QString& program, const QString& backup)
{
    if (keepOld(program, backup)) {
        if (replaceProgram(download, program)) {
            report(QStringLiteral("updated %1").arg(program));
            return true;
        }
        QFile::remove(backup);
    }
    QFile::remove(download);
    return false;
}

// Puts the kept old program back in place of a new one that does not start.
bool putBack(const QString& backup, const QString& program)
{
    if (::rename(QFile::encodeName(backup).constData(), QFile::encodeName(program).constData()) !=
        0) {
        report(QStringLiteral("can not put the old program back from %1: %2")
                   .arg(backup, lastError()));
        return false;
    }
    report(QStringLiteral("put the old program back"));
    return true;
}

// The new process's id, 0 when it could not be started.
qint64 startProgram(const QString& program, const QString& folder, bool logOnStart)
{
    const QStringList again = logOnStart ? QStringList{QStringLiteral("-m")} : QStringList{};
    qint64 started = 0;
    if (!QProcess::startDetached(program, again, folder, &started)) {
        report(QStringLiteral("can not start %1").arg(program));
        return 0;
    }
    return started;
}

// Asks the program to end; false when the id is someone else's or the program stays.
bool endProgram(pid_t pid, const QString& program)
{
    if (isRunning(pid)) {
        if (!isTheProgram(pid, program)) {
            report(QStringLiteral("process %1 is not %2; not updating").arg(pid).arg(program));
            return false;
        }
        ::kill(pid, SIGTERM);
    }
    if (!waitUntilEnded(pid)) {
        report(QStringLiteral("process %1 did not end; not updating").arg(pid));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Arguments arguments;
    if (!parse(QCoreApplication::arguments().mid(1), arguments)) {
        std::fprintf(stderr, "usage: ferrydesk-update <process id> [-m] --md5=<digest>\n");
        return 2;
    }
    const QString folder = QCoreApplication::applicationDirPath();
    const QString program = folder + QStringLiteral("/ferrydesk");
    const QString backup = program + QStringLiteral(".old");
    const QString download =
        folder + QLatin1Char('/') + QString::fromLatin1(DUpdateCheck::DownloadName);
    if (!verify(download, arguments.md5) || !endProgram(static_cast<pid_t>(arguments.pid), program))
        return 1;

    // From here on the program has ended: whatever happens, it is started again.
    bool installed = install(download, program, backup);
    qint64 started = startProgram(program, folder, arguments.logOnStart);
    if (installed && started == 0) {
        installed = false;
        if (putBack(backup, program))
            started = startProgram(program, folder, arguments.logOnStart);
    }
    // A backup that could not be put back stays, for the user to restore by hand.
    if (installed)
        QFile::remove(backup);
    else
        DUpdateCheck::rememberFailed(arguments.md5);
    if (started != 0)
        report(QStringLiteral("started %1 again (process %2)").arg(program).arg(started));
    return installed && started != 0 ? 0 : 1;
}
