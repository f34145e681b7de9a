#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "ui/treeview.h"

#include <QComboBox>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QtTest>

// The local pane: following typed paths, Backspace, and the file operations.
class TestLocalPane : public QObject
{
    Q_OBJECT

private:
    // Selects the rows of these names in the pane's folder.
    static void select(TreeView* view, const QString& folder, const QStringList& names)
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

private slots:
    void startsAtTheSavedFolderAndFollowsTypedPrefixes()
    {
        QueueWindow q;
        QVERIFY(q.open());
        auto* box = q.window->findChild<QComboBox*>("leftPathBox");
        QCOMPARE(box->currentText(), q.home.path());
        QCOMPARE(box->itemText(0), QString("/"));

        const QString deep = q.home.path() + "/ab/cd";
        QVERIFY(QDir().mkpath(deep));
        box->lineEdit()->clear();
        QTest::keyClicks(box->lineEdit(), deep);
        auto* view = q.window->findChild<TreeView*>();
        auto* model = static_cast<QFileSystemModel*>(view->model());
        QCOMPARE(model->filePath(view->rootIndex()), deep);
        // Each prefix that is a folder was visited once; "/a" and "/ab/c" were not folders.
        QStringList visited;
        for (int i = 0; i < box->count(); ++i)
            visited << box->itemText(i);
        for (const QString& prefix : {q.home.path(), q.home.path() + "/", q.home.path() + "/ab",
                                      q.home.path() + "/ab/", deep})
            QCOMPARE(visited.count(prefix), 1);
        QVERIFY(!visited.contains(q.home.path() + "/a"));
        QVERIFY(!visited.contains(q.home.path() + "/ab/c"));

        // Backspace climbs one folder and stays at the root.
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(box->currentText(), q.home.path() + "/ab");
        box->lineEdit()->setText("/");
        QTest::keyClick(view, Qt::Key_Backspace);
        QCOMPARE(box->currentText(), QString("/"));
        QCOMPARE(model->filePath(view->rootIndex()), QString("/"));
    }

    void deleteRemovesFilesOnlyAndCreateKeepsExistingNames()
    {
        QueueWindow q;
        QVERIFY(q.open());
        const QString folder = q.home.path();
        QVERIFY(QDir(folder).mkdir("keep"));
        QVERIFY(writeFile(folder + "/gone.txt", "x") && writeFile(folder + "/taken", "x"));
        auto* view = q.window->findChild<TreeView*>();
        auto* model = static_cast<QFileSystemModel*>(view->model());
        QTRY_VERIFY(model->index(folder + "/gone.txt").isValid());
        QTRY_VERIFY(model->index(folder + "/keep").isValid());

        select(view, folder, {"keep", "gone.txt"});
        QList<ModalAnswer::Seen> seen;
        ModalAnswer::press("Yes", &seen);
        q.invoke("onLocalDelete");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).title, QString("Confirm delete.."));
        QCOMPARE(seen.at(0).text,
                 QString("Do you really want to delete selectedt files/folders ?"));
        QVERIFY(!QFile::exists(folder + "/gone.txt"));
        QVERIFY(QFileInfo(folder + "/keep").isDir());

        // A name that exists stays what it is; a name that climbs out is never created.
        for (const char* name : {"taken", "../outside", "fresh"})
            QMetaObject::invokeMethod(q.window.get(), "onLocalCreateFolder",
                                      Q_ARG(QString, QString(name)));
        QVERIFY(QFileInfo(folder + "/taken").isFile());
        QVERIFY(!QFileInfo::exists(QFileInfo(folder).path() + "/outside"));
        QVERIFY(QFileInfo(folder + "/fresh").isDir());

        // Upload of folders only starts nothing.
        QTRY_VERIFY(model->index(folder + "/fresh").isValid());
        select(view, folder, {"keep", "fresh"});
        q.invoke("upload");
        QCOMPARE(q.running->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(TestLocalPane)
#include "tst_localpane.moc"
