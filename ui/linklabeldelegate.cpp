#include "ui/linklabeldelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

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
    painter->save();
    QFont font = option.font;
    font.setUnderline(true);
    painter->setFont(font);
    painter->setPen(option.palette.color(QPalette::Link));
    const QRect rect = option.rect.adjusted(3, 0, -3, 0);
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter,
                      QFontMetrics(font).elidedText(text, Qt::ElideRight, rect.width()));
    painter->restore();
}

bool LinkLabelDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QString html = index.data(HtmlRole).toString();
        if (mouse->button() == Qt::LeftButton && !index.data(DirectLinkRole).toString().isEmpty() &&
            option.rect.contains(mouse->position().toPoint())) {
            emit linkActivated(anchorOf(html));
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
