#pragma once

#include "protocol/dtreeelement.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>

class DCommandManager;

// Downloads whole remote folders: lists them to the bottom (each listing on its own worker,
// a few at a time), then makes the same folders under the local folder and hands every file
// over with its local target. Nothing is made or handed over before the whole tree is known: a
// listing that fails, is cancelled or passes a bound leaves the disk and the queue untouched.
//
// Remote names come from the service and may be anything; only plain names (no separator,
// not "." or "..", no control character) are joined to a local folder. Other entries, and
// everything below a folder that is skipped, are reported by their remote path.
class FolderDownload : public QObject
{
    Q_OBJECT
public:
    // Bounds of one download: a deeper tree, or more files or folders, is refused as a whole.
    static constexpr int MaxDepth = 32;
    static constexpr int MaxFiles = 50000;
    static constexpr int MaxFolders = 10000;
    // Listings that run at once, each on its own worker.
    static constexpr int ListingsAtOnce = 4;
    // Longest stretch of making folders before the event loop runs again.
    static constexpr int SliceMs = 10;

    struct Folder
    {
        QString name;
        QString id;
    };
    struct File
    {
        QString target; // local path
        QString id;
        QString sizeText; // exact byte count, as the remote pane hands sizes over
        QString linkHtml;
    };
    enum Outcome
    {
        Complete,
        Cancelled,
        Failed,
        TooBig
    };

    FolderDownload(DCommandManager* engine, const QList<Folder>& folders,
                   const QString& localFolder, QObject* parent = nullptr);
    ~FolderDownload() override;

    void start();
    // Drops the listings still running; nothing is made or handed over.
    void cancel();

    // What the status line names: the folder, or how many folders.
    QString title() const;
    int fileCount() const { return m_files.size(); }
    bool isRunning() const { return m_running; }
    // After finished(Complete): the files in listing order, below folders that exist.
    const QList<File>& files() const { return m_files; }
    // Remote paths left out, each with its reason.
    const QStringList& skipped() const { return m_skipped; }

    // True when `name` may be joined to a local folder as one file or folder name.
    static bool isPlainName(const QString& name);

signals:
    // More files are known (while listing).
    void progressed();
    // The end: with Complete the folders exist and files() holds the files; otherwise
    // `message` says why nothing was queued.
    void finished(Outcome outcome, const QString& message);

private slots:
    void onListed(int cmdId, const DTreeElementList& entries, bool ok, const QString& message);

private:
    struct Pending
    {
        QString id;
        QString remotePath; // for the messages
        QString localPath;
        int depth = 0;
    };
    void listMore();
    void dropListings();
    void takeEntries(const Pending& folder, const DTreeElementList& entries);
    void addFolder(const QString& name, const QString& id, const QString& remotePath,
                   const QString& localPath, int depth);
    void makeFolders();
    void end(Outcome outcome, const QString& message);

    QPointer<DCommandManager> m_engine;
    QList<Folder> m_roots;
    QString m_localFolder;
    std::deque<Pending> m_toList;
    QHash<int, Pending> m_listing; // by listing command id
    QSet<QString> m_seenFolderIds;
    QSet<QString> m_targets;
    QStringList m_foldersToMake; // parents first
    int m_madeUpTo = 0;
    QSet<QString> m_failedFolders;
    QList<File> m_files;
    QStringList m_skipped;
    bool m_running = false;
};
