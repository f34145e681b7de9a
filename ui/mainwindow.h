#pragma once

#include "engine/dtypes.h"
#include "protocol/dtreeelement.h"

#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QMainWindow>

#include <deque>
#include <QPair>
#include <QStringList>
#include <QTime>

class DCommandManager;
class DKeyring;
class DNotifier;
class FileSystemModel;
class RowWidgetPlacer;
class TreeItemWidget;
class TreeView;
class QFileInfo;
class DStatusBarWidget;
class FolderDownload;
class DWidgetPrompt;
class DownloadList;
class LogWindow;
class LoginDialog;
class QAction;
class QMenu;
class QCloseEvent;
class QComboBox;
class QFileSystemModel;
class QModelIndex;
class QPushButton;
class QShortcut;
class QShowEvent;
class QSplitter;
class QStatusBar;
class QSystemTrayIcon;
class QTabWidget;
class QTextBrowser;
class QTimer;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;
class QUrl;
class TreeWidget;

// The program's main window and the owner of the engine. It builds its widgets on the first
// show, starts the engine, logs in with the last successful account, and restores the
// unfinished transfers after a login.
//
// Definitions are split by concern:
//   ui/mainwindow.cpp           construction, layout, actions, wiring, tray, settings, login
//   ui/mainwindow_remote.cpp    the remote pane (listing, folders, remote file operations)
//   ui/mainwindow_local.cpp     the local pane
//   ui/mainwindow_queue.cpp     the transfer queue views and the row-button operations
//   ui/mainwindow_folders.cpp   downloading whole remote folders
//   ui/mainwindow_options.cpp   the options dialog
//   ui/mainwindow_poweroff.cpp  the power-off countdown
//   ui/mainwindow_vlc.cpp       the video preview
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    DCommandManager* engine() const { return m_engine; }
    bool isMinToTray() const;
    void setTrayIconHidden(bool hidden);
    bool isBuilt() const { return m_built; }
    QString loginActionText() const;
    QString vlcPath() const { return m_vlcPath; }

    // --- Video preview (mainwindow_vlc.cpp) -----------------------------------------------
    // Starts the VLC player on a playable file's address (searching for it first if needed).
    void playInVlc(const QString& address);
    // Settles the VLC path: the remembered "VLCPath" if executable, else a search of the usual
    // places, else the "Install VLC" dialog; writes the result to "VLCPath".
    void findVlc();
    // From the options dialog: takes an executable file, refuses anything else.
    void setVlcPath(const QString& path);

    // Remembered answer to "File exists.." for uploads.
    enum DuplicateAnswer
    {
        DuplicateAsk,
        DuplicateContinue,
        DuplicateSkip
    };

public slots:
    void showAppplication();
    // Row-button operations of the running list.
    void onResume(int cmdId);
    void onPause(int cmdId);
    void onStart(int cmdId);
    void onAbort(int cmdId);
    // Opens a link of a link label in the desktop's web browser.
    void onLinkActivated(const QString& link);

    // --- Power-off countdown (mainwindow_poweroff.cpp) ------------------------------------
    void shutDownRequested();
    void updateShutDownMessage();
    void onTrayMessageClicked();
    void shutdownMachine();

