#include "transfers/ddownloadcommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "support/dlog.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QtDebug>

#include <curl/curl.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

// libcurl ends the transfer when a data callback answers anything but the block size.
constexpr size_t PausedWriteResult = 0x10000000;
constexpr long LinkRequestTimeoutSeconds = 120;
constexpr long DownloadBufferBytes = 102400;
// A link answer is a few hundred bytes; anything far larger is not one.
constexpr int LinkAnswerLimitBytes = 65536;
// A capped download writes slices that each sleep at most this long.
constexpr int SliceSleepMs = 250;

QString partialMarker(const QString& fileId)
{
    return QLatin1Char('.') + fileId + QStringLiteral(".part");
}

bool isAllDigits(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
}

// One name, never a path: no separator, not "." or "..", not empty.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

int cancelWhenAsked(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

} // namespace

struct DDownloadCommand::LinkAnswer
{
    bool ok = false;
    bool refused = false;
    QString text;
    QString directLink;
    qint64 size = 0;
    bool playable = false;
};

DDownloadCommand::DDownloadCommand(const QString& linkRequestAddress, const QString& localPath,
                                   const QString& fileId, bool restored, QObject* parent)
    : DTransferCommand(parent), m_fileId(fileId), m_linkRequestAddress(linkRequestAddress),
      m_restored(restored), m_linkCancelled(std::make_shared<std::atomic<bool>>(false))
{
    QString partial;
    if (restored) {
        partial = localPath;
        m_targetPath = targetOfPartial(localPath, fileId);
    } else {
        m_targetPath = localPath;
        partial = freePartialPath(localPath, fileId);
    }
    replaceResponseFile(new QFile(partial));

    const QString unsafe = unsafeTargetError(m_targetPath, fileId);
    if (!unsafe.isEmpty()) {
        message = unsafe;
        logError(unsafe);
        setStatus(StatusFailed);
        return;
    }
    if (QFileInfo::exists(partial))
        resumeOffset = partialSize();
    setStatus(StatusQueued);
    // Asked once the creator has registered the command (the request needs the manager).
    QMetaObject::invokeMethod(this, &DDownloadCommand::requestLink, Qt::QueuedConnection);
}

DDownloadCommand::~DDownloadCommand()
{
    *m_linkCancelled = true;
    stopWorker();
    closePartial();
}

QString DDownloadCommand::partialPath() const
{
    return responseFile ? responseFile->fileName() : QString();
}

QString DDownloadCommand::partialName() const
{
    return QFileInfo(partialPath()).fileName();
}

qint64 DDownloadCommand::partialSize() const
{
    const QFileInfo info(partialPath());
    return info.exists() ? info.size() : 0;
}

// --- Names ----------------------------------------------------------------------------------

QString DDownloadCommand::freePartialPath(const QString& targetPath, const QString& fileId)
{
    QString path = targetPath + partialMarker(fileId);
    // Each counter is appended to the previous attempt: x.7.part, x.7.part1, x.7.part12, ...
    for (int n = 1; QFileInfo::exists(path); ++n)
        path += QString::number(n);
    return path;
}

QString DDownloadCommand::targetOfPartial(const QString& partialPath, const QString& fileId)
{
    const QString marker = partialMarker(fileId);
    const int at = partialPath.lastIndexOf(marker);
    // A counter after ".part" belongs to the partial name, not to the target.
    if (at > 0 && isAllDigits(partialPath.mid(at + marker.size())))
        return partialPath.left(at);
    QString target = partialPath;
    target.remove(marker);
    return target;
}

QString DDownloadCommand::finalName(const QString& targetPath)
{
    const int slash = std::max(targetPath.lastIndexOf(QLatin1Char('/')),
                               targetPath.lastIndexOf(QLatin1Char('\\')));
    const int dot = targetPath.lastIndexOf(QLatin1Char('.'));
    // A dot inside a folder name, or leading a hidden file's name, is no extension: the counter
    // then goes on the whole name.
    const bool hasExtension = dot > slash + 1;
    QString base = hasExtension ? targetPath.left(dot) : targetPath;
    const QString extension = hasExtension ? QLatin1Char('.') + targetPath.mid(dot + 1) : QString();
    QString candidate = base + extension;
    for (int n = 1; QFileInfo::exists(candidate); ++n) {
        base += QLatin1Char('(') + QString::number(n) + QLatin1Char(')');
        candidate = base + extension;
    }
    return candidate;
}

