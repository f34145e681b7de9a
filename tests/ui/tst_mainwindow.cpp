#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "support/logwindow.h"
#include "ui/dformat.h"
#include "ui/treeview.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTreeView>
#include <QtTest>

// The window against the stand-in service, with the remote pane at hand.
struct Session : QueueWindow
{
    QComboBox* pathBox() const { return window->findChild<QComboBox*>("rightPathBox"); }
    QString statusMessage() const
    {
        return window->findChild<QStatusBar*>("rightStatusBar")->currentMessage();
    }
    QStringList names() const
    {
        QStringList result;
        for (int i = 0; i < remote->topLevelItemCount(); ++i)
            result.append(remote->topLevelItem(i)->text(0));
        return result;
    }
    // Opens a folder row as a double click does and waits for its listing.
    bool openFolder(const QString& name, const QString& expectFirst)
    {
        emit remote->itemActivated(item(name), 0);
        return QTest::qWaitFor([&] { return item(expectFirst) != nullptr; }, 10000);
    }
    void selectOnly(const QStringList& names) const
    {
        remote->clearSelection();
        for (const QString& name : names)
            item(name)->setSelected(true);
    }
    // The fields of each request of this kind the service got, "/"-joined, oldest first.
    QStringList requestFields(const QString& kind) const
    {
        QStringList result;
        for (const QJsonValue& request : service.requests(kind))
            result << request.toObject().value("fields").toVariant().toStringList().join('/');
        return result;
    }
    QAction* rightAction(const QString& text) const
    {
        for (QAction* action : remote->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }
};

namespace {

// Types `text` into the next dialog's line edit and presses `button`; records the title.
void answerNameDialog(QString* title, const QString& text, const QString& button)
{
    ModalAnswer::next([=](QWidget* dialog) {
        *title = dialog->windowTitle();
        dialog->findChild<QLineEdit*>()->setText(text);
        ModalAnswer::click(dialog, button);
    });
}

// "text=shortcut" of each action; pane actions must act only in their own pane.
QStringList actionTexts(const QList<QAction*>& actions, bool inPane = true)
{
    QStringList result;
    for (QAction* action : actions) {
        result.append(action->text() + "=" + action->shortcut().toString());
        if (inPane && !action->shortcut().isEmpty() &&
            action->shortcutContext() != Qt::WidgetShortcut)
            result.append("wrong context");
    }
    return result;
}

// Selects the rows of these names in the pane's folder.
void selectLocal(TreeView* view, const QString& folder, const QStringList& names)
{
    auto* model = static_cast<QFileSystemModel*>(view->model());
    view->selectionModel()->clearSelection();
    for (const QString& name : names) {
        const QModelIndex index = model->index(folder + "/" + name);
        QVERIFY(index.isValid());
        view->selectionModel()->select(index,
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QList<QUrl> m_opened; // links handed to the desktop, which opens no browser here

public slots:
    void catchUrl(const QUrl& url) { m_opened.append(url); }
    // A handler the desktop cannot call with an address: opening fails, as without a browser.
    void refuseUrl() {}

private slots:
    void initTestCase()
    {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "catchUrl");
    }

    // A window that was never shown contacts nobody; its first show builds it and starts the
    // engine. Without a stored account the login dialog opens and logs in with what is typed,
    // remembered as the last account (the other tests log in with a stored one). The path box
    // holds "/" exactly once however often the user logs out and in again.
    void firstShowAndLogins()
    {
        Session s;
        QVERIFY(s.prepare("", ""));
        QTest::qWait(200);
        QVERIFY(!s.window->isBuilt());
        QVERIFY(s.service.requests().isEmpty());
        s.window->show();
        QDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = s.window->findChild<QDialog*>()) && dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QString("Login..."));
        QCOMPARE(s.service.requests("login").size(), 0);
        const auto edits = dialog->findChildren<QLineEdit*>();
        edits.at(0)->setText("alice");
        edits.at(1)->setText("secret");
        ModalAnswer::click(dialog, "Login");
        QTRY_COMPARE(s.pathBox()->currentText(), QString("/"));
        QCOMPARE(s.window->windowTitle(), QString("Ferrydesk 2.56"));
        QCOMPARE(s.service.requests("startup").size(), 1);
        QCOMPARE(s.service.requests("login").size(), 1);
        QCOMPARE(s.window->loginActionText(), QString("&Logout"));

        s.remote = s.window->findChild<TreeWidget*>("rightTree");
        for (int round = 0; round < 2; ++round) {
            s.window->menuBar()->actions().at(0)->trigger(); // log out
            QCOMPARE(s.window->loginActionText(), QString("&Login"));
            QVERIFY(s.pathBox()->currentText().isEmpty());
            QTRY_COMPARE(s.remote->topLevelItemCount(), 0);
            s.engine()->login("alice", "secret");
            QTRY_COMPARE(s.window->loginActionText(), QString("&Logout"));
        }
        QCOMPARE(s.pathBox()->findText("/"), 0);
        QCOMPARE(s.pathBox()->count(), 1);
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("LastUserName").toString(), QString("alice"));
        // Without a tray the window really closes, MinToTray or not.
        s.window->setTrayIconHidden(true);
        QVERIFY(s.window->close());
    }

