#pragma once

#include "transfers/dtransfercommand.h"

#include <atomic>

// Sends one local file to the service's FTP server. A resumed upload first asks the server
// how much of the file it holds and appends from there; the server's refusals (quota, too
// many clients, bad login) are recognised from libcurl's result and the server's replies.
// The source file is open only while an attempt runs, so thousands of queued uploads hold no
// file descriptors.
class DUploadCommand : public DTransferCommand
{
    Q_OBJECT
public:
    explicit DUploadCommand(const QString& localPath, QObject* parent = nullptr);
    ~DUploadCommand() override;

    int commandType() const override { return CmdUpload; }
    void discard() override;
    void finish(bool announce) override;
    void resumeTransfer() override;
    void forceStart() override;

    QString serverFileName() const { return m_serverFileName; }
    void setServerFileName(const QString& name) { m_serverFileName = name; }
    QString folderId() const { return m_folderId; }
    void setFolderId(const QString& id) { m_folderId = id; }

    // KB/s cap of the uploads: the user's MaxUpSpeed when the speed caps are on, lowered to the
    // account's cap when that is smaller (the account's cap also holds when the user set none).
    static double uploadLimit(bool limitsEnabled, double maxUpSpeed, int accountCap);

public slots:
    void dstart() override;

protected:
    void run() override;

private:
    static size_t readData(char* buffer, size_t size, size_t count, void* command);
    static size_t readSizeHeader(char* data, size_t size, size_t count, void* command);
    static size_t discardData(char* data, size_t size, size_t count, void* command);

    enum Preparation
    {
        Ready,
        SourceMissing,
        SizeUnknown
    };
    // Asks the server for the size of the partly sent file; false when the query failed.
    bool querySize(qint64& size) const;
    // Worker side: the size once the server's file has stopped growing.
    bool querySettledSize(qint64& size);
    // Worker side, before each attempt: the server's size again right before an append, the
    // source opened at the resume position (or byte 0), every upload option on the handle.
    Preparation prepareAttempt();
    void closeSource();
    QString localName() const;

    QString m_serverFileName;
    QString m_folderId;
    // Set by a successful size query: the next attempt appends from resumeOffset.
    std::atomic<bool> m_append{false};
};
