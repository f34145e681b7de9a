#pragma once

// The engine's facade. The user interface calls its operations and slots by command id and
// listens to its di_ signals; it never touches a command object itself.
//
// Definitions are split by concern:
//   engine/dcommandmanager.cpp            construction, registry, lookups, scheduling, reports
//   engine/dcommandmanager_controls.cpp   control slots (pause, resume, abort, ...)
//   engine/dcommandmanager_settings.cpp   settings load/save, accessors, log-on start entry
//   engine/dcommandmanager_history.cpp    per-user transfer history
//   protocol/dcommandmanager_requests.cpp request builder and the public request operations
//   transfers/dcommandmanager_start.cpp   startUpload / startDownload

#include "engine/dtypes.h"
#include "protocol/dtreeelement.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>

class DCommand;
class DSleepInhibitor;
class DTransferCommand;
class DDownloadCommand;
class DUploadCommand;

class DCommandManager : public QObject
{
    Q_OBJECT
public:
    // Request kinds of buildCommand.
    enum RequestKind
    {
        KindStartup = 0,
        KindLogin = 1,
        KindListFolder = 2,
        KindCreateFolder = 3,
        KindRename = 4,
        KindMove = 5,
        KindDelete = 6,
        KindUpload = 7,
        KindDownload = 8,
        KindPlain = 9
    };

    explicit DCommandManager(QObject* parent = nullptr);
    ~DCommandManager() override;

    // --- Registry and lookups -------------------------------------------------------------
    void registerCommand(DCommand* command);
    DCommand* findCommand(int id) const;
    int status(int id) const;
    int commandType(int id) const;
    QString url(int id) const;
    bool isPlayable(int id) const;
    qint64 transferSize(int id) const;
    void setTransferSpeedLimit(int id, int value);
    int runningDownloadCount() const;
    int runningUploadCount() const;
    int runningTransferCount() const;
    QString serviceHost() const;
    void markRunning(DCommand* transfer);
    void markStopped(DCommand* transfer);
    void abortAll();
    bool clearContents();
    // True while the computer is kept from sleeping because transfers run.
    bool keepsAwake() const;
    QList<DCommand*> registry() const { return m_registry; }
    QList<DCommand*> waitingQueue() const { return m_waitingQueue; }
    // Appends the command to the waiting queue unless it is there already.
    void enqueue(DCommand* command);
    // True while the program is quitting: transfers keep their partial files and history.
    bool isQuitting() const { return m_quitting; }
    // Runs `work` on a background thread, then `done` on the manager's thread unless the
    // manager is gone by then (it waits for its background work when it goes). `work` must
    // not touch commands: they may be freed meanwhile.
    void runInBackground(std::function<void()> work, std::function<void()> done);

    // --- Reports from commands (each emits the matching signal) ---------------------------
    void reportProgress(int cmdId, long long progress, double speed, int timeLeft);
    void reportTransferStatus(int cmdId, const QString& rFile, const QString& lFile,
                              DTransferStatus status, const QString& err = QString(),
                              long long size = 0);
    void reportCommandStatus(int cmdId, int status);
    void reportContents(const DTreeElementList& entries);
    void reportUserInfo(const QString& info);
    void reportEngineStarted();
    void reportUpdateLink(int cmdId, const QString& link);
    void reportListingFailed(const QString& folderId, const QString& message);
    // Login set-up: the history file of the logged-in user, then di_loggedIn.
    void loginSetUp();

    // --- Requests (protocol/dcommandmanager_requests.cpp) ---------------------------------
    DCommand* buildCommand(int kind, const QString& a = QString(), const QString& b = QString(),
                           const QString& c = QString());
    void startEngine();
    int login(const QString& user, const QString& password);
    int listFolder(const QString& folderId, const QString& name);
    int createFolder(const QString& name);
    int renameEntry(const QString& entryId, const QString& newName);
    int moveEntry(const QString& destinationFolderId, const QString& entryId);
    int deleteEntry(const QString& entryId);
    // The entries of a folder, without changing the current folder or telling the window. The
    // request runs on its worker while this call keeps the event loop running, so the window
    // stays responsive; an empty list when the listing failed.
    DTreeElementList listFolderNow(const QString& folderId);
    // Lists a folder on its worker without changing the current folder or telling the pane;
    // the answer comes with di_folderListed. The listing's command id (abort() drops it), or
    // -1 when none was started.
    int listFolderQuietly(const QString& folderId);
    // Re-create a transfer of the history. `historyKey` names the entry it takes over; with -1
    // it gets an entry of its own.
    DDownloadCommand* restoreDownload(const QString& fileId, const QString& localTarget,
                                      qint64 historyKey = -1);
    DUploadCommand* restoreUpload(const QString& localPath, const QString& serverFileName,
                                  const QString& folderId, qint64 historyKey = -1);
    QString userName() const { return m_userName; }
    QString password() const { return m_password; }
    QString currentFolderId() const { return m_currentFolderId; }
    void setCurrentFolderId(const QString& id) { m_currentFolderId = id; }
    QString currentFolderName() const { return m_currentFolderName; }
    // "http://" + host + ":" + port + "/tool/?"
    QString baseAddress() const;
    // "https://" + host (+ ":" + secure port unless 443) + "/tool/?"
    QString secureBaseAddress() const;
    // machine id + "#" + version + "/" + user + "/" + password
    QString credentialText() const;
    // The request as it may be logged: the password replaced by a fixed mask.
    QString maskedRequest(const QUrl& request) const;
    // The process-wide machine id, computed from the first non-loop-back interface.
    static QString machineId();

