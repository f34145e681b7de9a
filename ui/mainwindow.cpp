#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "protocol/downloadlist.h"
#include "support/dkeyring.h"
#include "support/dlog.h"
#include "support/dnotifier.h"
#include "support/logwindow.h"
#include "ui/dformat.h"
#include "ui/dicons.h"
#include "ui/dstatusbarwidget.h"
#include "ui/dwidgetprompt.h"
#include "ui/folderdownload.h"
#include "ui/linklabeldelegate.h"
#include "ui/logindialog.h"
#include "ui/treeitemwidget.h"
#include "ui/treeview.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QDesktopServices>
#include <QDir>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const QSize DefaultSize(600, 780);
const QPoint DefaultPos(200, 200);
constexpr int InfoMaximumHeight = 80;
constexpr int FirstColumnWidth = 200;
// Below these sizes a pane, the queue's buttons or the status bar stop being usable; the
// splitters can not drag a pane or the queue shut either (a pane dragged to its narrowest
// still shows its path box and a few letters of each name).
const QSize MinimumWindowSize(560, 480);
const QSize MinimumTreeSize(120, 100);
constexpr int MinimumQueueListHeight = 80;
// How long the balloon that says the program went on running in the tray stays up.
constexpr int TrayNoticeMs = 10000;

QSettings windowSettings()
{
    return QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
}

QHBoxLayout* tightRow()
{
    auto* row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    return row;
}

QVBoxLayout* tightColumn(QWidget* owner)
{
    auto* column = new QVBoxLayout(owner);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    return column;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    loadIcons();
    m_prompt = new DWidgetPrompt(this);
    setPrompt(m_prompt);
    m_engine = new DCommandManager(this);
    m_countdownTimer = new QTimer(this);
    m_keyring = new DKeyring(this);
    m_notifier = new DNotifier(this);
    // Queued: the question opens after the notification service's signal has been handled.
    connect(m_notifier, &DNotifier::di_countdownClicked, this, &MainWindow::onTrayMessageClicked,
            Qt::QueuedConnection);
    connect(m_notifier, &DNotifier::di_countdownFailed, this, &MainWindow::onCountdownNoticeFailed);
    setWindowTitle(QStringLiteral("Ferrydesk ") + QLatin1String(DGlobals::Version));
    setWindowIcon(QIcon(QStringLiteral(":/qtimage")));
    createTrayIcon();
}

MainWindow::~MainWindow()
{
    // Before the engine goes: a tree still being listed drops its listings there.
    qDeleteAll(m_folderDownloads);
    m_folderDownloads.clear();
    // Rows that never joined the running list have no parent to free them.
    for (int cmdId : std::as_const(m_rowsToShow)) {
        TreeItemWidget* row = findRow(cmdId);
        if (row && !row->treeWidget())
            delete row;
    }
    writeWindowSettings();
    if (!m_unsavedLastUser.isEmpty() &&
        windowSettings().value(QStringLiteral("LastUserName")).toString() == m_unsavedLastUser)
        windowSettings().setValue(QStringLiteral("LastPassWord"), m_unsavedLastPassword);
    delete m_downloadList;
    setPrompt(nullptr);
    delete m_prompt;
}

// The menu and its power-off action always exist (the options follow the action); the icon
// only where the platform has a tray.
void MainWindow::createTrayIcon()
{
    auto* menu = new QMenu(this);
    m_powerOffAction = menu->addAction(tr("Power off when transfers complete"));
    m_powerOffAction->setObjectName(QStringLiteral("powerOffAction"));
    m_powerOffAction->setCheckable(true);
    connect(m_powerOffAction, &QAction::toggled, m_engine, &DCommandManager::setPowerOffOptions);
    connect(menu->addAction(tr("Show")), &QAction::triggered, this, &QWidget::showNormal);
    connect(menu->addAction(tr("Hide")), &QAction::triggered, this, &QWidget::hide);
    connect(menu->addAction(tr("Exit")), &QAction::triggered, this, &MainWindow::onAppQuit);
    // FERRYDESK_TEST_TRAY=1 stands in for a desktop with a tray (the tests' offscreen platform
    // has none).
    if (!QSystemTrayIcon::isSystemTrayAvailable() &&
        qEnvironmentVariable("FERRYDESK_TEST_TRAY") != QLatin1String("1"))
        return;
    m_trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/qtimage")), this);
    m_trayIcon->setContextMenu(menu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    showNormal();
            });
    connect(m_trayIcon, &QSystemTrayIcon::messageClicked, this, &MainWindow::onTrayMessageClicked);
    updateTrayToolTip(0, 0, false, false);
    m_trayIcon->setVisible(true);
}

