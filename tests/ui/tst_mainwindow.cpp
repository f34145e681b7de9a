#include "engine/dtimings.h"
#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "ui/dstatusbarwidget.h"
#include "ui/filesystemmodel.h"
#include "ui/treeview.h"

#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextBrowser>
#include <QToolButton>
#include <QtTest>

#include <memory>

// The window against the stand-in service, with the remote pane at hand.
struct Session : QueueWindow
{
    using QueueWindow::QueueWindow;

    QComboBox* pathBox() const { return window->findChild<QComboBox*>("rightPathBox"); }
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
    // Downloads these rows, as F3 does.
    void download(const QStringList& names)
    {
        selectOnly(names);
        invoke("download");
    }
    QMimeData* remoteDrag(const QStringList& names) const
    {
        QModelIndexList rows;
        for (const QString& name : names)
            rows << remote->model()->index(remote->indexOfTopLevelItem(item(name)), 0);
        return remote->model()->mimeData(rows);
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
    // Opens the context menu that `slot` opens and triggers its action `choice`.
    void chooseInMenu(const char* slot, const QString& choice)
    {
        QPointer<QTimer> answer = ModalAnswer::next(
            [choice](QWidget* menu) {
                menu->close();
                for (QAction* action : menu->actions()) {
                    if (action->text() == choice)
                        action->trigger();
                }
            },
            true);
        QMetaObject::invokeMethod(window.get(), slot, Q_ARG(QPoint, QPoint()));
        delete answer; // no menu came: the answer must not outlive the call
    }
};

namespace {

QJsonObject file(const QString& name, const QString& id, const QString& content)
{
    return {{"file", name}, {"id", id}, {"content", content}};
}

QJsonObject folder(const QString& name, const QString& id, const QJsonArray& children)
{
    return {{"folder", name}, {"id", id}, {"children", children}};
}

// The test accounts, and for alice also "Tree" (a nested tree among entries whose names are no
// plain names) and "Deep" (33 folders nested below it, one more than a download takes).
QString folderScenario()
{
    QJsonObject root = QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
    QJsonObject accounts = root.value("accounts").toObject();
    QJsonObject alice = accounts.value("alice").toObject();
    QJsonArray tree = alice.value("tree").toArray();
    QJsonObject bin{{"file", "x.bin"}, {"id", "401"}, {"size", 70000}, {"seed", 5}};
    tree.append(folder(
        "Tree", "40",
        {bin, file("..", "402", "up"), file("a/b", "403", "slash"),
         file("tab\tname.txt", "405", "tab"), file("back\\slash", "406", "back"),
         folder("sub", "41",
                {file("y.txt", "411", "why"), folder("deeper", "42", {file("z.txt", "421", "zed")}),
                 folder("Void", "43", {})}),
         folder("..", "44", {file("escape.txt", "441", "out")}),
         folder(".", "45", {file("dot.txt", "451", "dot")})}));
    QJsonArray chain{file("bottom.txt", "499", "bottom")};
    for (int level = 33; level >= 1; --level)
        chain = QJsonArray{folder(QString("d%1").arg(level), QString::number(60 + level), chain)};
    tree.append(folder("Deep", "60", chain));
    alice.insert("tree", tree);
    accounts.insert("alice", alice);
    root.insert("accounts", accounts);
    return QString::fromUtf8(QJsonDocument(root).toJson());
}

// Every entry below `path`, relative, folders ending in "/".
QStringList shapeOf(const QString& path)
{
    QStringList entries;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries << QDir(path).relativeFilePath(info.filePath()) + (info.isDir() ? "/" : "");
    }
    entries.sort();
    return entries;
}

void selectLocal(TreeView* view, const QStringList& paths)
{
    auto* model = static_cast<QFileSystemModel*>(view->model());
    view->selectionModel()->clearSelection();
    for (const QString& path : paths)
        view->selectionModel()->select(model->index(path),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace

// The main window against the stand-in service: its panes, keys and dialogs, and transfers driven
// through it (drags, the queue buttons, whole folders, refusals, failures, retries).
class TestMainWindow : public QObject
{
    Q_OBJECT

    QList<QUrl> m_opened; // what the desktop was asked to open (nothing really opens here)

public slots:
    void catchUrl(const QUrl& url) { m_opened.append(url); }

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

    // A window that was never shown contacts nobody; its first show logs in with what the login
    // dialog is given, remembered as the last account. After a log out and a new login the path box
    // holds "/" once. Window keys are written at destruction and read at the next build; a size
    // saved on a larger screen is bounded by this one, which shows the whole window.
    void firstShowLoginsAndWindowKeys()
    {
        Session s;
        QVERIFY(s.prepare("", ""));
        QTest::qWait(200);
        QVERIFY(!s.window->isBuilt() && s.service.requests().isEmpty());
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
        QTRY_COMPARE(s.remote->topLevelItemCount(), 0);
        s.engine()->login("alice", "secret");
        QTRY_COMPARE(s.window->loginActionText(), QString("&Logout"));
        QCOMPARE(s.pathBox()->count(), 1);
        // Without a tray the window really closes, MinToTray or not.
        s.window->setTrayIconHidden(true);
        s.window->resize(700, 650);
        QVERIFY(s.window->close());
        s.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("LastUserName").toString(), QString("alice"));
        QCOMPARE(settings.value("size").toSize(), QSize(700, 650));
        const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
        settings.setValue("size", screen + QSize(500, 400));
        settings.setValue("pos", QPoint(3000, 3000));
        settings.sync();
        MainWindow again;
        again.show();
        QCOMPARE(again.size(), screen);
        QCOMPARE(again.pos(), QPoint(0, 0));
    }

    // Folders come first in both orders. Folders open through rows and the path box, which takes
    // each path once; ".." and Backspace step up. A failed listing leaves the last entries on show,
    // greyed. Pane keys act only in the focused tree: F3 uploads from the local pane and downloads
    // from the remote one; F5 re-reads the focused pane only.
    void remotePane()
    {
        Session s;
        QVERIFY(s.open());
        QCOMPARE(s.remote->indexOfTopLevelItem(s.item("big.bin")), 3);
        s.remote->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(s.remote->indexOfTopLevelItem(s.item("big.bin")), 3);
        QCOMPARE(s.remote->indexOfTopLevelItem(s.item("Media")), 0);

        QVERIFY(s.openFolder("Docs", "a.txt"));
        QVERIFY(s.openFolder("Old", "old.txt"));
        QVERIFY(s.openFolder("..", "notes.txt"));
        QVERIFY(s.openFolder("..", "big.bin"));
        QVERIFY(s.openFolder("Docs", "a.txt"));
        QCOMPARE(s.pathBox()->count(), 3);
        s.pathBox()->setCurrentIndex(0);
        QTRY_VERIFY(s.item("big.bin") != nullptr);
        emit s.remote->itemActivated(s.item("big.bin"), 0); // a file row opens nothing
        const int before = s.service.requests().size();
        QTest::keyClick(s.remote, Qt::Key_Backspace);
        QTRY_COMPARE(s.service.requests().size(), before + 1);
        QCOMPARE(s.pathBox()->currentText(), QString("/"));

        s.service.addFault({{"kind", "listing"}, {"action", "refuse"}, {"text", "Folder gone"}});
        emit s.remote->itemActivated(s.item("Docs"), 0);
        QTRY_COMPARE(s.item("big.bin")->foreground(0).color(),
                     s.remote->palette().color(QPalette::Disabled, QPalette::Text));

        auto* left = s.window->findChild<QTreeView*>("leftTree");
        QVERIFY(s.openFolder("Media", "clip.mp4"));
        // Listings of the folder on show (Media's id is 30).
        const auto listings = [&] { return s.requestFields("listing").filter("30").size(); };
        const int listed = listings();
        QSignalSpy upload(left->actions().at(0), &QAction::triggered); // "Upload"
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
        QCOMPARE(upload.size(), 1);
    }

    // Rename, delete, move and new folders reach the service, one request per entry, and the pane
    // shows the result; "Cancel" sends nothing, rename of two rows asks nothing. Moving out of a
    // folder, the chooser offers ".." for its parent, whose id comes with the listing. A listing
    // that lands while the dialog is open replaces every row: the answer still goes to the entries
    // the user chose, through one dialog.
    void remoteEdits_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("selected"); // the first one may name its folder
        QTest::addColumn<QString>("answer");   // "<button>:<typed or chosen name>"; none: no dialog
        QTest::addColumn<QString>("requests"); // "<kind>: <fields of each>"
        QTest::addColumn<QString>("after");    // a name gone ("-") or come ("+")
        const auto row = [](const char* name, const QString& action, const QStringList& selected,
                            const QString& answer, const QString& requests, const QString& after) {
            QTest::newRow(name) << action << selected << answer << requests << after;
        };
        row("rename", "Rename", {"big.bin"}, "OK:renamed.bin", "rename_f: 201/renamed.bin/-1",
            "+renamed.bin");
        row("rename of two rows", "Rename", {"Docs", "Empty"}, "", "rename_f: ", "+Docs");
        row("delete", "Delete", {"big.bin", "Empty"}, "Yes", "delete_f: 20, 201", "-big.bin");
        row("delete, cancelled", "Delete", {"big.bin"}, "Cancel", "delete_f: ", "+big.bin");
        row("new folder", "Create Folder", {}, "OK:Fresh", "create_folder: -1/Fresh", "+Fresh");
        row("move to the parent", "Move", {"Docs/Old/old.txt"}, "OK:..", "move_f: 111/10/-1",
            "-old.txt");
    }

    void remoteEdits()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, selected);
        QFETCH(QString, answer);
        QFETCH(QString, requests);
        Session s;
        QVERIFY(s.open());
        const QStringList path = selected.value(0).split('/');
        for (int i = 0; i + 1 < path.size(); ++i)
            QVERIFY(s.openFolder(path.at(i), path.at(i + 1)));
        s.selectOnly(selected.isEmpty() ? selected : path.mid(path.size() - 1) + selected.mid(1));
        bool listed = false;
        connect(
            s.engine(), &DCommandManager::di_contentsChanged, s.window.get(),
            [&] { listed = true; }, Qt::QueuedConnection);
        int modals = 0;
        QPointer<QTimer> user = ModalAnswer::next([&](QWidget* dialog) {
            modals = ModalAnswer::openCount();
            // A finished upload re-lists the folder while the user makes up their mind.
            s.engine()->listFolder(QString(), "/");
            (void)QTest::qWaitFor([&] { return listed; }, 10000);
            const QString name = answer.section(':', 1);
            if (auto* list = dialog->findChild<QListWidget*>())
                list->setCurrentItem(list->findItems(name, Qt::MatchExactly).value(0));
            else if (auto* edit = dialog->findChild<QLineEdit*>())
                edit->setText(name);
            ModalAnswer::click(dialog, answer.section(':', 0, 0));
        });
        s.chooseInMenu("onRightTreeContextMenu", action);
        delete user; // no dialog came: the answer must not outlive this test
        QCOMPARE(modals, answer.isEmpty() ? 0 : 1);
        const QString kind = requests.section(": ", 0, 0);
        const QStringList fields = requests.section(": ", 1).split(", ", Qt::SkipEmptyParts);
        QTRY_COMPARE(s.requestFields(kind).size(), fields.size());
        QCOMPARE(s.requestFields(kind), fields);
        QFETCH(QString, after);
        QTRY_COMPARE(s.item(after.mid(1)) != nullptr, after.startsWith('+'));
    }

    // The local pane starts at the saved folder. Delete asks once, then removes files only; a new
    // folder keeps existing names and never climbs out; an upload of folders starts nothing.
    // Backspace climbs one folder.
    void localPane()
    {
        Session s;
        QVERIFY(s.open());
        auto* box = s.window->findChild<QComboBox*>("leftPathBox");
        QCOMPARE(box->currentText(), s.home.path());
        // A folder below the test's own, where "../outside" would land if it could climb.
        const QString folder = s.home.path() + "/pane";
        QVERIFY(QDir().mkpath(folder + "/keep"));
        QVERIFY(writeFile(folder + "/gone.txt", "x") && writeFile(folder + "/taken", "x"));
        box->lineEdit()->setText(folder);
        auto* view = s.window->findChild<TreeView*>();
        auto* model = static_cast<QFileSystemModel*>(view->model());
        QTRY_VERIFY(model->index(folder + "/gone.txt").isValid());
        QTRY_VERIFY(model->index(folder + "/keep").isValid());

        selectLocal(view, {folder + "/keep", folder + "/gone.txt"});
        QList<ModalAnswer::Seen> seen;
        ModalAnswer::press("Yes", &seen);
        s.invoke("onLocalDelete");
        QCOMPARE(seen.size(), 1);
        QVERIFY(!QFile::exists(folder + "/gone.txt"));
        QVERIFY(QFileInfo(folder + "/keep").isDir());

        for (const char* name : {"taken", "../outside", "fresh"})
            QMetaObject::invokeMethod(s.window.get(), "onLocalCreateFolder",
                                      Q_ARG(QString, QString(name)));
        QVERIFY(QFileInfo(folder + "/taken").isFile());
        QVERIFY(!QFileInfo::exists(s.home.path() + "/outside"));
        QTRY_VERIFY(model->index(folder + "/fresh").isValid());
        selectLocal(view, {folder + "/keep", folder + "/fresh"});
        s.invoke("upload");
        QCOMPARE(s.running->topLevelItemCount(), 0);

        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(model->filePath(view->rootIndex()), s.home.path());
    }

    // The local pane takes only the remote pane's drags. The remote pane uploads the local pane's
    // drags, and of a desktop drag the files only: no folders, nothing missing, nothing remote. Its
    // own drags land on folder rows (moving every dragged entry there), never on a file row, and
    // only with the copy action. New transfers wait, paused; Pause All holds the bytes, Start All
    // finishes all exactly.
    void drops()
    {
        Session q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 400}, {"times", 0}});
        auto* local = q.window->findChild<TreeView*>();
        auto* model = static_cast<FileSystemModel*>(local->model());
        const QString path = q.home.path() + "/report.txt";
        QVERIFY(writeFile(path, QByteArray(300000, 'r')) &&
                writeFile(q.home.path() + "/up.txt", "up"));
        std::unique_ptr<QMimeData> own(model->mimeData({model->index(path)}));
        QMimeData desktop;
        desktop.setUrls({QUrl::fromLocalFile(q.home.path() + "/up.txt"),
                         QUrl::fromLocalFile(q.home.path()),
                         QUrl::fromLocalFile(q.home.path() + "/gone.txt"),
                         QUrl("http://127.0.0.1/remote.txt")});
        std::unique_ptr<QMimeData> remote(q.remoteDrag({"big.bin", "Empty"}));
        QCOMPARE(q.drop(local, own.get(), QPoint(20, 20)), QString("refused"));
        QCOMPARE(q.drop(local, &desktop, QPoint(20, 20)), QString("refused"));
        QCOMPARE(q.drop(local, remote.get(), QPoint(20, 20)), QString("ignored"));
        QCOMPARE(q.running->topLevelItemCount(), 1);
        TreeItemWidget* download = q.row(q.running, 0);
        QCOMPARE(download->text(QueueColumn::File), q.home.path() + "/big.bin");
        QCOMPARE(q.engine()->status(download->commandId()), int(StatusPaused));
        QTRY_VERIFY(QFileInfo(q.home.path() + "/Empty").isDir()); // a dragged folder is made
        const QPoint below(20, q.remote->viewport()->height() - 5);
        q.drop(q.remote, own.get(), below);
        q.drop(q.remote, &desktop, below);
        QCOMPARE(q.running->topLevelItemCount(), 3);
        QCOMPARE(q.row(q.running, 2)->text(QueueColumn::File), q.home.path() + "/up.txt");

        const auto part = [&] { return QFileInfo(q.home.path() + "/big.bin.201.part").size(); };
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_VERIFY_WITH_TIMEOUT(part() > 100000, 10000);
        ModalAnswer::click(q.window.get(), "Pause All");
        QTest::qWait(1000);
        const qint64 held = part();
        QTest::qWait(1000);
        QCOMPARE(part(), held);
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 3, 30000);
        QCOMPARE(StandIn::sha256Of(q.home.path() + "/big.bin"),
                 q.service.fileSha256("alice", "201"));

        QSignalSpy moves(q.remote, &TreeWidget::di_startMove);
        std::unique_ptr<QMimeData> two(q.remoteDrag({"big.bin", "Empty"}));
        const QPoint onFolder = q.remote->visualItemRect(q.item("Docs")).center();
        QCOMPARE(q.drop(q.remote, two.get(), q.remote->visualItemRect(q.item("big.bin")).center()),
                 QString("refused"));
        q.drop(q.remote, two.get(), onFolder, Qt::MoveAction);
        QVERIFY(moves.isEmpty());
        q.drop(q.remote, two.get(), onFolder);
        QCOMPARE(moves.size(), 1);
        QStringList moved = moves.at(0).at(0).toStringList();
        moved.sort(); // the order of the dragged entries does not matter
        QCOMPARE(moved, (QStringList{"20", "201"}));
        QCOMPARE(moves.at(0).at(1).toString(), QString("10"));
    }

    // Names in a drag come from any program: only plain file names join the local folder. An
    // account that may not download gets no row, and is told once for the whole selection, not once
    // per file from the later slices of the feed, box over box.
    void refusedDownloadsMakeNoRow_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("dropped"); // dropped names, or F3 on the pane's rows
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("told"); // each in the one message shown
        QTest::addColumn<int>("rows");
        const QStringList leaving{"../escape.bin", "/etc/passwd2", "a/b", "a\\b", "..", "."};
        QStringList told;
        for (const QString& name : leaving)
            told << "\n" + name;
        QTest::newRow("names that leave the folder")
            << "alice" << true << leaving + QStringList{"a..b", "big.bin"} << told << 2;
        const QStringList off{"Can NOT Download"};
        QTest::newRow("downloads off: a drop")
            << "bob" << true << QStringList{"b.txt", "c.txt"} << off << 0;
        QTest::newRow("downloads off: F3 on a folder and a file")
            << "bob" << false << QStringList{"Inbox", "b.txt"} << off << 0;
    }

    void refusedDownloadsMakeNoRow()
    {
        QFETCH(QString, user);
        QFETCH(bool, dropped);
        QFETCH(QStringList, names);
        QFETCH(QStringList, told);
        Session q;
        QVERIFY(q.open(user, user == "bob" ? "pw/with/slash" : "secret"));
        const int shown = q.prompt->calls.size(); // the login may tell its reasons
        if (dropped)
            q.startDownloads(names, QStringList(names.size(), user == "bob" ? "501" : "201"));
        else
            q.download(names);
        QTest::qWait(300);
        QTEST(q.running->topLevelItemCount(), "rows");
        QCOMPARE(q.prompt->calls.size(), shown + 1);
        for (const QString& text : told)
            QVERIFY2(q.prompt->calls.last().text.contains(text), qPrintable(text));
        QCOMPARE(q.errors->topLevelItemCount(), 0);
    }

    // Pasted links, one dialog at a time: the check's progress while it runs, then one report of
    // the links the service did not confirm; the progress never comes back over it. A user who
    // cancels a slow check keeps the links already confirmed; each link is asked once.
    void pastedLinksInOneFlow()
    {
        const QStringList ids{"101/a.txt", "999/gone.txt", "102/notes.txt"};
        Session q;
        QVERIFY(q.open());
        q.useRealDialogs();
        q.service.addFault(
            {{"kind", "checklink"}, {"action", "delay"}, {"seconds", 5}, {"file", "102"}});
        ModalAnswer::Watch user(
            [&](QWidget* dialog) {
                if (dialog->inherits("DownloadList")) {
                    dialog->findChild<QPlainTextEdit*>()->setPlainText(
                        "https://127.0.0.1/f/" + ids.join("\nhttps://127.0.0.1/f/"));
                    ModalAnswer::click(dialog, "Download");
                    return;
                }
                ModalAnswer::click(dialog, qobject_cast<QMessageBox*>(dialog) ? "OK" : "Cancel");
            },
            600);
        for (QAction* action : q.window->findChildren<QAction*>()) {
            if (action->text() == "&Download-Links")
                action->trigger();
        }
        QCOMPARE(q.running->topLevelItemCount(), 1);
        QCOMPARE(q.row(q.running, 0)->text(QueueColumn::File), q.home.path() + "/a.txt");
        QTest::qWait(800);
        QStringList others = user.shown;
        QVERIFY(others.removeAll("QProgressDialog") <= 1); // shown when the check takes a while
        QCOMPARE(others, (QStringList{"DownloadList",
                                      "QMessageBox: INVALID LINK2: Error: file not found"}));
        QCOMPARE(user.mostAtOnce, 1);
        QCOMPARE(q.service.requests("checklink").size(), ids.size());
    }

    // Whole remote folders: listed to the bottom, made under the local folder on show, every file
    // downloaded into its place byte for byte; names that are no plain names never write anywhere;
    // a tree past the bounds, a failed or a cancelled listing queue nothing at all.
    void downloadsWholeFolders_data()
    {
        QTest::addColumn<QString>("how"); // "F3", or "Esc" (F3, then Esc while listing)
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QJsonArray>("faults"); // of the listings, in turn
        // Below the local folder once all are done, folders ending in "/", files with their ids.
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("status");
        QTest::newRow("nested tree with hostile names")
            << "F3" << QStringList{"Tree"} << QJsonArray{}
            << "Tree/ Tree/sub/ Tree/sub/Void/ Tree/sub/deeper/ "
               "Tree/sub/deeper/z.txt=421 "
               "Tree/sub/y.txt=411 Tree/x.bin=401"
            << "Tree: 3 files queued, 6 skipped (see the log)";
        QTest::newRow("deeper than the bound")
            << "F3" << QStringList{"Deep"} << QJsonArray{} << QString()
            << "Deep is nested more than 32 folders deep; nothing was queued";
        QTest::newRow("a listing below the folder fails")
            << "F3" << QStringList{"Docs"}
            << QJsonArray{QJsonObject{{"kind", "listing"}, {"action", "delay"}, {"seconds", 0}},
                          QJsonObject{{"kind", "listing"}, {"action", "refuse"}, {"text", "Gone"}}}
            << QString() << "Listing /Docs/Old failed: Gone; nothing was queued";
        QTest::newRow("cancel while listing")
            << "Esc" << QStringList{"Docs"}
            << QJsonArray{QJsonObject{{"kind", "listing"}, {"action", "delay"}, {"seconds", 4}}}
            << QString() << "Listing Docs cancelled; nothing was queued";
    }

    void downloadsWholeFolders()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, folders);
        QFETCH(QJsonArray, faults);
        QFETCH(QString, shape);
        Session q(folderScenario());
        QVERIFY(q.open());
        auto* statusBar = q.window->findChild<DStatusBarWidget*>();
        auto* cancel = q.window->findChild<QToolButton*>("cancelListing");
        // Downloads go to the local folder on show.
        const QString target = q.home.path() + "/dl";
        QVERIFY(QDir().mkpath(target));
        q.window->findChild<QComboBox*>("leftPathBox")->lineEdit()->setText(target);
        const QStringList homeBefore = QDir(q.home.path()).entryList(QDir::AllEntries);
        for (const QJsonValue& fault : faults)
            q.service.addFault(fault.toObject());

        q.download(folders);
        if (how == "Esc") {
            QTRY_VERIFY(cancel->isVisible());
            QTest::keyClick(q.remote, Qt::Key_Escape);
            QTest::qWait(4500); // the delayed answer comes to nothing
        }
        QFETCH(QString, status);
        QTRY_COMPARE_WITH_TIMEOUT(statusBar->message(), status, 20000);
        QVERIFY(!cancel->isVisible());

        const QStringList entries = shape.split(' ', Qt::SkipEmptyParts);
        const QStringList files = entries.filter("=");
        QTRY_COMPARE(q.running->topLevelItemCount(), files.size());
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), files.size(), 20000);
        QCOMPARE(shapeOf(target).join(' '), shape.remove(QRegularExpression("=\\d+")));
        for (const QString& file : files)
            QCOMPARE(StandIn::sha256Of(target + "/" + file.section('=', 0, 0)),
                     q.service.fileSha256("alice", file.section('=', 1)));
        // Nothing landed beside the local folder.
        QCOMPARE(QDir(q.home.path()).entryList(QDir::AllEntries), homeBefore);
        QVERIFY(q.prompt->calls.isEmpty());
    }

    // A folder's listing that ends while a dialog is open asks about its files only after that
    // dialog has closed, never over it.
    void folderFilesWaitForAnOpenDialog()
    {
        Session q(folderScenario());
        QVERIFY(q.open());
        q.useRealDialogs();
        const QString target = q.home.path() + "/dl";
        QVERIFY(writeFile(target + "/Tree/x.bin", "the user's own"));
        q.window->findChild<QComboBox*>("leftPathBox")->lineEdit()->setText(target);
        auto* statusBar = q.window->findChild<DStatusBarWidget*>();
        QMessageBox busy(QMessageBox::Information, "Busy", "open", QMessageBox::Ok, q.window.get());
        ModalAnswer::Watch watch(
            [&](QWidget* dialog) {
                if (dialog != &busy)
                    dialog->close();
            },
            100);
        QTimer::singleShot(0, q.window.get(), [&] {
            q.download({"Tree"});
            (void)QTest::qWaitFor([&] { return statusBar->message().startsWith("Tree:"); });
            QTest::qWait(300);
            busy.close();
        });
        busy.exec();
        QTRY_COMPARE(watch.shown.size(), 2); // then the question about x.bin
        QCOMPARE(watch.mostAtOnce, 1);
        QCOMPARE(readFile(target + "/Tree/x.bin"), QByteArray("the user's own"));
    }

    // With "StartTransfersAtOnce" in the settings, a download starts by itself. One that failed for
    // good goes to the error list with its reason as the tool tip; "Retry" moves it back to the
    // queue, where it goes on from its partial file and ends with every byte right. The success
    // list opens the file and its folder and copies its link. A click on a link's text opens the
    // file's page (where the service's pages are served elsewhere, there), one beside it in the
    // cell only selects the cell; the account information's anchors open in the browser, web
    // addresses only.
    void finishedAndFailedRows()
    {
        DTimings::setScale(0.01); // quick retries take milliseconds
        const auto scale = qScopeGuard([] { DTimings::setScale(1); });
        m_opened.clear();
        Session q;
        QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
            .setValue("StartTransfersAtOnce", true);
        QVERIFY(q.open());
        q.service.addFault({{"kind", "download"}, {"action", "cut"}, {"bytes", 300000}});
        // Every later attempt finds the file gone: an extra attempt on a slow machine (a stalled
        // connection given up) must not use up the failure and let the download succeed.
        q.service.addFault({{"kind", "download"}, {"action", "missing"}, {"times", 0}});
        q.download({"big.bin"});
        QTRY_COMPARE_WITH_TIMEOUT(q.errors->topLevelItemCount(), 1, 60000);
        const QString reason = q.row(q.errors, 0)->text(QueueColumn::State);
        QVERIFY(!reason.isEmpty());
        QCOMPARE(q.row(q.errors, 0)->toolTip(QueueColumn::File), reason);
        const qint64 kept = QFileInfo(q.home.path() + "/big.bin.201.part").size();
        QVERIFY(kept > 0);

        q.service.reset();
        q.errors->setCurrentItem(q.errors->topLevelItem(0));
        q.chooseInMenu("onFailedTreeContextMenu", "Retry");
        QCOMPARE(q.errors->topLevelItemCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 60000);
        const QString path = q.home.path() + "/big.bin";
        QCOMPARE(StandIn::sha256Of(path), q.service.fileSha256("alice", "201"));
        QCOMPARE(q.service.requests("download").last().toObject().value("range").toString(),
                 QString("bytes=%1-").arg(kept));

        q.successes->setCurrentItem(q.successes->topLevelItem(0));
        for (const char* choice : {"Open", "Open Containing Folder", "Copy Link"})
            q.chooseInMenu("onSucessTreeContextMenu", choice);
        QCOMPARE(QApplication::clipboard()->text(),
                 q.service.files("alice").value("201").toObject().value("link").toString());
        const QModelIndex link = q.remote->model()->index(
            q.remote->indexOfTopLevelItem(q.item("big.bin")), TreeWidgetItem::LinkColumn);
        q.remote->setColumnWidth(TreeWidgetItem::LinkColumn, 2000); // far wider than the text
        q.remote->scrollTo(link);
        const QRect cell = q.remote->visualRect(link);
        qputenv("FERRYDESK_WEB_BASE", q.service.httpBase().toUtf8());
        for (int x : {cell.left() + 10, q.remote->viewport()->width() - 10}) // on it, beside it
            QTest::mouseClick(q.remote->viewport(), Qt::LeftButton, {},
                              QPoint(x, cell.center().y()));
        qunsetenv("FERRYDESK_WEB_BASE");
        QVERIFY(q.remote->selectionModel()->isSelected(link));
        auto* info = q.window->findChild<QTextBrowser*>("infoBrowser");
        for (const char* anchor : {"file:///bin/sh", "http://example.invalid/page"})
            emit info->anchorClicked(QUrl(anchor));
        QCOMPARE(m_opened,
                 (QList<QUrl>{QUrl::fromLocalFile(path), QUrl::fromLocalFile(q.home.path()),
                              QUrl(q.service.httpBase() + "/f/201/big.bin.file"),
                              QUrl("http://example.invalid/page")}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
