#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QMimeData;

// The payloads that travel between the two panes while the user drags.
//
// Every "item/..." payload is a string sequence: the strings one after another in the
// toolkit's binary string form (32-bit big-endian byte length, then UTF-16 big-endian code
// units; a null string is the length 0xFFFFFFFF), with no count in front. Readers read until the
// data ends. A drag from the remote pane also carries the plain-text marker "httpTree" (so the
// remote pane knows the drag is its own), and never a local file address.
namespace DragFormats {

inline const QString CopyType = QStringLiteral("item/copy");
inline const QString IdsType = QStringLiteral("item/ids");
inline const QString SizeType = QStringLiteral("item/size");
inline const QString LinksType = QStringLiteral("item/links");
inline const QString MoveType = QStringLiteral("item/move");
// Names and ids of the dragged remote folders, in drag order (a folder is downloaded whole).
inline const QString FoldersType = QStringLiteral("item/folders");
inline const QString FolderIdsType = QStringLiteral("item/folderids");
inline const QString UriListType = QStringLiteral("text/uri-list");
inline const QString RemoteMarker = QStringLiteral("httpTree");

QByteArray encodeStrings(const QStringList& strings);
// Stops at the first string that is cut short, so foreign data never yields garbage entries.
QStringList decodeStrings(const QByteArray& data);
QStringList readStrings(const QMimeData* data, const QString& type);

// One dragged row of the remote pane.
struct RemoteEntry
{
    QString name;
    QString id;
    QString sizeText;
    QString linkHtml;
    bool isFolder = false;
};

// The payload of a drag out of the remote pane, rows in drag order. "item/ids", which only this
// drag carries, is what the local pane takes.
QMimeData* remoteMimeData(const QList<RemoteEntry>& rows);
// The payload of a drag out of the local pane: absolute paths of files, each once.
QMimeData* localMimeData(const QStringList& absolutePaths);

// What a drop on the local pane asks for: one entry per dragged remote file.
struct DownloadDrop
{
    QStringList names;
    QStringList ids;
    QStringList sizes;
    QStringList links;
    // The dragged remote folders.
    QStringList folderNames;
    QStringList folderIds;
};
DownloadDrop downloadDrop(const QMimeData* data);

// What a drop on the remote pane asks for.
struct RemoteDrop
{
    enum Kind
    {
        Nothing,
        Move,  // remote entry ids to move into the folder dropped on
        Upload // local file paths to upload
    };
    Kind kind = Nothing;
    QStringList items;
};
// Only copy drops count; URLs keep only existing local files (folders and remote URLs go).
RemoteDrop remoteDrop(const QMimeData* data, bool copyAction);

// True when `name` is one plain file name: not empty, not "." or "..", no path separator.
// Names in a drag come from any program; only such names may be joined to a folder.
bool isPlainFileName(const QString& name);

} // namespace DragFormats
