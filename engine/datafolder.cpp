#include "engine/datafolder.h"

#include <QDir>
#include <QFile>

QString dataFolder()
{
    const QString home = QDir::homePath();
    const QString path = home + QDir::separator() + QStringLiteral(".dftp");
    if (!QDir(path).exists())
        QDir(home).mkdir(QStringLiteral(".dftp"));
    return path;
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