    // --- Starting transfers (transfers/dcommandmanager_start.cpp) -------------------------
    int startUpload(const QString& localPath);
    int startDownload(const QString& target, const QString& fileId, qint64 size,
                      const QString& link);

    // --- Retrying failed transfers (transfers/dcommandmanager_retry.cpp) ------------------
    // A transfer that failed for good is remembered by its id until it is retried or
    // forgotten. A retry re-creates it and puts it in the queue: a download continues its
    // partial file, an upload appends to what the server holds. Answers the new id, or -1 when
    // the transfer can not come back (the user has been told why).
    int retryTransfer(int failedId);
    bool canRetry(int failedId) const { return m_failedTransfers.contains(failedId); }
    void forgetFailedTransfers(const QList<int>& failedIds);

    // --- Transfer history (engine/dcommandmanager_history.cpp) ----------------------------
    // The history file of the user named by the last login request.
    QString historyFilePath() const;
    void addToHistory(DTransferCommand* transfer);
    bool removeFromHistory(DTransferCommand* transfer);
    bool hasHistory();
    // Re-creates, paused, every entry of the history that has no live transfer yet. Runs in
    // slices on the user-interface thread's event loop; di_restoreProgress tells how far it is.
    void restoreHistory();
    bool isRestoring() const { return !m_restoreQueue.isEmpty(); }
    // Whether the running restore is about to bring back an upload of this file to the current
    // folder, or a download to this target: the user sees it as in the list already.
    bool awaitsRestore(bool upload, const QString& path) const;
    // Writes pending history changes now and waits for the file (changes are otherwise saved
    // a moment later, off the user-interface thread).
    void saveHistoryNow();
    // Hands pending changes to the writer at once instead of a moment later (unless a save is
    // on its way: the usual delay then takes them); does not wait.
    void saveHistorySoon();

