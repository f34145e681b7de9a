#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "ui/treeview.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTextBrowser>
#include <QtTest>

// The window against the stand-in service, with the remote pane at hand.
struct Session : QueueWindow
{
    QComboBox* pathBox() const { return window->findChild<QComboBox*>("rightPathBox"); }
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
};

namespace {

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
    // dialog is given, remembered as the last account. After a log out and a new login the path
    // box holds "/" once. Window keys are written at destruction and read at the next build; a
    // size saved on a larger screen is bounded by this one, which shows the whole window.
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
        QCOMPARE(boxItems(s.pathBox()), QStringList{"/"});
        // Without a tray the window really closes, MinToTray or not.
        s.window->setTrayIconHidden(true);
        s.window->resize(700, 650);
        QVERIFY(s.window->close());
        s.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("LastUserName").toString(), QString("alice"));
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

    // Folders come first in both orders; "." and ".." are not counted. Folders open through rows
    // and the path box, which takes each path once; ".." and Backspace step up. A failed listing
    // leaves the last entries on show, greyed. Pane keys act only in the focused tree: F3 uploads
    // from the local pane and downloads from the remote one; F5 re-reads the focused pane only.
    void remotePane()
    {
        Session s;
        QVERIFY(s.open());
        QCOMPARE(s.names(), QStringList({"Docs", "Empty", "Media", "big.bin"}));
        s.remote->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(s.names(), QStringList({"Media", "Empty", "Docs", "big.bin"}));

        QVERIFY(s.openFolder("Docs", "a.txt"));
        QCOMPARE(s.window->findChild<QStatusBar*>("rightStatusBar")->currentMessage(),
                 QString("1 folders 28 bytes in 2 files"));
        QVERIFY(s.openFolder("Old", "old.txt"));
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

    // Rename, delete and new folders reach the service, one request per entry, and the pane
    // shows the result; "Cancel" sends nothing, rename of two rows asks nothing. A listing that
    // lands while the dialog is open replaces every row: the answer still goes to the entries
    // the user chose, through one dialog.
    void remoteEdits_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<QString>("answer");   // "<button>:<typed name>"; none: no dialog
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
        QPointer<QTimer> user = ModalAnswer::next([&](QWidget* dialog) {
            modals = ModalAnswer::openCount();
            // A finished upload re-lists the folder while the user makes up their mind.
            s.engine()->listFolder(QString(), "/");
            (void)QTest::qWaitFor([&] { return listed; }, 10000);
            if (auto* edit = dialog->findChild<QLineEdit*>())
                edit->setText(answer.section(':', 1));
            ModalAnswer::click(dialog, answer.section(':', 0, 0));
        });
        s.trigger(action);
        delete user; // no dialog came: the answer must not outlive this test
        QCOMPARE(modals, answer.isEmpty() ? 0 : 1);
        const QString kind = requests.section(": ", 0, 0);
        const QStringList fields = requests.section(": ", 1).split(", ", Qt::SkipEmptyParts);
        QTRY_COMPARE(s.requestFields(kind).size(), fields.size());
        QCOMPARE(s.requestFields(kind), fields);
        QFETCH(QString, after);
        QTRY_COMPARE(s.item(after.mid(1)) != nullptr, after.startsWith('+'));
    }

    // Moving /Docs/Old/old.txt: the chooser offers ".." as the parent folder (its id comes with
    // the listing); picked, or opened and then OK with no entry selected, it moves the file to
    // /Docs (id 10).
    void moveChooser_data()
    {
        QTest::addColumn<bool>("open");       // a double click on "..", else a pick of it
        QTest::addColumn<QString>("offered"); // the entries offered, then the path shown
        QTest::newRow("the parent entry") << false << ".. | /Docs/Old";
        QTest::newRow("up one level, then OK") << true << ".. | Old | /Docs";
    }

    void moveChooser()
    {
        QFETCH(bool, open);
        QFETCH(QString, offered);
        Session s;
        QVERIFY(s.open());
        QVERIFY(s.openFolder("Docs", "a.txt") && s.openFolder("Old", "old.txt"));
        s.selectOnly({"old.txt"});
        QStringList seen;
        ModalAnswer::next([&](QWidget* dialog) {
            auto* list = dialog->findChild<QListWidget*>();
            QListWidgetItem* entry = list->findItems("..", Qt::MatchExactly).value(0);
            QVERIFY(entry);
            const QPoint at = list->visualItemRect(entry).center();
            if (open) {
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
        QCOMPARE(seen.join(" | "), offered);
        QTRY_COMPARE(s.requestFields("move_f").size(), 1);
        QCOMPARE(s.requestFields("move_f").value(0).section('/', 0, 1), QString("111/10"));
        QTRY_VERIFY(s.item("old.txt") == nullptr);
    }
    // The account information's anchors and the link cells open in the browser, web addresses
    // only. A click in a link cell beside the link's text only selects the cell. Where the
    // service's web pages are served elsewhere, file links go there.
    void openingLinks_data()
    {
        QTest::addColumn<QString>("click");  // "anchor:<address>", "text" or "beside" it
        QTest::addColumn<bool>("webBase");   // pages served by the stand-in
        QTest::addColumn<QString>("opened"); // "$BASE": the stand-in's http address
        const auto row = [](const char* name, const QString& click, bool webBase,
                            const QString& opened) {
            QTest::newRow(name) << click << webBase << opened;
        };
        row("file link, pages served elsewhere", "text", true, "$BASE/f/201/big.bin.file");
        row("click beside the link's text", "beside", false, "");
        row("anchor", "anchor:http://example.invalid/page", false, "http://example.invalid/page");
        row("anchor that is no web address", "anchor:file:///bin/sh", false, "");
    }

    void openingLinks()
    {
        QFETCH(QString, click);
        QFETCH(bool, webBase);
        QFETCH(QString, opened);
        Session s;
        QVERIFY(s.open());
        const QString base = s.service.httpBase();
        if (webBase)
            qputenv("FERRYDESK_WEB_BASE", base.toUtf8());
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
        if (click.startsWith("anchor:"))
            emit info->anchorClicked(QUrl(click.mid(7)));
        else
            QTest::mouseClick(
                s.remote->viewport(), Qt::LeftButton, {},
                QPoint(click == "text" ? cell.left() + 10 : width - 10, cell.center().y()));
        qunsetenv("FERRYDESK_WEB_BASE");

        QCOMPARE(m_opened, opened.isEmpty() ? QList<QUrl>{}
                                            : QList<QUrl>{QUrl(opened.replace("$BASE", base))});
        QCOMPARE(info->toPlainText(), account);
        if (click == "beside")
            QVERIFY(s.remote->selectionModel()->isSelected(link));
    }

    // The local pane starts at the saved folder. Delete asks once, then removes files only; a
    // new folder keeps existing names and never climbs out; an upload of folders starts nothing.
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
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
