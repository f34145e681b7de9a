#include "support/dvlc.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace DVlc {
namespace {

// Folders directly in `folder` (no files, no links, no "." and ".."), in the file system's
// order, whose absolute path contains `part` (case-sensitive).
QStringList subfoldersContaining(const QString& folder, const QString& part)
{
    QStringList found;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        if (entry.absoluteFilePath().contains(part, Qt::CaseSensitive))
            found << entry.absoluteFilePath();
    }
    return found;
}

} // namespace

bool isExecutableFile(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString findWindowsPlayer(const QString& root)
{
    for (const QString& programs : subfoldersContaining(root, QStringLiteral("Program"))) {
        for (const QString& videoLan : subfoldersContaining(programs, QStringLiteral("VideoLAN"))) {
            const QFileInfo player(videoLan + QStringLiteral("/vlc.exe"));
            if (!player.isSymLink() && isExecutableFile(player.absoluteFilePath()))
                return player.absoluteFilePath();
        }
    }
    return QString();
}

QStringList linuxPlaces(const QString& home)
{
    return {QStringLiteral("/usr/bin/vlc"), QStringLiteral("/snap/bin/vlc"),
            QStringLiteral("/var/lib/flatpak/exports/bin/org.videolan.VLC"),
            home + QStringLiteral("/.local/share/flatpak/exports/bin/org.videolan.VLC")};
}

QString findLinuxPlayer(const QString& pathVariable, const QStringList& places)
{
    QStringList candidates;
    for (const QString& folder : pathVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        // Only absolute folders: a relative PATH entry would depend on the current folder.
        if (QDir::isAbsolutePath(folder))
            candidates << QDir(folder).filePath(QStringLiteral("vlc"));
    }
    candidates << places;
    for (const QString& candidate : candidates) {
        if (isExecutableFile(candidate))
            return QFileInfo(candidate).absoluteFilePath();
    }
    return QString();
}

QString findPlayer()
{
#ifdef Q_OS_WIN
    return findWindowsPlayer();
#else
    return findLinuxPlayer(qEnvironmentVariable("PATH"), linuxPlaces(QDir::homePath()));
#endif
}

QStringList playerArguments(const QString& address)
{
    return {QStringLiteral("--"), address};
}

QString windowsCommandLine(const QString& player, const QString& address)
{
    return QStringLiteral("\"%1\" \"%2\"").arg(player, address);
}

QString installLinkHtml(const QString& page)
{
    return QStringLiteral("<html><body> <div><a href=\"") +
           QString::fromLatin1(QUrl(page).toEncoded()) + QStringLiteral("\">") + page +
           QStringLiteral("</a></div></body></html>");
}

} // namespace DVlc
