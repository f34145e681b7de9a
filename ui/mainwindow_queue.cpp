#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "engine/dprompt.h"
#include "support/dlog.h"
#include "support/dnotifier.h"
#include "ui/dformat.h"
#include "ui/dragformats.h"
#include "ui/rowwidgetplacer.h"
#include "ui/textprompt.h"
#include "ui/treeitemobject.h"
#include "ui/treeitemwidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

using namespace QueueColumn;

// Totals and the local pane follow bursts of reports at most this often.
constexpr int CoalesceMs = 200;
// Longest stretch of starting transfers before the window handles its events again.
constexpr int FeedSliceMs = 5;
// While a long list is being started, its rows join the running list at most this often:
// every addition lays the whole list out again.
constexpr int ShowRowsEveryMs = 500;
// How often waiting files look whether the dialog in their way has closed.
constexpr int DialogCheckMs = 100;
// Failures this close together are one burst, told once; a burst that never settles is still
// told after the longer delay.
constexpr int FailureQuietMs = 1000;
constexpr int FailureNoticeMaxDelayMs = 30000;

// The address inside link label HTML, read from the anchor's target. (Halving the markup-free
// text breaks as soon as the encoded and the readable form differ, e.g. for a blank.) Text
// that is no link label is taken as the address itself.
QString linkFromLabelHtml(const QString& html)
{
    const QString prefix = QStringLiteral("<html><body> <div><a href=\"");
    const int end = html.indexOf(QStringLiteral("\">"), prefix.size());
    if (!html.startsWith(prefix) || end < 0)
        return html;
    const QString target = html.mid(prefix.size(), end - prefix.size());
    return QUrl::fromEncoded(target.toUtf8()).toString();
}

void alignNumbers(QTreeWidgetItem* row)
{
    row->setTextAlignment(Percent, Qt::AlignRight | Qt::AlignVCenter);
    row->setTextAlignment(Size, Qt::AlignRight | Qt::AlignVCenter);
}

// Every file below the given paths; folders are replaced by the files they hold at any depth.
QStringList expandFolders(const QStringList& paths)
{
    QStringList files;
    for (const QString& path : paths) {
        if (!QFileInfo(path).isDir()) {
            files << path;
            continue;
        }
        QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        QStringList below;
        while (it.hasNext())
            below << it.next();
        below.sort();
        files << below;
    }
    return files;
}

} // namespace

// --- Building the lists -------------------------------------------------------------------

QWidget* MainWindow::buildQueueViews(QWidget* parent)
{
    m_tabWidget = new QTabWidget(parent);
    m_tabWidget->setTabPosition(QTabWidget::South);
    m_tabWidget->setObjectName(QStringLiteral("queueTabs"));

    auto* runningPage = new QWidget(m_tabWidget);
    auto* pageLayout = new QVBoxLayout(runningPage);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->setSpacing(0);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(1);
    m_startAllButton = new QPushButton(tr("Start All"), runningPage);
    m_pauseAllButton = new QPushButton(tr("Pause All"), runningPage);
    m_removeAllButton = new QPushButton(tr("Remove All"), runningPage);
    m_startAllButton->setObjectName(QStringLiteral("startAll"));
    m_pauseAllButton->setObjectName(QStringLiteral("pauseAll"));
    m_removeAllButton->setObjectName(QStringLiteral("removeAll"));
    buttons->addWidget(m_startAllButton);
    buttons->addWidget(m_pauseAllButton);
    buttons->addWidget(m_removeAllButton);
    buttons->addStretch();
    pageLayout->addLayout(buttons);

    m_runningList =
        makeQueueList(runningPage, QStringList{tr("Speed (KB/s)"), tr("Est time left")});
    m_runningList->setObjectName(QStringLiteral("runningList"));
    pageLayout->addWidget(m_runningList);
    // "Percent" is wide enough for a six-digit percentage such as "24.1234 %".
    const int widths[Count] = {48, 24, 24, 200, 80, 100, 70, 60, 50, 100, 80, 200};
    for (int column = 0; column < Count; ++column)
        m_runningList->setColumnWidth(column, widths[column]);
    for (int column : {StartStop, PauseResume, Preview})
        m_runningList->header()->setSectionResizeMode(column, QHeaderView::Fixed);
    m_runningList->header()->setStretchLastSection(false);

    m_errorList = makeQueueList(m_tabWidget, QStringList{tr("Reason"), QString()});
    m_errorList->setObjectName(QStringLiteral("errorList"));
    m_successList = makeQueueList(m_tabWidget, QStringList{tr("Time"), QString()});
    m_successList->setObjectName(QStringLiteral("successList"));
    for (QTreeWidget* list : {m_errorList, m_successList}) {
        list->setColumnWidth(StartStop, 300);
        for (int column : {StartStop, PauseResume, Preview, TimeLeft})
            list->setColumnHidden(column, true);
    }
    m_successList->setColumnHidden(Percent, true);

    m_tabWidget->addTab(runningPage, tr("Running tasks"));
    m_tabWidget->addTab(m_errorList, tr("Error tasks"));
    m_tabWidget->addTab(m_successList, tr("Success tasks"));

    m_rowPlacer = new RowWidgetPlacer(this);
    m_rowPlacer->watch(m_runningList, true);
    m_rowPlacer->watch(m_errorList, false);
    m_rowPlacer->watch(m_successList, false);

    m_queueTimer = new QTimer(this);
    m_queueTimer->setSingleShot(true);
    m_queueTimer->setInterval(CoalesceMs);
    connect(m_queueTimer, &QTimer::timeout, this, &MainWindow::flushQueueFollowUps);
    m_failureNoticeTimer = new QTimer(this);
    m_failureNoticeTimer->setSingleShot(true);
    m_failureNoticeTimer->setInterval(FailureQuietMs);
    connect(m_failureNoticeTimer, &QTimer::timeout, this, &MainWindow::tellFailedTransfers);
    return m_tabWidget;
}

