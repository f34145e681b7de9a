#include "ui/treewidget.h"

#include "ui/dragformats.h"
#include "ui/treewidgetitem.h"

#include <QHeaderView>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>

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

// --- Drag and drop ------------------------------------------------------------------------

QStringList TreeWidget::mimeTypes() const
{
    return {DragFormats::CopyType, DragFormats::UriListType};
}

QMimeData* TreeWidget::mimeData(const QList<QTreeWidgetItem*>& items) const
{
    QList<DragFormats::RemoteEntry> rows;
    for (QTreeWidgetItem* item : items) {
        const auto* row = static_cast<const TreeWidgetItem*>(item);
        rows.append({row->text(TreeWidgetItem::NameColumn), row->entryId(), row->transferSizeText(),
                     row->linkHtml(), row->isFolder()});
    }
    return DragFormats::remoteMimeData(rows);
}

Qt::DropActions TreeWidget::supportedDropActions() const
{
    return Qt::CopyAction | Qt::MoveAction;
}

void TreeWidget::dragEnterEvent(QDragEnterEvent* event)
{
    event->acceptProposedAction();
}

void TreeWidget::dragMoveEvent(QDragMoveEvent* event)
{
    const QMimeData* data = event->mimeData();
    const bool ownDrag = data->hasText() && data->text() == DragFormats::RemoteMarker;
    const auto* row = static_cast<TreeWidgetItem*>(itemAt(event->position().toPoint()));
    if (ownDrag && row && !row->isFolder()) {
        // An empty rectangle asks again on every move.
        event->ignore(QRect());
        return;
    }
    QTreeWidget::dragMoveEvent(event);
}

void TreeWidget::dropEvent(QDropEvent* event)
{
    if (event->dropAction() != Qt::CopyAction) {
        event->ignore();
        return;
    }
    QTreeWidget::dropEvent(event);
}

bool TreeWidget::dropMimeData(QTreeWidgetItem* parent, int, const QMimeData* data,
                              Qt::DropAction action)
{
    const DragFormats::RemoteDrop drop = DragFormats::remoteDrop(data, action == Qt::CopyAction);
    const QString destination =
        parent ? static_cast<TreeWidgetItem*>(parent)->entryId() : QString();
    if (drop.kind == DragFormats::RemoteDrop::Move)
        emit di_startMove(drop.items, destination);
    else if (drop.kind == DragFormats::RemoteDrop::Upload)
        emit di_startCopy(drop.items, destination);
    return true;
}