bool MainWindow::isMinToTray() const
{
    return m_engine->minToTray();
}

void MainWindow::setTrayIconHidden(bool hidden)
{
    if (m_trayIcon)
        m_trayIcon->setVisible(!hidden);
}

QString MainWindow::loginActionText() const
{
    return m_loginAction ? m_loginAction->text() : QString();
}

void MainWindow::showAppplication()
{
    if (isMinimized()) {
        showNormal();
        restoreGeometry(windowSettings().value(QStringLiteral("geometry")).toByteArray());
    }
    if (isHidden())
        show();
    setTrayIconHidden(false);
    activateWindow();
}

void MainWindow::showEvent(QShowEvent* event)
{
    if (!m_built)
        build();
    QMainWindow::showEvent(event);
}

// --- Building the widget tree -------------------------------------------------------------

void MainWindow::build()
{
    m_loginDialog = new LoginDialog(this, m_keyring);
    registerEngineMetaTypes();
    connect(m_loginDialog, &QDialog::accepted, this, &MainWindow::onLogin);
    m_busy = true;

    m_folderIcon = QIcon();
    m_folderIcon.addPixmap(style()->standardPixmap(QStyle::SP_DirClosedIcon), QIcon::Normal,
                           QIcon::Off);
    m_fileIcon = style()->standardIcon(QStyle::SP_FileIcon);

    m_vSplitter = new QSplitter(Qt::Vertical, this);
    m_vSplitter->setHandleWidth(1);
    m_vSplitter->addWidget(buildTopPart(m_vSplitter));
    m_vSplitter->addWidget(buildQueueViews(m_vSplitter));
    m_downloadList = new DownloadList(nullptr);
    m_downloadList->setEngine(m_engine);

    setCentralWidget(m_vSplitter);
    createActions();
    createMenuBar();
    m_statusBarWidget = new DStatusBarWidget(statusBar());
    statusBar()->layout()->setContentsMargins(0, 0, 0, 0);
    statusBar()->layout()->setSpacing(0);
    statusBar()->addPermanentWidget(m_statusBarWidget, 1);
    buildFolderDownloadControls();
    keepUsableWhenSmall();
    readWindowSettings();

    m_rightTree->setEngine(m_engine);
    m_busy = false;

    connectSignals();
    // The saved folder reached the path box before its handler was connected.
    onLeftModelChanged(m_leftPathBox->currentText());
    m_engine->startEngine();
    m_built = true;
}

void MainWindow::keepUsableWhenSmall()
{
    m_hSplitter->setChildrenCollapsible(false);
    m_vSplitter->setChildrenCollapsible(false);
    m_leftTree->setMinimumSize(MinimumTreeSize);
    m_rightTree->setMinimumSize(MinimumTreeSize);
    for (QTreeWidget* list : {m_runningList, m_errorList, m_successList})
        list->setMinimumHeight(MinimumQueueListHeight);
    setMinimumSize(MinimumWindowSize);
}

QWidget* MainWindow::buildTopPart(QWidget* parent)
{
    auto* top = new QWidget(parent);
    QVBoxLayout* column = tightColumn(top);
    QHBoxLayout* infoRow = tightRow();
    m_infoBrowser = new QTextBrowser(top);
    m_infoBrowser->setObjectName(QStringLiteral("infoBrowser"));
    m_infoBrowser->setFrameShape(QFrame::NoFrame);
    m_infoBrowser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_infoBrowser->setMaximumHeight(InfoMaximumHeight);
    // Anchors go to onOpenLink; the browser itself never leaves the account information.
    m_infoBrowser->setOpenLinks(false);
    m_logView = LogWindow::instance();
    m_logView->setParent(top);
    m_logView->setMaximumHeight(InfoMaximumHeight);
    infoRow->addWidget(m_infoBrowser);
    infoRow->addWidget(m_logView);
    column->addLayout(infoRow);

    m_hSplitter = new QSplitter(Qt::Horizontal, top);
    m_hSplitter->setHandleWidth(1);
    m_hSplitter->addWidget(buildLeftPane(m_hSplitter));
    m_hSplitter->addWidget(buildRightPane(m_hSplitter));
    column->addWidget(m_hSplitter, 1);
    return top;
}

