#include "ui/filesystemmodel.h"

#include "ui/dragformats.h"

#include <QMimeData>

FileSystemModel::FileSystemModel(QObject* parent) : QFileSystemModel(parent) {}

Qt::ItemFlags FileSystemModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return QFileSystemModel::flags(index) | Qt::ItemIsDropEnabled;
    return QFileSystemModel::flags(index) | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

bool FileSystemModel::dropMimeData(const QMimeData*, Qt::DropAction, int, int, const QModelIndex&)
{
    return true;
}

QMimeData* FileSystemModel::mimeData(const QModelIndexList& indexes) const
{
    QStringList paths;
    for (const QModelIndex& index : indexes)
        paths << fileInfo(index).absoluteFilePath();
    return DragFormats::localMimeData(paths);
}

QStringList FileSystemModel::mimeTypes() const
{
    return {DragFormats::IdsType};
}