QTreeWidget* MainWindow::makeQueueList(QWidget* parent, const QStringList& stateHeaders)
{
    auto* list = new QTreeWidget(parent);
    list->setColumnCount(Count);
    list->setHeaderLabels(QStringList{QString(), QString(), QString(), tr("Server / Local file"),
                                      tr("Direction"), tr("Progress"), tr("Percent"), tr("Size"),
                                      tr("Priority"), stateHeaders.value(0), stateHeaders.value(1),
                                      tr("Link")});
    list->setAlternatingRowColors(true);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    // Long paths keep their file name in view.
    list->setTextElideMode(Qt::ElideMiddle);
    return list;
}

void MainWindow::connectQueueViews()
{
    connect(m_startAllButton, &QPushButton::clicked, this, &MainWindow::onResumeAll);
    connect(m_pauseAllButton, &QPushButton::clicked, this, &MainWindow::onPauseAll);
    connect(m_removeAllButton, &QPushButton::clicked, this, &MainWindow::onAbortAll);
    connect(m_runningList, &QWidget::customContextMenuRequested, this,
            &MainWindow::onQueueTreeContextMenu, Qt::QueuedConnection);
    connect(m_errorList, &QWidget::customContextMenuRequested, this,
            &MainWindow::onFailedTreeContextMenu, Qt::QueuedConnection);
    connect(m_successList, &QWidget::customContextMenuRequested, this,
            &MainWindow::onSucessTreeContextMenu, Qt::QueuedConnection);
    // One connection for all rows: the report goes straight to its row through the id index
    // instead of waking every row of the list.
    connect(m_engine, &DCommandManager::di_commandStatusChanged, this,
            &MainWindow::commandStatusChanged, Qt::QueuedConnection);
    connect(m_engine, &DCommandManager::di_transfersRetired, this, &MainWindow::removeRetiredRows,
            Qt::QueuedConnection);
}

// --- Rows and their index -----------------------------------------------------------------

TreeItemWidget* MainWindow::findRow(int cmdId) const
{
    if (cmdId < 0)
        return nullptr;
    return m_rowsById.value(cmdId, nullptr);
}

TreeItemWidget* MainWindow::newQueueRow(int cmdId)
{
    auto* row = new TreeItemWidget(this, m_engine, cmdId);
    row->setText(Priority, tr("Normal"));
    return row;
}

void MainWindow::giveRowItsId(TreeItemWidget* row, int cmdId, int direction)
{
    row->setDirection(direction);
    row->setCommandId(cmdId);
    m_rowsById.insert(cmdId, row);
}

void MainWindow::appendRunningRows(const QList<TreeItemWidget*>& rows)
{
    if (rows.isEmpty())
        return;
    QList<QTreeWidgetItem*> items(rows.begin(), rows.end());
    m_runningList->addTopLevelItems(items);
    m_rowPlacer->listChanged(m_runningList);
}

void MainWindow::takeOutOfRunningList(TreeItemWidget* row)
{
    m_rowsById.remove(row->commandId());
    m_rowPlacer->forget(row);
    m_runningList->takeTopLevelItem(m_runningList->indexOfTopLevelItem(row));
}

QList<TreeItemWidget*> MainWindow::selectedQueueRows() const
{
    QList<TreeItemWidget*> rows;
    const QList<QTreeWidgetItem*> items = m_runningList->selectedItems();
    for (QTreeWidgetItem* item : items)
        rows << static_cast<TreeItemWidget*>(item);
    return rows;
}

