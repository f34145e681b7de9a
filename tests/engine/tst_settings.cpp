#include "engine/datafolder.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dstartup.h"
#include "support/mythread.h"
#include "tests/common/testhome.h"

#include <QtTest>

// Start-up and settings: the command line, the data folder, the settings file, the log-on start
// entry, and the program's exit when its data folder cannot be written.
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
        QTest::addColumn<QList<int>>("limits");
        QTest::addColumn<double>("speed");
        QTest::newRow("over the maximum") << "40" << QList<int>{15, 10, 5} << 40.0;
        QTest::newRow("zero: the maximum") << "0" << QList<int>{15, 10, 5} << 0.0;
        QTest::newRow("negative: the defaults") << "-3" << QList<int>{4, 2, 2} << 0.0;
        QTest::newRow("not a number: the defaults") << "many" << QList<int>{4, 2, 2} << 0.0;
        QTest::newRow("nan") << "nan" << QList<int>{4, 2, 2} << 0.0;
        QTest::newRow("no file: the defaults") << QString() << QList<int>{4, 2, 2} << 0.0;
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
        QTEST((QList<int>{manager.maxTransfers(), manager.maxDownloads(), manager.maxUploads()}),
              "limits");
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
        delete new DCommandManager;
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
        QCOMPARE(int(QFileInfo(home.dataFolder()).permissions() & 0x7077), 0x7000);
        QCOMPARE(int(QFileInfo(DCommandManager::settingsFilePath()).permissions() & 0x7077),
                 0x6000);
    }

    // The log-on start entry: the Windows "Run" value, and the autostart Exec value quoted by
    // the desktop-entry rules (backslash-escapes inside quotes, then the string's own escapes).
    void logOnStartCommand_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("windows");
        QTest::addColumn<QString>("exec");
        QTest::newRow("space") << "/opt/My Apps/ferry"
                               << "\"\\opt\\My Apps\\ferry\" -m"
                               << "\"/opt/My Apps/ferry\" -m";
        QTest::newRow("quote, dollar, backtick") << "/o/a\"b$c`d"
                                                 << "\"\\o\\a\"b$c`d\" -m"
                                                 << "\"/o/a\\\\\"b\\\\$c\\\\`d\" -m";
        QTest::newRow("backslash") << "/o/a\\b"
                                   << "\"\\o\\a\\b\" -m"
                                   << "\"/o/a\\\\\\\\b\" -m";
        QTest::newRow("percent") << "/o/100%"
                                 << "\"\\o\\100%\" -m"
                                 << "\"/o/100%%\" -m";
    }

    void logOnStartCommand()
    {
        QFETCH(QString, path);
        QTEST(DCommandManager::windowsRunValue(path), "windows");
        QTEST(DCommandManager::desktopExecLine(path), "exec");
    }

    // "-m" anywhere, exactly: a log-on start, whose thread checks for an update; no other start
    // does.
    void logOnStartFlag_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("logOnStart");
        QTest::newRow("none") << QStringList{"prog"} << false;
        QTest::newRow("after other arguments") << QStringList{"prog", "-d", "x", "-m"} << true;
        QTest::newRow("capital") << QStringList{"prog", "-M"} << false;
        QTest::newRow("inside an argument") << QStringList{"prog", "-md"} << false;
    }

    void logOnStartFlag()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, logOnStart);
        TestHome home;
        DGlobals::startedByOs = DStartup::hasFlag(arguments, "-m");
        QCOMPARE(DGlobals::startedByOs.load(), logOnStart);
        const int before = MyThread::checksRun();
        MyThread thread;
        thread.start();
        QVERIFY(thread.wait(5000));
        QCOMPARE(MyThread::checksRun(), before + (logOnStart ? 1 : 0));
    }

    // A probe file left by an interrupted write test goes, and the dump starts empty.
    void leftoversAreClearedAtStart()
    {
        TestHome home;
        const QString probe = dataFolder() + "/testwrite01234567890";
        appendLine("left over", probe);
        appendLine("old answer", dataFolder() + "/dftp.dump");
        QVERIFY(DStartup::dataFolderWritable());
        QVERIFY(!QFile::exists(probe));
        DStartup::resetDumpFile();
        QCOMPARE(readFile(dataFolder() + "/dftp.dump"), QByteArray(""));
        QVERIFY(QFile::exists(dataFolder() + "/dftp.dump"));
    }

    // Code 0 when the data folder cannot be written (a log-on start without a tray is a normal
    // start), and on SIGTERM (the updater, a desktop logging out) after saving the settings.
    void programEndsWithCodeZero_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("writable");
        QTest::newRow("unwritable data folder") << QStringList{} << false;
        QTest::newRow("unwritable, log-on start without a tray") << QStringList{"-m"} << false;
        QTest::newRow("terminated") << QStringList{} << true;
    }

    void programEndsWithCodeZero()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, writable);
        TestHome home;
        QTemporaryFile notAFolder;
        QVERIFY(notAFolder.open());
        // The real program; nothing listens on the service port.
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", writable ? home.path() : notAFolder.fileName());
        env.insert("FERRYDESK_NONINTERACTIVE", "1");
        env.insert("FERRYDESK_SERVICE_HOST", "127.0.0.1");
        env.insert("FERRYDESK_SERVICE_PORT", "9");
        program.setProcessEnvironment(env);
        program.start(FERRYDESK_BINARY, arguments);
        if (writable) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home.dataFolder() + "/Ferrydesk.log"), 20000);
            program.terminate();
        }
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(program.readAllStandardError().contains(
                     "PROMPT Program can not write to disk, please Run As Administrator: "
                     "<a href='http://127.0.0.1/help.html?guide=runAsAdmin'>"),
                 !writable);
        QCOMPARE(QFile::exists(home.dataFolder() + "/Ferrydesk.ini"), writable);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
