#include "ui/dstatusbarwidget.h"

#include "engine/dtypes.h"
#include "ui/dicons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QToolButton>

namespace {

QToolButton* makeIcon(const QString& resource, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setIcon(QIcon(resource));
    button->setAutoRaise(true);
    button->setIconSize(QSize(16, 16));
    button->hide();
    return button;
}

} // namespace

DStatusBarWidget::DStatusBarWidget(QWidget* parent) : QWidget(parent)
{
    loadIcons();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_label = new QLabel(this);
    m_label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_downloadIcon = makeIcon(QStringLiteral(":/download"), this);
    m_uploadIcon = makeIcon(QStringLiteral(":/upload"), this);
    layout->addWidget(m_label, 1);
    layout->addWidget(m_downloadIcon);
    layout->addWidget(m_uploadIcon);
    setMaximumHeight(24);
}

void DStatusBarWidget::setMessage(const QString& text)
{
    m_label->setText(text);
}

QString DStatusBarWidget::message() const
{
    return m_label->text();
}

void DStatusBarWidget::setDownloadIconVisible(bool visible)
{
    m_downloadIcon->setVisible(visible);
}

void DStatusBarWidget::setUploadIconVisible(bool visible)
{
    m_uploadIcon->setVisible(visible);
}

bool DStatusBarWidget::isDownloadIconVisible() const
{
    return !m_downloadIcon->isHidden();
}

bool DStatusBarWidget::isUploadIconVisible() const
{
    return !m_uploadIcon->isHidden();
}

DStatusBarWidget::Totals
DStatusBarWidget::totalsOf(const QList<QPair<int, QString>>& directionsAndStates)
{
    static const QRegularExpression speed(QStringLiteral("^(\\d+) KB/s$"));
    Totals totals;
    for (const auto& [direction, state] : directionsAndStates) {
        const QRegularExpressionMatch match = speed.match(state);
        if (!match.hasMatch())
            continue;
        const double value = match.captured(1).toDouble();
        if (direction == CmdDownload) {
            totals.down += value;
            ++totals.downloads;
        } else {
            totals.up += value;
            ++totals.uploads;
        }
    }
    return totals;
}

void DStatusBarWidget::showTotals(const Totals& totals)
{
    QString text;
    if (totals.downloads > 0)
        text = tr("Download Speed %1 / ").arg(QString::number(totals.down, 'g', 6));
    if (totals.uploads > 0)
        text += tr("Upload Speed %1").arg(QString::number(totals.up, 'g', 6));
    setMessage(text);
    setDownloadIconVisible(totals.downloads > 0);
    setUploadIconVisible(totals.uploads > 0);
}