QList<TreeItemWidget*> MainWindow::runningRows() const
{
    QList<TreeItemWidget*> rows;
    rows.reserve(m_runningList->topLevelItemCount());
    for (int i = 0; i < m_runningList->topLevelItemCount(); ++i)
        rows << static_cast<TreeItemWidget*>(m_runningList->topLevelItem(i));
    return rows;
}

void MainWindow::commandStatusChanged(int cmdId, CStatus status)
{
    if (TreeItemWidget* row = findRow(cmdId))
        row->object()->onCommandStatusChanged(cmdId, status);
}

void MainWindow::removeRetiredRows(const QList<int>& cmdIds)
{
    for (int cmdId : cmdIds) {
        TreeItemWidget* row = findRow(cmdId);
        if (!row)
            continue;
        takeOutOfRunningList(row);
        delete row;
    }
    setRunningTabTitle(tr("Uploading/Downloading (%1)"));
    scheduleQueueFollowUps(false);
}

void MainWindow::setRunningTabTitle(const QString& format)
{
    m_tabWidget->setTabText(0, format.arg(m_runningList->topLevelItemCount()));
}

void MainWindow::scheduleQueueFollowUps(bool refreshLocalPane)
{
    m_localRefreshPending = m_localRefreshPending || refreshLocalPane;
    if (!m_queueTimer->isActive())
        m_queueTimer->start();
}

void MainWindow::flushQueueFollowUps()
{
    updateStatusBarTotals();
    noticeBatchEnd();
    if (m_localRefreshPending) {
        m_localRefreshPending = false;
        refreshLocalPane();
    }
}

void MainWindow::onPreview(int cmdId)
{
    playInVlc(m_engine->url(cmdId));
}

// --- Row-button operations ----------------------------------------------------------------

void MainWindow::onResume(int cmdId)
{
    TreeItemWidget* row = findRow(cmdId);
    if (!row)
        return;
    row->setText(State, tr("Queued"));
    m_engine->resume(cmdId);
    m_engine->flush();
}

void MainWindow::onPause(int cmdId)
{
    if (m_busy)
        return;
    TreeItemWidget* row = findRow(cmdId);
    if (!row)
        return;
    m_busy = true;
    row->setText(State, tr("Paused"));
    m_engine->pause(cmdId);
    scheduleQueueFollowUps(false);
    m_busy = false;
}

void MainWindow::onStart(int cmdId)
{
    TreeItemWidget* row = findRow(cmdId);
    if (!row)
        return;
    row->setText(State, tr("Queued"));
    m_engine->start(cmdId);
    m_engine->flush();
}

void MainWindow::onAbort(int cmdId)
{
    if (!findRow(cmdId))
        return;
    if (!askYesCancel(this, tr("Confirm Deleted.."),
                      tr("Do you really want to delete the transfer ?")))
        return;
    abortRows({cmdId});
}

// Takes ids, never rows: the confirmation box ran an event loop, in which a row may have
// finished, failed or gone altogether. Only rows still running are aborted.
void MainWindow::abortRows(const QList<int>& cmdIds)
{
    for (int cmdId : cmdIds) {
        TreeItemWidget* row = findRow(cmdId);
        if (!row)
            continue;
        m_engine->abort(cmdId);
        takeOutOfRunningList(row);
        delete row;
    }
    setRunningTabTitle(tr("Uploading/Downloading (%1)"));
    scheduleQueueFollowUps(false);
}

// --- Operations on the selection and on every row -----------------------------------------

void MainWindow::onResume()
{
    if (m_busy)
        return;
    for (TreeItemWidget* row : selectedQueueRows()) {
        row->setText(State, tr("Queued"));
        m_engine->resume(row->commandId());
    }
    m_engine->flush();
}

void MainWindow::onPause()
{
    if (m_busy)
        return;
    m_busy = true;
    for (TreeItemWidget* row : selectedQueueRows()) {
        row->setText(State, tr("Paused"));
        m_engine->pause(row->commandId());
    }
    scheduleQueueFollowUps(false);
    m_busy = false;
}

void MainWindow::onStart()
{
    for (TreeItemWidget* row : selectedQueueRows()) {
        m_engine->start(row->commandId());
        row->setText(State, tr("Queued"));
    }
    m_engine->flush();
}

void MainWindow::onForceStart()
{
    for (TreeItemWidget* row : selectedQueueRows()) {
        m_engine->forceStart(row->commandId());
        row->setText(State, tr("Queued"));
    }
}

void MainWindow::onAbort()
{
    QList<int> ids;
    for (TreeItemWidget* row : selectedQueueRows())
        ids << row->commandId();
    if (ids.isEmpty())
        return;
    if (!askYesCancel(this, tr("Confirm Deleted.."),
                      tr("Do you really want to delete selected transfers ?")))
        return;
    abortRows(ids);
}

