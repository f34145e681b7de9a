#pragma once

#include "engine/dcommandmanager.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "tests/ui/modalanswer.h"
#include "ui/dwidgetprompt.h"
#include "ui/mainwindow.h"
#include "ui/treeitemwidget.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <memory>

// A shown main window logged in to the stand-in service, with its remote pane and queue lists
// at hand.
struct QueueWindow
{
    // A dialog nobody answers would hold the test until CTest gives up; one left open this long
    // is named and closed, so the test fails at once on what it expected instead.
    ModalAnswer::Watch watchdog{[](QWidget* dialog) {
                                    qWarning("Closing a dialog left open: %s %s",
                                             qPrintable(dialog->windowTitle()),
                                             qPrintable(dialog->metaObject()->className()));
                                    dialog->close();
                                },
                                20000};
    TestHome home;
    StandIn service;
    // The window's real dialogs, when a test asks for them (outlives the window, which
    // uninstalls it).
    std::unique_ptr<DWidgetPrompt> realPrompt;
    std::unique_ptr<MainWindow> window;
    // Answers the engine's prompts (installed over the window's own dialogs, gone before it).
    std::unique_ptr<ScriptedPrompt> prompt;
    QTreeWidget* running = nullptr;
    QTreeWidget* errors = nullptr;
    QTreeWidget* successes = nullptr;
    QTabWidget* tabs = nullptr;
    TreeWidget* remote = nullptr;

    explicit QueueWindow(const QString& scenario = StandIn::defaultScenario()) : service(scenario)
    {
    }

    // Starts the service and builds the window (not shown yet) with this remembered account.
    bool prepare(const QString& user = "alice", const QString& password = "secret")
    {
        if (!service.start())
            return false;
        service.applyEnvironment();
        {
            QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
            settings.setValue("LastUserName", user);
            settings.setValue("LastPassWord", password);
            settings.setValue("ShowDownloadList", false);
            settings.setValue("leftDirectory", home.path());
        }
        window = std::make_unique<MainWindow>();
        prompt = std::make_unique<ScriptedPrompt>();
        return true;
    }

    // Shows the window and waits for the login and the root listing.
    bool open(const QString& user = "alice", const QString& password = "secret")
    {
        if (!window && !prepare(user, password))
            return false;
        QSignalSpy loggedIn(window->engine(), &DCommandManager::di_loggedIn);
        window->resize(1000, 800);
        window->show();
        if (!loggedIn.wait(10000))
            return false;
        return findViews() &&
               QTest::qWaitFor([this] { return remote->topLevelItemCount() > 0; }, 10000);
    }

    // The queue lists and the remote pane of the shown window; false when one is missing.
    bool findViews()
    {
        running = window->findChild<QTreeWidget*>("runningList");
        errors = window->findChild<QTreeWidget*>("errorList");
        successes = window->findChild<QTreeWidget*>("successList");
        tabs = running ? window->findChild<QTabWidget*>() : nullptr;
        remote = window->findChild<TreeWidget*>("rightTree");
        return running && errors && successes && tabs && remote;
    }

    DCommandManager* engine() const { return window->engine(); }

    // Every box of the engine becomes a real modal dialog of the window.
    void useRealDialogs()
    {
        prompt.reset();
        realPrompt = std::make_unique<DWidgetPrompt>(window.get());
        setPrompt(realPrompt.get());
    }

    TreeItemWidget* row(QTreeWidget* list, int index) const
    {
        return static_cast<TreeItemWidget*>(list->topLevelItem(index));
    }

    void invoke(const char* slot) { QMetaObject::invokeMethod(window.get(), slot); }

    // The remote pane's row of this name, or null.
    TreeWidgetItem* item(const QString& name) const
    {
        const auto found = remote->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? nullptr : static_cast<TreeWidgetItem*>(found.first());
    }

    void startDownloads(const QStringList& names, const QStringList& ids)
    {
        const QStringList empty(names.size(), QString());
        QMetaObject::invokeMethod(window.get(), "onStartFileDownLoads", Q_ARG(QStringList, names),
                                  Q_ARG(QStringList, ids), Q_ARG(QStringList, empty),
                                  Q_ARG(QStringList, empty));
    }

    // Drags `data` over a view to `pos` and, when the view takes it there, drops it the way the
    // toolkit delivers a drop: "refused", "ignored" (dropped, the source deletes nothing) or
    // "accepted".
    static QString drop(QAbstractItemView* view, QMimeData* data, const QPoint& pos,
                        Qt::DropAction action = Qt::CopyAction)
    {
        QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &enter);
        if (!enter.isAccepted())
            return "refused";
        QDragMoveEvent move(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &move);
        if (!move.isAccepted())
            return "refused";
        QDropEvent drop(pos, action, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &drop);
        return drop.isAccepted() ? "accepted" : "ignored";
    }

    void startUploads(const QStringList& paths)
    {
        QMetaObject::invokeMethod(window.get(), "onFileDroppedRight", Q_ARG(QStringList, paths),
                                  Q_ARG(QString, QString()));
    }
};