QString DDownloadCommand::unsafeTargetError(const QString& folder, const QString& name,
                                            const QString& fileId)
{
    const bool safe = !folder.isEmpty() && isPlainName(name) && isPlainName(fileId) &&
                      !folder.split(QLatin1Char('/')).contains(QStringLiteral("..")) &&
                      !folder.split(QLatin1Char('\\')).contains(QStringLiteral(".."));
    if (safe)
        return QString();
    return tr("Error download: unsafe file name %1").arg(folder + QLatin1Char('/') + name);
}

QString DDownloadCommand::unsafeTargetError(const QString& targetPath, const QString& fileId)
{
    const int slash = targetPath.lastIndexOf(QLatin1Char('/'));
    return unsafeTargetError(targetPath.left(slash), targetPath.mid(slash + 1), fileId);
}

// --- Link request ---------------------------------------------------------------------------

void DDownloadCommand::requestLink()
{
    if (m_linkState != LinkNone || !manager || status() == StatusFailed ||
        status() == StatusAborted)
        return;
    m_linkState = LinkPending;
    const QByteArray address = m_linkRequestAddress.toLatin1();
    const DCommandManager* owner = manager.data();
    const std::shared_ptr<std::atomic<bool>> cancelled = m_linkCancelled;
    const auto answer = std::make_shared<LinkAnswer>();
    const QPointer<DDownloadCommand> self(this);
    manager->runInBackground([address, owner, cancelled,
                              answer] { *answer = fetchLinkAnswer(address, *owner, *cancelled); },
                             [self, answer] {
                                 if (self)
                                     self->applyLinkAnswer(*answer);
                             });
}

DDownloadCommand::LinkAnswer DDownloadCommand::fetchLinkAnswer(const QByteArray& address,
                                                               const DCommandManager& manager,
                                                               const std::atomic<bool>& cancelled)
{
    LinkAnswer answer;
    CURL* handle = DCurl::newHandle();
    if (!handle) {
        qDebug() << "Could not get curl handle";
        return answer;
    }
    DCurl::BoundedAnswer body(LinkAnswerLimitBytes);
    curl_easy_setopt(handle, CURLOPT_URL, address.constData());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, LinkRequestTimeoutSeconds);
    DCurl::collectInto(handle, &body);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &cancelWhenAsked);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &cancelled);
    DCurl::applyProxy(handle, manager);
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    if (rc != CURLE_OK) {
        answer.text = tr("Transfer perform failed(2): %1")
                          .arg(QString::fromLocal8Bit(curl_easy_strerror(rc)));
        return answer;
    }
    QDomDocument document;
    if (!document.setContent(body.bytes))
        return answer;
    const QDomElement root = document.documentElement();
    const QDomElement value = root.firstChildElement(QStringLiteral("value"));
    if (!value.isNull() && value.text().trimmed().toInt() == 0) {
        answer.refused = true;
        answer.text =
            tr("Error download:") + root.firstChildElement(QStringLiteral("string")).text();
        return answer;
    }
    const QDomElement size = root.firstChildElement(QStringLiteral("size"));
    if (!size.isNull()) {
        bool ok = false;
        answer.size = size.text().trimmed().toLongLong(&ok, 10);
        // Every later check of the received bytes relies on this number.
        if (!ok || answer.size < 0) {
            answer.text =
                tr("Error download: the service sent no valid size (%1)").arg(size.text().left(40));
            return answer;
        }
    }
    const QDomElement playable = root.firstChildElement(QStringLiteral("playable"));
    answer.playable = !playable.isNull() && playable.text().trimmed().toInt() != 0;
    answer.directLink = root.firstChildElement(QStringLiteral("direct_link")).text().trimmed();
    const QString scheme = QUrl(answer.directLink).scheme().toLower();
    if (!answer.directLink.isEmpty() && scheme != QLatin1String("http") &&
        scheme != QLatin1String("https")) {
        answer.text = tr("Error download: the service sent a link that is not http or https");
        return answer;
    }
    answer.ok = true;
    return answer;
}

