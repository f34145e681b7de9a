#pragma once

#include <QTreeWidgetItem>

// One row of the remote pane. Folders sort before files in ascending order (after them in
// descending order); rows of the same kind compare by the sort column's text.
class TreeWidgetItem : public QTreeWidgetItem
{
public:
    // Item data of column 0: folder flag and entry id; of column 1: the size in bytes.
    static constexpr int FolderRole = Qt::UserRole + 1;
    static constexpr int IdRole = Qt::UserRole + 2;
    static constexpr int BytesRole = Qt::UserRole + 1;

    enum Column
    {
        NameColumn = 0,
        SizeColumn = 1,
        DateColumn = 2,
        LinkColumn = 3
    };

    using QTreeWidgetItem::QTreeWidgetItem;

    bool isFolder() const;
    QString entryId() const;
    qint64 sizeBytes() const;
    // The size as it travels to the transfer queue (reads back to the exact byte count).
    QString transferSizeText() const;
    // The link label's HTML and its readable link (drawn by LinkLabelDelegate).
    QString linkHtml() const;
    QString directLink() const;

    bool operator<(const QTreeWidgetItem& other) const override;
};
