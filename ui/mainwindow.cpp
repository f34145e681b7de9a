#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtypes.h"
#include "protocol/dtreeelement.h"
#include "support/logwindow.h"
#include "ui/dwidgetprompt.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    m_prompt = new DWidgetPrompt(this);
    setPrompt(m_prompt);
    m_engine = new DCommandManager(this);
    m_countdownTimer = new QTimer(this);
    setWindowTitle(QStringLiteral("Ferrydesk ") + QLatin1String(DGlobals::Version));
    if (QSystemTrayIcon::isSystemTrayAvailable())
        createTrayIcon();
}

MainWindow::~MainWindow()
{
    writeWindowSettings();
    setPrompt(nullptr);
    delete m_prompt;
}

void MainWindow::createTrayIcon()
{
    m_trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/qtimage")), this);
    auto* menu = new QMenu(this);
    m_powerOffAction = menu->addAction(tr("Power off when transfers complete"));
    m_powerOffAction->setCheckable(true);
    connect(m_powerOffAction, &QAction::toggled, m_engine, &DCommandManager::setPowerOffOptions);
    connect(menu->addAction(tr("Show")), &QAction::triggered, this, &QWidget::showNormal);
    connect(menu->addAction(tr("Hide")), &QAction::triggered, this, &QWidget::hide);
    connect(menu->addAction(tr("Exit")), &QAction::triggered, this, &MainWindow::onAppQuit);
    m_trayIcon->setContextMenu(menu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    showNormal();
            });
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
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
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

void MainWindow::build()
{
    registerEngineMetaTypes();
    m_busy = true;
    auto* central = new QSplitter(Qt::Vertical, this);
    central->setHandleWidth(1);
    auto* top = new QWidget(central);
    auto* topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(0);
    auto* infoRow = new QHBoxLayout();
    infoRow->setContentsMargins(0, 0, 0, 0);
    infoRow->setSpacing(0);
    m_infoBrowser = new QTextBrowser(top);
    m_infoBrowser->setFrameShape(QFrame::NoFrame);
    m_infoBrowser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_infoBrowser->setMaximumHeight(80);
    LogWindow* log = LogWindow::instance();
    log->setMaximumHeight(80);
    infoRow->addWidget(m_infoBrowser);
    infoRow->addWidget(log);
    topLayout->addLayout(infoRow);
    topLayout->addStretch(1);
    central->addWidget(top);
    setCentralWidget(central);

    m_loginAction = menuBar()->addAction(tr("&Login"));
    m_loginAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    connect(m_loginAction, &QAction::triggered, this, &MainWindow::onLoginLogOut);
    QAction* exitAction = menuBar()->addAction(tr("&Exit"));
    connect(exitAction, &QAction::triggered, this, &MainWindow::onAppQuit);

    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    resize(settings.value(QStringLiteral("size"), QSize(600, 780)).toSize());
    move(settings.value(QStringLiteral("pos"), QPoint(200, 200)).toPoint());
    m_busy = false;
    connectEngine();
    m_engine->startEngine();
    m_built = true;
}

void MainWindow::connectEngine()
{
    connect(m_engine, &DCommandManager::di_userInfoChanged, this, &MainWindow::updateUserInfo,
            Qt::QueuedConnection);
    connect(m_engine, &DCommandManager::di_loggedIn, this, &MainWindow::loginSuccess,
            Qt::QueuedConnection);
    connect(m_engine, &DCommandManager::di_engineStarted, this, &MainWindow::engineStarted,
            Qt::QueuedConnection);
}

void MainWindow::engineStarted()
{
    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    const QString user = settings.value(QStringLiteral("LastUserName")).toString();
    const QString password = settings.value(QStringLiteral("LastPassWord")).toString();
    if (!user.isEmpty()) {
        m_engine->login(user, password);
        return;
    }
    onLoginLogOut();
}

void MainWindow::loginSuccess()
{
    m_busy = true;
    m_loginAction->setText(tr("&Logout"));
    m_engine->restoreHistory();
    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("LastUserName"), m_engine->userName());
    settings.setValue(QStringLiteral("LastPassWord"), m_engine->password());
    m_busy = false;
}

void MainWindow::updateUserInfo(const QString& html)
{
    m_infoBrowser->setHtml(html);
}

void MainWindow::onLoginLogOut()
{
    if (m_loginAction && m_loginAction->text() == tr("&Logout")) {
        m_engine->clearContents();
        m_loginAction->setText(tr("&Login"));
    }
    // The login dialog arrives with the user-interface work.
}

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
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::writeWindowSettings()
{
    if (!m_built)
        return;
    QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("pos"), pos());
    settings.setValue(QStringLiteral("size"), size());
    settings.setValue(QStringLiteral("state"), saveState(0));
    settings.setValue(QStringLiteral("geometry"), saveGeometry());
}