    // The menu bar's six actions, and the pane actions that act only in the focused tree: F3
    // in the local pane uploads, F3 in the remote pane downloads the selected file.
    void actionsAndShortcuts()
    {
        Session s;
        QVERIFY(s.open());
        QCOMPARE(actionTexts(s.window->menuBar()->actions(), false),
                 QStringList({"&Logout=Ctrl+L", "&Option=Ctrl+O", "&Download-Links=Ctrl+D",
                              "&Refresh=F5", "&Exit=", "&Help=Ctrl+H"}));
        auto* left = s.window->findChild<QTreeView*>("leftTree");
        QCOMPARE(actionTexts(s.remote->actions()),
                 QStringList({"Rename=F2", "Download=F3", "Delete=Del", "Create Folder=F7",
                              "Copy Link Download="}));
        QCOMPARE(actionTexts(left->actions()), QStringList({"Upload=F3", "Rename=F2", "Delete=Del",
                                                            "Create Folder=F7", "Open="}));

        QSignalSpy upload(left->actions().at(0), &QAction::triggered);
        s.window->activateWindow();
        left->setFocus();
        QTest::keyClick(left, Qt::Key_F3);
        QCOMPARE(upload.size(), 1);
        QCOMPARE(s.service.requests("dlfile").size(), 0);

        QVERIFY(s.openFolder("Media", "clip.mp4"));
        s.selectOnly({"clip.mp4"});
        s.remote->setFocus();
        QTest::keyClick(s.remote, Qt::Key_F3);
        QTRY_COMPARE(s.service.requests("dlfile").size(), 1);
        QCOMPARE(s.running->topLevelItemCount(), 1);
        QCOMPARE(s.row(s.running, 0)->text(QueueColumn::File), s.home.path() + "/clip.mp4");
        QCOMPARE(upload.size(), 1);
    }

