#include "ui/linklabeldelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

namespace {

constexpr int Margin = 3;

QFont linkFont(const QStyleOptionViewItem& option)
{
    QFont font = option.font;
    font.setUnderline(true);
    return font;
}

// The area the link's text covers in its cell (elided to the cell's width).
QRect textRect(const QStyleOptionViewItem& option, const QString& text, QString* shown = nullptr)
{
    const QRect cell = option.rect.adjusted(Margin, 0, -Margin, 0);
    const QFontMetrics metrics(linkFont(option));
    const QString elided = metrics.elidedText(text, Qt::ElideRight, cell.width());
    if (shown)
        *shown = elided;
    return QStyle::alignedRect(option.direction, Qt::AlignLeft | Qt::AlignVCenter,
                               QSize(metrics.horizontalAdvance(elided), metrics.height()), cell);
}

} // namespace

void LinkLabelDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const
{
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    const QString text = index.data(DirectLinkRole).toString();
    if (text.isEmpty())
        return;
    QString shown;
    const QRect rect = textRect(option, text, &shown);
    painter->save();
    painter->setFont(linkFont(option));
    painter->setPen(option.palette.color(QPalette::Link));
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, shown);
    painter->restore();
}

// As a label does: the link opens when the button is pressed and released on its text; a
// click anywhere else in the cell only selects it.
bool LinkLabelDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index)
{
    const bool press = event->type() == QEvent::MouseButtonPress;
    if (press || event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QString text = index.data(DirectLinkRole).toString();
        const bool onText = mouse->button() == Qt::LeftButton && !text.isEmpty() &&
                            textRect(option, text).contains(mouse->position().toPoint());
        if (press) {
            m_pressed = onText ? QPersistentModelIndex(index) : QPersistentModelIndex();
        } else if (onText && m_pressed == index) {
            m_pressed = QPersistentModelIndex();
            emit linkActivated(anchorOf(index.data(HtmlRole).toString()));
            return true;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

QSize LinkLabelDelegate::sizeHint(const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(
        QFontMetrics(option.font).horizontalAdvance(index.data(DirectLinkRole).toString()) + 8);
    return size;
}

QString LinkLabelDelegate::anchorOf(const QString& html)
{
    const QLatin1String href("href=\"");
    const int start = html.indexOf(href);
    if (start < 0)
        return QString();
    const int from = start + href.size();
    return html.mid(from, html.indexOf(QLatin1Char('"'), from) - from);
}
