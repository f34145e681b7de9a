#include "ui/folderdownload.h"

#include "engine/dcommandmanager.h"
#include "ui/dformat.h"
#include "ui/dragformats.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

bool hasControlCharacter(const QString& name)
{
    return std::any_of(name.begin(), name.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

QString joined(const QString& folder, const QString& name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// Names in messages: a control character would cut the log line or hide what follows.
QString shown(const QString& name)
{
    QString text = name;
    for (QChar& c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QChar(0xFFFD);
    }
    return text;
}

} // namespace

FolderDownload::FolderDownload(DCommandManager* engine, const QList<Folder>& folders,
                               const QString& localFolder, QObject* parent)
    : QObject(parent), m_engine(engine), m_roots(folders), m_localFolder(localFolder)
{
    connect(engine, &DCommandManager::di_folderListed, this, &FolderDownload::onListed,
            Qt::QueuedConnection);
}

FolderDownload::~FolderDownload()
{
    dropListings();
}

bool FolderDownload::isPlainName(const QString& name)
{
    return DragFormats::isPlainFileName(name) && !hasControlCharacter(name);
}

QString FolderDownload::title() const
{
    if (m_roots.size() == 1)
        return shown(m_roots.first().name);
    return tr("%1 folders").arg(m_roots.size());
}

void FolderDownload::start()
{
    m_running = true;
    for (const Folder& root : std::as_const(m_roots))
        addFolder(root.name, root.id, QString(), m_localFolder, 0);
    listMore();
}

void FolderDownload::cancel()
{
    end(Cancelled, QString());
}

// Listings still on their way are dropped; their answers find nothing to go to.
void FolderDownload::dropListings()
{
    const QList<int> ids = m_listing.keys();
    m_listing.clear();
    m_toList.clear();
    for (int id : ids) {
        if (m_engine)
            m_engine->abort(id);
    }
}

void FolderDownload::addFolder(const QString& name, const QString& id, const QString& remotePath,
                               const QString& localPath, int depth)
{
    const QString remote = remotePath + QLatin1Char('/') + shown(name);
    if (!isPlainName(name) || !DragFormats::isPlainFileName(id)) {
        m_skipped << tr("%1: not a plain name").arg(remote);
        return;
    }
    if (m_seenFolderIds.contains(id)) {
        m_skipped << tr("%1: listed already (the folder holds itself)").arg(remote);
        return;
    }
    const QString local = joined(localPath, name);
    if (m_targets.contains(local)) {
        m_skipped << tr("%1: a file or folder of this name comes first").arg(remote);
        return;
    }
    m_seenFolderIds.insert(id);
    m_targets.insert(local);
    m_foldersToMake << local;
    m_toList.push_back({id, remote, local, depth});
}

void FolderDownload::listMore()
{
    while (m_running && m_listing.size() < ListingsAtOnce && !m_toList.empty()) {
        const Pending next = m_toList.front();
        m_toList.pop_front();
        const int id = m_engine ? m_engine->listFolderQuietly(next.id) : -1;
        if (id < 0) {
            end(Failed, tr("The folder %1 could not be listed").arg(next.remotePath));
            return;
        }
        m_listing.insert(id, next);
    }
    if (m_running && m_listing.isEmpty() && m_toList.empty())
        makeFolders();
}

void FolderDownload::onListed(int cmdId, const DTreeElementList& entries, bool ok,
                              const QString& message)
{
    const auto it = m_listing.constFind(cmdId);
    if (!m_running || it == m_listing.constEnd())
        return;
    const Pending folder = *it;
    m_listing.erase(it);
    if (!ok) {
        end(Failed, tr("Listing %1 failed: %2").arg(folder.remotePath, message));
        return;
    }
    takeEntries(folder, entries);
    if (!m_running)
        return;
    emit progressed();
    listMore();
}

void FolderDownload::takeEntries(const Pending& folder, const DTreeElementList& entries)
{
    const QLocale locale;
    for (int i = 0; i < entries.size(); ++i) {
        const DTreeElement& entry = *entries.at(i);
        // The listing's first entry names the parent folder.
        if (i == 0 && entry.isFile != 1 && entry.name == QLatin1String(".."))
            continue;
        if (entry.isFile != 1) {
            if (folder.depth + 1 > MaxDepth) {
                end(TooBig, tr("%1 is nested more than %2 folders deep; nothing was queued")
                                .arg(title())
                                .arg(MaxDepth));
                return;
            }
            if (m_seenFolderIds.size() >= MaxFolders) {
                end(TooBig, tr("%1 holds more than %2 folders; nothing was queued")
                                .arg(title(), locale.toString(MaxFolders)));
                return;
            }
            addFolder(entry.name, entry.id, folder.remotePath, folder.localPath, folder.depth + 1);
            continue;
        }
        const QString remote = folder.remotePath + QLatin1Char('/') + shown(entry.name);
        if (!isPlainName(entry.name) || !DragFormats::isPlainFileName(entry.id)) {
            m_skipped << tr("%1: not a plain name").arg(remote);
            continue;
        }
        const QString target = joined(folder.localPath, entry.name);
        if (m_targets.contains(target)) {
            m_skipped << tr("%1: a file or folder of this name comes first").arg(remote);
            continue;
        }
        if (m_files.size() >= MaxFiles) {
            end(TooBig, tr("%1 holds more than %2 files; nothing was queued")
                            .arg(title(), locale.toString(MaxFiles)));
            return;
        }
        m_targets.insert(target);
        const bool sized = !entry.size.isEmpty() && entry.size.toLongLong() >= 0;
        m_files.append({target, entry.id,
                        sized ? DFormat::exactSizeText(entry.size.toLongLong()) : QString(),
                        DFormat::linkLabelHtml(QUrl(entry.link))});
    }
}

// The folders are made only once the whole tree is known, a slice at a time.
void FolderDownload::makeFolders()
{
    QElapsedTimer slice;
    slice.start();
    while (m_madeUpTo < m_foldersToMake.size() && slice.elapsed() < SliceMs) {
        const QString path = m_foldersToMake.at(m_madeUpTo++);
        const QString parent = QFileInfo(path).path();
        if (m_failedFolders.contains(parent) || !QDir().mkpath(path))
            m_failedFolders.insert(path);
    }
    if (m_madeUpTo < m_foldersToMake.size()) {
        QTimer::singleShot(0, this, [this] {
            if (m_running)
                makeFolders();
        });
        return;
    }
    for (const QString& path : std::as_const(m_failedFolders))
        m_skipped << tr("%1: the folder could not be made").arg(QDir::toNativeSeparators(path));
    if (!m_failedFolders.isEmpty()) {
        m_files.erase(std::remove_if(m_files.begin(), m_files.end(),
                                     [this](const File& file) {
                                         return m_failedFolders.contains(
                                             QFileInfo(file.target).path());
                                     }),
                      m_files.end());
    }
    end(Complete, QString());
}

void FolderDownload::end(Outcome outcome, const QString& message)
{
    if (!m_running)
        return;
    m_running = false;
    if (outcome != Complete) {
        dropListings();
        m_files.clear();
    }
    emit finished(outcome, message);
}