void MainWindow::onResumeAll()
{
    if (m_busy)
        return;
    for (TreeItemWidget* row : runningRows()) {
        if (m_engine->status(row->commandId()) != StatusPaused)
            continue;
        row->setText(State, tr("Queued"));
        m_engine->resume(row->commandId());
    }
    m_engine->flush();
}

void MainWindow::onPauseAll()
{
    if (m_busy)
        return;
    m_busy = true;
    for (TreeItemWidget* row : runningRows()) {
        if (m_engine->status(row->commandId()) == StatusPaused)
            continue;
        row->setText(State, tr("Paused"));
        m_engine->pause(row->commandId());
    }
    m_engine->flush();
    scheduleQueueFollowUps(false);
    m_busy = false;
}

void MainWindow::onAbortAll()
{
    if (!askYesCancel(this, tr("Confirm Deleted.."),
                      tr("Do you really want to delete all transfers ?")))
        return;
    QList<TreeItemWidget*> rows = runningRows();
    std::reverse(rows.begin(), rows.end());
    for (TreeItemWidget* row : std::as_const(rows)) {
        if (row->commandId() >= 0)
            m_engine->abort(row->commandId());
    }
    // Rows still waiting to join the list go with the others.
    for (int cmdId : std::as_const(m_rowsToShow)) {
        TreeItemWidget* row = findRow(cmdId);
        if (row && !row->treeWidget()) {
            m_engine->abort(cmdId);
            m_rowsById.remove(cmdId);
            delete row;
        }
    }
    m_rowsToShow.clear();
    // One reset instead of one removal per row keeps "Remove All" quick on long lists.
    m_rowsById.clear();
    m_rowPlacer->forgetAll(m_runningList);
    m_runningList->clear();
    setRunningTabTitle(tr("Uploading/Downloading (%1)"));
    scheduleQueueFollowUps(false);
}

// --- Speed cap ----------------------------------------------------------------------------

void MainWindow::onSpeedLimit()
{
    // Ids and directions by value: rows may finish or go while the dialogs are open.
    QList<int> ids;
    bool downloads = false;
    bool uploads = false;
    for (TreeItemWidget* row : selectedQueueRows()) {
        ids << row->commandId();
        (row->direction() == CmdUpload ? uploads : downloads) = true;
    }
    if (ids.isEmpty())
        return;

    for (;;) {
        const QString text = askText(this, tr("Set transfer speed (int KB/s).."));
        if (text.isNull())
            return;
        const int speed = static_cast<int>(text.toDouble());
        // Read at every round: the options may have changed the caps meanwhile.
        const int limit = speedCap(downloads, uploads);
        if (limit > 0 && speed > limit) {
            if (!askYesCancel(
                    this, tr("Incorrect speed.."),
                    tr("Speed given for this transfer exceeds maximum limit defined.\nDo you "
                       "want to change the maximum speed now?")))
                return;
            onOptions();
            continue;
        }
        for (int cmdId : ids) {
            if (findRow(cmdId))
                m_engine->setTransferSpeedLimit(cmdId, speed);
        }
        m_engine->flush();
        return;
    }
}

// The global cap that applies to these directions, in whole KB/s; 0 when no cap applies
// (a cap of 0 means no limit).
int MainWindow::speedCap(bool downloads, bool uploads) const
{
    QList<int> caps;
    if (downloads || !uploads)
        caps << static_cast<int>(m_engine->maxDownSpeed());
    if (uploads)
        caps << static_cast<int>(m_engine->maxUpSpeed());
    int cap = 0;
    for (int value : std::as_const(caps)) {
        if (value > 0 && (cap == 0 || value < cap))
            cap = value;
    }
    return cap;
}

// --- Engine reports -----------------------------------------------------------------------

void MainWindow::updateDataTransferProgress(int cmdId, long long progress, double speed,
                                            int timeLeft)
{
    TreeItemWidget* row = findRow(cmdId);
    if (!row)
        return;
    if (m_engine->status(cmdId) == StatusPaused) {
        row->setText(TimeLeft, QStringLiteral("---"));
        row->setText(State, tr("Paused"));
    } else {
        row->setText(State, DFormat::speedText(speed));
        row->setText(TimeLeft, timeLeft < 1 ? tr("few secs..") : DFormat::timeText(timeLeft));
    }
    const double percent = static_cast<double>(progress) / 100.0;
    row->setProgress(static_cast<int>(progress),
                     QString::number(percent, 'g', QLocale::FloatingPointShortest) +
                         QLatin1Char('%'));
    row->setText(Percent, QString::number(percent, 'g', 6) + QStringLiteral(" %"));
    alignNumbers(row);
    scheduleQueueFollowUps(false);
}