    // --- Settings (engine/dcommandmanager_settings.cpp) -----------------------------------
    static QString settingsFilePath();
    void loadSettings();
    void saveSettings();
    int maxTransfers() const;
    void setMaxTransfers(int value);
    int maxDownloads() const;
    void setMaxDownloads(int value);
    int maxUploads() const;
    void setMaxUploads(int value);
    double maxDownSpeed() const;
    void setMaxDownSpeed(double value);
    double maxUpSpeed() const;
    void setMaxUpSpeed(double value);
    bool minToTray() const { return m_minToTray; }
    void setMinToTray(bool value) { m_minToTray = value; }
    bool powerOff() const { return m_powerOff; }
    bool osStart() const { return m_osStart; }
    void setOsStart(bool value) { m_osStart = value; }
    bool limitsEnabled() const { return m_limitsEnabled; }
    void setLimitsEnabled(bool value) { m_limitsEnabled = value; }
    // New transfers wait paused unless this is on; then they queue to start at once.
    bool startsTransfersAtOnce() const { return m_startTransfersAtOnce; }
    void setStartTransfersAtOnce(bool value) { m_startTransfersAtOnce = value; }
    // Fills the four proxy values and answers whether the proxy is on (safe on any thread).
    bool proxy(QString& host, QString& user, QString& password, int& port) const;
    void setProxy(const QString& host, const QString& user, const QString& password, int port);
    void setProxyEnabled(bool enabled);
    // The log-on start entry: Windows "Run" value text, and where the Linux autostart lives.
    static QString windowsRunValue(const QString& programPath);
    // The autostart entry's Exec value: the program path quoted by the desktop-entry rules,
    // then " -m".
    static QString desktopExecLine(const QString& programPath);
    static QString autostartFilePath();
    void writeLogOnStartEntry() const;

public slots:
    void flush();
    void setPowerOffOptions(bool val);
    void transferComplete();
    void abort(int cmdId);
    void pause(int cmdId);
    void resume(int cmdId);
    void forceStart(int cmdId);
    void start(int cmdId);

private slots:
    void deleteCommand(int cmdId);

signals:
    void di_contentsChanged(DTreeElementList entries);
    void di_userInfoChanged(QString info);
    void di_loggedIn();
    void di_engineStarted();
    void di_currentFolderIdChanged(QString id);
    void di_dataTransferProgress(int cmdId, long long prog, double speed, int time);
    void di_updateLink(int cmdId, QString dlink);
    void di_dataTransferStatus(int cmdId, QString rFile, QString lFile, DTransferStatus status,
                               QString err = QString(), long long size = 0);
    void di_shutDown();
    void di_createDirectory(QString path);
    void di_commandStatusChanged(int cmdId, CStatus st);
    // A history restore brought back `done` of `total` entries so far (also at its end).
    void di_restoreProgress(int done, int total);
    // A folder listing could not be read; the entries shown so far are not current any more.
    void di_listingFailed(QString folderId, QString message);
    // The answer of listFolderQuietly: the entries, or an empty list and why it failed (an
    // aborted listing also ends here, with a failure).
    void di_folderListed(int cmdId, DTreeElementList entries, bool ok, QString message);
    // Another account logged in: these transfers of the previous one left the engine (their
    // partial files and history entries wait for that account's next login).
    void di_transfersRetired(QList<int> cmdIds);

private:
    friend class DCommand;
    DTransferCommand* findTransfer(int cmdId, bool logMisses = true) const;
    // The registry, the indexes and the waiting queue lose the command.
    void unregisterCommand(DCommand* command);
    void appendToQueue(DCommand* command);
    void removeFromQueue(DCommand* command);
    // Frees a command that left the registry once its worker and its finish step are over.
    void releaseCommand(DCommand* command);
    // Any thread: queues the end of a background job for the manager's thread.
    void queueFinishedJob(std::function<void()> done);
    // Runs the queued ends in order for a few milliseconds, then lets the event loop go on.
    void deliverFinishedJobs();
    void abortLoginCommands();
    // Request builder steps for transfers (protocol/dcommandmanager_requests.cpp).
    DUploadCommand* buildUpload(const QString& localPath, const QString& storedServerFileName,
                                const QString& folderId, qint64 historyKey = -1);
    DDownloadCommand* buildDownload(const QString& base, const QString& fileId,
                                    const QString& localTarget, const QString& linkText,
                                    bool restored, qint64 historyKey = -1);
    int startRequest(DCommand* command);
    // True when the folder the window shows last is `folderId` and it holds no file `name` of
    // `size` bytes.
    bool listedFolderLacks(const QString& folderId, const QString& name, qint64 size);
    static QString uploadsAlikeKey(const DUploadCommand* upload);
    void readServiceConfiguration();
    // Holds the sleep inhibitor while any transfer runs (on the manager's thread; the running
    // sets change on workers too).
    void updateSleepInhibitor();

    // History store (engine/dcommandmanager_history.cpp).
    struct HistoryEntry
    {
        bool upload = false;
        // The live transfer's id; 0 while the entry waits for its restore.
        int id = 0;
        // The element name as read from the file; new entries are named after their id.
        QString element;
        // Attribute names and values in the order they are written.
        QList<QPair<QString, QString>> attributes;
    };
    // One group's entry lines as the file holds them, in key order (the file's order). A line
    // is made when its entry changes; a save hands the lists to the writer thread as they are
    // (shared, not copied), so it costs the user-interface thread nothing per entry.
    struct HistoryLines
    {
        QList<qint64> keys;
        QList<QString> lines;
    };
    // False for a text the history file cannot carry (control characters, non-characters).
    static bool isRecordable(const QString& text);
    // What the history keeps of a transfer (no attributes for a command of another kind).
    static HistoryEntry historyEntryOf(DTransferCommand* transfer);
    void loadHistory();
    void retireAccountTransfers();
    // Records the transfer in its own entry, else in the entry `key` (one it re-creates), else
    // in a new entry at the end.
    void recordInHistory(DTransferCommand* transfer, qint64 key);
    void storeHistoryEntry(DTransferCommand* transfer, HistoryEntry entry, qint64 key = -1);
    void markHistoryDirty();
    HistoryLines& historyLines(bool upload);
    void putHistoryLine(bool upload, qint64 key, const QString& line);
    void dropHistoryLine(bool upload, qint64 key);
    // Removes the entry `key` (no live transfer keeps it any more).
    bool dropHistoryEntry(qint64 key);
    // Hands the whole history to the writer thread, which saves it atomically.
    void writeHistory();
    void restoreSlice();
    // One restore step: the new transfer's id, -1 when the entry can not come back. It never
    // asks the user anything: no event loop may run while an entry is being re-created.
    int restoreEntry(const HistoryEntry& entry, qint64 key);
    // A transfer failed for good: what a retry needs is kept under its id.
    void keepForRetry(int cmdId);
    // Another transfer of the same local file is in the queue (the user has been told).
    bool retryWouldDuplicate(const HistoryEntry& entry);
    void finishRestore();

