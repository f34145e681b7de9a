#include "engine/dcommandmanager.h"
#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "transfers/dtransfercommand.h"
#include "ui/dstatusbarwidget.h"
#include "ui/treeitemwidget.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QtTest>

// The queue views: row buttons, rows made and moved by engine reports, the confirmation boxes,
// duplicate uploads, the speed dialog and the context menus.
class TestQueue : public QObject
{
    Q_OBJECT

private slots:
    // A row's buttons act on the status on show, also when its widgets are made again later
    // (the row scrolled back into view); the menus of the lists.
    void buttonClicksFollowTheStatusOnShow()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.startDownloads({"big.bin", "clip.mp4"}, {"201", "301"});
        TreeItemWidget* big = q.row(q.running, 0);
        TreeItemWidget* clip = q.row(q.running, 1);
        QTRY_VERIFY(big->startStopButton() && clip->startStopButton());
        QCOMPARE(big->lastStatus(), StatusPaused);
        // Size and preview come with the link answer, which arrives after the row is made.
        QTRY_VERIFY(clip->previewButton()->isEnabled());
        QCOMPARE(clip->text(QueueColumn::Size), QString("256 KB"));
        QVERIFY(!big->previewButton()->isEnabled());
        big->setSelected(true);
        QStringList texts;
        ModalAnswer::readMenu(&texts);
        QMetaObject::invokeMethod(q.window.get(), "onQueueTreeContextMenu",
                                  Q_ARG(QPoint, QPoint()));
        QCOMPARE(texts, (QStringList{"Resume", "Remove this", "Set speed limit...", "", "Start All",
                                     "Pause All", "Remove All"}));

        // A row showing "queued" ignores pause/resume; start/stop starts it at once.
        q.service.addFault({{"kind", "download"}, {"action", "throttle"}, {"kbps", 64}});
        big->applyStatus(StatusQueued);
        big->pauseResumeButton()->click();
        QCOMPARE(q.engine()->status(big->commandId()), int(StatusPaused));
        big->startStopButton()->click();
        QTRY_COMPARE(big->lastStatus(), StatusRunning);
        big->removeWidgets();
        big->placeWidgets(true);
        QVERIFY(big->pauseResumeButton()->isEnabled());

        // Start/stop on any other status asks before it removes.
        const int bigId = big->commandId();
        QList<ModalAnswer::Seen> seen;
        ModalAnswer::press("Yes", &seen);
        big->startStopButton()->click();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(q.running->topLevelItemCount(), 1);
        QCOMPARE(q.engine()->status(bigId), int(StatusUnknown));
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (1)"));

