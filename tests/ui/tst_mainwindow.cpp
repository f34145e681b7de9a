#include "support/logwindow.h"
#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "ui/dformat.h"
#include "ui/treeview.h"

#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextBrowser>
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
    // The fields of each request of this kind the service got, "/"-joined, in any order.
    QStringList requestFields(const QString& kind) const
    {
        QStringList result;
        for (const QJsonValue& request : service.requests(kind))
            result << request.toObject().value("fields").toVariant().toStringList().join('/');
        result.sort(); // each request runs on its own thread: they may arrive in any order
        return result;
    }
    void trigger(const QString& text) const
    {
        for (QAction* action : remote->actions()) {
            if (action->text() == text)
                action->trigger();
        }
    }
    QTreeView* localView() const { return window->findChild<QTreeView*>("leftTree"); }
};

namespace {

// "text=shortcut" of each action; pane actions must act only in their own pane.
QStringList actionTexts(const QList<QAction*>& actions)
{
    QStringList result;
    for (QAction* action : actions) {
        result.append(action->text() + "=" + action->shortcut().toString());
        if (!action->shortcut().isEmpty() && action->shortcutContext() != Qt::WidgetShortcut)
            result.append("wrong context");
    }
    return result;
}

void selectLocal(TreeView* view, const QStringList& paths)
{
    auto* model = static_cast<QFileSystemModel*>(view->model());
    view->selectionModel()->clearSelection();
    for (const QString& path : paths)
        view->selectionModel()->select(model->index(path),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QStringList boxItems(const QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
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

    void cleanupTestCase()
    {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
    }

    // A window that was never shown contacts nobody; its first show builds it and starts the
    // engine. Without a stored account the login dialog logs in with what is typed, remembered
    // as the last account. The path box holds "/" exactly once after the user logs out and in
    // again.
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
        const auto edits = dialog->findChildren<QLineEdit*>();
        edits.at(0)->setText("alice");
        edits.at(1)->setText("secret");
        ModalAnswer::click(dialog, "Login");
        QTRY_COMPARE(s.pathBox()->currentText(), QString("/"));
        QCOMPARE(s.service.requests("login").size(), 1);

        QVERIFY(s.findViews());
        s.window->menuBar()->actions().at(0)->trigger(); // log out
        QCOMPARE(s.window->loginActionText(), QString("&Login"));
        QVERIFY(s.pathBox()->currentText().isEmpty());
        QTRY_COMPARE(s.remote->topLevelItemCount(), 0);
        s.engine()->login("alice", "secret");
        QTRY_COMPARE(s.window->loginActionText(), QString("&Logout"));
        QCOMPARE(boxItems(s.pathBox()), QStringList{"/"});
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("LastUserName").toString(), QString("alice"));
        // Without a tray the window really closes, MinToTray or not.
        s.window->setTrayIconHidden(true);
        QVERIFY(s.window->close());
    }

    // Pane actions act only in the focused tree: F3 in the local pane uploads, F3 in the remote
    // pane downloads the selected file. F5 re-reads the pane that has the focus: the remote
    // folder on show is listed again, the local pane without asking the service anything.
    void keysFollowTheFocus()
    {
        Session s;
        QVERIFY(s.open());
        QTreeView* left = s.localView();
        QCOMPARE(actionTexts(s.remote->actions()),
                 QStringList({"Rename=F2", "Download=F3", "Delete=Del", "Create Folder=F7",
                              "Copy Link Download="}));
        QCOMPARE(actionTexts(left->actions()), QStringList({"Upload=F3", "Rename=F2", "Delete=Del",
                                                            "Create Folder=F7", "Open="}));
        QVERIFY(s.openFolder("Media", "clip.mp4"));
        // Listings of the folder on show (Media's id is 30).
        const auto listings = [&] { return s.requestFields("listing").filter("30").size(); };
        const int listed = listings();
        QSignalSpy upload(left->actions().at(0), &QAction::triggered);
        s.window->activateWindow();
        left->setFocus();
        QTest::keyClick(left, Qt::Key_F3);
        QCOMPARE(upload.size(), 1);
        s.remote->clear(); // only a fresh listing fills it again
        QTest::keyClick(left, Qt::Key_F5);
        QTest::qWait(300);
        QCOMPARE(s.remote->topLevelItemCount(), 0);

        s.remote->setFocus();
        QTest::keyClick(s.remote, Qt::Key_F5);
        QTRY_VERIFY(s.item("clip.mp4"));
        QCOMPARE(listings(), listed + 1);
        s.selectOnly({"clip.mp4"});
        QTest::keyClick(s.remote, Qt::Key_F3);
        QCOMPARE(s.running->topLevelItemCount(), 1);
        QCOMPARE(s.row(s.running, 0)->text(QueueColumn::File), s.home.path() + "/clip.mp4");
        QCOMPARE(upload.size(), 1);
    }

    // The root listing: folders first in both orders, sizes, link labels, the status message;
    // inside a folder "." and ".." are not counted. Folders open through rows and the path box:
    // a path already in the box is not added again, ".." and Backspace step up. A failed listing
    // says so and leaves the last entries on show, greyed.
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
        QCOMPARE(big->linkHtml(), DFormat::linkLabelHtml(link));
        s.selectOnly({"big.bin"});
        s.trigger("Copy Link Download");
        QCOMPARE(QApplication::clipboard()->text(), big->directLink());

        QVERIFY(s.openFolder("Docs", "a.txt"));
        QCOMPARE(s.statusMessage(), QString("1 folders 28 bytes in 2 files"));
        QVERIFY(s.openFolder("Old", "old.txt"));
        QCOMPARE(s.statusMessage(), QString("3 bytes in 1 files"));
        QVERIFY(s.openFolder("..", "notes.txt"));
        QVERIFY(s.openFolder("..", "big.bin"));
        QVERIFY(s.openFolder("Docs", "a.txt"));
        QCOMPARE(boxItems(s.pathBox()), QStringList({"/", "/Docs", "/Docs/Old"}));
        s.pathBox()->setCurrentIndex(0);
        QTRY_VERIFY(s.item("big.bin") != nullptr);
        emit s.remote->itemActivated(s.item("big.bin"), 0); // a file row opens nothing
        const int before = s.service.requests().size();
        QTest::keyClick(s.remote, Qt::Key_Backspace);
        QTRY_COMPARE(s.service.requests().size(), before + 1);
        QCOMPARE(s.pathBox()->currentText(), QString("/"));

        s.service.addFault({{"kind", "listing"}, {"action", "refuse"}, {"text", "Folder gone"}});
        emit s.remote->itemActivated(s.item("Docs"), 0);
        QTRY_COMPARE(s.statusMessage(), QString("Not up to date: Folder gone"));
        QCOMPARE(s.item("big.bin")->foreground(0).color(),
                 s.remote->palette().color(QPalette::Disabled, QPalette::Text));
    }

