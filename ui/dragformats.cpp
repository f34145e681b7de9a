#include "ui/dragformats.h"

#include <QDataStream>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

namespace DragFormats {

QByteArray encodeStrings(const QStringList& strings)
{
    QByteArray data;
    QDataStream stream(&data, QIODevice::WriteOnly);
    for (const QString& text : strings)
        stream << text;
    return data;
}

QStringList decodeStrings(const QByteArray& data)
{
    QStringList strings;
    QDataStream stream(data);
    while (!stream.atEnd()) {
        QString text;
        stream >> text;
        if (stream.status() != QDataStream::Ok)
            break;
        strings << text;
    }
    return strings;
}

QStringList readStrings(const QMimeData* data, const QString& type)
{
    if (!data || !data->hasFormat(type))
        return {};
    return decodeStrings(data->data(type));
}

QMimeData* remoteMimeData(const QList<RemoteEntry>& rows)
{
    QStringList names, ids, sizes, links, moves, folderNames, folderIds;
    for (const RemoteEntry& row : rows) {
        moves << row.id;
        if (row.isFolder) {
            folderNames << row.name;
            folderIds << row.id;
            continue;
        }
        names << row.name;
        ids << row.id;
        sizes << row.sizeText;
        links << row.linkHtml;
    }
    auto* data = new QMimeData;
    data->setText(RemoteMarker);
    data->setData(CopyType, encodeStrings(names));
    data->setData(IdsType, encodeStrings(ids));
    data->setData(SizeType, encodeStrings(sizes));
    data->setData(LinksType, encodeStrings(links));
    data->setData(MoveType, encodeStrings(moves));
    data->setData(FoldersType, encodeStrings(folderNames));
    data->setData(FolderIdsType, encodeStrings(folderIds));
    // No "text/uri-list": a remote name such as "home/me/.ssh/id_rsa" would read as a local
    // file address to any program the drag ends in, which could then attach that file.
    return data;
}

QMimeData* localMimeData(const QStringList& absolutePaths)
{
    QStringList files;
    for (const QString& path : absolutePaths) {
        if (QFileInfo(path).isDir() || files.contains(path))
            continue;
        files << path;
    }
    auto* data = new QMimeData;
    data->setData(CopyType, encodeStrings(files));
    return data;
}

DownloadDrop downloadDrop(const QMimeData* data)
{
    return {readStrings(data, CopyType),    readStrings(data, IdsType),
            readStrings(data, SizeType),    readStrings(data, LinksType),
            readStrings(data, FoldersType), readStrings(data, FolderIdsType)};
}

RemoteDrop remoteDrop(const QMimeData* data, bool copyAction)
{
    if (!data || !copyAction)
        return {};
    if (data->hasText() && data->text() == RemoteMarker)
        return {RemoteDrop::Move, readStrings(data, MoveType)};
    if (data->hasUrls()) {
        QStringList files;
        for (const QUrl& url : data->urls()) {
            const QString path = url.toLocalFile();
            if (!path.isEmpty() && QFileInfo(path).isFile())
                files << path;
        }
        return {RemoteDrop::Upload, files};
    }
    return {RemoteDrop::Upload, readStrings(data, CopyType)};
}

bool isPlainFileName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

} // namespace DragFormats
