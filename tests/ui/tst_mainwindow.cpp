#include "engine/dcommandmanager.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"

#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

// The window shell: nothing happens before the first show; the first show starts the engine
// and logs in with the last account; a login is remembered.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void firstShowStartsTheEngineAndLogsIn()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        service.applyEnvironment();
        {
            QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
            settings.setValue("LastUserName", "alice");
            settings.setValue("LastPassWord", "secret");
        }
        MainWindow window;
        QTest::qWait(200);
        QVERIFY(!window.isBuilt());
        QVERIFY(service.requests().isEmpty());
        QSignalSpy loggedIn(window.engine(), &DCommandManager::di_loggedIn);
        window.show();
        QVERIFY(window.isBuilt());
        QVERIFY(loggedIn.wait(10000));
        QTRY_COMPARE(window.loginActionText(), QString("&Logout"));
        QCOMPARE(service.requests("startup").size(), 1);
        QCOMPARE(service.requests("login").size(), 1);
        // Without a system tray the window really closes, MinToTray or not.
        QVERIFY(window.isMinToTray());
        window.setTrayIconHidden(true);
        QVERIFY(window.close());
        QVERIFY(window.isHidden());
    }

    void emptyLastUserWaitsForTheUser()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        service.applyEnvironment();
        MainWindow window;
        window.show();
        QTRY_COMPARE(service.requests("startup").size(), 1);
        QTest::qWait(300);
        QCOMPARE(service.requests("login").size(), 0);
        QCOMPARE(window.loginActionText(), QString("&Login"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
