#include "engine/datafolder.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "engine/dstartup.h"
#include "support/dquitonsignal.h"
#include "support/dsingleinstance.h"
#include "support/dupdatecheck.h"
#include "support/mythread.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QSystemTrayIcon>

#include <memory>

int main(int argc, char* argv[])
{
    // libcurl is initialised before any thread exists.
    DCurl::globalInit();
    QApplication app(argc, argv);
    // The menu entry and the icon the desktop shows for the window (ferrydesk.desktop).
    QGuiApplication::setDesktopFileName(QStringLiteral("ferrydesk"));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("ferrydesk"), QIcon(QStringLiteral(":/qtimage"))));
    // One program per home folder: a later start (a log-on start and a scripted run too) brings
    // the running one forward and ends before it reads or writes anything of the data folder.
    // Declared before the window, so the lock is held until the window and the engine have saved
    // the settings and the history.
    DSingleInstance instance(dataFolder());
    switch (instance.claim()) {
    case DSingleInstance::First:
        break;
    case DSingleInstance::HandedOver:
        return 0;
    case DSingleInstance::NoAnswer:
        qWarning("Ferrydesk already runs for this home folder but did not answer; not starting a "
                 "second one beside it");
        return 1;
    }
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    DQuitOnSignal::install();

    auto window = std::make_unique<MainWindow>();
    QObject::connect(&instance, &DSingleInstance::di_showRequested, window.get(),
                     &MainWindow::showAppplication);
    const QStringList arguments = QCoreApplication::arguments();
    if (DStartup::hasFlag(arguments, QStringLiteral("-m")))
        DGlobals::startedByOs = true;

    MyThread updateThread;
    updateThread.start(QThread::InheritPriority);

    if (DStartup::hasFlag(arguments, QStringLiteral("-d"))) {
        DGlobals::dumpResponses = true;
        DStartup::resetDumpFile();
    }

    // Without a system tray a hidden window could never be reached again: it is shown.
    const bool hiddenStart =
        DGlobals::startedByOs && window->isMinToTray() && QSystemTrayIcon::isSystemTrayAvailable();
    if (hiddenStart) {
        window->close();
        // The tray icon is the only way back to a window that starts hidden: it stays visible.
        window->setTrayIconHidden(false);
    } else {
        if (!DStartup::dataFolderWritable()) {
            prompt()->showAbout(DStartup::writeFailureTitle(),
                                DStartup::writeFailureText(DGlobals::serviceHost()));
            DUpdateCheck::shutDown();
            updateThread.wait();
            return 0;
        }
        window->show();
        window->setTrayIconHidden(false);
    }

    const int code = app.exec();
    // An update check may still run; it is cut short and waited for before tearing down.
    DUpdateCheck::shutDown();
    updateThread.wait();
    window.reset();
    return code;
}
