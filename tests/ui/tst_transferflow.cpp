#include "engine/dtimings.h"
#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "ui/dstatusbarwidget.h"
#include "ui/filesystemmodel.h"
#include "ui/treeview.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

QJsonObject file(const QString& name, const QString& id, const QString& content)
{
    return {{"file", name}, {"id", id}, {"content", content}};
}

QJsonObject folder(const QString& name, const QString& id, const QJsonArray& children)
{
    return {{"folder", name}, {"id", id}, {"children", children}};
}

// The test accounts, and for alice also "Tree" (a nested tree among entries whose names are
// no plain names) and "Deep" (33 folders nested below it, one more than a download takes).
QString folderScenario()
{
    QJsonObject root = QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
    QJsonObject accounts = root.value("accounts").toObject();
    QJsonObject alice = accounts.value("alice").toObject();
    QJsonArray tree = alice.value("tree").toArray();
    QJsonObject bin{{"file", "x.bin"}, {"id", "401"}, {"size", 70000}, {"seed", 5}};
    tree.append(folder(
        "Tree", "40",
        {bin, file("..", "402", "up"), file("a/b", "403", "slash"), file("/etc", "404", "root"),
         file("tab\tname.txt", "405", "tab"), file("back\\slash", "406", "back"),
         folder("sub", "41",
                {file("y.txt", "411", "why"), folder("deeper", "42", {file("z.txt", "421", "zed")}),
                 folder("Void", "43", {})}),
         folder("..", "44", {file("escape.txt", "441", "out")}),
         folder(".", "45", {file("dot.txt", "451", "dot")}),
         folder("a/b", "46", {file("slash.txt", "461", "slash")}),
         folder("line\nbreak", "47", {file("n.txt", "471", "n")})}));
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

QMimeData* remoteDrag(QueueWindow& q, const QStringList& names)
{
    QModelIndexList rows;
    for (const QString& name : names)
        rows << q.remote->model()->index(q.remote->indexOfTopLevelItem(q.item(name)), 0);
    return q.remote->model()->mimeData(rows);
}

// Downloads these rows of the remote pane, as F3 does.
void download(QueueWindow& q, const QStringList& names)
{
    q.remote->clearSelection();
    for (const QString& name : names)
        q.item(name)->setSelected(true);
    q.invoke("download");
}

qint64 partialBytes(const QString& folder)
{
    qint64 bytes = 0;
    for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden))
        bytes += entry.fileName().contains(".part") ? entry.size() : 0;
    return bytes;
}

// Opens the context menu that `slot` opens and triggers its action `choice`.
void chooseInMenu(QueueWindow& q, const char* slot, const QString& choice)
{
    QPointer<QTimer> answer = ModalAnswer::next(
        [&](QWidget* widget) {
            widget->close();
            for (QAction* action : widget->actions()) {
                if (action->text() == choice)
                    action->trigger();
            }
        },
        true);
    QMetaObject::invokeMethod(q.window.get(), slot, Q_ARG(QPoint, QPoint()));
    delete answer; // no menu came: the answer must not outlive `choice`
}

} // namespace

