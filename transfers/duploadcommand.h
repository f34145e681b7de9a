#pragma once

#include "transfers/dtransfercommand.h"

// Sends one local file to the service's FTP server. A resumed upload first asks the server
// how much of the file it holds and appends from there; the server's refusals (quota, too
// many clients, bad login) are recognised from libcurl's result and the server's replies.
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

    QString serverFileName() const { return m_serverFileName; }
    void setServerFileName(const QString& name) { m_serverFileName = name; }
    QString folderId() const { return m_folderId; }
    void setFolderId(const QString& id) { m_folderId = id; }

public slots:
    void dstart() override;

protected:
    void run() override;

private:
    static size_t readData(char* buffer, size_t size, size_t count, void* command);
    static size_t readSizeHeader(char* data, size_t size, size_t count, void* command);
    static size_t discardData(char* data, size_t size, size_t count, void* command);

    QString m_serverFileName;
    QString m_folderId;
};
