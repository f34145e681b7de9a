#include "ui/treewidgetitem.h"

#include "ui/dformat.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>

bool TreeWidgetItem::isFolder() const
{
    return data(NameColumn, FolderRole).toBool();
}

QString TreeWidgetItem::entryId() const
{
    return data(NameColumn, IdRole).toString();
}

qint64 TreeWidgetItem::sizeBytes() const
{
    return data(SizeColumn, BytesRole).toLongLong();
}

QString TreeWidgetItem::transferSizeText() const
{
    return DFormat::exactSizeText(sizeBytes());
}

namespace {

const QLabel* linkLabel(const QTreeWidgetItem* item)
{
    QTreeWidget* tree = item->treeWidget();
    return tree ? qobject_cast<QLabel*>(tree->itemWidget(const_cast<QTreeWidgetItem*>(item),
                                                         TreeWidgetItem::LinkColumn))
                : nullptr;
}

} // namespace

QString TreeWidgetItem::linkHtml() const
{
    const QLabel* label = linkLabel(this);
    return label ? label->text() : QString();
}

QString TreeWidgetItem::directLink() const
{
    const QLabel* label = linkLabel(this);
    return label ? label->property("DirectLink").toString() : QString();
}

bool TreeWidgetItem::operator<(const QTreeWidgetItem& other) const
{
    const bool folder = isFolder();
    const bool otherFolder = other.data(NameColumn, FolderRole).toBool();
    if (folder != otherFolder) {
        const bool ascending =
            !treeWidget() || treeWidget()->header()->sortIndicatorOrder() == Qt::AscendingOrder;
        return ascending ? folder : otherFolder;
    }
    return QTreeWidgetItem::operator<(other);
}
