#include "support/dvlc.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Creates each file of `files` under `root`; a trailing "*" marks an executable file.
void plant(const QString& root, const QStringList& files)
{
    for (QString file : files) {
        const bool executable = file.endsWith('*');
        file.chop(executable ? 1 : 0);
        const QString path = root + '/' + file;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("#!/bin/sh\n");
        out.close();
        QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            mode |= QFile::ExeOwner;
        QVERIFY(out.setPermissions(mode));
    }
}

} // namespace

// The player search over made-up folder trees.
class TestVlc : public QObject
{
    Q_OBJECT

private slots:
    void windowsSearch_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("found"); // relative to the made-up "C:/"
        QTest::newRow("x86 program folder") << QStringList{"Program Files (x86)/VideoLAN/vlc.exe*"}
                                            << "Program Files (x86)/VideoLAN/vlc.exe";
        QTest::newRow("first executable wins")
            << QStringList{"Program Files/VideoLAN/vlc.exe", "Programs/VideoLAN2/vlc.exe*"}
            << "Programs/VideoLAN2/vlc.exe";
        QTest::newRow("not under a program folder") << QStringList{"Apps/VideoLAN/vlc.exe*"} << "";
        QTest::newRow("names are case-sensitive")
            << QStringList{"program files/VideoLAN/vlc.exe*", "Program Files/videolan/vlc.exe*"}
            << "";
        QTest::newRow("one level deeper is not searched")
            << QStringList{"Program Files/VideoLAN/VLC/vlc.exe*"} << "";
        QTest::newRow("nothing installed") << QStringList{} << "";
    }

    void windowsSearch()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, found);
        QTemporaryDir drive;
        plant(drive.path(), files);
        const QString expected = found.isEmpty() ? QString() : drive.path() + '/' + found;
        QCOMPARE(DVlc::findWindowsPlayer(drive.path()), expected);
    }

    void linuxSearch_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("path"); // PATH, folders relative to the scratch folder
        QTest::addColumn<QStringList>("places");
        QTest::addColumn<QString>("found");
        QTest::newRow("on PATH") << QStringList{"b/vlc*"} << "a:b" << QStringList{"snap/vlc"}
                                 << "b/vlc";
        QTest::newRow("PATH before the usual places")
            << QStringList{"b/vlc*", "usr/vlc*"} << "b" << QStringList{"usr/vlc"} << "b/vlc";
        QTest::newRow("not executable on PATH, then a usual place")
            << QStringList{"b/vlc", "flatpak/org.videolan.VLC*"} << "b"
            << QStringList{"snap/vlc", "flatpak/org.videolan.VLC"} << "flatpak/org.videolan.VLC";
        QTest::newRow("a folder named vlc is no player")
            << QStringList{"b/vlc/readme"} << "b" << QStringList{} << "";
        QTest::newRow("not found") << QStringList{} << "a:b" << QStringList{"usr/vlc"} << "";
    }

    void linuxSearch()
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
        const QString pathVariable = folders.join(':');
        const QString expected = found.isEmpty() ? QString() : scratch.path() + '/' + found;
        QCOMPARE(DVlc::findLinuxPlayer(pathVariable, places), expected);
    }
};

QTEST_GUILESS_MAIN(TestVlc)
#include "tst_vlc.moc"