QWidget* MainWindow::buildRightPane(QWidget* parent)
{
    auto* pane = new QWidget(parent);
    m_rightPane = pane;
    QVBoxLayout* column = tightColumn(pane);
    QHBoxLayout* pathRow = tightRow();
    m_rightPathBox = new QComboBox(pane);
    m_rightPathBox->setObjectName(QStringLiteral("rightPathBox"));
    m_rightPathBox->setEditable(true);
    m_rightPathBox->lineEdit()->setReadOnly(true);
    auto* completionModel = new QFileSystemModel(m_rightPathBox);
    m_rightPathBox->setCompleter(new QCompleter(completionModel, m_rightPathBox));
    m_rightOpenButton = new QPushButton(QIcon(QStringLiteral(":/fileopen")), QString(), pane);
    m_rightOpenButton->hide();
    pathRow->addWidget(m_rightPathBox, 1);
    pathRow->addWidget(m_rightOpenButton);
    column->addLayout(pathRow);

    m_rightTree = new TreeWidget(pane);
    m_rightTree->setObjectName(QStringLiteral("rightTree"));
    m_rightTree->setHeaderLabels({tr("Name"), tr("Size"), tr("Date Modified"), tr("Link")});
    m_rightTree->setColumnWidth(TreeWidgetItem::NameColumn, FirstColumnWidth);
    auto* links = new LinkLabelDelegate(m_rightTree);
    m_rightTree->setItemDelegateForColumn(TreeWidgetItem::LinkColumn, links);
    connect(links, &LinkLabelDelegate::linkActivated, this, &MainWindow::onLinkActivated);
    column->addWidget(m_rightTree, 1);
    m_rightStatusBar = new QStatusBar(pane);
    m_rightStatusBar->setObjectName(QStringLiteral("rightStatusBar"));
    m_rightStatusBar->setSizeGripEnabled(false);
    column->addWidget(m_rightStatusBar);
    return pane;
}

void MainWindow::createActions()
{
    const auto paneAction = [this](const QString& text, const QKeySequence& key, QWidget* tree) {
        auto* action = new QAction(text, this);
        if (!key.isEmpty()) {
            action->setShortcut(key);
            action->setShortcutContext(Qt::WidgetShortcut);
            tree->addAction(action);
        }
        return action;
    };
    m_renameAction = paneAction(tr("Rename"), Qt::Key_F2, m_rightTree);
    m_downloadAction = paneAction(tr("Download"), Qt::Key_F3, m_rightTree);
    m_deleteAction = paneAction(tr("Delete"), Qt::Key_Delete, m_rightTree);
    m_createFolderAction = paneAction(tr("Create Folder"), Qt::Key_F7, m_rightTree);
    m_copyLinkAction = paneAction(tr("Copy Link Download"), QKeySequence(), m_rightTree);
    m_rightTree->addAction(m_copyLinkAction);
    m_moveAction = paneAction(tr("Move"), QKeySequence(), m_rightTree);
    m_uploadAction = paneAction(tr("Upload"), Qt::Key_F3, m_leftTree);
    m_localRenameAction = paneAction(tr("Rename"), Qt::Key_F2, m_leftTree);
    m_localDeleteAction = paneAction(tr("Delete"), Qt::Key_Delete, m_leftTree);
    m_localCreateFolderAction = paneAction(tr("Create Folder"), Qt::Key_F7, m_leftTree);
    m_openAction = paneAction(tr("Open"), QKeySequence(), m_leftTree);
    m_leftTree->addAction(m_openAction);
    m_removeAction = paneAction(tr("Remove this"), Qt::Key_Delete, m_runningList);

    connect(m_renameAction, &QAction::triggered, this, &MainWindow::onRename);
    connect(m_downloadAction, &QAction::triggered, this, &MainWindow::download);
    connect(m_deleteAction, &QAction::triggered, this, &MainWindow::onDelete);
    connect(m_createFolderAction, &QAction::triggered, this, &MainWindow::onCreateFolder);
    connect(m_copyLinkAction, &QAction::triggered, this, &MainWindow::onCopyDownLoadLink);
    connect(m_moveAction, &QAction::triggered, this, &MainWindow::onMoveFile);
    connect(m_uploadAction, &QAction::triggered, this, &MainWindow::upload);
    connect(m_localRenameAction, &QAction::triggered, this, &MainWindow::onLocalRename);
    connect(m_localDeleteAction, &QAction::triggered, this, &MainWindow::onLocalDelete);
    connect(m_localCreateFolderAction, &QAction::triggered, this,
            qOverload<>(&MainWindow::onLocalCreateFolder));
    connect(m_openAction, &QAction::triggered, this, &MainWindow::open);
    connect(m_removeAction, &QAction::triggered, this, qOverload<>(&MainWindow::onAbort));
}

