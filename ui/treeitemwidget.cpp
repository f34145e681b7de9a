#include "ui/treeitemwidget.h"

#include "engine/dcommandmanager.h"
#include "ui/mainwindow.h"
#include "ui/treeitemobject.h"

#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QToolButton>
#include <QTreeWidget>

namespace {

const int ProgressMaximum = 10000;

// Icons are shared by every row; loading one per button would read the image each time.
QIcon sharedIcon(const QString& name)
{
    static QHash<QString, QIcon> icons;
    auto it = icons.find(name);
    if (it == icons.end())
        it = icons.insert(name, QIcon(name));
    return *it;
}

void showButton(QToolButton* button, const QString& icon, const QString& tip, bool enabled)
{
    button->setIcon(sharedIcon(icon));
    button->setToolTip(tip);
    button->setEnabled(enabled);
}

} // namespace

TreeItemWidget::TreeItemWidget(MainWindow* window, DCommandManager* engine, int commandId)
    : m_window(window), m_engine(engine), m_commandId(commandId),
      m_object(std::make_unique<TreeItemObject>(this))
{
    setData(QueueColumn::File, QueueColumn::IdRole, commandId);
}

TreeItemWidget::~TreeItemWidget() = default;

void TreeItemWidget::setCommandId(int commandId)
{
    m_commandId = commandId;
    setData(QueueColumn::File, QueueColumn::IdRole, commandId);
    applyStatus(static_cast<CStatus>(m_engine->status(commandId)));
    refreshPreview();
}

void TreeItemWidget::refreshPreview()
{
    if (m_preview)
        m_preview->setEnabled(m_commandId >= 0 && m_engine->isPlayable(m_commandId));
}

int TreeItemWidget::direction() const
{
    return data(QueueColumn::File, QueueColumn::DirectionRole).toInt();
}

void TreeItemWidget::setDirection(int direction)
{
    setData(QueueColumn::File, QueueColumn::DirectionRole, direction);
}

void TreeItemWidget::applyStatus(CStatus status)
{
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    showStatusOnButtons();
}

void TreeItemWidget::showStatusOnButtons()
{
    if (!m_startStop || m_lastStatus == StatusUnknown)
        return;
    const QString cancel = QStringLiteral(":/cancel");
    const QString cancelTip = QObject::tr("Huy download/upload");
    switch (m_lastStatus) {
    case StatusRunning:
    case StatusResumeQueued:
        showButton(m_startStop, cancel, cancelTip, true);
        showButton(m_pauseResume, QStringLiteral(":/pause"),
                   QObject::tr("Tam dung download/upload"), true);
        break;
    case StatusPaused:
        showButton(m_startStop, cancel, cancelTip, true);
        showButton(m_pauseResume, QStringLiteral(":/start"),
                   QObject::tr("Bat dau/Tiep tuc download/upload"), true);
        break;
    case StatusQueued:
        showButton(m_startStop, QStringLiteral(":/stop"), QObject::tr("Bat dau download/upload"),
                   true);
        m_pauseResume->setEnabled(false);
        break;
    default:
        showButton(m_startStop, cancel, cancelTip, true);
        m_pauseResume->setEnabled(false);
        break;
    }
}

void TreeItemWidget::startStopClicked()
{
    if (m_lastStatus == StatusQueued)
        m_window->onStart(m_commandId);
    else
        m_window->onAbort(m_commandId);
}

void TreeItemWidget::pauseResumeClicked()
{
    if (m_lastStatus == StatusRunning || m_lastStatus == StatusResumeQueued)
        m_window->onPause(m_commandId);
    else if (m_lastStatus == StatusPaused)
        m_window->onResume(m_commandId);
}

void TreeItemWidget::previewClicked()
{
    m_window->onPreview(m_commandId);
}

QToolButton* TreeItemWidget::makeButton(const QString& icon, void (TreeItemObject::*clicked)())
{
    auto* button = new QToolButton;
    button->setIcon(sharedIcon(icon));
    button->setIconSize(QSize(16, 16));
    button->setAutoFillBackground(true);
    QObject::connect(button, &QToolButton::clicked, m_object.get(), clicked);
    return button;
}

QLabel* TreeItemWidget::makeLinkLabel() const
{
    auto* label = new QLabel(m_linkHtml);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    if (m_window)
        QObject::connect(label, &QLabel::linkActivated, m_window, &MainWindow::onLinkActivated);
    return label;
}

void TreeItemWidget::placeWidgets(bool withControls)
{
    QTreeWidget* tree = treeWidget();
    if (!tree || m_placed)
        return;
    m_placed = true;
    if (withControls) {
        m_startStop = makeButton(QStringLiteral(":/stop"), &TreeItemObject::onStartStopClicked);
        m_pauseResume =
            makeButton(QStringLiteral(":/start"), &TreeItemObject::onPauseResumeClicked);
        m_pauseResume->setEnabled(false);
        m_preview = makeButton(QStringLiteral(":/vlc"), &TreeItemObject::onVLCClicked);
        m_preview->setToolTip(QObject::tr("Xem phim truoc khi download (Su dung VLC Player)"));
        refreshPreview();
        showStatusOnButtons();
        m_progressBar = new QProgressBar;
        m_progressBar->setRange(0, ProgressMaximum);
        m_progressBar->setTextVisible(false);
        m_progressBar->setValue(m_progress);
        if (!m_progressFormat.isEmpty())
            m_progressBar->setFormat(m_progressFormat);
        tree->setItemWidget(this, QueueColumn::StartStop, m_startStop);
        tree->setItemWidget(this, QueueColumn::PauseResume, m_pauseResume);
        tree->setItemWidget(this, QueueColumn::Preview, m_preview);
        tree->setItemWidget(this, QueueColumn::Progress, m_progressBar);
    }
    if (!m_linkHtml.isEmpty()) {
        m_linkLabel = makeLinkLabel();
        tree->setItemWidget(this, QueueColumn::Link, m_linkLabel);
    }
}

void TreeItemWidget::removeWidgets()
{
    QTreeWidget* tree = treeWidget();
    if (tree && m_placed) {
        for (int column : {QueueColumn::StartStop, QueueColumn::PauseResume, QueueColumn::Preview,
                           QueueColumn::Progress, QueueColumn::Link})
            if (tree->itemWidget(this, column))
                tree->removeItemWidget(this, column);
    }
    m_placed = false;
    m_startStop = nullptr;
    m_pauseResume = nullptr;
    m_preview = nullptr;
    m_progressBar = nullptr;
    m_linkLabel = nullptr;
}

void TreeItemWidget::setLinkHtml(const QString& html)
{
    m_linkHtml = html;
    setText(QueueColumn::Link, QString());
    if (m_linkLabel) {
        m_linkLabel->setText(html);
        return;
    }
    QTreeWidget* tree = treeWidget();
    if (tree && m_placed && !html.isEmpty()) {
        m_linkLabel = makeLinkLabel();
        tree->setItemWidget(this, QueueColumn::Link, m_linkLabel);
    }
}

QString TreeItemWidget::linkHtml() const
{
    return m_linkHtml;
}

void TreeItemWidget::setProgress(int value, const QString& format)
{
    m_progress = value;
    m_progressFormat = format;
    if (!m_progressBar)
        return;
    m_progressBar->setFormat(format);
    m_progressBar->setValue(value);
}
