#include "engine/datafolder.h"

#include <QDir>
#include <QFile>

namespace {

constexpr QFileDevice::Permissions OwnerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions OwnerOnlyFolder =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

} // namespace

QString dataFolder()
{
    const QString home = QDir::homePath();
    const QString path = home + QDir::separator() + QStringLiteral(".dftp");
    if (!QDir(path).exists()) {
        // Settings and history hold passwords and what the user transfers: owner-only.
        QDir(home).mkdir(QStringLiteral(".dftp"), OwnerOnlyFolder);
    }
    return path;
}

void tightenDataFolder()
{
    const QString folder = dataFolder();
    QFile::setPermissions(folder, OwnerOnlyFolder);
    const QDir dir(folder);
    const QStringList files =
        dir.entryList({QStringLiteral("Ferrydesk.ini"), QStringLiteral("transfers_*")},
                      QDir::Files | QDir::Hidden);
    for (const QString& name : files)
        QFile::setPermissions(dir.filePath(name), OwnerOnlyFile);
    createOwnerOnly(dir.filePath(QStringLiteral("Ferrydesk.ini")));
}

void makeOwnerOnly(const QString& path)
{
    QFile::setPermissions(path, OwnerOnlyFile);
}

void createOwnerOnly(const QString& path)
{
    QFile file(path);
    if (!file.exists())
        file.open(QIODevice::WriteOnly, OwnerOnlyFile);
}

bool fileExists(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    file.close();
    return true;
}

void appendLine(const QString& text, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(text.toLocal8Bit());
    file.write("\n");
    file.close();
}