void MainWindow::createMenuBar()
{
    const auto menuAction = [this](const QString& text, const QKeySequence& key) {
        QAction* action = menuBar()->addAction(text);
        action->setShortcut(key);
        return action;
    };
    m_loginAction = menuAction(tr("&Login"), QKeySequence(QStringLiteral("Ctrl+L")));
    m_optionAction = menuAction(tr("&Option"), QKeySequence(QStringLiteral("Ctrl+O")));
    m_downloadLinksAction =
        menuAction(tr("&Download-Links"), QKeySequence(QStringLiteral("Ctrl+D")));
    m_refreshAction = menuAction(tr("&Refresh"), QKeySequence(Qt::Key_F5));
    m_exitAction = menuAction(tr("&Exit"), QKeySequence());
    m_helpAction = menuAction(tr("&Help"), QKeySequence(QStringLiteral("Ctrl+H")));
    connect(m_loginAction, &QAction::triggered, this, &MainWindow::onLoginLogOut);
    connect(m_optionAction, &QAction::triggered, this, &MainWindow::onOptions);
    connect(m_downloadLinksAction, &QAction::triggered, this, &MainWindow::onOpenDownloadList);
    connect(m_refreshAction, &QAction::triggered, this, &MainWindow::onRefresh);
    connect(m_exitAction, &QAction::triggered, this, &MainWindow::onAppQuit);
    connect(m_helpAction, &QAction::triggered, this, &MainWindow::onHelp);
}

void MainWindow::connectSignals()
{
    connect(m_infoBrowser, &QTextBrowser::anchorClicked, this, &MainWindow::onOpenLink);
    connectLeftPane();

    connect(m_rightPathBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &MainWindow::onRightComboBoxIndexChanged);
    connect(m_rightTree, &QTreeWidget::itemActivated, this, &MainWindow::onRightTreeDoubleClick);
    connect(m_rightTree, &QWidget::customContextMenuRequested, this,
            &MainWindow::onRightTreeContextMenu);
    connect(m_rightTree, &TreeWidget::di_backSpacePressed, this, &MainWindow::onServerHome);
    connect(m_rightTree, &TreeWidget::di_startCopy, this, &MainWindow::onFileDroppedRight);
    connect(m_rightTree, &TreeWidget::di_startMove, this, &MainWindow::onFileMove);

    connectQueueViews();

    const auto queued = Qt::QueuedConnection;
    connect(m_engine, &DCommandManager::di_contentsChanged, this, &MainWindow::fillHttpTree,
            queued);
    connect(m_engine, &DCommandManager::di_userInfoChanged, this, &MainWindow::updateUserInfo,
            queued);
    connect(m_engine, &DCommandManager::di_loggedIn, this, &MainWindow::loginSuccess, queued);
    connect(m_engine, &DCommandManager::di_engineStarted, this, &MainWindow::engineStarted, queued);
    connect(m_engine, &DCommandManager::di_dataTransferProgress, this,
            &MainWindow::updateDataTransferProgress, queued);
    connect(m_engine, &DCommandManager::di_updateLink, this, &MainWindow::updateDataTransferLink,
            queued);
    connect(m_engine, &DCommandManager::di_dataTransferStatus, this,
            &MainWindow::dataTransferStatusChanged, queued);
    connect(m_engine, &DCommandManager::di_listingFailed, this, &MainWindow::onListingFailed,
            queued);
    connect(m_engine, &DCommandManager::di_restoreProgress, this, &MainWindow::onRestoreProgress,
            queued);
    connect(m_engine, &DCommandManager::di_shutDown, this, &MainWindow::shutDownRequested, queued);
    connect(m_engine, &DCommandManager::di_createDirectory, this,
            qOverload<const QString&>(&MainWindow::onLocalCreateFolder));
}

