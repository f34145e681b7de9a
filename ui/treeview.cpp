#include "ui/treeview.h"

#include "ui/dragformats.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>

TreeView::TreeView(QWidget* parent) : QTreeView(parent)
{
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDropIndicatorShown(true);
}

void TreeView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Backspace)
        emit di_backSpacePressed();
    QTreeView::keyPressEvent(event);
}

void TreeView::dragEnterEvent(QDragEnterEvent* event)
{
    // Moving over the view is the base view's business: it accepts a position only for the
    // model's one type, "item/ids", and never on the dragged entries themselves.
    if (event->mimeData()->hasFormat(DragFormats::CopyType))
        event->acceptProposedAction();
    else
        event->ignore();
}

void TreeView::dropEvent(QDropEvent* event)
{
    const DragFormats::DownloadDrop drop = DragFormats::downloadDrop(event->mimeData());
    // Not accepted: the source must not delete anything.
    event->setAccepted(false);
    emit di_startDownload(drop.names, drop.ids, drop.sizes, drop.links);
    if (!drop.folderNames.isEmpty())
        emit di_startFolderDownload(drop.folderNames, drop.folderIds);
}