public slots:
    // The preview button of a running row: plays the transfer's address in VLC.
    void onPreview(int cmdId);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    // --- Shell (mainwindow.cpp) -----------------------------------------------------------
    void engineStarted();
    void loginSuccess();
    void updateUserInfo(const QString& html);
    void onLoginLogOut();
    void onLogin();
    void onOpenDownloadList();
    void onRefresh();
    void onHelp();
    void onOpenLink(const QUrl& url);
    void onAppQuit();

    // --- Options (mainwindow_options.cpp) -------------------------------------------------
    void onOptions();

    // --- Remote pane (mainwindow_remote.cpp) ----------------------------------------------
    void fillHttpTree(const DTreeElementList& entries);
    // A listing that failed leaves the folder's last entries on show, greyed as out of date.
    void onListingFailed(const QString& folderId, const QString& message);
    void onRightTreeDoubleClick(QTreeWidgetItem* item, int column);
    void onRightComboBoxIndexChanged(int index);
    void onServerHome();
    void onRightTreeContextMenu(const QPoint& pos);
    void download();
    void onCopyDownLoadLink();
    void onRename();
    void onDelete();
    void onCreateFolder();
    void onMoveFile();
    void onListWidgetDoubleClick(const QModelIndex& index);
    void onFileMove(const QStringList& ids, const QString& destinationFolderId);

    // --- Local pane (mainwindow_local.cpp) ------------------------------------------------
    void onLeftTreeDoubleClick(const QModelIndex& index);
    void onLeftModelChanged(const QString& text);
    void onLeftComboBoxIndexChanged(int index);
    void onLeftOpenButtonClicked();
    void onLocalHome();
    void updateLeftStatusBarMsg();
    void onLeftTreeContextMenu(const QPoint& pos);
    void open();
    void upload();
    void onLocalRename();
    void onLocalDelete();
    void onLocalCreateFolder();
    void onLocalCreateFolder(const QString& name);

    // --- Queue views (mainwindow_queue.cpp) -----------------------------------------------
    void onResume();
    void onPause();
    void onStart();
    void onForceStart();
    void onAbort();
    void onResumeAll();
    void onPauseAll();
    void onAbortAll();
    void onSpeedLimit();
    void updateDataTransferProgress(int cmdId, long long progress, double speed, int timeLeft);
    void updateDataTransferLink(int cmdId, const QString& link);
    void onRestoreProgress(int done, int total);
    void dataTransferStatusChanged(int cmdId, const QString& rFile, const QString& lFile,
                                   DTransferStatus status, const QString& err, long long size);
    void onQueueTreeContextMenu(const QPoint& pos);
    void onFailedTreeContextMenu(const QPoint& pos);
    void onSucessTreeContextMenu(const QPoint& pos);
    // "Retry" of the error list: the failed transfers by their ids go back to the queue.
    void retryFailedTransfers(const QList<int>& failedIds);
    void onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                              const QStringList& sizes, const QStringList& links);
    void onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                              const QStringList& sizes, const QStringList& links,
                              const QString& destination);
    void onStartFileDownLoads(const QStringList& names, const QStringList& ids,
                              const QStringList& sizes);
    void onFileDroppedRight(const QStringList& paths, const QString& destinationFolderId);

    // --- Whole folders (mainwindow_folders.cpp) -------------------------------------------
    // Downloads remote folders, by name and id, with everything below them into the local
    // folder on show.
    void onStartFolderDownloads(const QStringList& names, const QStringList& ids);
    // Esc or the status bar's cancel button: drops every folder download still listing.
    void onCancelFolderDownloads();

