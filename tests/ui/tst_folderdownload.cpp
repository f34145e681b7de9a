#include "engine/dglobals.h"
#include "tests/ui/queuewindow.h"
#include "ui/dstatusbarwidget.h"
#include "ui/treeview.h"

#include <QComboBox>
#include <QDirIterator>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMimeData>
#include <QToolButton>
#include <QtTest>

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
QString scenario()
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

// Drags `data` over the local view and drops it there.
void dropOnLocal(QAbstractItemView* view, QMimeData* data)
{
    const QPoint pos(20, 20);
    QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QVERIFY(move.isAccepted());
    QDropEvent drop(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &drop);
}

} // namespace

// Whole remote folders through the window: listed to the bottom, made under the local folder
// on show, every file downloaded into its place byte for byte; names that are no plain names
// never write anywhere; a tree past the bounds, a failed or a cancelled listing queue nothing.
class TestFolderDownload : public QObject
{
    Q_OBJECT

private slots:
    void downloadsWholeFolders_data()
    {
        QTest::addColumn<QString>("how"); // "F3", "drag" or "Esc" (F3, then Esc while listing)
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QStringList>("shape");   // below the local folder, once all are done
        QTest::addColumn<QStringList>("fileIds"); // the files of `shape`, in its order
        QTest::addColumn<QString>("status");

        QTest::newRow("F3 on a folder")
            << "F3" << QStringList{"Docs"}
            << QStringList{"Docs/", "Docs/Old/", "Docs/Old/old.txt", "Docs/a.txt", "Docs/notes.txt"}
            << QStringList{"111", "101", "102"} << "Docs: 3 files queued";
        QTest::newRow("drag of folders and a file")
            << "drag" << QStringList{"Media", "Empty", "big.bin"}
            << QStringList{"Empty/", "Media/", "Media/clip.mp4", "big.bin"}
            << QStringList{"301", "201"} << "2 folders: 1 files queued";
        QTest::newRow("nested tree with hostile names")
            << "F3" << QStringList{"Tree"} << QStringList{"Tree/",
                                                          "Tree/sub/",
                                                          "Tree/sub/Void/",
                                                          "Tree/sub/deeper/",
                                                          "Tree/sub/deeper/z.txt",
                                                          "Tree/sub/y.txt",
                                                          "Tree/x.bin"}
            << QStringList{"421", "411", "401"} << "Tree: 3 files queued, 9 skipped (see the log)";
        QTest::newRow("deeper than the bound")
            << "F3" << QStringList{"Deep"} << QStringList{} << QStringList{}
            << "Deep is nested more than 32 folders deep; nothing was queued";
        QTest::newRow("cancel while listing")
            << "Esc" << QStringList{"Docs"} << QStringList{} << QStringList{}
            << "Listing Docs cancelled; nothing was queued";
    }

    void downloadsWholeFolders()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, folders);
        QFETCH(QStringList, shape);
        QFETCH(QStringList, fileIds);
        QFETCH(QString, status);

        QueueWindow q(scenario());
        QVERIFY(q.open());
        auto* statusBar = q.window->findChild<DStatusBarWidget*>();
        auto* cancel = q.window->findChild<QToolButton*>("cancelListing");
        auto* local = q.window->findChild<TreeView*>();
        QVERIFY(statusBar && cancel && local);
        // Downloads go to the local folder on show.
        const QString target = q.home.path() + "/dl";
        QVERIFY(QDir().mkpath(target));
        q.window->findChild<QComboBox*>("leftPathBox")->lineEdit()->setText(target);
        const QStringList homeBefore = QDir(q.home.path()).entryList(QDir::AllEntries);
        if (how == "Esc")
            q.service.addFault({{"kind", "listing"}, {"action", "delay"}, {"seconds", 4}});

        if (how == "drag") {
            QModelIndexList rows;
            for (const QString& name : folders)
                rows << q.remote->model()->index(q.remote->indexOfTopLevelItem(q.item(name)), 0);
            std::unique_ptr<QMimeData> data(q.remote->model()->mimeData(rows));
            dropOnLocal(local, data.get());
        } else {
            q.remote->clearSelection();
            for (const QString& name : folders)
                q.item(name)->setSelected(true);
            q.remote->setFocus();
            QTest::keyClick(q.remote, Qt::Key_F3);
        }
        if (how == "Esc") {
            QTRY_COMPARE(statusBar->message(), QString("Listing Docs: 0 files"));
            QVERIFY(cancel->isVisible());
            QTest::keyClick(q.remote, Qt::Key_Escape);
            // The delayed answer comes to nothing.
            QTest::qWait(4500);
        }
        QTRY_COMPARE_WITH_TIMEOUT(statusBar->message(), status, 20000);
        QVERIFY(!cancel->isVisible());

        QTRY_COMPARE(q.running->topLevelItemCount(), fileIds.size());
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), fileIds.size(), 20000);
        QCOMPARE(q.errors->topLevelItemCount(), 0);
        QCOMPARE(shapeOf(target), shape);
        int next = 0;
        for (const QString& entry : shape) {
            if (entry.endsWith('/'))
                continue;
            QCOMPARE(StandIn::sha256Of(target + "/" + entry),
                     q.service.fileSha256("alice", fileIds.at(next++)));
        }
        // Nothing landed beside the local folder.
        QCOMPARE(QDir(q.home.path()).entryList(QDir::AllEntries), homeBefore);
        QVERIFY(q.prompt->calls.isEmpty());
    }

    // Without downloads, F3 on files and folders is refused once, up front: not once per file
    // from the later slices of the feed, each box over the one before.
    void refusedOnceWithoutDownloads()
    {
        QueueWindow q(scenario());
        QVERIFY(q.open());
        DGlobals::canDownload = false;
        q.remote->clearSelection();
        for (const char* name : {"Docs", "big.bin", "Media", "b.txt"})
            if (q.item(name))
                q.item(name)->setSelected(true);
        q.remote->setFocus();
        QTest::keyClick(q.remote, Qt::Key_F3);
        QTest::qWait(500);
        DGlobals::canDownload = true;
        QCOMPARE(q.prompt->texts(), QStringList{"Your account Can NOT Download!"});
        QCOMPARE(q.running->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(TestFolderDownload)
#include "tst_folderdownload.moc"