// --- Window settings ----------------------------------------------------------------------

void MainWindow::readWindowSettings()
{
    QSettings settings = windowSettings();
    QRect frame(settings.value(QStringLiteral("pos"), DefaultPos).toPoint(),
                settings.value(QStringLiteral("size"), DefaultSize).toSize());
    // A size saved on a larger screen would hide the queue and the status bar off this one.
    if (const QScreen* screen = QGuiApplication::screenAt(frame.topLeft())
                                    ? QGuiApplication::screenAt(frame.topLeft())
                                    : QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        frame.setSize(frame.size().boundedTo(available.size()));
        frame.moveRight(std::min(frame.right(), available.right()));
        frame.moveBottom(std::min(frame.bottom(), available.bottom()));
        frame.moveLeft(std::max(frame.left(), available.left()));
        frame.moveTop(std::max(frame.top(), available.top()));
    }
    resize(frame.size());
    move(frame.topLeft());
    m_hSplitter->setSizes({300, 300});
    m_vSplitter->setSizes({480, 300});
    const QString leftDirectory = settings.value(QStringLiteral("leftDirectory")).toString();
    if (!leftDirectory.isEmpty()) {
        // With the busy flag cleared the local pane follows the text.
        m_busy = false;
        m_leftPathBox->lineEdit()->setText(leftDirectory);
        m_busy = true;
    }
}

void MainWindow::writeWindowSettings()
{
    if (!m_built)
        return;
    QSettings settings = windowSettings();
    settings.setValue(QStringLiteral("pos"), pos());
    settings.setValue(QStringLiteral("size"), size());
    settings.setValue(QStringLiteral("state"), saveState(0));
    settings.setValue(QStringLiteral("geometry"), saveGeometry());
    settings.setValue(QStringLiteral("vSplitterstate"), m_vSplitter->saveState());
    settings.setValue(QStringLiteral("vSplitter"), m_vSplitter->saveGeometry());
    settings.setValue(QStringLiteral("hSplitterstate"), m_hSplitter->saveState());
    settings.setValue(QStringLiteral("hSplitter"), m_hSplitter->saveGeometry());
    settings.setValue(QStringLiteral("leftDirectory"), m_leftPathBox->currentText());
}

// --- Engine start, login and log-out ------------------------------------------------------

void MainWindow::engineStarted()
{
    QSettings settings = windowSettings();
    const QString user = settings.value(QStringLiteral("LastUserName")).toString();
    if (user.isEmpty()) {
        onLoginLogOut();
        return;
    }
    // A password in the file is newer than the keyring's: the keyring refused it last time.
    if (settings.contains(QStringLiteral("LastPassWord")) || !m_keyring->isUsable()) {
        m_engine->login(user, settings.value(QStringLiteral("LastPassWord")).toString());
        return;
    }
    m_keyring->read(DKeyring::lastLoginKey(user), this,
                    [this, user](bool found, const QString& password) {
                        if (m_loginAction->text() == tr("&Logout"))
                            return; // the user logged in meanwhile
                        if (found)
                            m_engine->login(user, password);
                        else
                            onLoginLogOut();
                    });
}

