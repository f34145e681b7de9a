#include "ui/treewidget.h"

#include <QHeaderView>
#include <QKeyEvent>

TreeWidget::TreeWidget(QWidget* parent) : QTreeWidget(parent)
{
    setContextMenuPolicy(Qt::CustomContextMenu);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setAlternatingRowColors(true);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDropIndicatorShown(true);
    header()->setStretchLastSection(false);
    setSortingEnabled(true);
    sortByColumn(0, Qt::AscendingOrder);
}

void TreeWidget::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Backspace)
        emit di_backSpacePressed();
    QTreeWidget::keyPressEvent(event);
}
