#include "engine/dtimings.h"
#include "tests/ui/modalanswer.h"
#include "tests/ui/queuewindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTreeView>
#include <QtTest>

// What the window offers beyond the bare queue: F5 on the pane with the focus, acting on
// finished and failed rows, starting transfers at once, a talking tray icon and a minimum size.
class TestWindowExtras : public QObject
{
    Q_OBJECT

    QList<QUrl> m_opened; // what the desktop was asked to open (nothing really opens here)

public slots:
    void catchUrl(const QUrl& url) { m_opened.append(url); }

private:
    // The texts of the context menu that `slot` opens (none when it opens none), each marked
    // "-" when disabled; triggers `choice` when given.
    static QStringList menuOf(QueueWindow& q, const char* slot, const QString& choice = QString())
    {
        QStringList texts;
        QStringList disabled;
        QPointer<QTimer> answer = ModalAnswer::next(
            [&](QWidget* widget) {
                auto* menu = qobject_cast<QMenu*>(widget);
                QAction* chosen = nullptr;
                for (QAction* action : menu->actions()) {
                    texts << action->text() + (action->isEnabled() ? "" : "-");
                    if (action->text() == choice)
                        chosen = action;
                }
                menu->close();
                if (chosen)
                    chosen->trigger();
            },
            true);
        QMetaObject::invokeMethod(q.window.get(), slot, Q_ARG(QPoint, QPoint()));
        delete answer; // no menu came: the answer must not outlive `texts`
        return texts;
    }

