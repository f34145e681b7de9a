#pragma once

#include <QFileSystemModel>

// The local pane's model: every entry can be dragged and dropped on, drops change nothing here
// (the view hands them to the window), and a drag carries the dragged files' paths.
class FileSystemModel : public QFileSystemModel
{
    Q_OBJECT
public:
    explicit FileSystemModel(QObject* parent = nullptr);

    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    // Drops are taken only from the remote pane.
    QStringList mimeTypes() const override;
};