void MainWindow::updateDataTransferLink(int cmdId, const QString& link)
{
    TreeItemWidget* row = findRow(cmdId);
    if (!row)
        return;
    row->setLinkHtml(DFormat::linkLabelHtml(link));
    // A download learns its size and whether it plays from its link answer, which comes in
    // the background after the row was made.
    const qint64 size = m_engine->transferSize(cmdId);
    if (size > 0)
        row->setText(Size, DFormat::sizeText(size));
    row->refreshPreview();
}

void MainWindow::onRestoreProgress(int done, int total)
{
    m_restoreText =
        done < total ? tr("Restoring transfers: %1 of %2").arg(done).arg(total) : QString();
    updateStatusBarTotals();
}

void MainWindow::dataTransferStatusChanged(int cmdId, const QString& rFile, const QString& lFile,
                                           DTransferStatus status, const QString& err,
                                           long long size)
{
    // Restored transfers report their full path; only a bare name lives in the folder on show.
    const QString path =
        QFileInfo(rFile).isAbsolute()
            ? QDir::cleanPath(rFile)
            : QDir::cleanPath(m_leftPathBox->currentText() + QDir::separator() + rFile);
    TreeItemWidget* row = findRow(cmdId);
    switch (status) {
    case TransferDone:
    case TransferError:
        if (!row)
            return;
        finishRow(row, status == TransferDone, lFile, path, err);
        if (status == TransferError)
            noteFailedTransfer();
        noticeTransferEnded(status == TransferDone, path, err);
        break;
    case TransferQueued:
        if (row)
            return;
        addAnnouncedRow(cmdId, path, size);
        break;
    case TransferMessage:
        if (!row)
            return;
        row->setText(State, err);
        break;
    }
    scheduleQueueFollowUps(true);
}

void MainWindow::finishRow(TreeItemWidget* row, bool done, const QString& secondFile,
                           const QString& path, const QString& message)
{
    // A download's partial file (a restored row shows it) and its target share one folder,
    // where the finished file took its final name.
    if (done && row->direction() == CmdDownload)
        row->setData(File, LocalFileRole,
                     QFileInfo(row->text(File)).dir().filePath(QFileInfo(secondFile).fileName()));
    takeOutOfRunningList(row);
    row->setText(File, secondFile);
    row->setText(Progress, path);
    if (done) {
        row->setText(State,
                     QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")));
        m_successList->addTopLevelItem(row);
        m_rowPlacer->listChanged(m_successList);
        m_tabWidget->setTabText(
            2, tr("Upload/Download Done (%1)").arg(m_successList->topLevelItemCount()));
        setRunningTabTitle(tr("Processing (%1)"));
        if (row->direction() == CmdUpload)
            m_uploadFinished = true;
    } else {
        row->setText(State, message);
        // The reason column is narrow; the whole reason shows wherever the pointer rests.
        for (int column = 0; column < Count; ++column)
            row->setToolTip(column, message);
        row->setText(Link, QString());
        m_errorList->addTopLevelItem(row);
        m_rowPlacer->listChanged(m_errorList);
        m_tabWidget->setTabText(
            1, tr("Error Download/Upload (%1)").arg(m_errorList->topLevelItemCount()));
        setRunningTabTitle(tr("Uploading/Downloading (%1)"));
    }
}

void MainWindow::noteFailedTransfer()
{
    if (m_untoldFailures++ == 0)
        m_untoldSince.start();
    // Each failure of a burst postpones the notice, up to the longer delay.
    if (!m_untoldSince.hasExpired(FailureNoticeMaxDelayMs) || !m_failureNoticeTimer->isActive())
        m_failureNoticeTimer->start();
}

void MainWindow::tellFailedTransfers()
{
    if (m_untoldFailures == 0)
        return;
    // The log view, not a box: a box would stop whatever the user is doing, once per burst.
    logError(m_untoldFailures == 1
                 ? tr("1 transfer failed; the reason is on the \"Error Download/Upload\" tab.")
                 : tr("%1 transfers failed; the reasons are on the \"Error Download/Upload\" "
                      "tab.")
                       .arg(m_untoldFailures));
    m_untoldFailures = 0;
}

void MainWindow::noticeTransferEnded(bool done, const QString& path, const QString& err)
{
    if (done) {
        ++m_batchDone;
        return;
    }
    ++m_batchFailed;
    m_notifier->notify(tr("Transfer failed"),
                       tr("%1: %2").arg(QFileInfo(path).fileName(), err.simplified()));
}

// Runs after each burst of queue changes: the batch is over when nothing runs or waits to run
// any more (rows the user paused or never started do not hold it open).
void MainWindow::noticeBatchEnd()
{
    if (m_batchDone + m_batchFailed == 0 || !m_pendingTransfers.empty())
        return;
    for (int i = 0; i < m_runningList->topLevelItemCount(); ++i) {
        switch (static_cast<TreeItemWidget*>(m_runningList->topLevelItem(i))->lastStatus()) {
        case StatusRunning:
        case StatusResumeQueued:
        case StatusRetryWait:
        case StatusRetryWaitOnce:
            return;
        default:
            break;
        }
    }
    const int total = m_batchDone + m_batchFailed;
    QString body = total == 1 ? tr("1 transfer ended") : tr("%1 transfers ended").arg(total);
    body += m_batchFailed == 0 ? tr(", all done.")
                               : tr(": %1 done, %2 failed.").arg(m_batchDone).arg(m_batchFailed);
    m_batchDone = 0;
    m_batchFailed = 0;
    m_notifier->notify(tr("Transfers finished"), body);
}

void MainWindow::addAnnouncedRow(int cmdId, const QString& path, long long size)
{
    TreeItemWidget* row = newQueueRow(cmdId);
    const int type = m_engine->commandType(cmdId);
    row->setText(File, path);
    row->setText(Direction, type == CmdDownload ? tr(" <Download> ") : tr(" <Upload> "));
    row->setText(Size, DFormat::sizeText(size));
    row->setText(Progress, tr("Queued"));
    row->setText(State, tr("Queued"));
    giveRowItsId(row, cmdId, type);
    appendRunningRows({row});
    setRunningTabTitle(tr("Uploading/Downloading (%1)"));
}

// --- Adding rows from the window ----------------------------------------------------------

void MainWindow::onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                                      const QStringList& sizes, const QStringList& links)
{
    onStartFileDownLoads(names, ids, sizes, links, QString());
}

