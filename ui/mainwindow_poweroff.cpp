// The power-off countdown after the last transfer: ten minutes of tray balloons that a click
// can abort, then the shut-down command.

#include "ui/mainwindow.h"

#include "engine/dprompt.h"
#include "engine/dtimings.h"
#include "support/dnotifier.h"
#include "support/dshutdown.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

constexpr int TickMs = 1000;
constexpr int FirstNoticeMs = 1000;
constexpr int TickNoticeMs = 10000;
const char* const NoticeName = "shutDownNotice";

} // namespace

void MainWindow::shutDownRequested()
{
    m_shutdownPending = true;
    m_trayMessageTitle = tr("Shut Down Computer");
    // Connected once: a second request restarts the countdown, it never doubles the ticks.
    connect(m_countdownTimer, &QTimer::timeout, this, &MainWindow::updateShutDownMessage,
            Qt::UniqueConnection);
    m_countdownTimer->start(DTimings::scaled(TickMs));
    m_timeLeft = QTime(0, 0).addSecs(DTimings::PowerOffCountdownSec);
    showShutDownNotice(tr("Going to shut down in 10 mins.\nClick to abort process."),
                       FirstNoticeMs);
}

void MainWindow::updateShutDownMessage()
{
    if (!m_timeLeft.isValid()) {
        m_countdownTimer->stop();
        return;
    }
    m_timeLeft = m_timeLeft.addSecs(-1);
    showShutDownNotice(tr("Going to shut down in %1 mins %2 secs.\nClick to abort process.")
                           .arg(m_timeLeft.minute())
                           .arg(m_timeLeft.second()),
                       TickNoticeMs);
    if (m_timeLeft.minute() == 0 && m_timeLeft.second() == 0)
        shutdownMachine();
}

void MainWindow::onTrayMessageClicked()
{
    if (m_trayMessageTitle != tr("Shut Down Computer"))
        return;
    if (prompt()->askYesCancel(tr("Confirm shut down.."),
                               tr("Do you really want to shut down the machine ?"))) {
        shutdownMachine();
        return;
    }
    m_shutdownPending = false;
    m_timeLeft = QTime();
    m_countdownTimer->stop();
    hideShutDownNotice();
}

void MainWindow::shutdownMachine()
{
    m_countdownTimer->stop();
    if (!m_shutdownPending)
        return;
    // Once: a refused command leaves the program running with the countdown over.
    m_shutdownPending = false;
    hideShutDownNotice();
    DShutdown::powerOff();
}

// The balloons need a system tray. Without one (many Wayland desktops) the countdown shows as
// a notice of the desktop's notification service, whose "Abort" action stands for the click on
// the balloon; without that service too, in a small window of its own with an "Abort..."
// button. So a countdown never runs unseen and can always be aborted.
void MainWindow::showShutDownNotice(const QString& text, int displayMs)
{
    m_shutDownText = text;
    if (m_trayIcon && m_trayIcon->isVisible() && QSystemTrayIcon::supportsMessages()) {
        m_trayIcon->showMessage(m_trayMessageTitle, text, QSystemTrayIcon::Critical, displayMs);
        return;
    }
    if (m_notifier->isAvailable()) {
        m_notifier->showCountdown(m_trayMessageTitle, text);
        return;
    }
    showShutDownWindow(text);
}

void MainWindow::onCountdownNoticeFailed()
{
    if (m_shutdownPending)
        showShutDownWindow(m_shutDownText);
}

void MainWindow::showShutDownWindow(const QString& text)
{
    auto* notice = findChild<QMessageBox*>(QLatin1String(NoticeName), Qt::FindDirectChildrenOnly);
    if (!notice) {
        notice = new QMessageBox(QMessageBox::Critical, m_trayMessageTitle, text,
                                 QMessageBox::NoButton, this);
        notice->setObjectName(QLatin1String(NoticeName));
        notice->setWindowModality(Qt::NonModal);
        notice->addButton(tr("Abort..."), QMessageBox::RejectRole);
        // Queued: the question opens after the notice has closed.
        connect(notice, &QMessageBox::finished, this, &MainWindow::onTrayMessageClicked,
                Qt::QueuedConnection);
    }
    notice->setText(text);
    if (!notice->isVisible())
        notice->show();
}

void MainWindow::hideShutDownNotice()
{
    m_notifier->closeCountdown();
    if (auto* notice =
            findChild<QMessageBox*>(QLatin1String(NoticeName), Qt::FindDirectChildrenOnly)) {
        notice->blockSignals(true);
        notice->hide();
        notice->blockSignals(false);
    }
}
