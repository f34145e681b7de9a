#include "engine/datafolder.h"
#include "engine/dglobals.h"
#include "engine/dstartup.h"
#include "support/mythread.h"
#include "tests/common/testhome.h"

#include <QtTest>

// Start-up: command-line flags, the data folder write test, the dump file, and the program's
// exit when its data folder cannot be written.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void flags_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("logOnStart");
        QTest::newRow("none") << QStringList{"prog"} << false;
        QTest::newRow("-m") << QStringList{"prog", "-m"} << true;
        QTest::newRow("after other arguments") << QStringList{"prog", "-d", "x", "-m"} << true;
        QTest::newRow("capital") << QStringList{"prog", "-M"} << false;
        QTest::newRow("second dash") << QStringList{"prog", "--m"} << false;
        QTest::newRow("inside an argument") << QStringList{"prog", "-md"} << false;
    }

    void flags()
    {
        QFETCH(QStringList, arguments);
        QTEST(DStartup::hasFlag(arguments, "-m"), "logOnStart");
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
        QFileInfo dump(dataFolder() + "/dftp.dump");
        QVERIFY(dump.exists() && dump.size() == 0);
    }

    void updateThreadChecksOnlyInALogOnStart()
    {
        TestHome home;
        for (const bool logOn : {false, true}) {
            DGlobals::startedByOs = logOn;
            const int before = MyThread::checksRun();
            MyThread thread;
            thread.start();
            QVERIFY(thread.wait(5000));
            QCOMPARE(MyThread::checksRun(), before + (logOn ? 1 : 0));
        }
        DGlobals::startedByOs = false;
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
        env.insert("QT_QPA_PLATFORM", "offscreen");
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
        const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
        QCOMPARE(errors.contains(
                     "PROMPT Program can not write to disk, please Run As "
                     "Administrator: <a href='http://127.0.0.1/help.html?guide=runAsAdmin'>"),
                 !writable);
        QCOMPARE(QFile::exists(home.dataFolder() + "/Ferrydesk.ini"), writable);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