void MainWindow::onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                                      const QStringList& sizes)
{
    onStartFileDownLoads(names, ids, sizes, QStringList(), QString());
}

void MainWindow::onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                                      const QStringList& sizes, const QStringList& links,
                                      const QString& destination)
{
    // Refused once for the whole list: the engine would refuse every file, each from a later
    // slice of the feed, one box over another.
    if (!names.isEmpty() && refusedWithoutDownloads())
        return;
    const QString folder =
        (destination.isEmpty() ? m_leftPathBox->currentText() : destination) + QLatin1Char('/');
    QStringList refused;
    for (int i = 0; i < names.size(); ++i) {
        // Names come from any program that can start a drag: only a plain file name may be
        // joined to the destination folder.
        if (!DragFormats::isPlainFileName(names.at(i))) {
            refused << names.at(i);
            continue;
        }
        m_pendingTransfers.push_back(
            {false, folder + names.at(i), ids.value(i), sizes.value(i), links.value(i)});
    }
    if (!refused.isEmpty())
        showMessage(tr("These names cannot be saved in %1 and were skipped:\n%2")
                        .arg(QDir::toNativeSeparators(folder), refused.join(QLatin1Char('\n'))));
    feedPendingTransfers();
}

void MainWindow::onFileDroppedRight(const QStringList& paths, const QString&)
{
    for (const QString& path : expandFolders(paths))
        m_pendingTransfers.push_back({true, path, QString(), QString(), QString()});
    feedPendingTransfers();
}

// Starting a transfer asks the engine (and may ask the user); a long list is started in slices
// with the event loop running between them, so the window never freezes on a big drop.
void MainWindow::feedPendingTransfers()
{
    if (m_feeding)
        return;
    // Starting a file may ask about it; this runs from a timer, also inside the event loop of a
    // dialog that is open already: the files wait until it is closed, never asking over it.
    if (QApplication::activeModalWidget()) {
        QTimer::singleShot(DialogCheckMs, this, &MainWindow::feedPendingTransfers);
        return;
    }
    m_feeding = true;
    QElapsedTimer slice;
    slice.start();
    // Ids, not rows: starting the next transfer may ask the user, and while the question is
    // open a row made before it may finish or go.
    QList<int> added;
    while (!m_pendingTransfers.empty() && slice.elapsed() < FeedSliceMs) {
        const PendingTransfer next = m_pendingTransfers.front();
        m_pendingTransfers.pop_front();
        TreeItemWidget* row = next.upload ? startPendingUpload(next) : startPendingDownload(next);
        if (row)
            added << row->commandId();
    }
    m_rowsToShow << added;
    const bool done = m_pendingTransfers.empty();
    if (done || !m_rowsShownAt.isValid() || m_rowsShownAt.hasExpired(ShowRowsEveryMs))
        showNewRows();
    // New transfers wait paused: the scheduling pass has nothing to start before the end.
    if (done)
        m_engine->flush();
    m_feeding = false;
    if (!done)
        QTimer::singleShot(0, this, &MainWindow::feedPendingTransfers);
}