void MainWindow::rememberLastPassword(const QString& user, const QString& previousUser,
                                      const QString& password)
{
    QSettings settings = windowSettings();
    if (!m_keyring->isUsable()) {
        settings.setValue(QStringLiteral("LastPassWord"), password);
        return;
    }
    // A copy already in the file stays current until the keyring holds the password.
    if (settings.contains(QStringLiteral("LastPassWord")))
        settings.setValue(QStringLiteral("LastPassWord"), password);
    m_unsavedLastUser = user;
    m_unsavedLastPassword = password;
    m_keyring->write(DKeyring::lastLoginKey(user), password, this,
                     [this, user, previousUser, password](bool stored) {
                         if (m_unsavedLastUser == user && m_unsavedLastPassword == password)
                             m_unsavedLastUser.clear();
                         QSettings settings = windowSettings();
                         if (settings.value(QStringLiteral("LastUserName")).toString() != user)
                             return; // another login came since
                         if (!stored) {
                             settings.setValue(QStringLiteral("LastPassWord"), password);
                             return;
                         }
                         settings.remove(QStringLiteral("LastPassWord"));
                         if (!previousUser.isEmpty() && previousUser != user)
                             m_keyring->remove(DKeyring::lastLoginKey(previousUser));
                     });
}

void MainWindow::loginSuccess()
{
    // A tree being listed belongs to the session before this one.
    onCancelFolderDownloads();
    m_busy = true;
    m_loginAction->setText(tr("&Logout"));
    m_engine->restoreHistory();
    {
        QSettings settings = windowSettings();
        const QString previousUser = settings.value(QStringLiteral("LastUserName")).toString();
        settings.setValue(QStringLiteral("LastUserName"), m_engine->userName());
        settings.sync();
        rememberLastPassword(m_engine->userName(), previousUser, m_engine->password());
    }
    m_loginDialog->moveToKeyring();
    const bool showList = windowSettings().value(QStringLiteral("ShowDownloadList"), true).toBool();
    m_downloadList->setShowAfterLogin(showList);
    if (showList)
        onOpenDownloadList();
    setRightPath(QStringLiteral("/"), QString());
    m_busy = false;
}

void MainWindow::onLoginLogOut()
{
    if (m_loginAction->text() == tr("&Logout")) {
        // A tree being listed belongs to the session that ends.
        onCancelFolderDownloads();
        m_engine->clearContents();
        m_loginAction->setText(tr("&Login"));
        m_rightPathBox->lineEdit()->clear();
        return;
    }
    m_loginDialog->show();
    m_loginDialog->raise();
}

void MainWindow::onLogin()
{
    m_engine->login(m_loginDialog->userName(), m_loginDialog->password());
}

void MainWindow::onOpenDownloadList()
{
    m_downloadList->resize(600, 200);
    if (m_downloadList->exec() == QDialog::Accepted) {
        QStringList names;
        QStringList ids;
        QStringList links;
        m_downloadList->checkLinks(names, ids, links);
        QStringList sizes;
        for (int i = 0; i < names.size(); ++i)
            sizes.append(QString());
        onStartFileDownLoads(names, ids, sizes, links);
    }
    windowSettings().setValue(QStringLiteral("ShowDownloadList"), m_downloadList->showAfterLogin());
}

void MainWindow::updateUserInfo(const QString& html)
{
    m_infoBrowser->setHtml(html);
}

// --- Links --------------------------------------------------------------------------------

// A deployment may serve the service's web pages (help, file pages) elsewhere than at
// "http(s)://<service host>/", as the local stand-in of the demo does on its own port:
// FERRYDESK_WEB_BASE ("http://127.0.0.1:56666") then stands for the scheme, host and port of
// every address on the service host that names no port.
QUrl MainWindow::servedAddress(QUrl url) const
{
    const QUrl base(qEnvironmentVariable("FERRYDESK_WEB_BASE"));
    if (base.host().isEmpty() || url.port() != -1 ||
        url.host().compare(m_engine->serviceHost(), Qt::CaseInsensitive) != 0)
        return url;
    url.setScheme(base.scheme());
    url.setHost(base.host());
    url.setPort(base.port());
    return url;
}

