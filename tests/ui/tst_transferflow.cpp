#include "tests/ui/queuewindow.h"
#include "ui/filesystemmodel.h"
#include "ui/treeview.h"
#include "ui/treewidget.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QPushButton>
#include <QtTest>

#include <memory>

// Transfers driven through the window against the stand-in service: drags between the panes,
// the queue buttons, and transfers that are refused or fail.
class TestTransferFlow : public QObject
{
    Q_OBJECT

private:
    static TreeWidget* remotePane(QueueWindow& q)
    {
        auto* remote = q.window->findChild<TreeWidget*>();
        if (!QTest::qWaitFor([&] { return remote->topLevelItemCount() > 0; }, 10000))
            return nullptr;
        return remote;
    }

    static QModelIndex remoteRow(TreeWidget* remote, const QString& name)
    {
        QAbstractItemModel* model = remote->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->index(row, 0).data().toString() == name)
                return model->index(row, 0);
        }
        return {};
    }

    // Drags `data` onto a view's viewport at `pos` and drops it there with the copy action.
    static void dropOn(QAbstractItemView* view, QMimeData* data, const QPoint& pos)
    {
        QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &enter);
        QDragMoveEvent move(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &drop);
    }

    static void clickButton(QueueWindow& q, const QString& text)
    {
        for (QPushButton* button : q.window->findChildren<QPushButton*>()) {
            if (button->text() == text) {
                button->click();
                return;
            }
        }
        QFAIL(qPrintable("no button " + text));
    }

    static qint64 partialBytes(const QString& folder)
    {
        qint64 bytes = 0;
        for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
            if (entry.fileName().contains(".part"))
                bytes += entry.size();
        }
        return bytes;
    }

private slots:
    void remoteFileDraggedToTheLocalPaneArrivesWhole()
    {
        QueueWindow q;
        QVERIFY(q.open());
        TreeWidget* remote = remotePane(q);
        QVERIFY(remote);
        const QModelIndex big = remoteRow(remote, "big.bin");
        QVERIFY(big.isValid());
        std::unique_ptr<QMimeData> data(remote->model()->mimeData({big}));
        auto* local = q.window->findChild<TreeView*>();
        dropOn(local, data.get(), QPoint(20, 20));
        QCOMPARE(q.running->topLevelItemCount(), 1);
        QCOMPARE(q.row(q.running, 0)->text(QueueColumn::File), q.home.path() + "/big.bin");

        clickButton(q, "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 30000);
        QCOMPARE(q.running->topLevelItemCount(), 0);
        QCOMPARE(StandIn::sha256Of(q.home.path() + "/big.bin"),
                 q.service.fileSha256("alice", "201"));
    }

    void localFileDroppedOnTheRemotePaneUploadsAndGetsItsLink()
    {
        QueueWindow q;
        QVERIFY(q.open());
        TreeWidget* remote = remotePane(q);
        QVERIFY(remote);
        const QString path = q.home.path() + "/report.txt";
        QVERIFY(writeFile(path, QByteArray(300000, 'r')));
        auto* model = static_cast<FileSystemModel*>(q.window->findChild<TreeView*>()->model());
        std::unique_ptr<QMimeData> data(model->mimeData({model->index(path)}));
        dropOn(remote, data.get(), QPoint(20, remote->viewport()->height() - 5));
        QCOMPARE(q.running->topLevelItemCount(), 1);
        QCOMPARE(q.row(q.running, 0)->direction(), int(CmdUpload));

        clickButton(q, "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 30000);
        QJsonObject uploaded;
        for (const QJsonValue& file : q.service.files("alice")) {
            if (file.toObject().value("name").toString() == "report.txt")
                uploaded = file.toObject();
        }
        QCOMPARE(uploaded.value("sha256").toString(), StandIn::sha256Of(path));
        // The next listing that shows the file hands the finished row its link.
        QMetaObject::invokeMethod(q.window.get(), "onServerHome");
        QTRY_VERIFY_WITH_TIMEOUT(!q.row(q.successes, 0)->linkHtml().isEmpty(), 10000);
        const QString link = uploaded.value("link").toString();
        QVERIFY(!link.isEmpty());
        QVERIFY(q.row(q.successes, 0)->linkHtml().contains(link));
    }

    void pauseAllHoldsTheBytesAndStartAllFinishesExactly()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 400}, {"times", 0}});
        q.startDownloads({"big.bin"}, {"201"});
        clickButton(q, "Start All");
        QTRY_VERIFY_WITH_TIMEOUT(partialBytes(q.home.path()) > 100000, 10000);
        clickButton(q, "Pause All");
        QCOMPARE(q.row(q.running, 0)->text(QueueColumn::State), QString("Paused"));
        QTest::qWait(1000);
        const qint64 held = partialBytes(q.home.path());
        QTest::qWait(1000);
        QCOMPARE(partialBytes(q.home.path()), held);
        QVERIFY(held < 2097152);

        clickButton(q, "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 30000);
        QCOMPARE(StandIn::sha256Of(q.home.path() + "/big.bin"),
                 q.service.fileSha256("alice", "201"));
    }

    void refusedDownloadMakesNoRow()
    {
        QueueWindow q;
        QVERIFY(q.open("bob", "pw/with/slash"));
        q.startDownloads({"b.txt"}, {"501"});
        QCOMPARE(q.running->topLevelItemCount(), 0);
        QVERIFY(!q.prompt->calls.isEmpty());
        QTest::qWait(100);
        QCOMPARE(q.errors->topLevelItemCount(), 0);
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (0)"));
    }

    void failingDownloadReachesTheErrorListWithItsReason()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "dlfile"}, {"action", "refuse"}, {"text", "File locked by its owner"}});
        q.startDownloads({"big.bin"}, {"201"});
        clickButton(q, "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.errors->topLevelItemCount(), 1, 10000);
        QCOMPARE(q.running->topLevelItemCount(), 0);
        QVERIFY(q.row(q.errors, 0)->text(QueueColumn::State).contains("File locked by its owner"));
        QCOMPARE(q.tabs->tabText(1), QString("Error Download/Upload (1)"));
    }

    // Names in a drag come from any program: only plain file names join the local folder.
    void namesThatLeaveTheFolderAreRefused()
    {
        QueueWindow q;
        QVERIFY(q.open());
        const QStringList refused{"../escape.bin", "/etc/passwd2", "a/b", "a\\b", "..", "."};
        q.startDownloads(refused + QStringList{"a..b", "big.bin"}, QStringList(8, "201"));
        QCOMPARE(q.running->topLevelItemCount(), 2);
        QCOMPARE(q.row(q.running, 0)->text(QueueColumn::File), q.home.path() + "/a..b");
        QCOMPARE(q.prompt->calls.size(), 1);
        for (const QString& name : refused)
            QVERIFY2(q.prompt->calls.at(0).text.contains("\n" + name), qPrintable(name));
    }
};

QTEST_MAIN(TestTransferFlow)
#include "tst_transferflow.moc"