    static void selectOnly(QTreeWidget* list, int row)
    {
        list->clearSelection();
        list->topLevelItem(row)->setSelected(true);
    }

private slots:
    void initTestCase()
    {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "catchUrl");
        // Quick retries take a few milliseconds instead of ten seconds.
        DTimings::setScale(0.01);
    }

    void init() { m_opened.clear(); }

    void cleanupTestCase()
    {
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
    }

    // F5 re-reads the pane that has the focus: the remote folder on show is listed again, the
    // local pane is re-read without asking the service anything.
    void refreshFollowsTheFocus_data()
    {
        QTest::addColumn<bool>("remote");
        QTest::newRow("remote pane") << true;
        QTest::newRow("local pane") << false;
    }

    void refreshFollowsTheFocus()
    {
        QFETCH(bool, remote);
        QueueWindow q;
        QVERIFY(q.open());
        emit q.remote->itemActivated(q.item("Media"), 0);
        QTRY_VERIFY(q.item("clip.mp4"));
        const int listings = q.service.requests("listing").size();
        auto* left = q.window->findChild<QTreeView*>("leftTree");
        QWidget* pane = remote ? static_cast<QWidget*>(q.remote) : left;
        q.window->activateWindow();
        pane->setFocus();
        QTRY_VERIFY(pane->hasFocus());
        q.remote->clear(); // a fresh listing fills it again
        QTest::keyClick(pane, Qt::Key_F5);
        if (remote) {
            QTRY_VERIFY(q.item("clip.mp4"));
            const QJsonArray requests = q.service.requests("listing");
            QCOMPARE(requests.size(), listings + 1);
            QVERIFY(requests.last().toObject().value("fields").toVariant().toStringList().contains(
                "30"));
        } else {
            QTest::qWait(300);
            QCOMPARE(q.service.requests("listing").size(), listings);
            QCOMPARE(q.remote->topLevelItemCount(), 0);
        }
    }

    // A transfer that failed for good goes to the error list with its whole reason as the tool
    // tip; "Retry" puts it back in the queue, where it continues from its partial file or from
    // what the server holds, and ends with every byte right. The success list opens finished
    // downloads and their folder through the desktop and copies a row's link.
    void finishedAndFailedRows_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::newRow("download") << false;
        QTest::newRow("upload") << true;
    }

    void finishedAndFailedRows()
    {
        QFETCH(bool, upload);
        QueueWindow q;
        QVERIFY(q.open());
        constexpr int CutAt = 300000;
        QString localFile = q.home.path() + "/big.bin";
        if (upload) {
            localFile = q.home.path() + "/send.bin";
            QByteArray bytes(700000, Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(QRandomGenerator::global()->bounded(256));
            QVERIFY(writeFile(localFile, bytes));
            q.service.addFault({{"kind", "ftp-stor"}, {"action", "cut"}, {"bytes", CutAt}});
            q.service.addFault({{"kind", "ftp-stor"}, {"action", "quota"}});
            q.startUploads({localFile});
        } else {
            q.service.addFault({{"kind", "download"}, {"action", "cut"}, {"bytes", CutAt}});
            q.service.addFault({{"kind", "download"}, {"action", "missing"}});
            q.remote->clearSelection();
            q.item("big.bin")->setSelected(true);
            q.invoke("download"); // as F3 does, with the row's link
        }
        QCOMPARE(q.running->topLevelItemCount(), 1);
        ModalAnswer::click(q.window.get(), "Start All");
        QTRY_COMPARE_WITH_TIMEOUT(q.errors->topLevelItemCount(), 1, 60000);
        TreeItemWidget* failed = q.row(q.errors, 0);
        const QString reason = failed->text(QueueColumn::State);
        QVERIFY(!reason.isEmpty());
        QCOMPARE(failed->toolTip(QueueColumn::File), reason);
        QCOMPARE(failed->toolTip(QueueColumn::State), reason);
        // What the failed transfer leaves behind is where the retry goes on from.
        QString serverName; // an upload's name on the server carries a time stamp
        for (const QJsonValue& request : q.service.requests("ftp")) {
            if (request.toObject().value("method").toString() == "STOR")
                serverName = request.toObject().value("path").toString().section('/', -1);
        }
        const qint64 kept = upload
                                ? q.service.ftpFile("alice", serverName).value("size").toInteger()
                                : QFileInfo(q.home.path() + "/big.bin.201.part").size();
        QVERIFY(kept > 0);

        const qsizetype ftpBeforeRetry = q.service.requests("ftp").size();
        // Nothing selected: the menu is as it always was.
        QCOMPARE(menuOf(q, "onFailedTreeContextMenu"), QStringList{"Clear List"});
        selectOnly(q.errors, 0);
        QCOMPARE(menuOf(q, "onFailedTreeContextMenu", "Retry"),
                 (QStringList{"Retry", "", "Clear List"}));
        QCOMPARE(q.errors->topLevelItemCount(), 0);
        QCOMPARE(q.tabs->tabText(1), QString("Error Download/Upload (0)"));
        QTRY_COMPARE_WITH_TIMEOUT(q.successes->topLevelItemCount(), 1, 60000);
        if (upload) {
            const QJsonObject sent = q.service.ftpFile("alice", serverName);
            QCOMPARE(sent.value("sha256").toString(), StandIn::sha256Of(localFile));
            // After the retry the file was appended to, never stored again from its start.
            QStringList methods;
            const QJsonArray ftp = q.service.requests("ftp");
            for (qsizetype i = ftpBeforeRetry; i < ftp.size(); ++i)
                methods << ftp.at(i).toObject().value("method").toString();
            QVERIFY2(methods.contains("APPE") && !methods.contains("STOR"),
                     qPrintable(methods.join(' ')));
        } else {
            QCOMPARE(StandIn::sha256Of(localFile), q.service.fileSha256("alice", "201"));
            QCOMPARE(q.service.requests("download").last().toObject().value("range").toString(),
                     QString("bytes=%1-").arg(kept));
        }

        // A finished upload's row gets the file's link once its folder's listing shows it.
        QTRY_VERIFY(!q.row(q.successes, 0)->linkHtml().isEmpty());
        QString link;
        for (const QJsonValue& file : q.service.files("alice")) {
            if (file.toObject().value("name").toString() == QFileInfo(localFile).fileName())
                link = file.toObject().value("link").toString();
        }
        selectOnly(q.successes, 0);
        // Only a finished download is a local file to open.
        const QStringList menu =
            upload ? QStringList{"Open-", "Open Containing Folder-", "Copy Link", "", "Clear List"}
                   : QStringList{"Open", "Open Containing Folder", "Copy Link", "", "Clear List"};
        QCOMPARE(menuOf(q, "onSucessTreeContextMenu", upload ? "" : "Open"), menu);
        if (!upload) {
            menuOf(q, "onSucessTreeContextMenu", "Open Containing Folder");
            QCOMPARE(m_opened, (QList<QUrl>{QUrl::fromLocalFile(localFile),
                                            QUrl::fromLocalFile(q.home.path())}));
        }
        menuOf(q, "onSucessTreeContextMenu", "Copy Link");
        QVERIFY(!link.isEmpty());
        QCOMPARE(QApplication::clipboard()->text(), link);
        menuOf(q, "onSucessTreeContextMenu", "Clear List");
        QCOMPARE(q.successes->topLevelItemCount(), 0);
        QCOMPARE(menuOf(q, "onSucessTreeContextMenu"), QStringList());
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
                if (box->text() == "Start transfers as soon as they are queued") {
                    QVERIFY(!box->isChecked());
                    box->setChecked(tick);
                }
            }
            ModalAnswer::click(dialog, "OK");
        });
        q.invoke("onOptions");
        QCOMPARE(q.engine()->maxDownloads(), 1);

        q.remote->clearSelection();
        q.item("big.bin")->setSelected(true);
        q.invoke("download");
        emit q.remote->itemActivated(q.item("Media"), 0);
        QTRY_VERIFY(q.item("clip.mp4"));
        q.item("clip.mp4")->setSelected(true);
        q.invoke("download");
        QCOMPARE(q.running->topLevelItemCount(), 2);
        const int first = q.row(q.running, 0)->commandId();
        const int second = q.row(q.running, 1)->commandId();
        QTRY_COMPARE(q.engine()->status(first), statuses.at(0));
        QTest::qWait(300);
        QCOMPARE(q.engine()->status(first), statuses.at(0));
        QCOMPARE(q.engine()->status(second), statuses.at(1));
        QCOMPARE(q.engine()->runningDownloadCount(), tick ? 1 : 0);

        q.window.reset();
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QCOMPARE(settings.value("StartTransfersAtOnce").toBool(), tick);
    }

    // The tray icon's tool tip tells how many transfers run and how fast, each direction with
    // its arrow. The first close that hides the window to the tray says once, ever, that the
    // program goes on running there.
    void trayTellsWhatIsGoingOn_data()
    {
        QTest::addColumn<bool>("download");
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QString>("tip");
        QTest::newRow("nothing") << false << false << "^Ferrydesk — no transfers running$";
        QTest::newRow("a download") << true << false << "^Ferrydesk — 1 running, ↓ \\d+ KB/s$";
        QTest::newRow("a download and an upload")
            << true << true << "^Ferrydesk — 2 running, ↓ \\d+ KB/s ↑ \\d+ KB/s$";
    }

    void trayTellsWhatIsGoingOn()
    {
        QFETCH(bool, download);
        QFETCH(bool, upload);
        QFETCH(QString, tip);
        qputenv("FERRYDESK_TEST_TRAY", "1");
        QueueWindow q;
        QVERIFY(q.open());
        qunsetenv("FERRYDESK_TEST_TRAY");
        auto* tray = q.window->findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        q.service.addFault(
            {{"kind", "download"}, {"action", "throttle"}, {"kbps", 100}, {"times", 0}});
        q.service.addFault(
            {{"kind", "ftp-stor"}, {"action", "throttle"}, {"kbps", 100}, {"times", 0}});
        if (download)
            q.startDownloads({"big.bin"}, {"201"});
        if (upload) {
            QVERIFY(writeFile(q.home.path() + "/up.bin", QByteArray(4 << 20, 'u')));
            q.startUploads({q.home.path() + "/up.bin"});
        }
        ModalAnswer::click(q.window.get(), "Start All");
        const QRegularExpression expected(tip);
        QTRY_VERIFY2_WITH_TIMEOUT(expected.match(tray->toolTip()).hasMatch(),
                                  qPrintable(tray->toolTip()), 20000);

        const QString notice = "Ferrydesk is still running in the system tray";
        for (int round = 0; round < 2; ++round) {
            q.window->show();
            QVERIFY(!q.window->close());
            QVERIFY(q.window->isHidden());
        }
        QCOMPARE(q.home.logLines().filter(notice).size(), 1);
        // Once ever: a new start remembers it was said.
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        QVERIFY(settings.value("TrayNoticeShown").toBool());
    }

    // The window cannot be made so small, nor its panes dragged so far shut, that a pane, the
    // queue's buttons or the status bar becomes unusable.
    void minimumSize_data()
    {
        QTest::addColumn<QSize>("windowSize");
        QTest::addColumn<QList<int>>("panes");  // horizontal splitter sizes asked for
        QTest::addColumn<QList<int>>("bottom"); // vertical splitter sizes asked for
        QTest::newRow("window shrunk") << QSize(50, 50) << QList<int>() << QList<int>();
        QTest::newRow("left pane dragged shut")
            << QSize(50, 50) << QList<int>{0, 2000} << QList<int>();
        QTest::newRow("right pane dragged shut")
            << QSize(50, 50) << QList<int>{2000, 0} << QList<int>();
        QTest::newRow("queue dragged shut") << QSize(50, 50) << QList<int>() << QList<int>{2000, 0};
        QTest::newRow("panes dragged shut") << QSize(50, 50) << QList<int>() << QList<int>{0, 2000};
    }

    void minimumSize()
    {
        QFETCH(QSize, windowSize);
        QFETCH(QList<int>, panes);
        QFETCH(QList<int>, bottom);
        QueueWindow q;
        QVERIFY(q.open());
        q.window->resize(windowSize);
        const auto splitters = q.window->findChildren<QSplitter*>();
        for (QSplitter* splitter : splitters) {
            const QList<int> sizes = splitter->orientation() == Qt::Horizontal ? panes : bottom;
            if (!sizes.isEmpty())
                splitter->setSizes(sizes);
        }
        QTest::qWait(100);
        QVERIFY(q.window->width() >= q.window->minimumWidth());
        QVERIFY(q.window->minimumWidth() >= 500 && q.window->minimumHeight() >= 400);

        const auto usable = [](QWidget* widget, int width, int height) {
            return widget && widget->isVisible() && widget->width() >= width &&
                   widget->height() >= height;
        };
        auto* left = q.window->findChild<QTreeView*>("leftTree");
        QVERIFY2(usable(left, 120, 80),
                 qPrintable(QString("%1x%2").arg(left->width()).arg(left->height())));
        QVERIFY2(usable(q.remote, 120, 80),
                 qPrintable(QString("%1x%2").arg(q.remote->width()).arg(q.remote->height())));
        QVERIFY2(usable(q.running, 200, 60),
                 qPrintable(QString("%1x%2").arg(q.running->width()).arg(q.running->height())));
        for (const char* name : {"startAll", "pauseAll", "removeAll"}) {
            auto* button = q.window->findChild<QPushButton*>(name);
            QVERIFY(usable(button, button->sizeHint().width(), button->sizeHint().height()));
        }
        for (const char* name : {"rightStatusBar"})
            QVERIFY(usable(q.window->findChild<QStatusBar*>(name), 100, 10));
        QVERIFY(usable(q.window->statusBar(), 300, 10));
    }
};

QTEST_MAIN(TestWindowExtras)
#include "tst_windowextras.moc"