void MainWindow::openExternalLink(const QUrl& link)
{
    const QString scheme = link.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        logError(tr("Refused to open link: %1").arg(link.toString()));
        return;
    }
    const QUrl url = servedAddress(link);
    if (!QDesktopServices::openUrl(url))
        logError(tr("Could not open %1 in a web browser; open it by hand.").arg(url.toString()));
}

void MainWindow::onHelp()
{
    openExternalLink(QUrl(QStringLiteral("http://") + m_engine->serviceHost() +
                          QStringLiteral("/help.html?tool=1")));
}

void MainWindow::onOpenLink(const QUrl& url)
{
    const QString html = m_infoBrowser->toHtml();
    openExternalLink(url);
    m_infoBrowser->setHtml(html);
}

void MainWindow::onLinkActivated(const QString& link)
{
    openExternalLink(QUrl(link));
}

// --- Status bar ---------------------------------------------------------------------------

void MainWindow::updateStatusBarTotals()
{
    constexpr int StateColumn = 9;
    constexpr int DataColumn = 3;
    constexpr int DirectionRole = Qt::UserRole + 2;
    QList<QPair<int, QString>> states;
    states.reserve(m_runningList->topLevelItemCount());
    for (int i = 0; i < m_runningList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = m_runningList->topLevelItem(i);
        states.append({row->data(DataColumn, DirectionRole).toInt(), row->text(StateColumn)});
    }
    const DStatusBarWidget::Totals totals = DStatusBarWidget::totalsOf(states);
    m_statusBarWidget->showTotals(totals);
    updateTrayToolTip(totals.down, totals.up, totals.downloads > 0, totals.uploads > 0);
    for (const QString& text : {m_folderText, m_restoreText}) {
        if (text.isEmpty())
            continue;
        const QString shown = m_statusBarWidget->message();
        m_statusBarWidget->setMessage(shown.isEmpty() ? text
                                                      : text + QStringLiteral("   ") + shown);
    }
}

// --- Close, hide and quit -----------------------------------------------------------------

void MainWindow::onAppQuit()
{
    m_engine->abortAll();
    QApplication::exit(0);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_trayIcon && m_engine->minToTray()) {
        event->ignore();
        hide();
        if (m_loginDialog)
            m_loginDialog->hide();
        tellRunningInTray();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::tellRunningInTray()
{
    QSettings settings = windowSettings();
    // A power-off countdown owns the tray's balloons (a click on one aborts it).
    if (settings.value(QStringLiteral("TrayNoticeShown"), false).toBool() || m_shutdownPending)
        return;
    settings.setValue(QStringLiteral("TrayNoticeShown"), true);
    const QString text = tr("Ferrydesk is still running in the system tray, and so are its "
                            "transfers. Click the tray icon to bring the window back, or choose "
                            "\"Exit\" in its menu to quit.");
    logStatus(text);
    if (!QSystemTrayIcon::supportsMessages())
        return;
    m_trayMessageTitle = QStringLiteral("Ferrydesk");
    m_trayIcon->showMessage(m_trayMessageTitle, text, QSystemTrayIcon::Information, TrayNoticeMs);
}

// --- Tray tool tip ------------------------------------------------------------------------

void MainWindow::updateTrayToolTip(double downKbps, double upKbps, bool downloads, bool uploads)
{
    if (!m_trayIcon)
        return;
    const auto speed = [](double kbps) {
        return DFormat::sizeText(static_cast<qint64>(kbps * 1024)) + QStringLiteral("/s");
    };
    const int running = m_engine->runningTransferCount();
    QString tip = QStringLiteral("Ferrydesk \u2014 ");
    if (running == 0) {
        tip += tr("no transfers running");
    } else {
        tip += tr("%1 running").arg(running);
        if (downloads || uploads)
            tip += QLatin1Char(',');
        if (downloads)
            tip += QStringLiteral(" \u2193 ") + speed(downKbps);
        if (uploads)
            tip += QStringLiteral(" \u2191 ") + speed(upKbps);
    }
    m_trayIcon->setToolTip(tip);
}

void MainWindow::openLocalFile(const QString& path)
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        logError(tr("Could not open %1; open it by hand.").arg(QDir::toNativeSeparators(path)));
}
