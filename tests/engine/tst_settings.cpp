#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "tests/common/testhome.h"

#include <QtTest>

// Settings load and save: clamping, the keys that never survive, the log-on start entry.
class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    // Stored values are read as the options dialog reads typed ones: a limit of 0 or above the
    // maximum is the maximum, anything else that is no count keeps the default; a speed cap
    // that is no finite number from 0 up is no cap.
    void loadReadsValuesAsTheDialogDoes_data()
    {
        QTest::addColumn<QString>("stored"); // null: no settings file at all
        QTest::addColumn<int>("transfers");
        QTest::addColumn<int>("downloads");
        QTest::addColumn<int>("uploads");
        QTest::addColumn<double>("speed");
        QTest::newRow("over the maximum") << "40" << 15 << 10 << 5 << 40.0;
        QTest::newRow("zero: the maximum") << "0" << 15 << 10 << 5 << 0.0;
        QTest::newRow("negative: the defaults") << "-3" << 4 << 2 << 2 << 0.0;
        QTest::newRow("not a number: the defaults") << "many" << 4 << 2 << 2 << 0.0;
        QTest::newRow("nan") << "nan" << 4 << 2 << 2 << 0.0;
        QTest::newRow("no file: the defaults") << QString() << 4 << 2 << 2 << 0.0;
    }

    void loadReadsValuesAsTheDialogDoes()
    {
        QFETCH(QString, stored);
        TestHome home;
        if (!stored.isNull()) {
            QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
            for (const char* key :
                 {"MaxTransfers", "MaxDownloads", "MaxUploads", "MaxDownSpeed", "MaxUpSpeed"})
                settings.setValue(key, stored);
        }
        DCommandManager manager;
        QTEST(manager.maxTransfers(), "transfers");
        QTEST(manager.maxDownloads(), "downloads");
        QTEST(manager.maxUploads(), "uploads");
        QTEST(manager.maxDownSpeed(), "speed");
        QTEST(manager.maxUpSpeed(), "speed");
    }

    // Everything comes back but the power-off choice, which never survives a restart; the
    // autostart entry follows the log-on start choice (on by default).
    void saveAndLoadRoundTrip()
    {
        TestHome home;
        // Left readable by everyone by an older version: tightened at the next start.
        QDir().mkpath(home.dataFolder());
        QFile::setPermissions(home.dataFolder(), QFileDevice::Permissions(0x7755));
        {
            DCommandManager first;
        }
        const QString entry = readFile(DCommandManager::autostartFilePath());
        const QString app = QCoreApplication::applicationFilePath();
        QVERIFY2(entry.contains("Exec=" + DCommandManager::desktopExecLine(app) + "\n"),
                 qPrintable(entry));
        QVERIFY(QFile::remove(DCommandManager::autostartFilePath()));
        {
            DCommandManager manager;
            manager.setMaxTransfers(7);
            manager.setMaxDownSpeed(250.5);
            manager.setMaxUpSpeed(80);
            manager.setMinToTray(false);
            manager.setLimitsEnabled(false);
            manager.setProxy("proxy.local", "u", "p w", 3128);
            manager.setOsStart(false);
            manager.setPowerOffOptions(true);
        }
        DGlobals::MaxDownSpeed = 0;
        DCommandManager manager;
        QCOMPARE(manager.maxTransfers(), 7);
        QCOMPARE(manager.maxDownSpeed(), 250.5);
        QCOMPARE(manager.maxUpSpeed(), 80.0);
        QCOMPARE((QList<bool>{manager.minToTray(), manager.limitsEnabled(), manager.osStart(),
                              manager.powerOff()}),
                 QList<bool>(4, false));
        QVERIFY(!QFile::exists(DCommandManager::autostartFilePath()));
        QString host, user, password;
        int port = 0;
        QVERIFY(manager.proxy(host, user, password, port));
        QCOMPARE(QStringList({host, user, password, QString::number(port)}),
                 QStringList({"proxy.local", "u", "p w", "3128"}));
        // The folder and the file holding the proxy password are the owner's alone.
        const auto modeOf = [](const QString& path) {
            return int(QFileInfo(path).permissions() & 0x7077);
        };
        QCOMPARE(modeOf(home.dataFolder()), 0x7000);
        QCOMPARE(modeOf(DCommandManager::settingsFilePath()), 0x6000);
    }

    // The log-on start entry: the Windows "Run" value, and the autostart Exec value quoted by
    // the desktop-entry rules (backslash-escapes inside quotes, then the string's own escapes).
    void logOnStartCommand_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("windows");
        QTest::addColumn<QString>("exec");
        const auto row = [](const char* name, const char* path, const char* windows,
                            const char* exec) { QTest::newRow(name) << path << windows << exec; };
        row("plain", "C:/Apps/Tool/prog.exe", "\"C:\\Apps\\Tool\\prog.exe\" -m",
            "\"C:/Apps/Tool/prog.exe\" -m");
        row("space", "/opt/My Apps/ferry", "\"\\opt\\My Apps\\ferry\" -m",
            "\"/opt/My Apps/ferry\" -m");
        row("quote, dollar, backtick", "/o/a\"b$c`d", "\"\\o\\a\"b$c`d\" -m",
            "\"/o/a\\\\\"b\\\\$c\\\\`d\" -m");
        row("backslash", "/o/a\\b", "\"\\o\\a\\b\" -m", "\"/o/a\\\\\\\\b\" -m");
        row("percent", "/o/100%", "\"\\o\\100%\" -m", "\"/o/100%%\" -m");
    }

    void logOnStartCommand()
    {
        QFETCH(QString, path);
        QTEST(DCommandManager::windowsRunValue(path), "windows");
        QTEST(DCommandManager::desktopExecLine(path), "exec");
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
