#pragma once

#include "transfers/dtransfercommand.h"

#include <atomic>
#include <memory>

// Downloads one remote file: first the "dlfile=" link request (direct link, size, playable),
// then an HTTP GET of the direct link into "<target>.<file id>.part", resumed from the partial
// file's size after every interruption and renamed to the target name on completion.
//
// The link request runs in the background as soon as the command is registered; the command
// starts moving bytes only once its answer is in. When it arrives the manager emits
// di_updateLink for the download, and transferSize / isPlayable answer from then on. A download
// whose link request fails ends as failed (TransferError, the row goes to the error list);
// only a restored one that nobody started, and that the service did not refuse, stays paused
// and asks again when it is started. No failure opens a box.
class DDownloadCommand : public DTransferCommand
{
    Q_OBJECT
public:
    DDownloadCommand(const QString& linkRequestAddress, const QString& localPath,
                     const QString& fileId, bool restored, QObject* parent = nullptr);
    ~DDownloadCommand() override;

    int commandType() const override { return CmdDownload; }
    void discard() override;
    void restorePaused() override;
    // The whole file as the service reported it.
    qint64 totalSize() const override { return m_serviceSize.load(); }

    bool isPlayable() const { return m_playable; }
    void setPlayable(bool value) { m_playable = value; }
    qint64 serviceSize() const { return m_serviceSize.load(); }
    // The size a restore read from the history, until the link answer brings the service's.
    void setKnownSize(qint64 size)
    {
        if (!linkKnown() && size > 0)
            m_serviceSize = size;
    }
    bool linkKnown() const { return m_linkState == LinkKnown; }
    QString fileId() const { return m_fileId; }
    QString linkText() const { return m_linkText; }
    void setLinkText(const QString& link) { m_linkText = link; }
    QString targetPath() const { return m_targetPath; }
    // The finished file replaces whatever is at the target (the user chose "Overwrite") instead
    // of taking the first free name beside it.
    bool replacesTarget() const { return m_replacesTarget; }
    void setReplacesTarget(bool value) { m_replacesTarget = value; }
    // A file of the target's name was there when the download was queued and stays (the user
    // kept it): a target of the right size proves nothing about this download.
    bool hasNamesake() const { return m_namesake; }
    void setNamesake(bool value) { m_namesake = value; }
    QString partialPath() const;

    // "<base>(1)(2).<ext>" rule for a finished download whose target exists.
    static QString finalName(const QString& targetPath);
    // "<target>.<id>.part", with counters appended while that name is taken.
    static QString freePartialPath(const QString& targetPath, const QString& fileId);
    // The target of a restored download: its partial path without ".<id>.part[counter]".
    static QString targetOfPartial(const QString& partialPath, const QString& fileId);
    // The remote name and the file id come from the server: each must be one plain name, so
    // the file lands in `folder` whatever their form, and the folder must not climb out of
    // itself. Empty when the target is safe, otherwise the error text.
    static QString unsafeTargetError(const QString& folder, const QString& name,
                                     const QString& fileId);
    // The same check for a whole target path, split at its last "/".
    static QString unsafeTargetError(const QString& targetPath, const QString& fileId);

public slots:
    void requestLink();

protected:
    bool readyToStart(bool queued) override;
    void prepareResume() override;
    void configureHandle() override;
    Outcome performAttempt() override;
    void reportDone() override;
    void reportFailed() override;
    bool failsForGood() override;
    void cleanUpAbort() override;

private:
    struct LinkAnswer;
    enum LinkState
    {
        LinkNone,
        LinkPending,
        LinkKnown
    };

    static LinkAnswer fetchLinkAnswer(const QByteArray& address, const DCommandManager& manager,
                                      const std::atomic<bool>& cancelled);
    void applyLinkAnswer(const LinkAnswer& answer);
    static size_t writeData(char* data, size_t size, size_t count, void* command);
    static size_t readHeader(char* data, size_t size, size_t count, void* command);

    qint64 partialSize() const;
    // Worker side, before each attempt: resume position, callbacks, the per-transfer limit.
    void prepareAttempt();
    // Worker side, at the first block of an attempt: the answer must continue our bytes.
    bool openPartialForAttempt();
    // Worker side: writes one block in slices, each paced by the caps and followed by a
    // progress sample, so a capped download still reports every half second.
    bool writeCapped(const char* data, qint64 size);
    qint64 sliceBytes() const;
    // Worker side: a 416 answer to a resume means "already complete" only when the sizes agree.
    bool partialIsComplete() const;
    void truncatePartial();
    void closePartial();
    QString partialName() const;
    // Renames the finished partial file into its place; the final path, empty when it failed.
    QString moveIntoPlace();

    QString m_fileId;
    QString m_linkText;
    std::atomic<qint64> m_serviceSize{0};
    QString m_linkRequestAddress;
    QString m_targetPath;
    bool m_playable = false;
    bool m_replacesTarget = false;
    bool m_namesake = false;
    bool m_restored = false;
    LinkState m_linkState = LinkNone;
    // A direct start (forced, retried) came while the link was unknown: it starts on arrival.
    bool m_startWanted = false;
    std::shared_ptr<std::atomic<bool>> m_linkCancelled;
    // Worker-only state of the current attempt.
    std::atomic<qint64> m_rangeStart{-1};
    std::atomic<qint64> m_rangeTotal{-1};
    qint64 m_received = 0;
    bool m_oversize = false;
    bool m_restartedFromZero = false;
    QString m_attemptError;
};