void MainWindow::showNewRows()
{
    QList<TreeItemWidget*> rows;
    for (int cmdId : std::as_const(m_rowsToShow)) {
        TreeItemWidget* row = findRow(cmdId);
        if (row && !row->treeWidget())
            rows << row;
    }
    m_rowsToShow.clear();
    appendRunningRows(rows);
    setRunningTabTitle(tr("Uploading/Downloading (%1)"));
    m_rowsShownAt.start();
}

TreeItemWidget* MainWindow::startPendingDownload(const PendingTransfer& download)
{
    TreeItemWidget* row = newQueueRow();
    row->setText(File, download.path);
    row->setText(Direction, tr("  <--"));
    // The pane hands over an exact size text ("2097152 bytes"); show it as sizes are shown.
    const qint64 bytes = DFormat::readSize(download.sizeText);
    row->setText(Size, download.sizeText.isEmpty() ? QString() : DFormat::sizeText(bytes));
    row->setText(Progress, tr("Queued"));
    row->setText(State, tr("Queued"));
    const int cmdId = m_engine->startDownload(download.path, download.fileId, bytes,
                                              linkFromLabelHtml(download.linkHtml));
    if (cmdId == -1) {
        delete row;
        return nullptr;
    }
    if (download.sizeText.isEmpty())
        row->setText(Size, DFormat::sizeText(m_engine->transferSize(cmdId)));
    giveRowItsId(row, cmdId, CmdDownload);
    row->setLinkHtml(download.linkHtml);
    return row;
}

TreeItemWidget* MainWindow::startPendingUpload(const PendingTransfer& upload)
{
    const QFileInfo info(upload.path);
    const QString sizeText = DFormat::sizeText(info.size());
    if (!uploadIsWanted(info.fileName(), sizeText))
        return nullptr;
    TreeItemWidget* row = newQueueRow();
    row->setText(File, upload.path);
    row->setText(Direction, tr(" <Upload> "));
    row->setText(Size, sizeText);
    row->setText(State, tr("Queued"));
    row->setText(Percent, QStringLiteral("00.00"));
    alignNumbers(row);
    const int cmdId = info.isFile() ? m_engine->startUpload(upload.path) : -1;
    if (cmdId == -1) {
        delete row;
        return nullptr;
    }
    giveRowItsId(row, cmdId, CmdUpload);
    return row;
}

bool MainWindow::uploadIsWanted(const QString& name, const QString& sizeText)
{
    bool duplicate = false;
    for (auto it = m_remoteFileIndex.crbegin(); it != m_remoteFileIndex.crend(); ++it) {
        if (it->first == name && it->second == sizeText) {
            duplicate = true;
            break;
        }
    }
    if (!duplicate || m_duplicateAnswer == DuplicateContinue)
        return true;
    if (m_duplicateAnswer == DuplicateSkip)
        return false;
    QMessageBox box(QMessageBox::Question, tr("File exists.."),
                    tr("File %1 with size %2 \n already exists").arg(name, sizeText),
                    QMessageBox::NoButton, this);
    QPushButton* goOn = box.addButton(tr("Continue upload"), QMessageBox::AcceptRole);
    box.addButton(tr("Cancel"), QMessageBox::RejectRole);
    auto* remember = new QCheckBox(tr("Remember answer"), &box);
    box.setCheckBox(remember);
    box.exec();
    const bool wanted = box.clickedButton() == goOn;
    if (remember->isChecked())
        m_duplicateAnswer = wanted ? DuplicateContinue : DuplicateSkip;
    return wanted;
}

// --- Context menus ------------------------------------------------------------------------

void MainWindow::onQueueTreeContextMenu(const QPoint& pos)
{
    const QList<TreeItemWidget*> rows = selectedQueueRows();
    QSet<int> statuses;
    for (TreeItemWidget* row : rows)
        statuses.insert(m_engine->status(row->commandId()));
    QMenu menu(this);
    if (statuses.size() == 1) {
        switch (*statuses.cbegin()) {
        case StatusRunning:
            menu.addAction(tr("Pause"), this, qOverload<>(&MainWindow::onPause));
            break;
        case StatusPaused:
            menu.addAction(tr("Resume"), this, qOverload<>(&MainWindow::onResume));
            break;
        case StatusQueued:
            menu.addAction(tr("Start"), this, qOverload<>(&MainWindow::onStart));
            break;
        case StatusRetryWait:
            menu.addAction(tr("Force start"), this, &MainWindow::onForceStart);
            break;
        default:
            break;
        }
    }
    if (!rows.isEmpty()) {
        menu.addAction(m_removeAction);
        menu.addAction(tr("Set speed limit..."), this, &MainWindow::onSpeedLimit);
    }
    menu.addSeparator();
    menu.addAction(tr("Start All"), this, &MainWindow::onResumeAll);
    menu.addAction(tr("Pause All"), this, &MainWindow::onPauseAll);
    menu.addAction(tr("Remove All"), this, &MainWindow::onAbortAll);
    menu.exec(m_runningList->viewport()->mapToGlobal(pos));
}