        // The error list's menu clears it; quitting afterwards, with clip still queued, is clean.
        q.engine()->reportTransferStatus(950, "c", "c", TransferQueued, QString(), 1);
        q.engine()->reportTransferStatus(950, "c", "c", TransferError, "gone");
        QTRY_COMPARE(q.errors->topLevelItemCount(), 1);
        ModalAnswer::readMenu(&texts, "Clear List");
        QMetaObject::invokeMethod(q.window.get(), "onFailedTreeContextMenu",
                                  Q_ARG(QPoint, QPoint()));
        QCOMPARE(q.errors->topLevelItemCount(), 0);
    }

    void rowsFollowEngineReports()
    {
        QueueWindow q;
        QVERIFY(q.open());
        DCommandManager* engine = q.engine();
        // Announced twice, one row; reports for ids without a row change nothing.
        engine->reportTransferStatus(900, "/data/f.bin", "f.bin", TransferQueued, QString(), 2048);
        engine->reportTransferStatus(900, "/data/f.bin", "f.bin", TransferQueued, QString(), 2048);
        engine->reportTransferStatus(901, "g.bin", "g.bin", TransferQueued, QString(), 10);
        engine->reportTransferStatus(999, "x", "x", TransferDone);
        engine->reportProgress(999, 10, 1, 1);
        QTRY_COMPARE(q.running->topLevelItemCount(), 2);
        QTest::qWait(50);
        QCOMPARE(q.running->topLevelItemCount(), 2);
        QCOMPARE(q.successes->topLevelItemCount(), 0);
        TreeItemWidget* row = q.row(q.running, 0);
        QCOMPARE(row->text(QueueColumn::Size), QString("2 KB"));
        // A bare name lives in the local folder on show.
        QCOMPARE(q.row(q.running, 1)->text(QueueColumn::File),
                 QDir::cleanPath(q.home.path() + "/g.bin"));

        engine->reportProgress(900, 1234, 120.7, 0);
        QTRY_COMPARE(row->text(QueueColumn::Percent), QString("12.34 %"));
        engine->reportTransferStatus(900, QString(), QString(), TransferMessage, "Waiting..");
        QTRY_COMPARE(row->text(QueueColumn::State), QString("Waiting.."));
        engine->reportUpdateLink(900, "http://127.0.0.1/f/a b");

        engine->reportTransferStatus(900, "f.bin", "/data/f.bin", TransferDone);
        QTRY_COMPARE(q.successes->topLevelItemCount(), 1);
        QCOMPARE(q.tabs->tabText(2), QString("Upload/Download Done (1)"));
        QCOMPARE(q.tabs->tabText(0), QString("Processing (1)"));
        row = q.row(q.successes, 0);
        QCOMPARE(row->text(QueueColumn::File), QString("/data/f.bin"));
        QCOMPARE(row->text(QueueColumn::Progress), QDir::cleanPath(q.home.path() + "/f.bin"));
        QTRY_VERIFY(row->linkLabel());
        QVERIFY(row->linkLabel()->text().contains("a%20b"));

        engine->reportTransferStatus(901, "g.bin", "g.bin", TransferError, "No space left");
        QTRY_COMPARE(q.errors->topLevelItemCount(), 1);
        QCOMPARE(q.row(q.errors, 0)->text(QueueColumn::State), QString("No space left"));
        QCOMPARE(q.tabs->tabText(1), QString("Error Download/Upload (1)"));
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (0)"));
    }

    // Unfinished downloads come back after login as paused rows; while a restore runs the status
    // bar tells how far it is. Those whose files the service no longer has go to the error list
    // with the service's reason, without a single box and with one line in the log view; one
    // whose link request failed on the way stays paused and asks again when started. Another
    // account's login takes the rows away (its own history holds none of them), and the first
    // account's next login brings each back once.
    // Another account's login must not hold the window until a hung download of the first
    // notices its abort (up to a second on a silent server); its worker ends on its own.
    void anotherAccountLeavesAHungDownloadBehind()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.service.addFault(
            {{"kind", "download"}, {"action", "stall"}, {"bytes", 1000}, {"seconds", 30}});
        q.startDownloads({"big.bin"}, {"201"});
        QTRY_COMPARE(q.running->topLevelItemCount(), 1);
        QPointer<DCommand> hung = q.engine()->findCommand(q.row(q.running, 0)->commandId());
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_VERIFY_WITH_TIMEOUT(!q.service.requests("download").isEmpty(), 20000);
        QVERIFY(hung && hung->isRunning());
        bool runningAtLogin = false;
        connect(q.engine(), &DCommandManager::di_loggedIn,
                [&] { runningAtLogin = hung && hung->isRunning(); });
        QSignalSpy loggedIn(q.engine(), &DCommandManager::di_loggedIn);
        q.engine()->login("bob", "pw/with/slash");
        QVERIFY(loggedIn.wait(10000));
        QVERIFY(runningAtLogin);
        QTRY_VERIFY_WITH_TIMEOUT(!hung, 10000);
        QCOMPARE(q.running->topLevelItemCount(), 0);
    }

    void restoredTransfersComeBackAsRows()
    {
        QueueWindow q;
        const QString part = q.home.path() + "/big.bin.201.part";
        QVERIFY(writeFile(part, QByteArray(1000, 'p')));
        QByteArray entries = "<cmd7 filename=\"" + part.toUtf8() +
                             "\" folderId=\"201\" size=\"2097152\" link=\"L\" playable=\"0\"/>\n";
        constexpr int Gone = 20;
        for (int i = 0; i < Gone; ++i)
            entries += QString("<cmd%1 filename=\"%2/gone%1.bin.90%1.part\" folderId=\"90%1\" "
                               "size=\"10\" link=\"L\" playable=\"0\"/>\n")
                           .arg(10 + i)
                           .arg(q.home.path())
                           .toUtf8();
        QVERIFY(writeFile(q.home.dataFolder() + "/transfers_alice",
                          "<!DOCTYPE transfers>\n<Transfers>\n<Downloads>\n" + entries +
                              "</Downloads>\n</Transfers>\n"));
        QVERIFY(q.prepare());
        q.service.addFault({{"kind", "dlfile"}, {"action", "drop"}, {"file", "201"}});
        q.useRealDialogs();
        ModalAnswer::Watch watch([](QWidget* box) { ModalAnswer::click(box, "OK"); }, 50);
        QVERIFY(q.open());
        QTRY_COMPARE_WITH_TIMEOUT(q.errors->topLevelItemCount(), Gone, 20000);
        for (int i = 0; i < Gone; ++i)
            QCOMPARE(q.row(q.errors, i)->text(QueueColumn::State),
                     QString("Error download:File not found"));
        QCOMPARE(QDir(q.home.path()).entryList({"gone*"}), QStringList()); // no empty partials
        const QString notice =
            "20 transfers failed; the reasons are on the \"Error Download/Upload\" tab.";
        QTRY_COMPARE(q.home.logLines().filter(notice).size(), 1);

        QCOMPARE(q.running->topLevelItemCount(), 1);
        TreeItemWidget* row = q.row(q.running, 0);
        QCOMPARE(row->text(QueueColumn::File), part);
        QTRY_COMPARE(row->lastStatus(), StatusPaused);
        QTRY_COMPARE(row->text(QueueColumn::Percent), QString("0.04 %"));
        auto* statusBar = q.window->findChild<DStatusBarWidget*>();
        emit q.engine()->di_restoreProgress(3, 10);
        QTRY_VERIFY(statusBar->message().startsWith("Restoring transfers: 3 of 10"));
        emit q.engine()->di_restoreProgress(10, 10);
        QTRY_VERIFY(!statusBar->message().contains("Restoring"));

        QSignalSpy loggedIn(q.engine(), &DCommandManager::di_loggedIn);
        q.engine()->login("bob", "pw/with/slash");
        QVERIFY(loggedIn.wait(10000));
        QTRY_COMPARE(q.running->topLevelItemCount(), 0);
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (0)"));
        QVERIFY(!readFile(q.home.dataFolder() + "/transfers_bob").contains("big.bin"));
        q.engine()->login("alice", "secret");
        QVERIFY(loggedIn.wait(10000));
        QTRY_COMPARE(q.running->topLevelItemCount(), 1);
        QTRY_VERIFY(!q.engine()->isRestoring());
        QTest::qWait(50);
        QCOMPARE(q.running->topLevelItemCount(), 1);
        QCOMPARE(q.row(q.running, 0)->text(QueueColumn::File), part);

        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 20000);
        QCOMPARE(q.service.requests("dlfile").size(), Gone + 2);
        QCOMPARE(q.home.logLines().filter(notice).size(), 1);
        // The one box of it all: bob's account may not download.
        QCOMPARE(watch.shown, QStringList{"QMessageBox: Downloads are off for bob"});
        QCOMPARE(watch.mostAtOnce, 1);
    }

    void removingAsksFirst()
    {
        QueueWindow q;
        QVERIFY(q.open());
        for (int id : {910, 911, 912})
            q.engine()->reportTransferStatus(id, "f", "f", TransferQueued, QString(), 1);
        QTRY_COMPARE(q.running->topLevelItemCount(), 3);

        QList<ModalAnswer::Seen> seen;
        QTimer* guard = ModalAnswer::press("Cancel", &seen);
        q.invoke("onAbort"); // nothing selected: no question at all
        QTest::qWait(50);
        QVERIFY(seen.isEmpty());
        delete guard;

        q.row(q.running, 1)->setSelected(true);
        ModalAnswer::press("Yes", &seen);
        q.invoke("onAbort");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(q.running->topLevelItemCount(), 2);

        // A row that finishes and is cleared away while the question is open is left alone.
        q.row(q.running, 0)->setSelected(true);
        const int finishing = q.row(q.running, 0)->commandId();
        ModalAnswer::next([&](QWidget* box) {
            q.engine()->reportTransferStatus(finishing, "f", "f", TransferDone);
            (void)QTest::qWaitFor([&] { return q.successes->topLevelItemCount() == 1; });
            QStringList menu;
            ModalAnswer::readMenu(&menu, "Clear List");
            QMetaObject::invokeMethod(q.window.get(), "onSucessTreeContextMenu",
                                      Q_ARG(QPoint, QPoint()));
            ModalAnswer::click(box, "Yes");
        });
        q.invoke("onAbort");
        QCOMPARE(q.successes->topLevelItemCount(), 0);
        QCOMPARE(q.running->topLevelItemCount(), 1);

        ModalAnswer::press("Cancel", &seen);
        q.invoke("onAbortAll");
        QCOMPARE(seen.size(), 2);
        QCOMPARE(q.running->topLevelItemCount(), 1);
        ModalAnswer::press("Yes");
        q.invoke("onAbortAll");
        QCOMPARE(q.running->topLevelItemCount(), 0);
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (0)"));
    }

    void duplicateUploadRemembersTheAnswer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("rows");
        QTest::newRow("continue") << "Continue upload" << 3;
        QTest::newRow("cancel") << "Cancel" << 0;
    }

    void duplicateUploadRemembersTheAnswer()
    {
        QFETCH(QString, answer);
        QFETCH(int, rows);
        QueueWindow q;
        QVERIFY(q.open());
        // big.bin of the remote root is 2 MiB: local files of that name and size are duplicates.
        QStringList paths;
        for (const char* dir : {"/a", "/b", "/c"}) {
            paths << q.home.path() + dir + "/big.bin";
            QVERIFY(writeFile(paths.last(), QByteArray(2097152, 'x')));
        }
        QStringList seen;
        ModalAnswer::next([&](QWidget* dialog) {
            seen << dialog->windowTitle() + "|" + qobject_cast<QMessageBox*>(dialog)->text();
            dialog->findChild<QCheckBox*>()->setChecked(true);
            ModalAnswer::click(dialog, answer);
        });
        q.startUploads({paths.at(0)});
        // Later duplicates follow the remembered answer without asking.
        q.startUploads({paths.at(1), paths.at(2)});
        QCOMPARE(seen,
                 QStringList{"File exists..|File big.bin with size 2.0 MB \n already exists"});
        QCOMPARE(q.running->topLevelItemCount(), rows);
    }

    // The speed asked for is checked against the global cap of the row's direction as it is
    // at that moment (0: no cap). "Yes" on the warning opens the preferences and asks again;
    // "Cancel" ends it. Never more than one dialog at a time.
    void speedDialog_data()
    {
        QTest::addColumn<double>("maxDown");
        QTest::addColumn<QStringList>("entries"); // speeds typed, in turn
        QTest::addColumn<QString>("warning");     // the answer to "Incorrect speed.."
        QTest::addColumn<QString>("raisedTo");    // download limit typed in the preferences
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<int>("limit");
        const QString speed = "Set transfer speed (int KB/s)..";
        const QString warning = "Incorrect speed..";
        QTest::newRow("no cap") << 0.0 << QStringList{"5000.9"} << QString() << QString()
                                << QStringList{speed} << 5000;
        QTest::newRow("above the cap, Cancel ends it")
            << 100.0 << QStringList{"150"} << "Cancel" << QString() << QStringList{speed, warning}
            << 999;
        QTest::newRow("above the cap, Yes, cap raised meanwhile")
            << 100.0 << QStringList{"150", "150"} << "Yes"
            << "200" << QStringList{speed, warning, "Preferences...", speed} << 150;
    }

    void speedDialog()
    {
        QFETCH(double, maxDown);
        QFETCH(QStringList, entries);
        QFETCH(QString, warning);
        QFETCH(QString, raisedTo);
        QueueWindow q;
        QVERIFY(q.open());
        q.engine()->setMaxDownSpeed(maxDown);
        q.startDownloads({"big.bin"}, {"201"});
        TreeItemWidget* row = q.row(q.running, 0);
        row->setSelected(true);
        auto* transfer = qobject_cast<DTransferCommand*>(q.engine()->findCommand(row->commandId()));
        QVERIFY(transfer);
        transfer->setSpeedLimit(999);

        // Answers every dialog the way a user would; a speed dialog with nothing left to type
        // is cancelled.
        QStringList titles;
        int mostOpen = 0;
        QPointer<QTimer> pending;
        std::function<void(QWidget*)> answer = [&](QWidget* dialog) {
            titles << dialog->windowTitle();
            mostOpen = std::max(mostOpen, ModalAnswer::openCount());
            pending = ModalAnswer::next(answer);
            if (qobject_cast<QMessageBox*>(dialog)) {
                ModalAnswer::click(dialog, warning.isEmpty() ? "Cancel" : warning);
            } else if (dialog->windowTitle() == "Preferences...") {
                for (QGroupBox* group : dialog->findChildren<QGroupBox*>()) {
                    if (group->title() == "Speed limits")
                        group->findChild<QLineEdit*>()->setText(raisedTo);
                }
                ModalAnswer::click(dialog, "OK");
            } else if (entries.isEmpty()) {
                ModalAnswer::click(dialog, "Cancel");
            } else {
                dialog->findChild<QLineEdit*>()->setText(entries.takeFirst());
                ModalAnswer::click(dialog, "OK");
            }
        };
        pending = ModalAnswer::next(answer);
        q.invoke("onSpeedLimit");
        delete pending;
        QTEST(titles, "titles");
        QCOMPARE(mostOpen, 1);
        QTEST(transfer->speedLimit(), "limit");
    }
};

QTEST_MAIN(TestQueue)
#include "tst_queue.moc"
