#include "engine/dcommandmanager.h"
#include "support/dvlc.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"

#include <QtTest>

namespace {

// Creates each file of `files` under `root` as a player that writes each argument it got on a
// line of "<itself>.args"; a trailing "*" marks an executable one. Returns the last one's path.
QString plant(const QString& root, const QStringList& files)
{
    QString path;
    for (QString file : files) {
        const bool executable = file.endsWith('*');
        file.chop(executable ? 1 : 0);
        path = root + '/' + file;
        writeFile(path,
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n",
                  QFile::ReadOwner | QFile::WriteOwner |
                      (executable ? QFile::ExeOwner : QFile::Permissions()));
    }
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

// The player search over made-up folder trees, and the window's preview with a player that
// records its arguments.
class TestVlc : public QObject
{
    Q_OBJECT

private slots:
    // The search looks on PATH, then in the usual places. Paths are relative to a scratch
    // folder.
    void search_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("places");
        QTest::addColumn<QString>("found");
        QTest::newRow("on PATH, before the usual places")
            << QStringList{"b/vlc*", "usr/vlc*"} << "a:b" << QStringList{"usr/vlc"} << "b/vlc";
        QTest::newRow("not executable on PATH, then a usual place")
            << QStringList{"b/vlc", "flatpak/org.videolan.VLC*"} << "b"
            << QStringList{"snap/vlc", "flatpak/org.videolan.VLC"} << "flatpak/org.videolan.VLC";
        QTest::newRow("not found") << QStringList{} << "a:b" << QStringList{"usr/vlc"} << "";
    }
    void search()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, path);
        QFETCH(QStringList, places);
        QFETCH(QString, found);
        QTemporaryDir scratch;
        plant(scratch.path(), files);
        QStringList folders;
        for (const QString& folder : path.split(':'))
            folders << scratch.path() + '/' + folder;
        for (QString& place : places)
            place = scratch.path() + '/' + place;
        QCOMPARE(DVlc::findLinuxPlayer(folders.join(':'), places),
                 found.isEmpty() ? QString() : scratch.path() + '/' + found);
    }

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
        const QMap<QString, QString> paths{{"player", plant(scratch.path(), {"player*"})},
                                           {"vlc", scratch.filePath("bin/vlc")},
                                           {"gone", scratch.filePath("gone")}};
        if (!played.isEmpty())
            plant(scratch.path(), {"bin/vlc*"});
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
        const QString player = plant(scratch.path(), {"player*"});
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
