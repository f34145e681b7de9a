#pragma once

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>

// Draws a link label in a tree column and opens its link on a click on its text, without one
// widget per row: the row keeps the label's HTML and its readable link as item data, so a listing
// of tens of thousands of entries stays as cheap as plain text.
class LinkLabelDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    // Item data of the link column.
    static constexpr int HtmlRole = Qt::UserRole + 10;
    static constexpr int DirectLinkRole = Qt::UserRole + 11;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The address in the anchor of a link label's HTML.
    static QString anchorOf(const QString& html);

signals:
    void linkActivated(const QString& link);

private:
    // The link cell the left button went down on, over the link's text.
    QPersistentModelIndex m_pressed;
};