QList<TreeItemWidget*> MainWindow::selectedRows(QTreeWidget* list) const
{
    QList<TreeItemWidget*> rows;
    const QList<QTreeWidgetItem*> items = list->selectedItems();
    for (QTreeWidgetItem* item : items)
        rows << static_cast<TreeItemWidget*>(item);
    return rows;
}

void MainWindow::addClearListAction(QMenu& menu, QTreeWidget* list)
{
    menu.addAction(tr("Clear List"), this, [this, list] {
        if (list == m_errorList) {
            QList<int> ids;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                ids << static_cast<TreeItemWidget*>(list->topLevelItem(i))->commandId();
            m_engine->forgetFailedTransfers(ids);
        }
        m_rowPlacer->forgetAll(list);
        list->clear();
    });
}

// "Retry" when a selected row can go back to the queue, then "Clear List".
void MainWindow::onFailedTreeContextMenu(const QPoint& pos)
{
    if (m_errorList->topLevelItemCount() == 0)
        return;
    QList<int> retryable;
    for (TreeItemWidget* row : selectedRows(m_errorList)) {
        if (m_engine->canRetry(row->commandId()))
            retryable << row->commandId();
    }
    QMenu menu(this);
    if (!retryable.isEmpty()) {
        menu.addAction(tr("Retry"), this, [this, retryable] { retryFailedTransfers(retryable); });
        menu.addSeparator();
    }
    addClearListAction(menu, m_errorList);
    menu.exec(m_errorList->viewport()->mapToGlobal(pos));
}

// Ids, not rows: a retry may ask the user, and while the question is open the list may be
// cleared. The first transfer that can not come back ends the round, so one Retry shows one box
// at most. The engine announces each transfer it re-creates, which brings its row back to the
// running list.
void MainWindow::retryFailedTransfers(const QList<int>& failedIds)
{
    QSet<int> retried;
    for (int failedId : failedIds) {
        if (m_engine->retryTransfer(failedId) < 0)
            break;
        retried.insert(failedId);
    }
    if (retried.isEmpty())
        return;
    for (int i = m_errorList->topLevelItemCount() - 1; i >= 0; --i) {
        auto* row = static_cast<TreeItemWidget*>(m_errorList->topLevelItem(i));
        if (!retried.contains(row->commandId()))
            continue;
        m_rowPlacer->forget(row);
        delete m_errorList->takeTopLevelItem(i);
    }
    m_tabWidget->setTabText(1,
                            tr("Error Download/Upload (%1)").arg(m_errorList->topLevelItemCount()));
    m_engine->flush();
}

// With rows selected: "Open" and "Open Containing Folder" for finished downloads whose file is
// still there, "Copy Link" for rows that have a link; then "Clear List".
void MainWindow::onSucessTreeContextMenu(const QPoint& pos)
{
    if (m_successList->topLevelItemCount() == 0)
        return;
    const QList<TreeItemWidget*> rows = selectedRows(m_successList);
    QStringList files;
    QStringList folders;
    QStringList links;
    for (TreeItemWidget* row : rows) {
        const QString file = row->data(File, LocalFileRole).toString();
        if (!file.isEmpty() && QFileInfo(file).isFile()) {
            files << file;
            const QString folder = QFileInfo(file).absolutePath();
            if (!folders.contains(folder))
                folders << folder;
        }
        const QString link = linkFromLabelHtml(row->linkHtml());
        if (!link.isEmpty())
            links << link;
    }
    QMenu menu(this);
    if (!rows.isEmpty()) {
        menu.addAction(tr("Open"), this,
                       [this, files] {
                           for (const QString& file : files)
                               openLocalFile(file);
                       })
            ->setEnabled(!files.isEmpty());
        menu.addAction(tr("Open Containing Folder"), this,
                       [this, folders] {
                           for (const QString& folder : folders)
                               openLocalFile(folder);
                       })
            ->setEnabled(!folders.isEmpty());
        menu.addAction(
                tr("Copy Link"), this,
                [links] { QApplication::clipboard()->setText(links.join(QLatin1Char('\n'))); })
            ->setEnabled(!links.isEmpty());
        menu.addSeparator();
    }
    addClearListAction(menu, m_successList);
    menu.exec(m_successList->viewport()->mapToGlobal(pos));
}
