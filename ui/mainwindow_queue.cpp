// The transfer queue views: the running, error and success lists, their buttons and menus,
// and the starting of transfers from the window.

#include "ui/mainwindow.h"

#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "ui/dformat.h"

#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QTreeWidget* makeQueueList(QWidget* parent, const QString& stateHeader, const QString& timeHeader)
{
    auto* list = new QTreeWidget(parent);
    list->setColumnCount(12);
    list->setHeaderLabels({QString(), QString(), QString(), QObject::tr("Server / Local file"),
                           QObject::tr("Direction"), QObject::tr("Progress"),
                           QObject::tr("Percent"), QObject::tr("Size"), QObject::tr("Priority"),
                           stateHeader, timeHeader, QObject::tr("Link")});
    list->setAlternatingRowColors(true);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setRootIsDecorated(false);
    return list;
}

} // namespace

QWidget* MainWindow::buildQueueViews(QWidget* parent)
{
    m_tabWidget = new QTabWidget(parent);
    m_tabWidget->setTabPosition(QTabWidget::South);
    m_tabWidget->setObjectName(QStringLiteral("queueTabs"));

    auto* runningPage = new QWidget(m_tabWidget);
    auto* column = new QVBoxLayout(runningPage);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(1);
    auto* startAll = new QPushButton(tr("Start All"), runningPage);
    auto* pauseAll = new QPushButton(tr("Pause All"), runningPage);
    auto* removeAll = new QPushButton(tr("Remove All"), runningPage);
    startAll->setObjectName(QStringLiteral("startAll"));
    pauseAll->setObjectName(QStringLiteral("pauseAll"));
    removeAll->setObjectName(QStringLiteral("removeAll"));
    connect(startAll, &QPushButton::clicked, this, &MainWindow::onResumeAll);
    connect(pauseAll, &QPushButton::clicked, this, &MainWindow::onPauseAll);
    connect(removeAll, &QPushButton::clicked, this, &MainWindow::onAbortAll);
    buttons->addWidget(startAll);
    buttons->addWidget(pauseAll);
    buttons->addWidget(removeAll);
    buttons->addStretch();
    column->addLayout(buttons);
    m_runningList = makeQueueList(runningPage, tr("Speed (KB/s)"), tr("Est time left"));
    m_runningList->header()->setStretchLastSection(false);
    m_runningList->setObjectName(QStringLiteral("runningList"));
    const int widths[] = {48, 24, 24, 200, 80, 100, 50, 60, 50, 100, 80, 200};
    for (int i = 0; i < 12; ++i)
        m_runningList->setColumnWidth(i, widths[i]);
    column->addWidget(m_runningList, 1);

    m_errorList = makeQueueList(m_tabWidget, tr("Reason"), QString());
    m_successList = makeQueueList(m_tabWidget, tr("Time"), QString());
    m_errorList->setObjectName(QStringLiteral("errorList"));
    m_successList->setObjectName(QStringLiteral("successList"));
    for (QTreeWidget* list : {m_errorList, m_successList}) {
        list->setColumnWidth(0, 300);
        for (int hidden : {0, 1, 2, 10})
            list->setColumnHidden(hidden, true);
    }
    m_successList->setColumnHidden(6, true);

    m_tabWidget->addTab(runningPage, tr("Running tasks"));
    m_tabWidget->addTab(m_errorList, tr("Error tasks"));
    m_tabWidget->addTab(m_successList, tr("Success tasks"));
    return m_tabWidget;
}

void MainWindow::connectQueueViews()
{
    connect(m_runningList, &QWidget::customContextMenuRequested, this,
            &MainWindow::onQueueTreeContextMenu, Qt::QueuedConnection);
    connect(m_errorList, &QWidget::customContextMenuRequested, this,
            &MainWindow::onFailedTreeContextMenu, Qt::QueuedConnection);
    connect(m_successList, &QWidget::customContextMenuRequested, this,
            &MainWindow::onSucessTreeContextMenu, Qt::QueuedConnection);
}

void MainWindow::onResume(int cmdId)
{
    m_engine->resume(cmdId);
    m_engine->flush();
}

void MainWindow::onPause(int cmdId)
{
    m_engine->pause(cmdId);
}

void MainWindow::onStart(int cmdId)
{
    m_engine->start(cmdId);
}

void MainWindow::onAbort(int cmdId)
{
    m_engine->abort(cmdId);
}

void MainWindow::onResume() {}

void MainWindow::onPause() {}

void MainWindow::onStart() {}

void MainWindow::onForceStart() {}

void MainWindow::onAbort() {}

void MainWindow::onResumeAll()
{
    for (DCommand* command : m_engine->registry())
        if (command->status() == StatusPaused)
            m_engine->resume(command->id());
    m_engine->flush();
}

void MainWindow::onPauseAll() {}

void MainWindow::onAbortAll() {}

void MainWindow::onSpeedLimit() {}

void MainWindow::updateDataTransferProgress(int, long long, double, int) {}

void MainWindow::updateDataTransferLink(int, const QString&) {}

void MainWindow::dataTransferStatusChanged(int, const QString&, const QString&, DTransferStatus,
                                           const QString&, long long)
{
}

void MainWindow::onQueueTreeContextMenu(const QPoint&) {}

void MainWindow::onFailedTreeContextMenu(const QPoint&) {}

void MainWindow::onSucessTreeContextMenu(const QPoint&) {}

void MainWindow::onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                                      const QStringList& sizes, const QStringList& links)
{
    onStartFileDownLoads(names, ids, sizes, links, QString());
}

void MainWindow::onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                                      const QStringList& sizes, const QStringList& links,
                                      const QString& destination)
{
    const QString folder =
        (destination.isEmpty() ? m_leftPathBox->currentText() : destination) + QLatin1Char('/');
    for (int i = 0; i < names.size(); ++i) {
        // The link label's anchor holds the address.
        const QString html = links.value(i);
        const int start = html.indexOf(QLatin1String("href=\"")) + 6;
        const QString link =
            start < 6 ? QString() : html.mid(start, html.indexOf('"', start) - start);
        m_engine->startDownload(QDir::cleanPath(folder + names.at(i)), ids.value(i),
                                DFormat::readSize(sizes.value(i)), link);
    }
    m_engine->flush();
}

void MainWindow::onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                                      const QStringList& sizes)
{
    onStartFileDownLoads(names, ids, sizes, QStringList());
}

void MainWindow::onFileDroppedRight(const QStringList&, const QString&) {}
