#pragma once

#include "transfers/dtransfercommand.h"

#include <atomic>

// Downloads one remote file: first the "dlfile=" link request (direct link, size, playable),
// then an HTTP GET of the direct link into "<target>.<file id>.part", resumed from the partial
// file's size after every interruption and renamed to the target name on completion.
class DDownloadCommand : public DTransferCommand
{
    Q_OBJECT
public:
    DDownloadCommand(const QString& linkRequestAddress, const QString& localPath,
                     const QString& fileId, bool restored, QObject* parent = nullptr);
    ~DDownloadCommand() override;

    int commandType() const override { return CmdDownload; }
    void discard() override;
    void finish(bool announce) override;
    bool initCurl() override;
    void resumeTransfer() override;
    void restorePaused() override;

    bool isPlayable() const { return m_playable; }
    void setPlayable(bool value) { m_playable = value; }
    qint64 serviceSize() const { return m_serviceSize; }
    QString fileId() const { return m_fileId; }
    QString linkText() const { return m_linkText; }
    void setLinkText(const QString& link) { m_linkText = link; }
    QString targetPath() const { return m_targetPath; }
    QString partialPath() const;

    // "<base>(1)(2).<ext>" rule for a finished download whose target exists.
    static QString finalName(const QString& targetPath);
    // "<target>.<id>.part", with counters appended while that name is taken.
    static QString freePartialPath(const QString& targetPath, const QString& fileId);
    // The target of a restored download: its partial path without ".<id>.part[counter]".
    static QString targetOfPartial(const QString& partialPath, const QString& fileId);
    // Names come from the server: a file name or id holding a separator, or a "." or ".."
    // segment, could place the file outside the chosen folder. Empty when the target is safe,
    // otherwise the error text.
    static QString unsafeTargetError(const QString& targetPath, const QString& fileId);

public slots:
    bool setDownloadUrl(const QUrl& address);
    void dstart() override;

protected:
    void run() override;

private:
    static size_t writeLinkAnswer(char* data, size_t size, size_t count, void* file);
    static size_t writeData(char* data, size_t size, size_t count, void* command);
    static size_t readHeader(char* data, size_t size, size_t count, void* command);

    qint64 partialSize() const;
    // Worker side, before each attempt: resume position, callbacks, the per-transfer limit.
    void prepareAttempt();
    // Worker side, at the first block of an attempt: the answer must continue our bytes.
    bool openPartialForAttempt();
    // Worker side: a 416 answer to a resume means "already complete" only when the sizes agree.
    bool partialIsComplete() const;
    void truncatePartial();
    void closePartial();

    QString m_fileId;
    QString m_linkText;
    qint64 m_serviceSize = 0;
    QString m_linkRequestAddress;
    QString m_targetPath;
    bool m_playable = false;
    // Content-Range of the current answer: first byte and total size (-1 when absent).
    std::atomic<qint64> m_rangeStart{-1};
    std::atomic<qint64> m_rangeTotal{-1};
};
