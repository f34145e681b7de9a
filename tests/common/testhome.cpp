#include "tests/common/testhome.h"

#include "engine/dglobals.h"

#include <QFile>
#include <QStringList>

TestHome::TestHome() : m_previousHome(qgetenv("HOME"))
{
    qputenv("HOME", m_dir.path().toLocal8Bit());
    DGlobals::resetForTests();
}

TestHome::~TestHome()
{
    qputenv("HOME", m_previousHome);
}

QStringList TestHome::logLines() const
{
    QFile file(dataFolder() + QStringLiteral("/Ferrydesk.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
