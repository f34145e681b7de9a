#include "engine/dcommandmanager.h"
#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"
#include "transfers/dtransfercommand.h"
#include "ui/treeitemwidget.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QtTest>

// The queue views: row buttons, rows made and moved by engine reports, restored rows, the
// confirmation boxes, duplicate uploads and the speed dialog.
class TestQueue : public QObject
{
    Q_OBJECT

private slots:
    // Rows are made, finished and counted by the engine's reports alone. A row's buttons act on
    // the status on show, also when its widgets are made again later (scrolled back into view).
    void rowsAndTheirButtons()
    {
        QueueWindow q;
        QVERIFY(q.open());
        DCommandManager* engine = q.engine();
        q.startDownloads({"big.bin", "clip.mp4"}, {"201", "301"});
        // Announced twice, one row.
        engine->reportTransferStatus(900, "/data/f.bin", "f.bin", TransferQueued, QString(), 2048);
        engine->reportTransferStatus(900, "/data/f.bin", "f.bin", TransferQueued, QString(), 2048);
        engine->reportTransferStatus(901, "g.bin", "g.bin", TransferQueued, QString(), 10);
        QTRY_COMPARE(q.running->topLevelItemCount(), 4);
        QTest::qWait(50);
        QCOMPARE(q.running->topLevelItemCount(), 4);
        QCOMPARE(q.successes->topLevelItemCount(), 0);
        // A bare name lives in the local folder on show.
        QCOMPARE(q.row(q.running, 3)->text(QueueColumn::File),
                 QDir::cleanPath(q.home.path() + "/g.bin"));
        engine->reportTransferStatus(900, "f.bin", "/data/f.bin", TransferDone);
        QTRY_COMPARE(q.successes->topLevelItemCount(), 1);
        engine->reportTransferStatus(901, "g.bin", "g.bin", TransferError, "No space left");
        QTRY_COMPARE(q.errors->topLevelItemCount(), 1);
        QCOMPARE(q.row(q.errors, 0)->text(QueueColumn::State), QString("No space left"));

        TreeItemWidget* big = q.row(q.running, 0);
        TreeItemWidget* clip = q.row(q.running, 1);
        QTRY_VERIFY(big->startStopButton() && clip->startStopButton());
        QCOMPARE(big->lastStatus(), StatusPaused);
        // Size and preview come with the link answer, which arrives after the row is made.
        QTRY_VERIFY(clip->previewButton()->isEnabled());
        QCOMPARE(clip->text(QueueColumn::Size), QString("256 KB"));
        QVERIFY(!big->previewButton()->isEnabled());

        // A row showing "queued" ignores pause/resume; start/stop starts it at once.
        q.service.addFault({{"kind", "download"}, {"action", "throttle"}, {"kbps", 64}});
        big->applyStatus(StatusQueued);
        big->pauseResumeButton()->click();
        QCOMPARE(engine->status(big->commandId()), int(StatusPaused));
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
        QCOMPARE(engine->status(bigId), int(StatusUnknown));
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (1)"));

        // The error list's menu clears it; quitting afterwards, with clip still queued, is clean.
        QStringList texts;
        ModalAnswer::readMenu(&texts, "Clear List");
        QMetaObject::invokeMethod(q.window.get(), "onFailedTreeContextMenu",
                                  Q_ARG(QPoint, QPoint()));
        QCOMPARE(q.errors->topLevelItemCount(), 0);
    }

