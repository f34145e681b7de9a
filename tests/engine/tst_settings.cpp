#include "engine/dcommandmanager.h"
#include "support/dscramble.h"
#include "tests/common/testhome.h"

#include <QtTest>

namespace {

QByteArray bytesOf(const CByte& buffer)
{
    return QByteArray(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

} // namespace

// Start-up and settings: the settings file, the scrambled passwords, the log-on start entry, and
// the program's exit when its data folder cannot be written.
class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    // Stored values are read as the options dialog reads typed ones: a limit of 0 or above the
    // maximum is the maximum; a speed cap has no maximum.
    void loadReadsValuesAsTheDialogDoes()
    {
        TestHome home;
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        for (const char* key : {"MaxTransfers", "MaxUploads", "MaxDownSpeed", "MaxUpSpeed"})
            settings.setValue(key, "40");
        settings.setValue("MaxDownloads", "0");
        settings.sync();
        DCommandManager manager;
        QCOMPARE((QList<int>{manager.maxTransfers(), manager.maxDownloads(), manager.maxUploads()}),
                 (QList<int>{15, 10, 5}));
        QCOMPARE((QList<double>{manager.maxDownSpeed(), manager.maxUpSpeed()}),
                 (QList<double>{40, 40}));
    }

    // Passwords are stored as uppercase hex of a random two-byte key and the text XORed with it.
    // `stored`: a text scrambled earlier, which must still read as `plain`.
    void scramble_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("key k7") << QByteArray("Ferry") << QByteArray("6B372D52194512");
        QTest::newRow("high bytes")
            << QByteArray("\x80\xff\xe9\xa0", 4) << QByteArray("6B37EBC88297");
    }

    // A fresh key every call (3844 keys: a few tries rule out an unlucky repeat).
    void scramble()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, stored);
        QCOMPARE(bytesOf(Unscramble(CByte(stored.constData()))), plain);
        const QByteArray text = bytesOf(Scramble(CByte(plain.constData())));
        QCOMPARE(QByteArray::fromHex(text).toHex().toUpper(), text);
        QCOMPARE(bytesOf(Unscramble(CByte(text.constData()))), plain);
        QByteArray other = text;
        for (int i = 0; i < 10 && other == text; ++i)
            other = bytesOf(Scramble(CByte(plain.constData())));
        QVERIFY(other != text);
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
        QVERIFY(QFile::remove(DCommandManager::autostartFilePath()));
        {
            DCommandManager manager;
            manager.setMinToTray(false);
            manager.setLimitsEnabled(false);
            manager.setProxy("proxy.local", "u", "p w", 3128);
            manager.setOsStart(false);
            manager.setPowerOffOptions(true);
        }
        DCommandManager manager;
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

    // The autostart Exec value, quoted by the desktop-entry rules (backslash-escapes inside
    // quotes, then the string's own escapes) so no path runs as a command.
    void logOnStartCommand()
    {
        QCOMPARE(DCommandManager::desktopExecLine("/o/a\"b$c`d"), "\"/o/a\\\\\"b\\\\$c\\\\`d\" -m");
        QCOMPARE(DCommandManager::desktopExecLine("/o/100%"), "\"/o/100%%\" -m");
    }

    // Code 0 when the data folder cannot be written.
    void unwritableDataFolderEndsWithCodeZero()
    {
        QTemporaryFile notAFolder;
        QVERIFY(notAFolder.open());
        // The real program; nothing listens on the service port.
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", notAFolder.fileName());
        env.insert("FERRYDESK_NONINTERACTIVE", "1");
        env.insert("FERRYDESK_SERVICE_HOST", "127.0.0.1");
        env.insert("FERRYDESK_SERVICE_PORT", "9");
        program.setProcessEnvironment(env);
        program.start(FERRYDESK_BINARY);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
