#include "engine/dcommandmanager.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "ui/mainwindow.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTreeView>
#include <QtTest>

#include <functional>
#include <memory>

// Records the links the window hands to the desktop instead of opening a browser.
class LinkCatcher : public QObject
{
    Q_OBJECT
public:
    LinkCatcher()
    {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "catchUrl");
    }
    ~LinkCatcher() override
    {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
    QList<QUrl> urls;

public slots:
    void catchUrl(const QUrl& url) { urls.append(url); }
};

// The window against the stand-in service, with its own HOME and a download folder.
struct Session
{
    TestHome home;
    StandIn service;
    std::unique_ptr<MainWindow> window;
    QString downloads;

    bool start(const QString& user = QStringLiteral("alice"),
               const QString& password = QStringLiteral("secret"))
    {
        if (!service.start())
            return false;
        service.applyEnvironment();
        downloads = home.path() + QStringLiteral("/Downloads");
        QDir().mkpath(downloads);
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        settings.setValue("LastUserName", user);
        settings.setValue("LastPassWord", password);
        settings.setValue("ShowDownloadList", false);
        settings.setValue("leftDirectory", downloads);
        settings.sync();
        window = std::make_unique<MainWindow>();
        return true;
    }

    // Shows the window and waits for the root listing after the automatic login.
    bool showLoggedIn()
    {
        window->show();
        return QTest::qWaitFor([this] { return tree()->topLevelItemCount() > 0; }, 10000);
    }

    TreeWidget* tree() const { return window->findChild<TreeWidget*>("rightTree"); }
    QComboBox* pathBox() const { return window->findChild<QComboBox*>("rightPathBox"); }
    QString statusMessage() const
    {
        return window->findChild<QStatusBar*>("rightStatusBar")->currentMessage();
    }
    TreeWidgetItem* row(const QString& name) const
    {
        const auto found = tree()->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? nullptr : static_cast<TreeWidgetItem*>(found.first());
    }
    QStringList names() const
    {
        QStringList result;
        for (int i = 0; i < tree()->topLevelItemCount(); ++i)
            result.append(tree()->topLevelItem(i)->text(0));
        return result;
    }
    // Opens a folder row as a double click does and waits for its listing.
    bool open(const QString& name, const QString& expectFirst)
    {
        emit tree()->itemActivated(row(name), 0);
        return QTest::qWaitFor([&] { return row(expectFirst) != nullptr; }, 10000);
    }
    void selectOnly(const QStringList& names) const
    {
        tree()->clearSelection();
        for (const QString& name : names)
            row(name)->setSelected(true);
    }
    QAction* rightAction(const QString& text) const
    {
        for (QAction* action : tree()->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }
};

namespace {

// Runs `act` on the next modal dialog once it is shown.
void whenDialogShows(std::function<void(QWidget*)> act)
{
    QTimer::singleShot(0, [act] {
        QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
        act(QApplication::activeModalWidget());
    });
}

QSize screenSize()
{
    return QGuiApplication::primaryScreen()->availableGeometry().size();
}

QPushButton* button(QWidget* dialog, const QString& text)
{
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

// Types `text` into the dialog's line edit and presses `buttonText`; records the title.
void answerNameDialog(QString* title, const QString& text, const QString& buttonText)
{
    whenDialogShows([=](QWidget* dialog) {
        *title = dialog->windowTitle();
        dialog->findChild<QLineEdit*>()->setText(text);
        button(dialog, buttonText)->click();
    });
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The engine's own message boxes answer themselves.
        qputenv("FERRYDESK_NONINTERACTIVE", "1");
    }

    // A window that was never shown contacts nobody; its first show builds it, starts the
    // engine and logs in with the last account; the path box holds "/" exactly once however
    // often the user logs out and in again.
    void firstShowStartsAndLogsIn()
    {
        Session s;
        QVERIFY(s.start());
        QTest::qWait(200);
        QVERIFY(!s.window->isBuilt());
        QVERIFY(s.service.requests().isEmpty());
        QVERIFY(s.showLoggedIn());
        QCOMPARE(s.window->windowTitle(), QString("Ferrydesk 2.56"));
        QCOMPARE(s.service.requests("startup").size(), 1);
        QCOMPARE(s.service.requests("login").size(), 1);
        QCOMPARE(s.window->loginActionText(), QString("&Logout"));
        QCOMPARE(s.pathBox()->currentText(), QString("/"));

        for (int round = 0; round < 2; ++round) {
            s.window->menuBar()->actions().at(0)->trigger(); // log out
            QCOMPARE(s.window->loginActionText(), QString("&Login"));
            QVERIFY(s.pathBox()->currentText().isEmpty());
            QTRY_COMPARE(s.tree()->topLevelItemCount(), 0);
            s.window->engine()->login("alice", "secret");
            QTRY_COMPARE(s.window->loginActionText(), QString("&Logout"));
        }
        QCOMPARE(s.pathBox()->findText("/"), 0);
        QCOMPARE(s.pathBox()->count(), 1);
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("LastUserName").toString(), QString("alice"));
    }