    // Unfinished transfers come back after login as paused rows. Downloads whose files the
    // service no longer has go to the error list without a single box and leave no partial file;
    // one whose link request failed on the way stays paused and asks again when started. A file
    // dropped again while the restore of its transfer is still on its way is already in the list:
    // one transfer each, never two on one partial file or one source.
    void restoredTransfersComeBackAsRows()
    {
        QueueWindow q;
        const QString part = q.home.path() + "/big.bin.201.part";
        const QString source = q.home.path() + "/notes.txt";
        QVERIFY(writeFile(part, QByteArray(1000, 'p')));
        QVERIFY(writeFile(source, QByteArray(1000, 'n')));
        QByteArray entries = "<Downloads>\n<cmd7 filename=\"" + part.toUtf8() +
                             "\" folderId=\"201\" size=\"2097152\" link=\"L\" playable=\"0\"/>\n";
        constexpr int Gone = 20;
        for (int i = 0; i < Gone; ++i)
            entries += QString("<cmd%1 filename=\"%2/gone%1.bin.90%1.part\" folderId=\"90%1\" "
                               "size=\"10\" link=\"L\" playable=\"0\"/>\n")
                           .arg(10 + i)
                           .arg(q.home.path())
                           .toUtf8();
        entries +=
            "</Downloads>\n<Uploads>\n<cmd8 filename=\"" + source.toUtf8() +
            "\" serverfilename=\"notes_1.txt\" folderId=\"-1\" size=\"1000\"/>\n</Uploads>\n";
        QVERIFY(writeFile(q.home.dataFolder() + "/transfers_alice",
                          "<!DOCTYPE transfers>\n<Transfers>\n" + entries + "</Transfers>\n"));
        QVERIFY(q.prepare());
        q.service.addFault({{"kind", "dlfile"}, {"action", "drop"}, {"file", "201"}});
        ModalAnswer::Watch watch([](QWidget* box) { ModalAnswer::click(box, "OK"); }, 50);
        // Queued behind the window's own handling of the login, which starts the restore and
        // posts its first slice after this.
        const auto dropAgain = [&] {
            QVERIFY(q.engine()->isRestoring());
            q.startUploads({source});
            q.engine()->startDownload(q.home.path() + "/big.bin", "201", 2097152, QString());
        };
        QObject::connect(
            q.engine(), &DCommandManager::di_loggedIn, q.window.get(),
            [&] { QTimer::singleShot(0, q.window.get(), dropAgain); }, Qt::QueuedConnection);
        QVERIFY(q.open());
        QTRY_COMPARE_WITH_TIMEOUT(q.errors->topLevelItemCount(), Gone, 20000);
        QCOMPARE(QDir(q.home.path()).entryList({"gone*"}), QStringList());
        QTRY_VERIFY(!q.engine()->isRestoring());
        QTest::qWait(50);
        QCOMPARE(q.running->topLevelItemCount(), 2);
        QCOMPARE(q.prompt->calls.size(), 2); // the two files dropped again
        TreeItemWidget* row = q.row(q.running, 0);
        QCOMPARE(row->text(QueueColumn::File), part);
        QTRY_COMPARE(row->lastStatus(), StatusPaused);
        QTRY_COMPARE(row->text(QueueColumn::Percent), QString("0.04 %"));

        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 2, 20000);
        QCOMPARE(q.service.requests("dlfile").size(), Gone + 2);
        QCOMPARE(watch.shown, QStringList());
    }

    // Removing asks first. Rows that finish and are cleared away while the question is open are
    // left alone; the others go.
    void removingAsksFirst()
    {
        QueueWindow q;
        QVERIFY(q.open());
        for (int id : {910, 911, 912})
            q.engine()->reportTransferStatus(id, "f", "f", TransferQueued, QString(), 1);
        QTRY_COMPARE(q.running->topLevelItemCount(), 3);
        q.row(q.running, 0)->setSelected(true);
        q.row(q.running, 1)->setSelected(true);
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

        QList<ModalAnswer::Seen> seen;
        ModalAnswer::press("Cancel", &seen);
        q.invoke("onAbortAll");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(q.running->topLevelItemCount(), 1);
        ModalAnswer::press("Yes");
        q.invoke("onAbortAll");
        QCOMPARE(q.tabs->tabText(0), QString("Uploading/Downloading (0)"));
    }

    // Later duplicates follow the remembered answer without asking.
    void duplicateUploadRemembersTheAnswer()
    {
        QueueWindow q;
        QVERIFY(q.open());
        // big.bin of the remote root is 2 MiB: local files of that name and size are duplicates.
        QStringList paths;
        for (const char* dir : {"/a", "/b", "/c"}) {
            paths << q.home.path() + dir + "/big.bin";
            QVERIFY(writeFile(paths.last(), QByteArray(2097152, 'x')));
        }
        int asked = 0;
        ModalAnswer::next([&](QWidget* dialog) {
            ++asked;
            dialog->findChild<QCheckBox*>()->setChecked(true);
            ModalAnswer::click(dialog, "Continue upload");
        });
        q.startUploads({paths.at(0)});
        q.startUploads({paths.at(1), paths.at(2)});
        QCOMPARE(asked, 1);
        QCOMPARE(q.running->topLevelItemCount(), 3);
    }

    // The speed asked for is checked against the global cap of the row's direction as it is
    // at that moment (0: no cap). "Yes" on the warning opens the preferences and asks again.
    // Never more than one dialog at a time.
    void speedDialog()
    {
        QueueWindow q;
        QVERIFY(q.open());
        q.startDownloads({"big.bin"}, {"201"});
        TreeItemWidget* row = q.row(q.running, 0);
        row->setSelected(true);
        auto* transfer = qobject_cast<DTransferCommand*>(q.engine()->findCommand(row->commandId()));
        QVERIFY(transfer);

        // Answers every dialog the way a user would: the speeds in turn, "Yes" on the warning,
        // 200 as the download cap in the preferences; with nothing left to type, "Cancel".
        QStringList entries, titles;
        int mostOpen = 0;
        QPointer<QTimer> pending;
        std::function<void(QWidget*)> answer = [&](QWidget* dialog) {
            titles << dialog->windowTitle();
            mostOpen = std::max(mostOpen, ModalAnswer::openCount());
            pending = ModalAnswer::next(answer);
            if (qobject_cast<QMessageBox*>(dialog)) {
                ModalAnswer::click(dialog, "Yes");
            } else if (dialog->windowTitle() == "Preferences...") {
                for (QGroupBox* group : dialog->findChildren<QGroupBox*>()) {
                    if (group->title() == "Speed limits")
                        group->findChild<QLineEdit*>()->setText("200");
                }
                ModalAnswer::click(dialog, "OK");
            } else if (entries.isEmpty()) {
                ModalAnswer::click(dialog, "Cancel");
            } else {
                dialog->findChild<QLineEdit*>()->setText(entries.takeFirst());
                ModalAnswer::click(dialog, "OK");
            }
        };
        const auto setSpeed = [&](double cap, const QStringList& typed) {
            q.engine()->setMaxDownSpeed(cap);
            entries = typed;
            titles.clear();
            pending = ModalAnswer::next(answer);
            q.invoke("onSpeedLimit");
            delete pending;
        };
        setSpeed(0, {"5000.9"});
        QCOMPARE(transfer->speedLimit(), 5000);
        // Above the cap; the cap is raised in the preferences meanwhile.
        setSpeed(100, {"150", "150"});
        QCOMPARE(titles, (QStringList{"Set transfer speed (int KB/s)..", "Incorrect speed..",
                                      "Preferences...", "Set transfer speed (int KB/s).."}));
        QCOMPARE(transfer->speedLimit(), 150);
        QCOMPARE(mostOpen, 1);
    }
};

QTEST_MAIN(TestQueue)
#include "tst_queue.moc"
