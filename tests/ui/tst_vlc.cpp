#include "engine/dcommandmanager.h"
#include "support/dvlc.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"

#include <QtTest>

namespace {

// Creates a player at `path` that writes each argument it got on a line of "<itself>.args".
QString plant(const QString& path)
{
    writeFile(path, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n",
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString storedVlcPath()
{
    return QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
        .value("VLCPath", "<none>")
        .toString();
}

// Quotes, spaces, shell syntax and a leading "-": none of it may split or become an option.
const QString Address = "-vvv \"quoted\" it's $(echo x); a b.mkv";

} // namespace

// The window's preview with a player that records its arguments.
class TestVlc : public QObject
{
    Q_OBJECT

private slots:
    // The player gets the address as one argument after "--"; none found, the user is offered
    // the install link and the gone path is forgotten.
    void preview_data()
    {
        QTest::addColumn<QString>("stored"); // "VLCPath" before: "player" or "gone"
        QTest::addColumn<QString>("played"); // and after: "player", "vlc" (on PATH) or empty
        const auto row = [](const char* name, const char* stored, const char* played) {
            QTest::newRow(name) << QString(stored) << QString(played);
        };
        row("remembered player, no search", "player", "player");
        row("remembered player gone, found on PATH and remembered", "gone", "vlc");
        row("none found: Install VLC, Cancel", "gone", "");
    }
    void preview()
    {
        QFETCH(QString, stored);
        QFETCH(QString, played);
        TestHome home;
        if (!DVlc::findLinuxPlayer(QString(), DVlc::linuxPlaces(home.path())).isEmpty())
            QSKIP("VLC is installed on this machine");
        QTemporaryDir scratch;
        const QMap<QString, QString> paths{{"player", plant(scratch.filePath("player"))},
                                           {"vlc", scratch.filePath("bin/vlc")},
                                           {"gone", scratch.filePath("gone")}};
        if (!played.isEmpty())
            plant(scratch.filePath("bin/vlc"));
        QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
            .setValue("VLCPath", paths.value(stored));
        const QByteArray previousPath = qgetenv("PATH");
        qputenv("PATH", scratch.filePath("bin").toLocal8Bit());
        MainWindow window; // installs its own prompt: the scripted one comes after it
        ScriptedPrompt prompt;
        window.playInVlc(Address);
        qputenv("PATH", previousPath);

        QCOMPARE(prompt.texts(),
                 played.isEmpty() ? QStringList{DVlc::installLinkHtml()} : QStringList());
        QCOMPARE(storedVlcPath(), paths.value(played));
        if (!played.isEmpty())
            QTRY_COMPARE(readFile(paths.value(played) + ".args"), "--\n" + Address.toUtf8() + "\n");
        const QString other = played == "player" ? paths.value("vlc") : paths.value("player");
        QCOMPARE(readFile(other + ".args"), QByteArray());
    }

    // A path the user sets must be an executable file, and still be one when played.
    void pathChecks()
    {
        TestHome home;
        QTemporaryDir scratch;
        const QString player = plant(scratch.filePath("player"));
        MainWindow window;
        ScriptedPrompt prompt;
        window.setVlcPath(scratch.path()); // a folder
        window.setVlcPath(player);
        QCOMPARE(storedVlcPath(), player);
        QVERIFY(QFile::setPermissions(player, QFile::ReadOwner | QFile::WriteOwner));
        window.playInVlc(Address);
        QCOMPARE(prompt.texts().size(), 2);
    }
};

QTEST_MAIN(TestVlc)
#include "tst_vlc.moc"