    // Without a stored account the login dialog opens and logs in with what is typed.
    void noStoredAccountOpensTheLoginDialog()
    {
        TestHome home;
        StandIn service;
        QVERIFY(service.start());
        service.applyEnvironment();
        QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
            .setValue("ShowDownloadList", false);
        MainWindow window;
        window.show();
        QDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = window.findChild<QDialog*>()) && dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QString("Login..."));
        QCOMPARE(service.requests("login").size(), 0);
        const auto edits = dialog->findChildren<QLineEdit*>();
        edits.at(0)->setText("alice");
        edits.at(1)->setText("secret");
        button(dialog, "Login")->click();
        QTRY_COMPARE(window.loginActionText(), QString("&Logout"));
        // Without a tray the window really closes, MinToTray or not.
        window.setTrayIconHidden(true);
        QVERIFY(window.close());
    }

    // The menu bar's six actions, and the pane actions that act only in the focused tree.
    void actionsAndShortcuts()
    {
        Session s;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        QStringList menu;
        for (QAction* action : s.window->menuBar()->actions())
            menu.append(action->text() + "=" + action->shortcut().toString());
        QCOMPARE(menu, QStringList({"&Logout=Ctrl+L", "&Option=Ctrl+O", "&Download-Links=Ctrl+D",
                                    "&Refresh=F5", "&Exit=", "&Help=Ctrl+H"}));

        auto* left = s.window->findChild<QTreeView*>("leftTree");
        const auto shortcuts = [](QWidget* tree) {
            QStringList result;
            for (QAction* action : tree->actions()) {
                result.append(action->text() + "=" + action->shortcut().toString());
                if (!action->shortcut().isEmpty() &&
                    action->shortcutContext() != Qt::WidgetShortcut)
                    result.append("wrong context");
            }
            return result;
        };
        QCOMPARE(shortcuts(s.tree()), QStringList({"Rename=F2", "Download=F3", "Delete=Del",
                                                   "Create Folder=F7", "Copy Link Download="}));
        QCOMPARE(shortcuts(left), QStringList({"Upload=F3", "Rename=F2", "Delete=Del",
                                               "Create Folder=F7", "Open="}));

        QSignalSpy download(s.rightAction("Download"), &QAction::triggered);
        QSignalSpy upload(left->actions().at(0), &QAction::triggered);
        s.window->activateWindow();
        left->setFocus();
        QTest::keyClick(left, Qt::Key_F3);
        QCOMPARE(upload.size(), 1);
        QCOMPARE(download.size(), 0);
    }

    // The root listing of the account: folders first in both orders, sizes, link labels,
    // the status message; inside a folder "." and ".." are not counted.
    void remotePaneShowsTheListing()
    {
        Session s;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        QCOMPARE(s.names(), QStringList({"Docs", "Empty", "Media", "big.bin"}));
        s.tree()->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(s.names(), QStringList({"Media", "Empty", "Docs", "big.bin"}));
        QCOMPARE(s.statusMessage(), QString("3 folders 2.0 MB in 1 files"));

        TreeWidgetItem* big = s.row("big.bin");
        QVERIFY(!big->isFolder());
        QCOMPARE(big->entryId(), QString("201"));
        QCOMPARE(big->sizeBytes(), qint64(2097152));
        QCOMPARE(big->text(1), QString("2.0 MB"));
        const QString link =
            s.service.files("alice").value("201").toObject().value("link").toString();
        QVERIFY(!link.isEmpty());
        QCOMPARE(big->linkHtml(), "<html><body> <div><a href=\"" +
                                      QString::fromLatin1(QUrl(link).toEncoded()) + "\">" +
                                      QUrl(link).toString() + "</a></div></body></html>");
        QCOMPARE(big->text(3), QString());
        QVERIFY(s.row("Docs")->isFolder());

        QVERIFY(s.open("Docs", "a.txt"));
        QCOMPARE(s.statusMessage(), QString("1 folders 28 bytes in 2 files"));
        QVERIFY(s.open("Old", "old.txt"));
        QCOMPARE(s.statusMessage(), QString("3 bytes in 1 files"));
        QCOMPARE(s.pathBox()->currentText(), QString("/Docs/Old"));

        // A listing that fails says so and leaves the last entries on show, greyed.
        s.service.addFault({{"kind", "listing"}, {"action", "refuse"}, {"text", "Folder gone"}});
        emit s.tree()->itemActivated(s.row(".."), 0);
        QTRY_COMPARE(s.statusMessage(), QString("Not up to date: Folder gone"));
        QVERIFY(s.row("old.txt"));
        QCOMPARE(s.row("old.txt")->foreground(0).color(),
                 s.tree()->palette().color(QPalette::Disabled, QPalette::Text));
    }

    // Folders through rows and the path box: a path already in the box is not added again,
    // ".." steps up, and choosing a path lists that folder.
    void folderNavigationAndPathBox()
    {
        Session s;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        QVERIFY(s.open("Docs", "a.txt"));
        QVERIFY(s.open("..", "big.bin"));
        QCOMPARE(s.pathBox()->currentText(), QString("/"));
        QVERIFY(s.open("Docs", "a.txt"));
        QStringList items;
        for (int i = 0; i < s.pathBox()->count(); ++i)
            items.append(s.pathBox()->itemText(i));
        QCOMPARE(items, QStringList({"/", "/Docs"}));

        s.pathBox()->setCurrentIndex(0);
        QTRY_VERIFY(s.row("big.bin") != nullptr);
        emit s.tree()->itemActivated(s.row("big.bin"), 0); // a file row opens nothing
        const int before = s.service.requests().size();
        QTest::keyClick(s.tree(), Qt::Key_Backspace);
        QTRY_COMPARE(s.service.requests().size(), before + 1);
        QCOMPARE(s.pathBox()->currentText(), QString("/"));
    }

    // Rename, create, delete and move reach the service, and the pane shows the result;
    // the dialogs carry their titles; a cancelled dialog sends nothing.
    void remoteFileOperations()
    {
        Session s;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        QString title;

        s.selectOnly({"big.bin"});
        answerNameDialog(&title, "renamed.bin", "OK");
        s.rightAction("Rename")->trigger();
        QCOMPARE(title, QString("New Name.."));
        QTRY_VERIFY(s.row("renamed.bin") != nullptr);

        answerNameDialog(&title, "Fresh", "OK");
        s.rightAction("Create Folder")->trigger();
        QCOMPARE(title, QString("Folder Name.."));
        QTRY_VERIFY(s.row("Fresh") != nullptr);

        const int before = s.service.requests().size();
        answerNameDialog(&title, "Never", "Cancel");
        s.rightAction("Create Folder")->trigger();
        s.selectOnly({"Docs", "Empty"});
        s.rightAction("Rename")->trigger(); // two rows: nothing asked
        QCOMPARE(s.service.requests().size(), before);

        // Move "renamed.bin" into "Media" through the folder chooser.
        s.selectOnly({"renamed.bin"});
        whenDialogShows([](QWidget* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("Select destination folder..."));
            auto* list = dialog->findChild<QListWidget*>();
            QStringList offered;
            for (int i = 0; i < list->count(); ++i)
                offered.append(list->item(i)->text());
            offered.sort();
            QCOMPARE(offered, QStringList({"Docs", "Empty", "Fresh", "Media"}));
            list->setCurrentItem(list->findItems("Media", Qt::MatchExactly).first());
            button(dialog, "OK")->click();
        });
        QMetaObject::invokeMethod(s.window.get(), "onMoveFile");
        QTRY_VERIFY(s.row("renamed.bin") == nullptr);
        QVERIFY(s.open("Media", "renamed.bin"));
        QVERIFY(s.open("..", "Fresh"));

        s.selectOnly({"Fresh", "Empty"});
        whenDialogShows([](QWidget* box) {
            QCOMPARE(box->windowTitle(), QString("Confirm delete.."));
            QCOMPARE(static_cast<QMessageBox*>(box)->text(),
                     QString("Do you really want to delete selectedt files/folders ?"));
            button(box, "Yes")->click();
        });
        s.rightAction("Delete")->trigger();
        QTRY_VERIFY(s.row("Fresh") == nullptr && s.row("Empty") == nullptr);
        QCOMPARE(s.service.requests("delete_f").size(), 2);
    }

    // Copying links, and a link from the service that is no web address is not opened.
    void linksGoToTheDesktopOnly()
    {
        Session s;
        LinkCatcher catcher;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        s.selectOnly({"big.bin"});
        s.rightAction("Copy Link Download")->trigger();
        QCOMPARE(QApplication::clipboard()->text(), s.row("big.bin")->directLink());

        auto* info = s.window->findChild<QTextBrowser*>("infoBrowser");
        const QString account = info->toPlainText();
        emit info->anchorClicked(QUrl("http://example.invalid/page"));
        emit info->anchorClicked(QUrl("file:///bin/sh"));
        QCOMPARE(info->toPlainText(), account);
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl("http://example.invalid/page")}));
    }

    // Window keys are written at destruction and read at the next build.
    void windowKeysRoundTrip()
    {
        Session s;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        s.window->resize(700, 650);
        s.window->move(120, 90);
        s.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("size").toSize(), QSize(700, 650));
        for (const char* key : {"state", "geometry", "vSplitterstate", "hSplitterstate"})
            QVERIFY2(settings.contains(key), key);
        QCOMPARE(settings.value("leftDirectory").toString(), s.downloads);
        {
            MainWindow again;
            again.show();
            QCOMPARE(again.size(), QSize(700, 650).boundedTo(screenSize()));
        }
        // A size saved on a larger screen is bounded by this one, which shows the whole window.
        settings.setValue("size", screenSize() + QSize(500, 400));
        settings.setValue("pos", QPoint(3000, 3000));
        settings.sync();
        MainWindow again;
        again.show();
        QCOMPARE(again.size(), screenSize());
        QCOMPARE(again.pos(), QPoint(0, 0));
    }

    // The whole way: automatic login, open a folder, F3 on a file, start it, and the file
    // arrives with the service's bytes.
    void downloadFromTheRemotePane()
    {
        Session s;
        QVERIFY(s.start());
        QVERIFY(s.showLoggedIn());
        QVERIFY(s.open("Media", "clip.mp4"));
        s.selectOnly({"clip.mp4"});
        s.window->activateWindow();
        s.tree()->setFocus();
        QTest::keyClick(s.tree(), Qt::Key_F3);
        QTRY_COMPARE(s.service.requests("dlfile").size(), 1);
        s.window->findChild<QPushButton*>("startAll")->click();
        const QString target = s.downloads + "/clip.mp4";
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(target), 20000);
        QCOMPARE(StandIn::sha256Of(target), s.service.fileSha256("alice", "301"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
