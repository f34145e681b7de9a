#include "engine/dcommandmanager.h"

#include "engine/datafolder.h"
#include "engine/dglobals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <climits>
#include <cmath>

namespace {

constexpr int MaxTransfersLimit = 15;
constexpr int MaxDownloadsLimit = 10;
constexpr int MaxUploadsLimit = 5;
constexpr int MaxProxyPort = 65535;

// The options dialog's rule: 0 and anything above the maximum mean the maximum.
int clampedLimit(int value, int maximum)
{
    return (value == 0 || value > maximum) ? maximum : value;
}

// The getters hide the "no limit" marker INT_MAX.
int shownLimit(int value)
{
    return value == INT_MAX ? 0 : value;
}

// A stored limit read as the options dialog reads a typed one: a whole number from 0 up, 0 and
// anything above the maximum meaning the maximum; anything else keeps `current`. (A 0 or a
// negative number held as it is would let the scheduler start nothing.)
int storedLimit(const QSettings& settings, const QString& key, int current, int maximum)
{
    bool ok = false;
    const int value = settings.value(key, current).toInt(&ok);
    return ok && value >= 0 ? clampedLimit(value, maximum) : current;
}

// A stored speed cap in KB/s: finite and from 0 up, as the dialog takes it; otherwise no cap.
double storedSpeed(const QSettings& settings, const QString& key)
{
    bool ok = false;
    const double value = settings.value(key, 0.0).toDouble(&ok);
    return ok && std::isfinite(value) && value >= 0 ? value : 0.0;
}

} // namespace

QString DCommandManager::settingsFilePath()
{
    return dataFolder() + QDir::separator() + QStringLiteral("Ferrydesk.ini");
}

void DCommandManager::loadSettings()
{
    tightenDataFolder();
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    m_maxTransfers =
        storedLimit(settings, QStringLiteral("MaxTransfers"), m_maxTransfers, MaxTransfersLimit);
    m_maxDownloads =
        storedLimit(settings, QStringLiteral("MaxDownloads"), m_maxDownloads, MaxDownloadsLimit);
    m_maxUploads =
        storedLimit(settings, QStringLiteral("MaxUploads"), m_maxUploads, MaxUploadsLimit);

    DGlobals::MaxDownSpeed = storedSpeed(settings, QStringLiteral("MaxDownSpeed"));
    DGlobals::MaxUpSpeed = storedSpeed(settings, QStringLiteral("MaxUpSpeed"));

    m_minToTray = settings.value(QStringLiteral("MinToTray"), m_minToTray).toBool();
    m_powerOff = settings.value(QStringLiteral("PowerOff"), m_powerOff).toBool();
    {
        QMutexLocker locker(&m_lock);
        m_proxyEnabled = settings.value(QStringLiteral("ProxyEnabled"), m_proxyEnabled).toBool();
        const int port = settings.value(QStringLiteral("ProxyPort"), 0).toInt();
        m_proxyPort = port >= 0 && port <= MaxProxyPort ? port : 0;
        m_proxyHost = settings.value(QStringLiteral("ProxyHost"), QString()).toString();
        m_proxyUser = settings.value(QStringLiteral("ProxyUser"), QString()).toString();
        m_proxyPassword = settings.value(QStringLiteral("ProxyPassword"), QString()).toString();
    }
    // Power-off after transfers never survives a restart.
    m_powerOff = false;

    m_minToTray = settings.value(QStringLiteral("MinToTray"), true).toBool();
    m_osStart = settings.value(QStringLiteral("OSStart"), true).toBool();
    m_limitsEnabled = settings.value(QStringLiteral("LimitsEnabled"), true).toBool();
    m_startTransfersAtOnce = settings.value(QStringLiteral("StartTransfersAtOnce"), false).toBool();
}

void DCommandManager::saveSettings()
{
    {
        QSettings settings(settingsFilePath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("MaxTransfers"), m_maxTransfers);
        settings.setValue(QStringLiteral("MaxDownloads"), m_maxDownloads);
        settings.setValue(QStringLiteral("MaxUploads"), m_maxUploads);
        settings.setValue(QStringLiteral("MaxDownSpeed"), DGlobals::MaxDownSpeed.load());
        settings.setValue(QStringLiteral("MaxUpSpeed"), DGlobals::MaxUpSpeed.load());
        settings.setValue(QStringLiteral("MinToTray"), m_minToTray);
        settings.setValue(QStringLiteral("PowerOff"), m_powerOff);
        QString host, user, password;
        int port = 0;
        const bool enabled = proxy(host, user, password, port);
        settings.setValue(QStringLiteral("ProxyEnabled"), enabled);
        settings.setValue(QStringLiteral("ProxyPort"), port);
        settings.setValue(QStringLiteral("ProxyHost"), host);
        settings.setValue(QStringLiteral("ProxyUser"), user);
        settings.setValue(QStringLiteral("ProxyPassword"), password);
        settings.setValue(QStringLiteral("MinToTray"), m_minToTray);
        settings.setValue(QStringLiteral("OSStart"), m_osStart);
        settings.setValue(QStringLiteral("LimitsEnabled"), m_limitsEnabled.load());
        settings.setValue(QStringLiteral("StartTransfersAtOnce"), m_startTransfersAtOnce);
    }
    // It holds the proxy password and, for the login dialog, the account's.
    makeOwnerOnly(settingsFilePath());
    writeLogOnStartEntry();
}

