// The settings file as the program reads it back at start: limits, speed caps, the proxy.
#include "engine/dcommandmanager.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <tuple>

namespace {

DCommandManager* manager = nullptr;

// Transfers, downloads and uploads at once, the proxy's port, the download and upload caps.
auto values()
{
    QString host, user, password;
    int port = 0;
    manager->proxy(host, user, password, port);
    return std::make_tuple(manager->maxTransfers(), manager->maxDownloads(), manager->maxUploads(),
                           port, manager->maxDownSpeed(), manager->maxUpSpeed());
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

// Whatever the file holds, the program runs with values its own dialog would accept (no more
// than a few dozen transfers at once, "no limit" being 0), and they survive a save and the next
// start.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QFile ini(DCommandManager::settingsFilePath());
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    ini.write(payload(data, size, 0));
    ini.close();
    manager->loadSettings();
    const auto read = values();
    const auto [transfers, downloads, uploads, port, down, up] = read;
    for (const int limit : {transfers, downloads, uploads})
        if (limit < 0 || limit > 64)
            abort();
    if (port < 0 || port > 65535 || !(down >= 0 && up >= 0 && std::isfinite(down + up)))
        abort();
    manager->saveSettings();
    manager->loadSettings();
    if (values() != read)
        abort();
    return 0;
}
