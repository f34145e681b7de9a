#include "support/dchildprocess.h"

#include <QProcess>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace DChildProcess {

void closeDescriptorsOnExec()
{
    // One call on kernels since 5.11; older ones are walked descriptor by descriptor.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    DIR* folder = opendir("/proc/self/fd");
    if (!folder)
        return;
    const int own = dirfd(folder);
    while (const dirent* entry = readdir(folder)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == own)
            continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
    closedir(folder);
}

bool startDetached(const QString& program, const QStringList& arguments,
                   const QString& workingDirectory)
{
    closeDescriptorsOnExec();
    return QProcess::startDetached(program, arguments, workingDirectory);
}

} // namespace DChildProcess