    // The root listing of the account: folders first in both orders, sizes, link labels, the
    // status message; inside a folder "." and ".." are not counted. Folders open through rows
    // and the path box: a path already in the box is not added again, ".." and Backspace step
    // up, and choosing a path lists that folder.
    void remotePaneListingAndNavigation()
    {
        Session s;
        QVERIFY(s.open());
        QCOMPARE(s.names(), QStringList({"Docs", "Empty", "Media", "big.bin"}));
        s.remote->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(s.names(), QStringList({"Media", "Empty", "Docs", "big.bin"}));
        QCOMPARE(s.statusMessage(), QString("3 folders 2.0 MB in 1 files"));

        TreeWidgetItem* big = s.item("big.bin");
        QCOMPARE(big->text(1), QString("2.0 MB"));
        const QString link =
            s.service.files("alice").value("201").toObject().value("link").toString();
        QVERIFY(!link.isEmpty());
        QCOMPARE(big->linkHtml(), DFormat::linkLabelHtml(link));
        QCOMPARE(big->text(3), QString());

        QVERIFY(s.openFolder("Docs", "a.txt"));
        QCOMPARE(s.statusMessage(), QString("1 folders 28 bytes in 2 files"));
        QVERIFY(s.openFolder("Old", "old.txt"));
        QCOMPARE(s.statusMessage(), QString("3 bytes in 1 files"));
        QCOMPARE(s.pathBox()->currentText(), QString("/Docs/Old"));
        QVERIFY(s.openFolder("..", "notes.txt"));
        QVERIFY(s.openFolder("..", "big.bin"));
        QCOMPARE(s.pathBox()->currentText(), QString("/"));
        QVERIFY(s.openFolder("Docs", "a.txt"));
        QStringList items;
        for (int i = 0; i < s.pathBox()->count(); ++i)
            items.append(s.pathBox()->itemText(i));
        QCOMPARE(items, QStringList({"/", "/Docs", "/Docs/Old"}));

        s.pathBox()->setCurrentIndex(0);
        QTRY_VERIFY(s.item("big.bin") != nullptr);
        emit s.remote->itemActivated(s.item("big.bin"), 0); // a file row opens nothing
        const int before = s.service.requests().size();
        QTest::keyClick(s.remote, Qt::Key_Backspace);
        QTRY_COMPARE(s.service.requests().size(), before + 1);
        QCOMPARE(s.pathBox()->currentText(), QString("/"));

        // A listing that fails says so and leaves the last entries on show, greyed.
        s.service.addFault({{"kind", "listing"}, {"action", "refuse"}, {"text", "Folder gone"}});
        emit s.remote->itemActivated(s.item("Docs"), 0);
        QTRY_COMPARE(s.statusMessage(), QString("Not up to date: Folder gone"));
        QVERIFY(s.item("big.bin"));
        QCOMPARE(s.item("big.bin")->foreground(0).color(),
                 s.remote->palette().color(QPalette::Disabled, QPalette::Text));
    }

    // Copying links; a new folder reaches the service and shows in the pane; a cancelled
    // dialog sends nothing, and rename asks nothing for two rows.
    void copyLinksAndCreateFolders()
    {
        Session s;
        QVERIFY(s.open());
        QString title;

        s.selectOnly({"big.bin"});
        s.rightAction("Copy Link Download")->trigger();
        QCOMPARE(QApplication::clipboard()->text(), s.item("big.bin")->directLink());

        answerNameDialog(&title, "Fresh", "OK");
        s.rightAction("Create Folder")->trigger();
        QCOMPARE(title, QString("Folder Name.."));
        QTRY_VERIFY(s.item("Fresh") != nullptr);

        const int before = s.service.requests().size();
        answerNameDialog(&title, "Never", "Cancel");
        s.rightAction("Create Folder")->trigger();
        s.selectOnly({"Docs", "Empty"});
        s.rightAction("Rename")->trigger(); // two rows: nothing asked
        QCOMPARE(s.service.requests().size(), before);
    }

