// The settings file as the program reads it back at start. Whatever the file holds, the program
// runs with limits, caps and a proxy port its own dialog would accept (no more than a few dozen
// transfers at once, "no limit" being 0), and they survive a save and the next start.
#include "engine/dcommandmanager.h"
#include "fuzzinput.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <tuple>

static DCommandManager* manager = nullptr;

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
    ini.write(payload(data, size, 0));
    ini.close();
    const auto values = [] {
        QString host, user, password;
        int port = 0;
        manager->proxy(host, user, password, port);
        return std::make_tuple(manager->maxTransfers(), manager->maxDownloads(),
                               manager->maxUploads(), port, manager->maxDownSpeed(),
                               manager->maxUpSpeed());
    };
    manager->loadSettings();
    const auto read = values();
    const auto [transfers, downloads, uploads, port, down, up] = read;
    if (std::min({transfers, downloads, uploads, port}) < 0 ||
        std::max({transfers, downloads, uploads}) > 64 || port > 65535 ||
        !(down >= 0 && up >= 0 && std::isfinite(down + up)))
        abort();
    manager->saveSettings();
    manager->loadSettings();
    if (values() != read)
        abort();
    return 0;
}