// Transfers driven through the window against the stand-in service: drags between the panes,
// the queue buttons, whole folders, and transfers that are refused, fail or are retried.
class TestTransferFlow : public QObject
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

    void init()
    {
        m_opened.clear();
        DTimings::setScale(1);
    }

    // The local pane takes only the remote pane's drags; a local file dropped on the remote pane
    // uploads. Pause All holds the bytes, Start All finishes both exactly.
    void dragsFeedTheQueueAndTheButtonsDriveIt()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 400}, {"times", 0}});
        auto* local = q.window->findChild<TreeView*>();
        auto* model = static_cast<FileSystemModel*>(local->model());
        const QString path = q.home.path() + "/report.txt";
        QVERIFY(writeFile(path, QByteArray(300000, 'r')));
        std::unique_ptr<QMimeData> own(model->mimeData({model->index(path)}));
        QMimeData desktop;
        desktop.setUrls({QUrl::fromLocalFile(path)});
        std::unique_ptr<QMimeData> remote(remoteDrag(q, {"big.bin"}));
        QCOMPARE(q.drop(local, own.get(), QPoint(20, 20)), QString("refused"));
        QCOMPARE(q.drop(local, &desktop, QPoint(20, 20)), QString("refused"));
        QCOMPARE(q.drop(local, remote.get(), QPoint(20, 20)), QString("ignored"));
        QCOMPARE(q.running->topLevelItemCount(), 1);
        TreeItemWidget* download = q.row(q.running, 0);
        QCOMPARE(download->text(QueueColumn::File), q.home.path() + "/big.bin");
        q.drop(q.remote, own.get(), QPoint(20, q.remote->viewport()->height() - 5));
        QCOMPARE(q.row(q.running, 1)->direction(), int(CmdUpload));

        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_VERIFY_WITH_TIMEOUT(partialBytes(q.home.path()) > 100000, 10000);
        ModalAnswer::click(q.window.get(), "Pause All");
        QCOMPARE(download->text(QueueColumn::State), QString("Paused"));
        QTest::qWait(1000);
        const qint64 held = partialBytes(q.home.path());
        QTest::qWait(1000);
        QCOMPARE(partialBytes(q.home.path()), held);
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 2, 30000);
        QCOMPARE(StandIn::sha256Of(q.home.path() + "/big.bin"),
                 q.service.fileSha256("alice", "201"));
    }

    // The remote pane's own drags land on folder rows (moving every dragged entry there), never
    // on a file row, and only with the copy action; desktop drops upload files only: no
    // folders, nothing missing, nothing remote.
    void remotePaneDropRules()
    {
        QueueWindow q;
        QVERIFY(q.open());
        QSignalSpy moves(q.remote, &TreeWidget::di_startMove);
        QSignalSpy copies(q.remote, &TreeWidget::di_startCopy);
        std::unique_ptr<QMimeData> own(remoteDrag(q, {"big.bin", "Empty"}));
        const QPoint onFolder = q.remote->visualItemRect(q.item("Docs")).center();
        QCOMPARE(q.drop(q.remote, own.get(), q.remote->visualItemRect(q.item("big.bin")).center()),
                 QString("refused"));
        q.drop(q.remote, own.get(), onFolder, Qt::MoveAction);
        QVERIFY(moves.isEmpty());
        q.drop(q.remote, own.get(), onFolder);
        QCOMPARE(moves.size(), 1);
        QStringList moved = moves.at(0).at(0).toStringList();
        moved.sort(); // the order of the dragged entries does not matter
        QCOMPARE(moved, (QStringList{"20", "201"}));
        QCOMPARE(moves.at(0).at(1).toString(), QString("10"));

        const QString path = q.home.path() + "/up.txt";
        QVERIFY(writeFile(path, "up"));
        QMimeData desktop;
        desktop.setUrls({QUrl::fromLocalFile(path), QUrl::fromLocalFile(q.home.path()),
                         QUrl::fromLocalFile(q.home.path() + "/gone.txt"),
                         QUrl("http://127.0.0.1/remote.txt")});
        q.drop(q.remote, &desktop, QPoint(5, q.remote->viewport()->height() - 5));
        QCOMPARE(copies.size(), 1);
        QCOMPARE(copies.at(0).at(0).toStringList(), QStringList{path});
    }

    // Names in a drag come from any program: only plain file names join the local folder. An
    // account that may not download gets no row, and is told once for the whole selection, not
    // once per file from the later slices of the feed, box over box.
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
        QFETCH(int, rows);
        QueueWindow q;
        QVERIFY(q.open(user, user == "bob" ? "pw/with/slash" : "secret"));
        const int shown = q.prompt->calls.size(); // the login may tell its reasons
        if (dropped)
            q.startDownloads(names, QStringList(names.size(), user == "bob" ? "501" : "201"));
        else
            download(q, names);
        QTest::qWait(300);
        QCOMPARE(q.running->topLevelItemCount(), rows);
        QCOMPARE(q.prompt->calls.size(), shown + 1);
        for (const QString& text : told)
            QVERIFY2(q.prompt->calls.last().text.contains(text), qPrintable(text));
        QCOMPARE(q.errors->topLevelItemCount(), 0);
    }

    // Pasted links, one dialog at a time: the check's progress while it runs, then one report
    // of the links the service did not confirm; the progress never comes back over it. A user
    // who cancels a slow check keeps the links already confirmed.
    void pastedLinksInOneFlow_data()
    {
        QTest::addColumn<QStringList>("ids");
        QTest::newRow("quick check") << QStringList{"101/a.txt", "999/gone.txt"};
        QTest::newRow("slow check cancelled")
            << QStringList{"101/a.txt", "999/gone.txt", "102/notes.txt"};
    }

    void pastedLinksInOneFlow()
    {
        QFETCH(QStringList, ids);
        QueueWindow q;
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
        QCOMPARE(q.service.requests("checklink").size(), ids.size()); // each link asked once
    }

    // Whole remote folders: listed to the bottom, made under the local folder on show, every
    // file downloaded into its place byte for byte; names that are no plain names never write
    // anywhere; a tree past the bounds, a failed or a cancelled listing queue nothing at all.
    void downloadsWholeFolders_data()
    {
        QTest::addColumn<QString>("how"); // "F3", "drag" or "Esc" (F3, then Esc while listing)
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QJsonArray>("faults"); // of the listings, in turn
        // Below the local folder once all are done, folders ending in "/", files with their ids.
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("status");
        QTest::newRow("drag of folders and a file")
            << "drag" << QStringList{"Media", "Empty", "big.bin"} << QJsonArray{}
            << "Empty/ Media/ Media/clip.mp4=301 big.bin=201"
            << "2 folders: 1 files queued";
        QTest::newRow("nested tree with hostile names")
            << "F3" << QStringList{"Tree"} << QJsonArray{}
            << "Tree/ Tree/sub/ Tree/sub/Void/ Tree/sub/deeper/ Tree/sub/deeper/z.txt=421 "
               "Tree/sub/y.txt=411 Tree/x.bin=401"
            << "Tree: 3 files queued, 9 skipped (see the log)";
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
        QueueWindow q(folderScenario());
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

        if (how == "drag") {
            std::unique_ptr<QMimeData> data(remoteDrag(q, folders));
            QCOMPARE(q.drop(q.window->findChild<TreeView*>(), data.get(), QPoint(20, 20)),
                     QString("ignored"));
        } else {
            download(q, folders);
        }
        if (how == "Esc") {
            QTRY_COMPARE(statusBar->message(), QString("Listing Docs: 0 files"));
            QVERIFY(cancel->isVisible());
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

    // A download that failed for good goes to the error list with its reason as the tool tip;
    // "Retry" moves it back to the queue, where it goes on from its partial file and ends with
    // every byte right. The success list opens the file and its folder, and copies its link.
    void finishedAndFailedRows()
    {
        DTimings::setScale(0.01); // quick retries take milliseconds
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault({{"kind", "download"}, {"action", "cut"}, {"bytes", 300000}});
        // Every later attempt finds the file gone: an extra attempt on a slow machine (a stalled
        // connection given up) must not use up the failure and let the download succeed.
        q.service.addFault({{"kind", "download"}, {"action", "missing"}, {"times", 0}});
        download(q, {"big.bin"});
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.errors->topLevelItemCount(), 1, 60000);
        const QString reason = q.row(q.errors, 0)->text(QueueColumn::State);
        QVERIFY(!reason.isEmpty());
        QCOMPARE(q.row(q.errors, 0)->toolTip(QueueColumn::File), reason);
        const qint64 kept = QFileInfo(q.home.path() + "/big.bin.201.part").size();
        QVERIFY(kept > 0);

        q.service.reset();
        q.errors->setCurrentItem(q.errors->topLevelItem(0));
        chooseInMenu(q, "onFailedTreeContextMenu", "Retry");
        QCOMPARE(q.errors->topLevelItemCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 60000);
        const QString path = q.home.path() + "/big.bin";
        QCOMPARE(StandIn::sha256Of(path), q.service.fileSha256("alice", "201"));
        QCOMPARE(q.service.requests("download").last().toObject().value("range").toString(),
                 QString("bytes=%1-").arg(kept));

        q.successes->setCurrentItem(q.successes->topLevelItem(0));
        for (const char* choice : {"Open", "Open Containing Folder", "Copy Link"})
            chooseInMenu(q, "onSucessTreeContextMenu", choice);
        QCOMPARE(m_opened,
                 (QList<QUrl>{QUrl::fromLocalFile(path), QUrl::fromLocalFile(q.home.path())}));
        QCOMPARE(QApplication::clipboard()->text(),
                 q.service.files("alice").value("201").toObject().value("link").toString());
    }

    // Paused is the default start. With "Start transfers as soon as they are queued" ticked in
    // the preferences, a new transfer queues to start at once, within the limits; the choice is
    // kept in the settings file.
    void startAtOnce_data()
    {
        QTest::addColumn<bool>("tick");
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("default: paused") << false << QList<int>{StatusPaused, StatusPaused};
        QTest::newRow("ticked: one runs, one waits its turn")
            << true << QList<int>{StatusRunning, StatusResumeQueued};
    }

    void startAtOnce()
    {
        QFETCH(bool, tick);
        QFETCH(QList<int>, statuses);
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 64}, {"times", 0}});
        ModalAnswer::next([&](QWidget* dialog) {
            for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
                if (edit->text() == QString::number(q.engine()->maxDownloads()))
                    edit->setText("1"); // "Limit for concurrent downloads:"
            }
            for (QCheckBox* box : dialog->findChildren<QCheckBox*>()) {
                if (box->text() == "Start transfers as soon as they are queued")
                    box->setChecked(tick);
            }
            ModalAnswer::click(dialog, "OK");
        });
        q.invoke("onOptions");
        download(q, {"big.bin"});
        emit q.remote->itemActivated(q.item("Media"), 0);
        QTRY_VERIFY(q.item("clip.mp4"));
        download(q, {"clip.mp4"});
        QCOMPARE(q.running->topLevelItemCount(), 2);
        const int first = q.row(q.running, 0)->commandId();
        QTRY_COMPARE(q.engine()->status(first), statuses.at(0));
        QTest::qWait(300); // and stays so
        QCOMPARE(q.engine()->status(first), statuses.at(0));
        QCOMPARE(q.engine()->status(q.row(q.running, 1)->commandId()), statuses.at(1));

        q.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("StartTransfersAtOnce").toBool(), tick);
    }
};

QTEST_MAIN(TestTransferFlow)
#include "tst_transferflow.moc"
