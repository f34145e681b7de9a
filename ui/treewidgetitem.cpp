#include "ui/treewidgetitem.h"

#include "ui/dformat.h"
#include "ui/linklabeldelegate.h"

#include <QHeaderView>
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

QString TreeWidgetItem::linkHtml() const
{
    return data(LinkColumn, LinkLabelDelegate::HtmlRole).toString();
}

QString TreeWidgetItem::directLink() const
{
    return data(LinkColumn, LinkLabelDelegate::DirectLinkRole).toString();
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
