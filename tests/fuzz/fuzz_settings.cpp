// The settings file as the program reads it back at start: limits, speed caps, the proxy.
#include "engine/dcommandmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

DCommandManager* manager = nullptr;

struct Values
{
    int transfers, downloads, uploads, port;
    double down, up;
    bool operator==(const Values& o) const
    {
        return transfers == o.transfers && downloads == o.downloads && uploads == o.uploads &&
               port == o.port && down == o.down && up == o.up;
    }
};

Values values()
{
    QString host, user, password;
    int port = 0;
    manager->proxy(host, user, password, port);
    return {manager->maxTransfers(), manager->maxDownloads(), manager->maxUploads(), port,
            manager->maxDownSpeed(), manager->maxUpSpeed()};
}

bool sane(const Values& v)
{
    // No limit goes beyond a few dozen transfers at once (the getters show "no limit" as 0).
    const auto limit = [](int value) { return value >= 0 && value <= 64; };
    const auto speed = [](double value) { return std::isfinite(value) && value >= 0; };
    return limit(v.transfers) && limit(v.downloads) && limit(v.uploads) && v.port >= 0 &&
           v.port <= 65535 && speed(v.down) && speed(v.up);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    manager = new DCommandManager;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QFile ini(DCommandManager::settingsFilePath());
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    ini.write(reinterpret_cast<const char*>(data), qint64(size));
    ini.close();
    manager->loadSettings();
    const Values read = values();
    // Whatever the file holds, the program runs with values its own dialog would accept, and
    // they survive a save and the next start.
    if (!sane(read))
        abort();
    manager->saveSettings();
    manager->loadSettings();
    if (!(values() == read))
        abort();
    return 0;
}