private:
    // --- Shell (mainwindow.cpp) -----------------------------------------------------------
    void build();
    void createTrayIcon();
    void createActions();
    void createMenuBar();
    QWidget* buildTopPart(QWidget* parent);
    QWidget* buildRightPane(QWidget* parent);
    void connectSignals();
    // A minimum size for the window and its panes.
    void keepUsableWhenSmall();
    void readWindowSettings();
    void writeWindowSettings();
    // The last successful login's password: in the keyring where there is one, else (and when
    // it refuses) under "LastPassWord" in the file.
    void rememberLastPassword(const QString& user, const QString& previousUser,
                              const QString& password);
    // Recomputes the status-bar widget and the tray icon's tool tip from the running list.
    void updateStatusBarTotals();
    // "Ferrydesk — 3 running, ↓ 1.2 MB/s ↑ 300 KB/s" on the tray icon.
    void updateTrayToolTip(double downKbps, double upKbps, bool downloads, bool uploads);
    // The close hid the window to the tray: the first time ever, say that the program (and
    // its transfers) go on running there.
    void tellRunningInTray();
    // Opens a local file or folder with the desktop's handler for it.
    void openLocalFile(const QString& path);
    // Opens an http(s) address in the desktop's browser; anything else is refused and logged,
    // and so is an address the desktop could not open.
    void openExternalLink(const QUrl& link);
    // The address at which the service's own web page `url` is served in this deployment.
    QUrl servedAddress(QUrl url) const;

    // --- Remote pane (mainwindow_remote.cpp) ----------------------------------------------
    void addLinkLabel(QTreeWidgetItem* item, const QString& link);
    void setRightPath(const QString& path, const QString& folderId);
    void giveFinishedUploadsTheirLinks(const DTreeElementList& entries);
    // F5 and "&Refresh" re-read the pane that has the focus: the remote folder on show when
    // the remote pane has it, else the local folder.
    bool remotePaneHasFocus() const;
    void refreshRemotePane();
    QList<QTreeWidgetItem*> selectedRightRows() const;

    // --- Local pane (mainwindow_local.cpp) ------------------------------------------------
    QWidget* buildLeftPane(QWidget* parent);
    void connectLeftPane();

    // --- Local pane (mainwindow_local.cpp), continued -------------------------------------
    void refreshLocalPane();
    QString localFolder() const;
    // Points the model and the tree at `path` and adds it to the path box unless it is there.
    void goToLocalFolder(const QString& path, bool showInLineEdit);
    QList<QFileInfo> selectedLocalEntries() const;

    // --- Queue views (mainwindow_queue.cpp) -----------------------------------------------
    QWidget* buildQueueViews(QWidget* parent);
    QTreeWidget* makeQueueList(QWidget* parent, const QStringList& stateHeaders);
    void connectQueueViews();
    void commandStatusChanged(int cmdId, CStatus status);
    // The rows of transfers the engine put aside (another account logged in) go.
    void removeRetiredRows(const QList<int>& cmdIds);
    // The running row of a command id, through the id index; null when there is none.
    TreeItemWidget* findRow(int cmdId) const;
    TreeItemWidget* newQueueRow(int cmdId = -1);
    void giveRowItsId(TreeItemWidget* row, int cmdId, int direction);
    void appendRunningRows(const QList<TreeItemWidget*>& rows);
    void takeOutOfRunningList(TreeItemWidget* row);
    void abortRows(const QList<int>& cmdIds);
    void finishRow(TreeItemWidget* row, bool done, const QString& secondFile, const QString& path,
                   const QString& message);
    void addAnnouncedRow(int cmdId, const QString& path, long long size);
    QList<TreeItemWidget*> selectedQueueRows() const;
    // The global speed cap for transfers in these directions, 0 when none applies.
    int speedCap(bool downloads, bool uploads) const;
    QList<TreeItemWidget*> runningRows() const;
    void setRunningTabTitle(const QString& format);
    // "File exists.." for an upload whose name and size the remote folder on show has already.
    bool uploadIsWanted(const QString& name, const QString& sizeText);
    // "Clear List" empties a list; a list without rows offers no menu.
    void addClearListAction(QMenu& menu, QTreeWidget* list);
    QList<TreeItemWidget*> selectedRows(QTreeWidget* list) const;
    // A transfer asked for by a drop, a menu or pasted links, not yet handed to the engine.
    struct PendingTransfer
    {
        bool upload;
        QString path; // upload: the local file; download: the local target
        QString fileId;
        QString sizeText;
        QString linkHtml;
    };
    void feedPendingTransfers();
    // Rows of started transfers that are not in the running list yet join it.
    void showNewRows();
    TreeItemWidget* startPendingDownload(const PendingTransfer& download);
    TreeItemWidget* startPendingUpload(const PendingTransfer& upload);
    // Totals and the local pane's refresh follow bursts of transfer reports once per interval.
    void scheduleQueueFollowUps(bool refreshLocalPane);
    void flushQueueFollowUps();
    // Failed transfers come in bursts (a restore whose files are gone): each row carries its
    // reason, and the log view tells once, when the burst has settled, where to look.
    void noteFailedTransfer();
    void tellFailedTransfers();

    // --- Whole folders (mainwindow_folders.cpp) -------------------------------------------
    void buildFolderDownloadControls();
    void startNextFolderDownload();
    // An account without downloads: says so once (box and log) and returns true.
    bool refusedWithoutDownloads();
    void showFolderDownloadProgress();
    void folderDownloadEnded(FolderDownload* job, int outcome, const QString& message);
    // The files of a listed tree join the pending transfers; targets already in the running
    // list are left out (counted in the answer).
    int queueFolderFiles(const FolderDownload& job);
    void setFolderText(const QString& text, bool listing);

    // --- Power-off countdown (mainwindow_poweroff.cpp) ------------------------------------
    void showShutDownNotice(const QString& text, int displayMs);
    void showShutDownWindow(const QString& text);
    void hideShutDownNotice();
    // Where the desktop's notification service took the countdown and then refused it.
    void onCountdownNoticeFailed();

    // --- Desktop notices (mainwindow_queue.cpp) -------------------------------------------
    // Counts a finished transfer and tells the desktop about a failure and about the end of a
    // batch (nothing left running or waiting to run after transfers ended).
    void noticeTransferEnded(bool done, const QString& path, const QString& err);
    void noticeBatchEnd();

    // Engine and dialogs.
    DCommandManager* m_engine = nullptr;
    DWidgetPrompt* m_prompt = nullptr;
    LoginDialog* m_loginDialog = nullptr;
    DownloadList* m_downloadList = nullptr;

    // Upper part.
    QTextBrowser* m_infoBrowser = nullptr;
    LogWindow* m_logView = nullptr;
    TreeView* m_leftTree = nullptr;
    FileSystemModel* m_leftModel = nullptr;
    QComboBox* m_leftPathBox = nullptr;
    QPushButton* m_leftOpenButton = nullptr;
    QStatusBar* m_leftStatusBar = nullptr;
    QWidget* m_rightPane = nullptr;
    TreeWidget* m_rightTree = nullptr;
    QComboBox* m_rightPathBox = nullptr;
    QPushButton* m_rightOpenButton = nullptr;
    QStatusBar* m_rightStatusBar = nullptr;

    // Queue views.
    QTreeWidget* m_runningList = nullptr;
    QTreeWidget* m_errorList = nullptr;
    QTreeWidget* m_successList = nullptr;
    QTabWidget* m_tabWidget = nullptr;
    QPushButton* m_startAllButton = nullptr;
    QPushButton* m_pauseAllButton = nullptr;
    QPushButton* m_removeAllButton = nullptr;
    // Running rows by command id.
    QHash<int, TreeItemWidget*> m_rowsById;
    RowWidgetPlacer* m_rowPlacer = nullptr;
    QTimer* m_queueTimer = nullptr;
    bool m_localRefreshPending = false;
    QTimer* m_failureNoticeTimer = nullptr;
    int m_untoldFailures = 0;
    QElapsedTimer m_untoldSince;
    std::deque<PendingTransfer> m_pendingTransfers;
    bool m_feeding = false;
    // Ids of started transfers whose rows wait to join the running list, and when rows last
    // joined it.
    QList<int> m_rowsToShow;
    QElapsedTimer m_rowsShownAt;

    // Folder downloads in the order asked for; the first one lists, the others wait.
    QList<FolderDownload*> m_folderDownloads;
    // "Listing Docs: 1,240 files" while one lists, then its outcome for a while.
    QString m_folderText;
    QToolButton* m_cancelListingButton = nullptr;
    QShortcut* m_cancelListingShortcut = nullptr;
    QTimer* m_folderNoticeTimer = nullptr;

    QSplitter* m_hSplitter = nullptr;
    QSplitter* m_vSplitter = nullptr;
    QIcon m_folderIcon;
    QIcon m_fileIcon;

    // Tray and status bar.
    QSystemTrayIcon* m_trayIcon = nullptr;
    QAction* m_powerOffAction = nullptr;
    DStatusBarWidget* m_statusBarWidget = nullptr;

    // Menu-bar actions.
    QAction* m_loginAction = nullptr;
    QAction* m_optionAction = nullptr;
    QAction* m_downloadLinksAction = nullptr;
    QAction* m_refreshAction = nullptr;
    QAction* m_exitAction = nullptr;
    QAction* m_helpAction = nullptr;

    // Pane actions.
    QAction* m_renameAction = nullptr;
    QAction* m_downloadAction = nullptr;
    QAction* m_deleteAction = nullptr;
    QAction* m_createFolderAction = nullptr;
    QAction* m_copyLinkAction = nullptr;
    QAction* m_moveAction = nullptr;
    QAction* m_uploadAction = nullptr;
    QAction* m_localRenameAction = nullptr;
    QAction* m_localDeleteAction = nullptr;
    QAction* m_localCreateFolderAction = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_removeAction = nullptr;

    // Remote folder on show: (file name, size text) per file, in listing order.
    QList<QPair<QString, QString>> m_remoteFileIndex;
    // Cached icon per file-name suffix (the listing never touches the disk for icons).
    QHash<QString, QIcon> m_iconBySuffix;

    DuplicateAnswer m_duplicateAnswer = DuplicateAsk;
    // Set when an upload finished; the next listing that shows the file gives its row a link.
    bool m_uploadFinished = false;
    QString m_restoreText; // "Restoring transfers: n of m" while a restore runs
    // While set, the path-box handlers ignore index changes and pause/resume return at once.
    bool m_busy = false;
    bool m_built = false;

    // The desktop's keyring, and a last password on its way there (saved to the file if the
    // program ends first).
    DKeyring* m_keyring = nullptr;
    QString m_unsavedLastUser;
    QString m_unsavedLastPassword;

    // Desktop notices: transfers done and failed since the running list was last empty.
    DNotifier* m_notifier = nullptr;
    int m_batchDone = 0;
    int m_batchFailed = 0;

    // Power-off countdown.
    QTimer* m_countdownTimer = nullptr;
    QString m_shutDownText; // the countdown's latest text, wherever it shows
    bool m_shutdownPending = false;
    QString m_trayMessageTitle;
    QTime m_timeLeft;

    // Video preview: the player's executable, empty until known.
    QString m_vlcPath;
};