void DDownloadCommand::applyLinkAnswer(const LinkAnswer& answer)
{
    if (status() == StatusAborted || status() == StatusFailed)
        return;
    if (!answer.ok) {
        m_linkState = LinkNone;
        message = answer.text;
        // A restored download nobody started yet stays paused and asks again when started,
        // unless the service refused the file: that is its final word.
        if (!answer.refused && m_restored && status() == StatusPaused && !m_startWanted) {
            logError(message);
            return;
        }
        // No box here: answers arrive by the thousand after a restore. The row takes the
        // reason to the error list and the window tells the user once.
        // A restore made an empty partial file for the row; it holds nothing worth keeping.
        if (QFileInfo(partialPath()).isFile() && partialSize() == 0)
            QFile::remove(partialPath());
        m_startWanted = false;
        setStatus(StatusFailed);
        finish(true);
        return;
    }
    m_linkState = LinkKnown;
    url = QUrl(answer.directLink);
    m_serviceSize = answer.size;
    m_playable = answer.playable;
    if (manager) {
        manager->addToHistory(this);
        manager->reportUpdateLink(id(), m_linkText);
        if (status() == StatusPaused && resumeOffset.load() > 0)
            reportStoredProgress();
    }
    if (m_startWanted) {
        m_startWanted = false;
        dstart();
    } else if (manager && (status() == StatusQueued || status() == StatusResumeQueued)) {
        // Only a download waiting in the queue for this answer can start now; a pass over
        // the whole queue for every answer of a paused one made big adds quadratic.
        manager->flush();
    }
}

bool DDownloadCommand::readyToStart(bool queued)
{
    if (status() == StatusFailed) {
        finish(true);
        return false;
    }
    if (m_linkState == LinkKnown)
        return true;
    if (!queued)
        m_startWanted = true;
    requestLink();
    return false;
}

// --- Attempts -------------------------------------------------------------------------------

void DDownloadCommand::prepareResume()
{
    resumeOffset = partialSize();
    m_restartedFromZero = false;
}

void DDownloadCommand::restorePaused()
{
    if (!QFileInfo::exists(partialPath())) {
        QFile empty(partialPath());
        if (empty.open(QIODevice::WriteOnly))
            empty.close();
    }
    resumeOffset = partialSize();
    DTransferCommand::restorePaused();
}

void DDownloadCommand::configureHandle()
{
    // An HTTP error answer is a failed attempt: its body must never reach the partial file.
    curl_easy_setopt(curlHandle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_FOLLOWLOCATION, 1L);
    // A direct link names a web address; anything else (file://, ...) is refused by libcurl.
    curl_easy_setopt(curlHandle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curlHandle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, &DDownloadCommand::readHeader);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERDATA, this);
    // 100 KiB blocks instead of libcurl's 16 KiB: six times fewer callbacks and disk writes.
    curl_easy_setopt(curlHandle, CURLOPT_BUFFERSIZE, DownloadBufferBytes);
}

void DDownloadCommand::prepareAttempt()
{
    // The request continues exactly the bytes on disk: never beyond them.
    const qint64 onDisk = partialSize();
    if (resumeOffset.load() > onDisk)
        resumeOffset = onDisk;
    m_rangeStart = -1;
    m_rangeTotal = -1;
    m_received = 0;
    m_oversize = false;
    m_attemptError.clear();
    curl_easy_setopt(curlHandle, CURLOPT_RESUME_FROM_LARGE, curl_off_t(resumeOffset.load()));
    curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, &DDownloadCommand::writeData);
    curl_easy_setopt(curlHandle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curlHandle, CURLOPT_MAX_RECV_SPEED_LARGE, curl_off_t(speedLimit()) * 1024);
}

