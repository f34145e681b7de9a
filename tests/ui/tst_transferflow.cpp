#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "ui/filesystemmodel.h"
#include "ui/treeview.h"

#include <QPlainTextEdit>
#include <QtTest>

#include <memory>

// Transfers driven through the window against the stand-in service: drags between the panes,
// the queue buttons, and transfers that are refused or fail.
class TestTransferFlow : public QObject
{
    Q_OBJECT

private:
    // The remote pane's drag of these rows.
    static QMimeData* remoteDrag(QueueWindow& q, const QStringList& names)
    {
        QModelIndexList rows;
        for (const QString& name : names)
            rows << q.remote->model()->index(q.remote->indexOfTopLevelItem(q.item(name)), 0);
        return q.remote->model()->mimeData(rows);
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
    // The local pane takes only the remote pane's drags (its name, id, size and link make the
    // row); a local file dropped on the remote pane uploads. Start All starts them all; a
    // download the service refuses and one whose file is gone from the server go to the error
    // list with their whole reasons, Pause All holds the bytes, Start All finishes the others
    // exactly, and the next listing hands the finished upload its link.
    void dragsFeedTheQueueAndTheButtonsDriveIt()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "download"}, {"action", "missing"}, {"file", "101"}, {"times", 0}});
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 400}, {"times", 0}});
        q.service.addFault({{"kind", "dlfile"},
                            {"action", "refuse"},
                            {"file", "301"},
                            {"text", "File locked by its owner"}});
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
        QCOMPARE(download->text(QueueColumn::Size), QString("2.0 MB"));
        QCOMPARE(download->linkHtml(), q.item("big.bin")->linkHtml());
        q.drop(q.remote, own.get(), QPoint(20, q.remote->viewport()->height() - 5));
        QCOMPARE(q.running->topLevelItemCount(), 2);
        QCOMPARE(q.row(q.running, 1)->direction(), int(CmdUpload));
        q.startDownloads({"clip.mp4", "a.txt"}, {"301", "101"});

        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_VERIFY_WITH_TIMEOUT(partialBytes(q.home.path()) > 100000, 10000);
        QTRY_COMPARE(q.errors->topLevelItemCount(), 2);
        QStringList reasons{q.row(q.errors, 0)->text(QueueColumn::State),
                            q.row(q.errors, 1)->text(QueueColumn::State)};
        reasons.sort();
        QCOMPARE(reasons, (QStringList{"Error Download: File not found!",
                                       "Error download:File locked by its owner"}));
        ModalAnswer::click(q.window.get(), "Pause All");
        QCOMPARE(download->text(QueueColumn::State), QString("Paused"));
        QTest::qWait(1000);
        const qint64 held = partialBytes(q.home.path());
        QTest::qWait(1000);
        QCOMPARE(partialBytes(q.home.path()), held);
        QVERIFY(held < 2097152);
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 2, 30000);
        QCOMPARE(q.running->topLevelItemCount(), 0);
        QCOMPARE(StandIn::sha256Of(q.home.path() + "/big.bin"),
                 q.service.fileSha256("alice", "201"));
        QJsonObject uploaded;
        for (const QJsonValue& file : q.service.files("alice")) {
            if (file.toObject().value("name").toString() == "report.txt")
                uploaded = file.toObject();
        }
        QCOMPARE(uploaded.value("sha256").toString(), StandIn::sha256Of(path));
        TreeItemWidget* upload =
            q.row(q.successes, q.row(q.successes, 0)->direction() == CmdUpload ? 0 : 1);
        QMetaObject::invokeMethod(q.window.get(), "onServerHome");
        QTRY_VERIFY_WITH_TIMEOUT(!upload->linkHtml().isEmpty(), 10000);
        const QString link = uploaded.value("link").toString();
        QVERIFY(!link.isEmpty());
        QVERIFY(upload->linkHtml().contains(link));
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
        const QPoint onFile = q.remote->visualItemRect(q.item("big.bin")).center();
        const QPoint onFolder = q.remote->visualItemRect(q.item("Docs")).center();
        QCOMPARE(q.drop(q.remote, own.get(), onFile), QString("refused"));
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
        QCOMPARE(copies.at(0).at(1).toString(), QString());
    }

    // Names in a drag come from any program: only plain file names join the local folder. An
    // account that may not download gets no row either.
    void refusedDownloadsMakeNoRow_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("told"); // each in the one message shown
        QTest::addColumn<int>("rows");
        const QStringList leaving{"../escape.bin", "/etc/passwd2", "a/b", "a\\b", "..", "."};
        QStringList told;
        for (const QString& name : leaving)
            told << "\n" + name;
        QTest::newRow("names that leave the folder")
            << "alice"
            << "secret" << leaving + QStringList{"a..b", "big.bin"} << told << 2;
        QTest::newRow("downloads off for the account")
            << "bob"
            << "pw/with/slash" << QStringList{"b.txt"} << QStringList{"Can NOT Download"} << 0;
    }

    void refusedDownloadsMakeNoRow()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QStringList, names);
        QFETCH(QStringList, told);
        QFETCH(int, rows);
        QueueWindow q;
        QVERIFY(q.open(user, password));
        const int shown = q.prompt->calls.size(); // the login may tell its reasons
        q.startDownloads(names, QStringList(names.size(), user == "bob" ? "501" : "201"));
        QCOMPARE(q.running->topLevelItemCount(), rows);
        QCOMPARE(q.prompt->calls.size(), shown + 1);
        for (const QString& text : told)
            QVERIFY2(q.prompt->calls.last().text.contains(text), qPrintable(text));
        QTest::qWait(100);
        QCOMPARE(q.errors->topLevelItemCount(), 0);
        // Refused up front, nothing was fed: the tab keeps its first title.
        QCOMPARE(q.tabs->tabText(0),
                 rows ? QString("Uploading/Downloading (%1)").arg(rows) : QString("Running tasks"));
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
        const QString report = "QMessageBox: INVALID LINK2: Error: file not found";
        QCOMPARE(user.shown.last(), report);
        QStringList others = user.shown;
        QVERIFY(others.removeAll("QProgressDialog") <= 1); // shown when the check takes a while
        QCOMPARE(others, (QStringList{"DownloadList", report}));
        QCOMPARE(user.mostAtOnce, 1);
        QStringList asked;
        for (const QJsonValue& request : q.service.requests("checklink"))
            asked << request.toObject().value("payload").toString();
        for (QString& id : ids)
            id = id.section('/', 0, 0);
        QCOMPARE(asked, ids);
    }
};

QTEST_MAIN(TestTransferFlow)
#include "tst_transferflow.moc"
