// Downloading whole remote folders: F3, "Download" or a drop of remote folders on the local
// pane. The tree is listed first (one line in the status bar says how far, Esc cancels), then
// made under the local folder on show, then every file joins the queue as a dropped file does.

#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "support/dlog.h"
#include "ui/folderdownload.h"
#include "ui/treeitemwidget.h"

#include <QComboBox>
#include <QIcon>
#include <QLocale>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include <QSet>

namespace {

// How long the outcome of a folder download stays in the status bar.
constexpr int FolderNoticeMs = 15000;
// Skipped names listed in the log view, one line each; the rest are counted.
constexpr int SkippedNamesShown = 50;

// Counts with a thousands separator, also where the default locale writes none.
QString countText(int count)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(count);
}

} // namespace

void MainWindow::buildFolderDownloadControls()
{
    m_cancelListingButton = new QToolButton(statusBar());
    m_cancelListingButton->setObjectName(QStringLiteral("cancelListing"));
    m_cancelListingButton->setIcon(QIcon(QStringLiteral(":/cancel")));
    m_cancelListingButton->setIconSize(QSize(16, 16));
    m_cancelListingButton->setAutoRaise(true);
    m_cancelListingButton->setToolTip(tr("Stop listing the folder (Esc); nothing is queued"));
    m_cancelListingButton->hide();
    statusBar()->addPermanentWidget(m_cancelListingButton);
    connect(m_cancelListingButton, &QToolButton::clicked, this,
            &MainWindow::onCancelFolderDownloads);

    // Only while a folder is being listed: Esc means nothing to the window otherwise.
    m_cancelListingShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_cancelListingShortcut->setContext(Qt::WindowShortcut);
    m_cancelListingShortcut->setEnabled(false);
    connect(m_cancelListingShortcut, &QShortcut::activated, this,
            &MainWindow::onCancelFolderDownloads);

    m_folderNoticeTimer = new QTimer(this);
    m_folderNoticeTimer->setSingleShot(true);
    m_folderNoticeTimer->setInterval(FolderNoticeMs);
    connect(m_folderNoticeTimer, &QTimer::timeout, this,
            [this] { setFolderText(QString(), false); });
}

bool MainWindow::refusedWithoutDownloads()
{
    if (DGlobals::canDownload)
        return false;
    const QString refusal = DCommandManager::tr("Your account Can NOT Download!");
    showMessage(refusal);
    logError(refusal);
    return true;
}

void MainWindow::onStartFolderDownloads(const QStringList& names, const QStringList& ids)
{
    QList<FolderDownload::Folder> folders;
    for (int i = 0; i < names.size(); ++i) {
        // The listing's own parent entry is no folder to download.
        if (names.at(i) != QLatin1String(".."))
            folders.append({names.at(i), ids.value(i)});
    }
    if (folders.isEmpty())
        return;
    // Said once here rather than by every file of the tree.
    if (refusedWithoutDownloads())
        return;
    auto* job = new FolderDownload(m_engine, folders, localFolder(), this);
    connect(job, &FolderDownload::progressed, this, &MainWindow::showFolderDownloadProgress);
    connect(job, &FolderDownload::finished, this,
            [this, job](FolderDownload::Outcome outcome, const QString& message) {
                folderDownloadEnded(job, outcome, message);
            });
    m_folderDownloads.append(job);
    if (m_folderDownloads.size() == 1)
        startNextFolderDownload();
}

void MainWindow::startNextFolderDownload()
{
    if (m_folderDownloads.isEmpty())
        return;
    FolderDownload* job = m_folderDownloads.first();
    setFolderText(tr("Listing %1: %2 files").arg(job->title(), countText(0)), true);
    job->start();
}

void MainWindow::showFolderDownloadProgress()
{
    if (m_folderDownloads.isEmpty())
        return;
    const FolderDownload* job = m_folderDownloads.first();
    m_folderText = tr("Listing %1: %2 files").arg(job->title(), countText(job->fileCount()));
    // The status bar follows at most as often as the transfer totals do.
    scheduleQueueFollowUps(false);
}

void MainWindow::onCancelFolderDownloads()
{
    if (m_folderDownloads.isEmpty())
        return;
    const QList<FolderDownload*> jobs = m_folderDownloads;
    m_folderDownloads.clear();
    QStringList titles;
    for (FolderDownload* job : jobs) {
        titles << job->title();
        job->disconnect(this);
        job->cancel();
        job->deleteLater();
    }
    const QString text =
        tr("Listing %1 cancelled; nothing was queued").arg(titles.join(QStringLiteral(", ")));
    logStatus(text);
    setFolderText(text, false);
}

void MainWindow::folderDownloadEnded(FolderDownload* job, int outcome, const QString& message)
{
    if (!m_folderDownloads.removeOne(job))
        return;
    job->deleteLater();
    QString text;
    if (outcome == FolderDownload::Complete) {
        const int total = job->files().size();
        const int queued = queueFolderFiles(*job);
        text = tr("%1: %2 files queued").arg(job->title(), countText(queued));
        if (queued < total)
            text += tr(", %1 already in the list").arg(countText(total - queued));
    } else if (outcome == FolderDownload::Cancelled) {
        text = tr("Listing %1 cancelled; nothing was queued").arg(job->title());
    } else {
        text =
            outcome == FolderDownload::Failed ? tr("%1; nothing was queued").arg(message) : message;
    }
    const QStringList& skipped = job->skipped();
    if (!skipped.isEmpty()) {
        text += tr(", %1 skipped (see the log)").arg(countText(skipped.size()));
        QStringList lines = skipped.mid(0, SkippedNamesShown);
        if (skipped.size() > SkippedNamesShown)
            lines << tr("... and %1 more").arg(skipped.size() - SkippedNamesShown);
        logError(
            tr("Not downloaded from %1:\n%2").arg(job->title(), lines.join(QLatin1Char('\n'))));
    }
    if (outcome == FolderDownload::Complete || outcome == FolderDownload::Cancelled)
        logStatus(text);
    else
        logError(text);
    setFolderText(text, false);
    startNextFolderDownload();
}

int MainWindow::queueFolderFiles(const FolderDownload& job)
{
    // A target that is already on its way would only ask "already in download list" once per
    // file: such files are counted, not queued again.
    QSet<QString> busy;
    for (auto it = m_rowsById.cbegin(); it != m_rowsById.cend(); ++it) {
        if (it.value()->direction() == CmdDownload)
            busy.insert(it.value()->text(QueueColumn::File));
    }
    for (const PendingTransfer& pending : m_pendingTransfers) {
        if (!pending.upload)
            busy.insert(pending.path);
    }
    int queued = 0;
    for (const FolderDownload::File& file : job.files()) {
        if (busy.contains(file.target))
            continue;
        m_pendingTransfers.push_back({false, file.target, file.id, file.sizeText, file.linkHtml});
        ++queued;
    }
    // In an event of its own: the last folders were made in this one.
    QTimer::singleShot(0, this, &MainWindow::feedPendingTransfers);
    return queued;
}

void MainWindow::setFolderText(const QString& text, bool listing)
{
    m_folderText = text;
    m_cancelListingButton->setVisible(listing);
    m_cancelListingShortcut->setEnabled(listing);
    if (listing || text.isEmpty())
        m_folderNoticeTimer->stop();
    else
        m_folderNoticeTimer->start();
    updateStatusBarTotals();
}