int DCommandManager::maxTransfers() const
{
    return shownLimit(m_maxTransfers);
}
void DCommandManager::setMaxTransfers(int value)
{
    m_maxTransfers = clampedLimit(value, MaxTransfersLimit);
}
int DCommandManager::maxDownloads() const
{
    return shownLimit(m_maxDownloads);
}
void DCommandManager::setMaxDownloads(int value)
{
    m_maxDownloads = clampedLimit(value, MaxDownloadsLimit);
}
int DCommandManager::maxUploads() const
{
    return shownLimit(m_maxUploads);
}
void DCommandManager::setMaxUploads(int value)
{
    m_maxUploads = clampedLimit(value, MaxUploadsLimit);
}
double DCommandManager::maxDownSpeed() const
{
    return DGlobals::MaxDownSpeed.load();
}
void DCommandManager::setMaxDownSpeed(double value)
{
    DGlobals::MaxDownSpeed = value;
}
double DCommandManager::maxUpSpeed() const
{
    return DGlobals::MaxUpSpeed.load();
}
void DCommandManager::setMaxUpSpeed(double value)
{
    DGlobals::MaxUpSpeed = value;
}

bool DCommandManager::proxy(QString& host, QString& user, QString& password, int& port) const
{
    QMutexLocker locker(&m_lock);
    host = m_proxyHost;
    user = m_proxyUser;
    password = m_proxyPassword;
    port = m_proxyPort;
    return m_proxyEnabled;
}

void DCommandManager::setProxy(const QString& host, const QString& user, const QString& password,
                               int port)
{
    QMutexLocker locker(&m_lock);
    m_proxyHost = host;
    m_proxyUser = user;
    m_proxyPassword = password;
    m_proxyPort = port;
    m_proxyEnabled = true;
}

void DCommandManager::setProxyEnabled(bool enabled)
{
    QMutexLocker locker(&m_lock);
    m_proxyEnabled = enabled;
}

QString DCommandManager::windowsRunValue(const QString& programPath)
{
    QString path = programPath;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return QLatin1Char('"') + path + QLatin1Char('"') + QStringLiteral(" -m");
}

QString DCommandManager::desktopExecLine(const QString& programPath)
{
    // The argument is quoted: inside quotes '"', '`', '$' and '\' take a backslash. The value
    // is then a desktop-entry string, whose own escapes are read before the quoting, so every
    // backslash is doubled; '%' would start a field code and is doubled too.
    QString quoted;
    for (const QChar c : programPath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    QString value;
    for (const QChar c : QLatin1Char('"') + quoted + QLatin1Char('"')) {
        switch (c.unicode()) {
        case '\\':
            value += QLatin1String("\\\\");
            break;
        case '\n':
            value += QLatin1String("\\n");
            break;
        case '\t':
            value += QLatin1String("\\t");
            break;
        case '\r':
            value += QLatin1String("\\r");
            break;
        case '%':
            value += QLatin1String("%%");
            break;
        default:
            value += c;
        }
    }
    return value + QStringLiteral(" -m");
}

QString DCommandManager::autostartFilePath()
{
    return QDir::homePath() + QStringLiteral("/.config/autostart/Ferrydesk.desktop");
}

// On Linux the log-on start entry is an XDG autostart file; like the Windows "Run" value it is
// written when the option is on and left alone when it is off. A failure is silent.
void DCommandManager::writeLogOnStartEntry() const
{
    if (!m_osStart)
        return;
    const QString program = QCoreApplication::applicationFilePath();
    if (program.isEmpty())
        return;
    const QString path = autostartFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    const QString entry = QStringLiteral("[Desktop Entry]\nType=Application\nName=Ferrydesk\n"
                                         "Exec=%1\nX-GNOME-Autostart-enabled=true\n")
                              .arg(desktopExecLine(program));
    file.write(entry.toUtf8());
    file.commit();
}