DTransferCommand::Outcome DDownloadCommand::performAttempt()
{
    prepareAttempt();
    const CURLcode rc = curl_easy_perform(curlHandle);
    long responseCode = 0;
    curl_easy_getinfo(curlHandle, CURLINFO_RESPONSE_CODE, &responseCode);
    // On disk before anyone reads the partial file's size for the next resume.
    closePartial();
    // Paused, aborted or started again meanwhile: the attempt's end is the base's business.
    if (status() != StatusRunning)
        return OutcomeRetry;
    if (m_oversize) {
        message = m_attemptError;
        return OutcomeFailed;
    }
    const QString failure = tr("Transfer perform failed(3): %1");
    // 416 to a resume: libcurl may pass it as success or as an HTTP error.
    if (responseCode == 416 && (rc == CURLE_OK || rc == CURLE_HTTP_RETURNED_ERROR)) {
        if (partialIsComplete())
            return OutcomeDone;
        truncatePartial();
        message = failure.arg(QStringLiteral("the partial file does not match the remote file, "
                                             "starting again"));
        return OutcomeRetry;
    }
    if (rc == CURLE_OK) {
        // A connection that ends early without an error has still not brought the whole file.
        const qint64 known = m_serviceSize.load();
        const qint64 have = partialSize();
        if (known > 0 && have < known) {
            message = failure.arg(
                QStringLiteral("the server ended at byte %1 of %2").arg(have).arg(known));
            return OutcomeRetry;
        }
        return OutcomeDone;
    }
    // The server ignored the Range request: its whole body starts again from byte 0.
    if (rc == CURLE_RANGE_ERROR && !m_restartedFromZero && resumeOffset.load() > 0) {
        m_restartedFromZero = true;
        truncatePartial();
        return OutcomeAgain;
    }
    message =
        failure.arg(!m_attemptError.isEmpty() ? m_attemptError
                                              : QString::fromLocal8Bit(curl_easy_strerror(rc)));
    return OutcomeRetry;
}

bool DDownloadCommand::partialIsComplete() const
{
    const qint64 rangeTotal = m_rangeTotal.load();
    const qint64 known = m_serviceSize.load();
    const qint64 have = partialSize();
    if (rangeTotal < 0 && known <= 0)
        return false;
    return (rangeTotal < 0 || have == rangeTotal) && (known <= 0 || have == known);
}

void DDownloadCommand::truncatePartial()
{
    QFile::resize(partialPath(), 0);
    resumeOffset = 0;
}

void DDownloadCommand::closePartial()
{
    if (responseFile && responseFile->isOpen())
        responseFile->close();
}

bool DDownloadCommand::openPartialForAttempt()
{
    const qint64 offset = resumeOffset.load();
    long code = 0;
    curl_easy_getinfo(curlHandle, CURLINFO_RESPONSE_CODE, &code);
    if (offset > 0 &&
        (code != 206 || (m_rangeStart.load() >= 0 && m_rangeStart.load() != offset))) {
        m_attemptError = QStringLiteral("the server did not continue at byte %1").arg(offset);
        return false;
    }
    QFile* file = responseFile;
    const bool opened =
        offset > 0
            // Keep exactly the bytes the server continues from.
            ? file->open(QIODevice::ReadWrite | QIODevice::Unbuffered) && file->resize(offset) &&
                  file->seek(offset)
            : file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    if (!opened) {
        file->close();
        logError(QStringLiteral("Could not open file for write"));
    }
    return opened;
}

qint64 DDownloadCommand::sliceBytes() const
{
    double kbPerSecond = 0;
    if (manager && manager->limitsEnabled() && DGlobals::MaxDownSpeed.load() > 0) {
        const int divisor = std::max(1, manager->runningDownloadCount());
        kbPerSecond = std::max(1.0, DGlobals::MaxDownSpeed.load() / divisor);
    }
    if (speedLimit() > 0 && (kbPerSecond <= 0 || speedLimit() < kbPerSecond))
        kbPerSecond = speedLimit();
    if (kbPerSecond <= 0)
        return DownloadBufferBytes;
    const qint64 bytes = qint64(kbPerSecond * 1024 * SliceSleepMs / 1000);
    return std::clamp<qint64>(bytes, 1024, ThrottleBlockBytes);
}

