// Video preview: finds the VLC player and starts it on a playable file's link.

#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "engine/dprompt.h"
#include "support/dchildprocess.h"
#include "support/dvlc.h"

#include <QSettings>

namespace {

const char* const VlcPathKey = "VLCPath";

} // namespace

void MainWindow::playInVlc(const QString& address)
{
    if (m_vlcPath.isEmpty())
        findVlc();
    if (m_vlcPath.isEmpty())
        return;
    if (!DVlc::isExecutableFile(m_vlcPath)) {
        showMessage(tr("VLC path not an executable !!"));
        return;
    }
    // An argument list, no shell, so the address reaches the player whole; detached, so the
    // player keeps playing when this program ends.
    DChildProcess::startDetached(m_vlcPath, DVlc::playerArguments(address));
}

void MainWindow::findVlc()
{
    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    m_vlcPath = settings.value(QLatin1String(VlcPathKey)).toString();
    if (DVlc::isExecutableFile(m_vlcPath))
        return;
    m_vlcPath = DVlc::findPlayer();
    if (m_vlcPath.isEmpty() &&
        prompt()->askInstallVlc(tr("Please install VLC from link below"), DVlc::installLinkHtml()))
        showMessage(tr("Please restart program once VLC installation completes"));
    // Also an empty path, so that the next preview searches again.
    settings.setValue(QLatin1String(VlcPathKey), m_vlcPath);
}

void MainWindow::setVlcPath(const QString& path)
{
    if (!DVlc::isExecutableFile(path)) {
        showMessage(tr("Invalid Path !!"));
        return;
    }
    m_vlcPath = path;
    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    settings.setValue(QLatin1String(VlcPathKey), m_vlcPath);
}