    // Request state.
    QString m_serviceHost;
    QString m_servicePort;
    QString m_userName;
    QString m_password;
    QString m_currentFolderId;
    QString m_currentPath;
    QString m_currentFolderName;
    QString m_ftpHost;
    QString m_ftpPort;
    // The folder the window shows (null before a listing) and its entries; the names and sizes
    // of its files are indexed on first use.
    QString m_listedFolderId;
    DTreeElementList m_listedEntries;
    QSet<QString> m_listedFiles;
    bool m_listedFilesIndexed = false;

    // Registration order (the scheduling and the lookups that walk it keep that order), and
    // the same commands by id for the lookups by id.
    QList<DCommand*> m_registry;
    QHash<int, DCommand*> m_index;
    // Registered uploads by local file and downloads by target file: a start compares itself
    // only with the transfers of the same file.
    QMultiHash<QString, DCommand*> m_uploadsByPath;
    // Uploads by target folder, file name and size (uploadsAlikeKey): files the folder's
    // listing would not tell apart.
    QMultiHash<QString, DCommand*> m_uploadsAlike;
    QMultiHash<QString, DCommand*> m_downloadsByTarget;
    // Scheduling order; a resume may queue a command a second time. How many times each
    // command stands in it, for the membership tests.
    QList<DCommand*> m_waitingQueue;
    QHash<DCommand*, int> m_queuedTimes;

    int m_maxTransfers = 4;
    int m_maxDownloads = 2;
    int m_maxUploads = 2;
    std::atomic<bool> m_limitsEnabled{true};
    QString m_proxyHost;
    QString m_proxyUser;
    QString m_proxyPassword;
    int m_proxyPort = 0;
    bool m_proxyEnabled = false;

    // Guards the running sets and the proxy values, which worker threads read.
    mutable QMutex m_lock;
    QSet<int> m_runningDownloads;
    QSet<int> m_runningUploads;
    QSet<int> m_runningTransfers;
    DSleepInhibitor* m_sleepInhibitor = nullptr;

    bool m_minToTray = false;
    bool m_powerOff = false;
    bool m_osStart = true;
    bool m_startTransfersAtOnce = false;

    // The history of m_historyUser, in document order (keys grow with every new entry), and
    // the key of each live transfer's entry.
    std::map<qint64, HistoryEntry> m_history;
    HistoryLines m_uploadLines;
    HistoryLines m_downloadLines;
    QHash<int, qint64> m_historyKeyById;
    qint64 m_nextHistoryKey = 0;
    // "Uploads" and "Downloads" in the order they were first needed.
    QStringList m_historyGroups;
    int m_historyUploads = 0;
    int m_historyDownloads = 0;
    QString m_historyUser;
    QString m_historyPath;
    bool m_historyLoaded = false;
    bool m_historyDirty = false;
    // Set by the writer thread when a save did not reach the disk.
    std::atomic<bool> m_historySaveFailed{false};
    QTimer m_historySaveTimer;
    // One thread at most, so saves reach the disk in the order they were made.
    QThreadPool m_historyWriter;
    // Keys of the entries a running restore still has to re-create, and how many it started
    // with.
    QList<qint64> m_restoreQueue;
    int m_restoreTotal = 0;
    int m_restoreDone = 0;
    int m_restoredCount = 0;
    qint64 m_restoreLogMs = 0;
    // Transfers that failed for good, by their last id, as a restore would re-create them.
    QHash<int, HistoryEntry> m_failedTransfers;

    bool m_busy = false;
    bool m_quitting = false;

    // Ends of background jobs waiting to run on the manager's thread, oldest first, and whether
    // a delivery is posted and has not started yet.
    QMutex m_finishedLock;
    std::deque<std::function<void()>> m_finishedJobs;
    bool m_deliveryPosted = false;

    // Declared last, so it is the first member to go: it waits for its jobs while everything
    // they read (the proxy values and their lock) is still there.
    QThreadPool m_background;
};
