#include "tests/common/testhome.h"

#include "engine/dglobals.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

TestHome::TestHome() : m_previousHome(qgetenv("HOME"))
{
    qputenv("HOME", m_dir.path().toLocal8Bit());
    DGlobals::resetForTests();
}

QStringList TestHome::logLines() const
{
    return QString::fromLocal8Bit(readFile(dataFolder() + QStringLiteral("/Ferrydesk.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool writeFile(const QString& path, const QByteArray& content, QFile::Permissions mode)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           (mode == QFile::Permissions() || file.setPermissions(mode));
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void stopProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
