#pragma once

#include "transfers/dtransfercommand.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

// Sends one local file to the service's FTP server. A resumed upload first asks the server
// how much of the file it holds (on the worker, never on the user-interface thread) and
// appends from there; the server's refusals (quota, too many clients, bad login) are
// recognised from libcurl's result and the server's replies. The source file is open only
// while an attempt runs, so thousands of queued uploads hold no file descriptors.
//
// An upload is done once the service has registered the file ("upload_done="), not when the
// FTP server has the last byte: the notice is the attempt's last step, so it retries, pauses,
// quits and comes back after a restart with the upload. An attempt that finds the whole file
// on the server already sends no byte; it asks the folder's listing whether an earlier notice
// (answered, but not recorded before a kill) registered it, and only then sends the notice.
class DUploadCommand : public DTransferCommand
{
    Q_OBJECT
public:
    explicit DUploadCommand(const QString& localPath, QObject* parent = nullptr);
    ~DUploadCommand() override;

    int commandType() const override { return CmdUpload; }
    void discard() override;
    void restorePaused() override;
    QString localFilePath() const override { return m_localPath; }
    qint64 totalSize() const override { return m_totalSize; }

    QString serverFileName() const { return m_serverFileName; }
    void setServerFileName(const QString& name) { m_serverFileName = name; }
    QString folderId() const { return m_folderId; }
    void setFolderId(const QString& id) { m_folderId = id; }
    // The notice that registers the file with the service, and the listing of its folder.
    void setRegistration(const QUrl& notice, const QUrl& folderListing);
    QUrl noticeAddress() const { return m_noticeUrl; }
    // The folder held a file of this name and size when the upload was queued (or its
    // contents were not known): its listing can not tell whether this upload was registered,
    // so the notice is sent again rather than the file left unregistered.
    bool hasNamesake() const { return m_namesake; }
    void setNamesake(bool value) { m_namesake = value; }

    // KB/s cap of the uploads: the user's MaxUpSpeed when the speed caps are on, lowered to the
    // account's cap when that is smaller (the account's cap also holds when the user set none).
    static double uploadLimit(bool limitsEnabled, double maxUpSpeed, int accountCap);

protected:
    void prepareResume() override;
    void prepareFreshStart() override;
    void configureHandle() override;
    Outcome performAttempt() override;
    void onProgress(double dltotal, double dlnow, double ultotal, double ulnow) override;
    void reportDone() override;
    void reportFailed() override;
    void reportRetryWait() override;
    bool failsForGood() override;

private:
    static size_t readData(char* buffer, size_t size, size_t count, void* command);

    enum Preparation
    {
        Ready,
        SourceMissing,
        SizeUnknown,
        AlreadyWhole
    };
    enum Registration
    {
        Registered,
        NotRegistered,
        RegistrationUnknown
    };
    // Asks the server for the size of the partly sent file (0 when it has none); false when
    // the query failed. `cancelled` is polled while the server keeps silent.
    static bool querySize(const QByteArray& address, const DCommandManager* manager, qint64& size,
                          const std::function<bool()>& cancelled);
    // Worker side: the size once the server's file has stopped growing.
    bool querySettledSize(qint64& size);
    // Worker side, before each attempt: the server's size right before an append, the source
    // opened at the resume position (or byte 0), every upload option on the handle.
    Preparation prepareAttempt();
    // Worker side, once the server holds the whole file: registers it with the service.
    // `checkFirst`: an earlier attempt or run may have done so already.
    Outcome registerFile(bool checkFirst);
    Registration listedInFolder();
    Outcome sendNotice();
    // Worker side: the service's answer to `address`, or an empty text with `failure` set.
    QByteArray askService(const QUrl& address, QString& failure);
    void closeSource();
    QString localName() const;

    QString m_serverFileName;
    QString m_folderId;
    QUrl m_noticeUrl;
    QUrl m_listingUrl;
    bool m_namesake = false;
    QString m_localPath;
    qint64 m_totalSize = 0;
    // Worker-only: the source stream of the running attempt.
    FILE* m_source = nullptr;
    // Set by a resume: the next attempt asks the server's size and appends from there.
    std::atomic<bool> m_append{false};
    std::shared_ptr<std::atomic<bool>> m_restoreCancelled;
};