    // Rename, delete and new folders reach the service, one request per entry, and the pane
    // shows the result; "Cancel" sends nothing, and rename asks nothing for two rows. A listing
    // that lands while the dialog is open replaces every row of the pane: the answer still goes
    // to the entries the user chose, through one dialog.
    void remoteEdits_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QString>("answer");   // "<button>" or "<button>:<typed name>"
        QTest::addColumn<QString>("shown");    // title, and the question of a box
        QTest::addColumn<QString>("requests"); // "<kind>: <fields of each>"
        QTest::addColumn<QString>("after");    // a name gone ("-") or come ("+")
        const auto row = [](const char* name, const QString& action, const QStringList& selected,
                            const QString& answer, const QString& shown, const QString& requests,
                            const QString& after) {
            QTest::newRow(name) << action << selected << answer << shown << requests << after;
        };
        const QString question =
            "Confirm delete..: Do you really want to delete selectedt files/folders ?";
        row("rename", "Rename", {"big.bin"}, "OK:renamed.bin",
            "New Name..: ", "rename_f: 201/renamed.bin/-1", "+renamed.bin");
        row("rename of two rows", "Rename", {"Docs", "Empty"}, "", "", "rename_f: ", "+Docs");
        row("delete", "Delete", {"big.bin", "Empty"}, "Yes", question, "delete_f: 20, 201",
            "-big.bin");
        row("delete, cancelled", "Delete", {"big.bin"}, "Cancel", question,
            "delete_f: ", "+big.bin");
        row("new folder", "Create Folder", {}, "OK:Fresh",
            "Folder Name..: ", "create_folder: -1/Fresh", "+Fresh");
        row("new folder, cancelled", "Create Folder", {}, "Cancel:Never",
            "Folder Name..: ", "create_folder: ", "-Never");
    }

    void remoteEdits()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, selected);
        QFETCH(QString, answer);
        QFETCH(QString, requests);
        Session s;
        QVERIFY(s.open());
        s.selectOnly(selected);
        bool listed = false;
        connect(
            s.engine(), &DCommandManager::di_contentsChanged, s.window.get(),
            [&] { listed = true; }, Qt::QueuedConnection);
        int modals = 0;
        QString shown;
        QPointer<QTimer> user = ModalAnswer::next([&](QWidget* dialog) {
            modals = ModalAnswer::openCount();
            auto* box = qobject_cast<QMessageBox*>(dialog);
            shown = dialog->windowTitle() + ": " + (box ? box->text() : QString());
            // A finished upload re-lists the folder while the user makes up their mind.
            s.engine()->listFolder(QString(), "/");
            (void)QTest::qWaitFor([&] { return listed; }, 10000);
            if (auto* edit = dialog->findChild<QLineEdit*>())
                edit->setText(answer.section(':', 1));
            ModalAnswer::click(dialog, answer.section(':', 0, 0));
        });
        s.trigger(action);
        delete user; // no dialog came: the answer must not outlive this test
        QCOMPARE(modals, shown.isEmpty() ? 0 : 1);
        QTEST(shown, "shown");
        const QString kind = requests.section(": ", 0, 0);
        const QStringList fields = requests.section(": ", 1).split(", ", Qt::SkipEmptyParts);
        QTRY_COMPARE(s.requestFields(kind).size(), fields.size());
        QCOMPARE(s.requestFields(kind), fields);
        QFETCH(QString, after);
        QTRY_COMPARE(s.item(after.mid(1)) != nullptr, after.startsWith('+'));
    }

    // The folder chooser: ".." is the parent folder (its id comes with the listing), browsing
    // lists the folder entered, and OK with no entry selected moves into the folder shown.
    void moveChooser_data()
    {
        QTest::addColumn<QStringList>("route"); // folders opened first: "name:a file inside"
        QTest::addColumn<QString>("moved");
        QTest::addColumn<QString>("step");    // "open:<entry>" double click, "pick:<entry>"
        QTest::addColumn<QString>("offered"); // the entries offered, then the path shown
        QTest::addColumn<QString>("destination");
        const auto row = [](const char* name, bool deep, const QString& moved, const QString& step,
                            const QString& offered, const QString& destination) {
            QTest::newRow(name) << (deep ? QStringList{"Docs:a.txt", "Old:old.txt"} : QStringList())
                                << moved << step << offered << destination;
        };
        row("the parent entry", true, "old.txt", "pick:..", ".. | /Docs/Old", "10");
        row("up one level, then OK", true, "old.txt", "open:..", ".. | Old | /Docs", "10");
        row("into a browsed folder, then OK", false, "big.bin", "open:Media", ".. | /Media", "30");
        row("a folder of the pane", false, "big.bin", "pick:Media", "Docs | Empty | Media | /",
            "30");
    }

    void moveChooser()
    {
        QFETCH(QStringList, route);
        QFETCH(QString, moved);
        QFETCH(QString, step);
        QFETCH(QString, offered);
        Session s;
        QVERIFY(s.open());
        for (const QString& folder : route)
            QVERIFY(s.openFolder(folder.section(':', 0, 0), folder.section(':', 1)));
        const QString movedId = s.item(moved)->entryId();
        s.selectOnly({moved});
        QStringList seen;
        ModalAnswer::next([&](QWidget* dialog) {
            seen << dialog->windowTitle();
            auto* list = dialog->findChild<QListWidget*>();
            QListWidgetItem* entry =
                list->findItems(step.section(':', 1), Qt::MatchExactly).value(0);
            QVERIFY(entry);
            const QPoint at = list->visualItemRect(entry).center();
            if (step.startsWith("open:")) {
                // A double click: two presses, the second one a double click.
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
            } else {
                list->setCurrentItem(entry);
            }
            for (int i = 0; i < list->count(); ++i)
                seen << list->item(i)->text();
            seen << dialog->findChild<QLineEdit*>()->text();
            ModalAnswer::click(dialog, "OK");
        });
        s.invoke("onMoveFile");
        QCOMPARE(seen.join(" | "), "Select destination folder... | " + offered);
        QTRY_COMPARE(s.requestFields("move_f").size(), 1);
        QFETCH(QString, destination);
        QCOMPARE(s.requestFields("move_f").value(0).section('/', 0, 1),
                 movedId + "/" + destination);
        QTRY_VERIFY(s.item(moved) == nullptr);
    }
    // Help, the account information's anchors and the link cells open in the browser; what the
    // desktop cannot open, or may not, is said in the log view with its address. A click in a
    // link cell beside the link's text only selects the cell. Where the service's web pages are
    // served elsewhere, help and file links go there.
    void openingLinks_data()
    {
        QTest::addColumn<QString>("click");  // "help", "anchor:<address>", "text", "beside"
        QTest::addColumn<QString>("setup");  // "no browser", "web base" or none
        QTest::addColumn<QString>("opened"); // "$BASE": the stand-in's http address
        QTest::addColumn<QString>("logged");
        const auto row = [](const char* name, const QString& click, const QString& setup,
                            const QString& opened, const QString& logged) {
            QTest::newRow(name) << click << setup << opened << logged;
        };
        const QString help = "http://127.0.0.1/help.html?tool=1";
        row("help", "help", "", help, "");
        row("help, no browser", "help", "no browser", "", help);
        row("help, pages served elsewhere", "help", "web base", "$BASE/help.html?tool=1", "");
        row("file link, pages served elsewhere", "text", "web base", "$BASE/f/201/big.bin.file",
            "");
        row("click beside the link's text", "beside", "", "", "");
        row("anchor", "anchor:http://example.invalid/page", "", "http://example.invalid/page", "");
        row("anchor that is no web address", "anchor:file:///bin/sh", "", "", "file:///bin/sh");
    }

    void openingLinks()
    {
        QFETCH(QString, click);
        QFETCH(QString, setup);
        QFETCH(QString, opened);
        QFETCH(QString, logged);
        Session s;
        QVERIFY(s.open());
        const QString base = s.service.httpBase();
        if (setup == "web base")
            qputenv("FERRYDESK_WEB_BASE", base.toUtf8());
        if (setup == "no browser")
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
        const int width = s.remote->viewport()->width();
        s.remote->setColumnWidth(TreeWidgetItem::LinkColumn, width - cell.left());
        if (click == "help")
            s.window->menuBar()->actions().at(5)->trigger();
        else if (click.startsWith("anchor:"))
            emit info->anchorClicked(QUrl(click.mid(7)));
        else
            QTest::mouseClick(
                s.remote->viewport(), Qt::LeftButton, {},
                QPoint(click == "text" ? cell.left() + 10 : width - 10, cell.center().y()));
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

    // Window keys are written at destruction and read at the next build; a size saved on a
    // larger screen is bounded by this one, which shows the whole window.
    void windowKeysRoundTrip()
    {
        Session s;
        QVERIFY(s.open());
        s.window->resize(700, 650);
        s.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("leftDirectory").toString(), s.home.path());
        const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
        {
            MainWindow again;
            again.show();
            QCOMPARE(again.size(), QSize(700, 650).boundedTo(screen));
        }
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
        Session s;
        QVERIFY(s.open());
        const QString folder = s.home.path();
        auto* box = s.window->findChild<QComboBox*>("leftPathBox");
        QCOMPARE(box->currentText(), folder);
        auto* view = s.window->findChild<TreeView*>();
        auto* model = static_cast<QFileSystemModel*>(view->model());
        QVERIFY(QDir(folder).mkdir("keep"));
        QVERIFY(writeFile(folder + "/gone.txt", "x") && writeFile(folder + "/taken", "x"));
        QTRY_VERIFY(model->index(folder + "/gone.txt").isValid());
        QTRY_VERIFY(model->index(folder + "/keep").isValid());

        selectLocal(view, {folder + "/keep", folder + "/gone.txt"});
        QList<ModalAnswer::Seen> seen;
        ModalAnswer::press("Yes", &seen);
        s.invoke("onLocalDelete");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).text,
                 QString("Do you really want to delete selectedt files/folders ?"));
        QVERIFY(!QFile::exists(folder + "/gone.txt"));
        QVERIFY(QFileInfo(folder + "/keep").isDir());

        for (const char* name : {"taken", "../outside", "fresh"})
            QMetaObject::invokeMethod(s.window.get(), "onLocalCreateFolder",
                                      Q_ARG(QString, QString(name)));
        QVERIFY(QFileInfo(folder + "/taken").isFile());
        QVERIFY(!QFileInfo::exists(QFileInfo(folder).path() + "/outside"));
        QTRY_VERIFY(model->index(folder + "/fresh").isValid());
        selectLocal(view, {folder + "/keep", folder + "/fresh"});
        s.invoke("upload");
        QCOMPARE(s.running->topLevelItemCount(), 0);

        const QString deep = folder + "/ab/cd";
        QVERIFY(QDir().mkpath(deep));
        box->lineEdit()->clear();
        QTest::keyClicks(box->lineEdit(), deep);
        QCOMPARE(model->filePath(view->rootIndex()), deep);
        // Each prefix that is a folder was visited once; "/a" and "/ab/c" were not folders.
        const QStringList visited = boxItems(box);
        for (const QString& prefix : {folder, folder + "/", folder + "/ab", folder + "/ab/", deep})
            QCOMPARE(visited.count(prefix), 1);
        QVERIFY(!visited.contains(folder + "/a") && !visited.contains(folder + "/ab/c"));
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(box->currentText(), folder + "/ab");
        box->lineEdit()->setText("/");
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(model->filePath(view->rootIndex()), QString("/"));
    }

    // The tray icon's tool tip tells how many transfers run and how fast, each direction with
    // its arrow. The first close that hides the window to the tray says once, ever, that the
    // program goes on running there.
    void trayTellsWhatIsGoingOn_data()
    {
        QTest::addColumn<int>("transfers"); // a download, then an upload
        QTest::addColumn<QString>("tip");
        QTest::newRow("nothing") << 0 << "^Ferrydesk — no transfers running$";
        QTest::newRow("a download") << 1 << "^Ferrydesk — 1 running, ↓ \\d+ KB/s$";
        QTest::newRow("a download and an upload")
            << 2 << "^Ferrydesk — 2 running, ↓ \\d+ KB/s ↑ \\d+ KB/s$";
    }

    void trayTellsWhatIsGoingOn()
    {
        QFETCH(int, transfers);
        QFETCH(QString, tip);
        qputenv("FERRYDESK_TEST_TRAY", "1");
        Session s;
        QVERIFY(s.open());
        qunsetenv("FERRYDESK_TEST_TRAY");
        auto* tray = s.window->findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        for (const char* kind : {"download", "ftp-stor"})
            s.service.addFault(
                {{"kind", kind}, {"action", "throttle"}, {"kbps", 100}, {"times", 0}});
        if (transfers > 0)
            s.startDownloads({"big.bin"}, {"201"});
        if (transfers > 1) {
            QVERIFY(writeFile(s.home.path() + "/up.bin", QByteArray(4 << 20, 'u')));
            s.startUploads({s.home.path() + "/up.bin"});
        }
        ModalAnswer::click(s.window.get(), "Start All");
        const QRegularExpression expected(tip);
        QTRY_VERIFY2_WITH_TIMEOUT(expected.match(tray->toolTip()).hasMatch(),
                                  qPrintable(tray->toolTip()), 20000);
        for (int round = 0; round < 2; ++round) {
            s.window->show();
            QVERIFY(!s.window->close());
            QVERIFY(s.window->isHidden());
        }
        QCOMPARE(s.home.logLines().filter("Ferrydesk is still running in the system tray").size(),
                 1);
        // Once ever: a new start remembers it was said.
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QVERIFY(settings.value("TrayNoticeShown").toBool());
    }

    // The window cannot be made so small, nor its panes dragged so far shut, that a pane, the
    // queue's buttons or the status bars become unusable.
    void minimumSize_data()
    {
        QTest::addColumn<QList<int>>("panes");  // horizontal splitter sizes asked for
        QTest::addColumn<QList<int>>("bottom"); // vertical splitter sizes asked for
        QTest::newRow("window shrunk") << QList<int>() << QList<int>();
        QTest::newRow("left pane dragged shut") << QList<int>{0, 2000} << QList<int>();
        QTest::newRow("right pane dragged shut") << QList<int>{2000, 0} << QList<int>();
        QTest::newRow("queue dragged shut") << QList<int>() << QList<int>{2000, 0};
        QTest::newRow("panes dragged shut") << QList<int>() << QList<int>{0, 2000};
    }

    void minimumSize()
    {
        QFETCH(QList<int>, panes);
        QFETCH(QList<int>, bottom);
        Session s;
        QVERIFY(s.open());
        s.window->resize(50, 50);
        for (QSplitter* splitter : s.window->findChildren<QSplitter*>()) {
            const QList<int> sizes = splitter->orientation() == Qt::Horizontal ? panes : bottom;
            if (!sizes.isEmpty())
                splitter->setSizes(sizes);
        }
        QTest::qWait(100);
        const auto usable = [](QWidget* widget, QSize least) {
            return widget && widget->isVisible() && widget->width() >= least.width() &&
                   widget->height() >= least.height();
        };
        const QList<std::pair<QWidget*, QSize>> parts{
            {s.localView(), {120, 80}},
            {s.remote, {120, 80}},
            {s.running, {200, 60}},
            {s.window->findChild<QStatusBar*>("rightStatusBar"), {100, 10}},
            {s.window->statusBar(), {300, 10}}};
        for (const auto& [widget, least] : parts)
            QVERIFY2(usable(widget, least), qPrintable(widget->objectName()));
        for (auto* button : s.window->findChildren<QPushButton*>(
                 QRegularExpression("^(startAll|pauseAll|removeAll)$")))
            QVERIFY2(usable(button, button->sizeHint()), qPrintable(button->objectName()));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