bool DDownloadCommand::writeCapped(const char* data, qint64 size)
{
    curl_off_t expected = -1;
    curl_easy_getinfo(curlHandle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
    const double total =
        expected > 0 ? double(expected)
                     : double(std::max<qint64>(0, m_serviceSize.load() - resumeOffset.load()));
    const qint64 slice = sliceBytes();
    for (qint64 done = 0; done < size;) {
        const qint64 part = std::min(slice, size - done);
        DCommandManager* owner = manager.data();
        if (owner && owner->limitsEnabled())
            throttle(DGlobals::MaxDownSpeed.load(), owner->runningDownloadCount(), part);
        paceToSpeedLimit(part);
        if (status() != StatusRunning || !writeFully(responseFile, data + done, part))
            return false;
        done += part;
        m_received += part;
        sampleProgress(double(m_received), total, double(resumeOffset.load()) + total);
    }
    return true;
}

size_t DDownloadCommand::writeData(char* data, size_t size, size_t count, void* userData)
{
    auto* download = static_cast<DDownloadCommand*>(userData);
    const qint64 total = qint64(size * count);
    if (download->status() == StatusPaused)
        return PausedWriteResult;
    if (download->status() != StatusRunning)
        return 0;
    if (!download->responseFile->isOpen() && !download->openPartialForAttempt())
        return 0;
    // An answer longer than the file the service described must not fill the disk.
    const qint64 known = download->m_serviceSize.load();
    if (known > 0 && download->resumeOffset.load() + download->m_received + total > known) {
        download->m_oversize = true;
        download->m_attemptError =
            tr("Error download: the server sent more than the %1 bytes of the file").arg(known);
        return 0;
    }
    if (download->writeCapped(data, total))
        return size_t(total);
    // A short count ends the attempt: a pause parks the worker, a failing disk retries later.
    return download->status() == StatusPaused ? PausedWriteResult : 0;
}

size_t DDownloadCommand::readHeader(char* data, size_t size, size_t count, void* userData)
{
    auto* download = static_cast<DDownloadCommand*>(userData);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        // Every answer (also after a redirect) brings its own range.
        download->m_rangeStart = -1;
        download->m_rangeTotal = -1;
    } else if (line.toLower().startsWith("content-range:")) {
        static const QRegularExpression range(
            QStringLiteral("bytes\\s+(\\*|(\\d+)-\\d+)/(\\d+|\\*)"),
            QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch m = range.match(QString::fromLatin1(line));
        if (m.hasMatch()) {
            if (!m.captured(2).isEmpty())
                download->m_rangeStart = m.captured(2).toLongLong();
            if (m.captured(3) != QLatin1String("*"))
                download->m_rangeTotal = m.captured(3).toLongLong();
        }
    }
    return size * count;
}

// --- End of a download ----------------------------------------------------------------------

void DDownloadCommand::discard()
{
    *m_linkCancelled = true;
    DTransferCommand::discard();
}

void DDownloadCommand::cleanUpAbort()
{
    QFile::remove(partialPath());
}

QString DDownloadCommand::moveIntoPlace()
{
    if (m_replacesTarget && !QFileInfo(m_targetPath).isDir()) {
        // One rename over the old file: it is there, whole, until the new one takes its place.
        std::error_code error;
        std::filesystem::rename(QFile::encodeName(partialPath()).toStdString(),
                                QFile::encodeName(m_targetPath).toStdString(), error);
        if (!error)
            return m_targetPath;
    }
    const QString finalPath = finalName(m_targetPath);
    return QFile::rename(partialPath(), finalPath) ? finalPath : QString();
}

void DDownloadCommand::reportDone()
{
    const QString finalPath = moveIntoPlace();
    if (finalPath.isEmpty()) {
        message = tr("Could not rename %1 to %2").arg(partialPath(), m_targetPath);
        logError(message);
        if (manager)
            manager->reportTransferStatus(id(), partialName(), m_targetPath, TransferError,
                                          message);
        return;
    }
    if (manager)
        manager->reportTransferStatus(id(), partialName(), QFileInfo(finalPath).fileName(),
                                      TransferDone);
}

void DDownloadCommand::reportFailed()
{
    if (manager)
        manager->reportTransferStatus(id(), partialName(), m_targetPath, TransferError, message);
}

bool DDownloadCommand::failsForGood()
{
    if (!collectedServerText().contains(QLatin1String(": No such file or directory")))
        return false;
    setStatus(StatusFailed);
    message = tr("Error Download: File not found!");
    return true;
}