    // Rename and delete reach the service, one request per entry, and the pane shows the
    // result; "Cancel" sends nothing. A listing that lands while the dialog is
    // open replaces every row of the pane: the answer still goes to the entries the user chose,
    // through one dialog.
    void renameAndDelete_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("shown"); // title, and the question of a box
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("requests"); // the fields of each
        const QString question =
            "Confirm delete..: Do you really want to delete selectedt files/folders ?";
        QTest::newRow("rename") << "Rename" << QStringList{"big.bin"} << "renamed.bin"
                                << "OK"
                                << "New Name..: "
                                << "rename_f" << QStringList{"201/renamed.bin/-1"};
        QTest::newRow("delete") << "Delete" << QStringList{"big.bin", "Empty"} << QString() << "Yes"
                                << question << "delete_f" << QStringList{"20", "201"};
        QTest::newRow("delete, cancelled") << "Delete" << QStringList{"big.bin"} << QString()
                                           << "Cancel" << question << "delete_f" << QStringList{};
    }

    void renameAndDelete()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, selected);
        QFETCH(QString, typed);
        QFETCH(QString, button);
        QFETCH(QString, kind);
        QFETCH(QStringList, requests);
        Session s;
        QVERIFY(s.open());
        s.selectOnly(selected);
        bool listed = false;
        connect(
            s.engine(), &DCommandManager::di_contentsChanged, s.window.get(),
            [&] { listed = true; }, Qt::QueuedConnection);
        int modals = 0;
        QString shown;
        ModalAnswer::next([&](QWidget* dialog) {
            modals = ModalAnswer::openCount();
            auto* box = qobject_cast<QMessageBox*>(dialog);
            shown = dialog->windowTitle() + ": " + (box ? box->text() : QString());
            // A finished upload re-lists the folder while the user makes up their mind.
            s.engine()->listFolder(QString(), "/");
            (void)QTest::qWaitFor([&] { return listed; }, 10000);
            if (auto* edit = dialog->findChild<QLineEdit*>())
                edit->setText(typed);
            ModalAnswer::click(dialog, button);
        });
        s.rightAction(action)->trigger();
        QVERIFY(listed);
        QCOMPARE(modals, 1);
        QTEST(shown, "shown");
        QTRY_COMPARE(s.requestFields(kind).size(), requests.size());
        QStringList got = s.requestFields(kind);
        got.sort(); // each request runs on its own thread: they may arrive in any order
        QCOMPARE(got, requests);
        QTRY_COMPARE(s.item("big.bin") == nullptr, !requests.isEmpty());
        if (!typed.isEmpty())
            QTRY_VERIFY(s.item(typed) != nullptr);
    }

    // The folder chooser: ".." is the parent folder (its id comes with the listing), browsing
    // lists the folder entered, and OK with no entry selected moves into the folder shown.
    void moveChooser_data()
    {
        QTest::addColumn<QStringList>("route"); // folders opened first: "name:a file inside"
        QTest::addColumn<QString>("moved");
        QTest::addColumn<QStringList>("steps"); // "open:<entry>" double click, "pick:<entry>"
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("destination");
        const QStringList deep{"Docs:a.txt", "Old:old.txt"};
        QTest::newRow("the parent entry")
            << deep << "old.txt" << QStringList{"pick:.."} << QStringList{".."} << "/Docs/Old"
            << "10";
        QTest::newRow("up one level, then OK")
            << deep << "old.txt" << QStringList{"open:.."} << QStringList{"..", "Old"} << "/Docs"
            << "10";
        QTest::newRow("into a browsed folder, then OK")
            << QStringList{} << "big.bin" << QStringList{"open:Media"} << QStringList{".."}
            << "/Media"
            << "30";
        QTest::newRow("a folder of the pane")
            << QStringList{} << "big.bin" << QStringList{"pick:Media"}
            << QStringList{"Docs", "Empty", "Media"} << "/"
            << "30";
    }

    void moveChooser()
    {
        QFETCH(QStringList, route);
        QFETCH(QString, moved);
        QFETCH(QStringList, steps);
        Session s;
        QVERIFY(s.open());
        for (const QString& step : route)
            QVERIFY(s.openFolder(step.section(':', 0, 0), step.section(':', 1)));
        const QString movedId = s.item(moved)->entryId();
        s.selectOnly({moved});
        QStringList seen;
        ModalAnswer::next([&](QWidget* dialog) {
            seen << dialog->windowTitle();
            auto* list = dialog->findChild<QListWidget*>();
            for (const QString& step : steps) {
                QListWidgetItem* entry =
                    list->findItems(step.section(':', 1), Qt::MatchExactly).value(0);
                if (!entry)
                    break;
                const QPoint at = list->visualItemRect(entry).center();
                if (step.startsWith("open:")) {
                    // A double click: two presses, the second one a double click.
                    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
                    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
                } else
                    list->setCurrentItem(entry);
            }
            for (int i = 0; i < list->count(); ++i)
                seen << list->item(i)->text();
            seen << dialog->findChild<QLineEdit*>()->text();
            ModalAnswer::click(dialog, "OK");
        });
        s.invoke("onMoveFile");
        QFETCH(QStringList, offered);
        QFETCH(QString, path);
        QCOMPARE(seen.join(" | "),
                 (QStringList{"Select destination folder..."} + offered + QStringList{path})
                     .join(" | "));
        QTRY_COMPARE(s.requestFields("move_f").size(), 1);
        QFETCH(QString, destination);
        QCOMPARE(s.requestFields("move_f").value(0).section('/', 0, 1),
                 movedId + "/" + destination);
        QTRY_VERIFY(s.item(moved) == nullptr);
    }

    // Help, the account information's anchors and the link cells open in the browser; what the
    // desktop cannot open, or may not, is said in the log view with its address. A click in a
    // link cell beside the link's text only selects the cell. Where the service's web pages are
    // served elsewhere (the demo's stand-in), help and file links go there.
    void openingLinks_data()
    {
        QTest::addColumn<QString>("click"); // "help", "anchor:<address>", "text", "beside"
        QTest::addColumn<bool>("desktopOpens");
        QTest::addColumn<bool>("webBase");
        QTest::addColumn<QString>("opened"); // "$BASE": the stand-in's http address
        QTest::addColumn<QString>("logged");
        const QString help = "http://127.0.0.1/help.html?tool=1";
        QTest::newRow("help") << "help" << true << false << help << QString();
        QTest::newRow("help, no browser") << "help" << false << false << QString() << help;
        QTest::newRow("help, pages served elsewhere")
            << "help" << true << true << "$BASE/help.html?tool=1" << QString();
        QTest::newRow("file link, pages served elsewhere")
            << "text" << true << true << "$BASE/f/201/big.bin.file" << QString();
        QTest::newRow("click beside the link's text")
            << "beside" << true << false << QString() << QString();
        QTest::newRow("anchor") << "anchor:http://example.invalid/page" << true << false
                                << "http://example.invalid/page" << QString();
        QTest::newRow("anchor that is no web address")
            << "anchor:file:///bin/sh" << true << false << QString() << "file:///bin/sh";
    }

    void openingLinks()
    {
        QFETCH(QString, click);
        QFETCH(bool, desktopOpens);
        QFETCH(bool, webBase);
        QFETCH(QString, opened);
        QFETCH(QString, logged);
        Session s;
        QVERIFY(s.open());
        const QString base = s.service.httpBase();
        if (webBase)
            qputenv("FERRYDESK_WEB_BASE", base.toUtf8());
        if (!desktopOpens)
            QDesktopServices::setUrlHandler("http", this, "refuseUrl");
        m_opened.clear();
        auto* info = s.window->findChild<QTextBrowser*>("infoBrowser");
        const QString account = info->toPlainText();
        const QModelIndex link = s.remote->model()->index(
            s.remote->indexOfTopLevelItem(s.item("big.bin")), TreeWidgetItem::LinkColumn);
        // The whole link cell in view, much wider than its text.
        for (QSplitter* panes : s.window->findChildren<QSplitter*>()) {
            if (panes->orientation() == Qt::Horizontal)
                panes->setSizes({10, 990});
        }
        const QRect cell = s.remote->visualRect(link);
        s.remote->setColumnWidth(TreeWidgetItem::LinkColumn,
                                 s.remote->viewport()->width() - cell.left());
        if (click == "help")
            s.window->menuBar()->actions().at(5)->trigger();
        else if (click.startsWith("anchor:"))
            emit info->anchorClicked(QUrl(click.mid(7)));
        else
            QTest::mouseClick(
                s.remote->viewport(), Qt::LeftButton, {},
                QPoint(click == "text" ? cell.left() + 10 : s.remote->viewport()->width() - 10,
                       cell.center().y()));
        qunsetenv("FERRYDESK_WEB_BASE");
        QDesktopServices::setUrlHandler("http", this, "catchUrl");

        QCOMPARE(m_opened, opened.isEmpty() ? QList<QUrl>{}
                                            : QList<QUrl>{QUrl(opened.replace("$BASE", base))});
        const QString log = LogWindow::instance()->toPlainText();
        const bool told = log.contains(QRegularExpression("(Could not|Refused to) open.*" +
                                                          QRegularExpression::escape(logged)));
        QVERIFY2(told != logged.isEmpty(), qPrintable(log));
        QCOMPARE(info->toPlainText(), account);
        if (click == "beside")
            QVERIFY(s.remote->selectionModel()->isSelected(link));
    }

    // Window keys are written at destruction and read at the next build.
    void windowKeysRoundTrip()
    {
        Session s;
        QVERIFY(s.open());
        s.window->resize(700, 650);
        s.window->move(120, 90);
        s.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("size").toSize(), QSize(700, 650));
        for (const char* key : {"state", "geometry", "vSplitterstate", "hSplitterstate"})
            QVERIFY2(settings.contains(key), key);
        QCOMPARE(settings.value("leftDirectory").toString(), s.home.path());
        const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
        {
            MainWindow again;
            again.show();
            QCOMPARE(again.size(), QSize(700, 650).boundedTo(screen));
        }
        // A size saved on a larger screen is bounded by this one, which shows the whole window.
        settings.setValue("size", screen + QSize(500, 400));
        settings.setValue("pos", QPoint(3000, 3000));
        settings.sync();
        MainWindow again;
        again.show();
        QCOMPARE(again.size(), screen);
        QCOMPARE(again.pos(), QPoint(0, 0));
    }

    // The local pane starts at the saved folder. Delete asks, then removes files only; a new
    // folder keeps existing names and never climbs out; an upload of folders starts nothing.
    // A typed path is followed folder by folder; Backspace climbs one folder, up to the root.
    void localPane()
    {
        QueueWindow q;
        QVERIFY(q.open());
        const QString folder = q.home.path();
        auto* box = q.window->findChild<QComboBox*>("leftPathBox");
        QCOMPARE(box->currentText(), folder);
        QCOMPARE(box->itemText(0), QString("/"));
        auto* view = q.window->findChild<TreeView*>();
        auto* model = static_cast<QFileSystemModel*>(view->model());
        QVERIFY(QDir(folder).mkdir("keep"));
        QVERIFY(writeFile(folder + "/gone.txt", "x") && writeFile(folder + "/taken", "x"));
        QTRY_VERIFY(model->index(folder + "/gone.txt").isValid());
        QTRY_VERIFY(model->index(folder + "/keep").isValid());

        selectLocal(view, folder, {"keep", "gone.txt"});
        QList<ModalAnswer::Seen> seen;
        ModalAnswer::press("Yes", &seen);
        q.invoke("onLocalDelete");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QString("Confirm delete.."));
        QCOMPARE(seen.at(0).text,
                 QString("Do you really want to delete selectedt files/folders ?"));
        QVERIFY(!QFile::exists(folder + "/gone.txt"));
        QVERIFY(QFileInfo(folder + "/keep").isDir());

        for (const char* name : {"taken", "../outside", "fresh"})
            QMetaObject::invokeMethod(q.window.get(), "onLocalCreateFolder",
                                      Q_ARG(QString, QString(name)));
        QVERIFY(QFileInfo(folder + "/taken").isFile());
        QVERIFY(!QFileInfo::exists(QFileInfo(folder).path() + "/outside"));
        QVERIFY(QFileInfo(folder + "/fresh").isDir());
        QTRY_VERIFY(model->index(folder + "/fresh").isValid());
        selectLocal(view, folder, {"keep", "fresh"});
        q.invoke("upload");
        QCOMPARE(q.running->topLevelItemCount(), 0);

        const QString deep = folder + "/ab/cd";
        QVERIFY(QDir().mkpath(deep));
        box->lineEdit()->clear();
        QTest::keyClicks(box->lineEdit(), deep);
        QCOMPARE(model->filePath(view->rootIndex()), deep);
        // Each prefix that is a folder was visited once; "/a" and "/ab/c" were not folders.
        QStringList visited;
        for (int i = 0; i < box->count(); ++i)
            visited << box->itemText(i);
        for (const QString& prefix : {folder, folder + "/", folder + "/ab", folder + "/ab/", deep})
            QCOMPARE(visited.count(prefix), 1);
        QVERIFY(!visited.contains(folder + "/a"));
        QVERIFY(!visited.contains(folder + "/ab/c"));
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(box->currentText(), folder + "/ab");
        box->lineEdit()->setText("/");
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(box->currentText(), QString("/"));
        QCOMPARE(model->filePath(view->rootIndex()), QString("/"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
