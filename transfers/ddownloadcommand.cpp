#include "transfers/ddownloadcommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "support/dlog.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QtDebug>

#include <curl/curl.h>

#include <exception>

namespace {

// libcurl ends the transfer when a data callback answers anything but the block size.
constexpr size_t PausedWriteResult = 0x10000000;
constexpr long LinkRequestTimeoutSeconds = 120;
constexpr long DownloadBufferBytes = 102400;

QString partialMarker(const QString& fileId)
{
    return QLatin1Char('.') + fileId + QStringLiteral(".part");
}

bool isAllDigits(const QString& text)
{
    for (const QChar c : text) {
        if (!c.isDigit())
            return false;
    }
    return true;
}

} // namespace

DDownloadCommand::DDownloadCommand(const QString& linkRequestAddress, const QString& localPath,
                                   const QString& fileId, bool restored, QObject* parent)
    : DTransferCommand(parent), m_fileId(fileId), m_linkRequestAddress(linkRequestAddress)
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
    if (setDownloadUrl(QUrl(linkRequestAddress))) {
        if (QFileInfo::exists(partial))
            resumeOffset = partialSize();
        setStatus(StatusQueued);
    } else {
        setStatus(StatusFailed);
    }
}

DDownloadCommand::~DDownloadCommand()
{
    stopWorker();
    closePartial();
}

QString DDownloadCommand::partialPath() const
{
    return responseFile ? responseFile->fileName() : QString();
}

qint64 DDownloadCommand::partialSize() const
{
    const QFileInfo info(partialPath());
    return info.exists() ? info.size() : 0;
}

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

QString DDownloadCommand::unsafeTargetError(const QString& targetPath, const QString& fileId)
{
    const QString name = targetPath.mid(targetPath.lastIndexOf(QLatin1Char('/')) + 1);
    bool unsafe = name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
                  name.contains(QLatin1Char('\\'));
    unsafe = unsafe || fileId.isEmpty() || fileId.contains(QLatin1Char('/')) ||
             fileId.contains(QLatin1Char('\\')) || fileId == QLatin1String(".") ||
             fileId == QLatin1String("..");
    const QStringList segments = targetPath.split(QLatin1Char('/'));
    unsafe =
        unsafe || segments.contains(QStringLiteral(".")) || segments.contains(QStringLiteral(".."));
    if (!unsafe)
        return QString();
    return tr("Error download: unsafe file name %1").arg(targetPath);
}

bool DDownloadCommand::setDownloadUrl(const QUrl& address)
{
    CURL* handle = DCurl::newHandle();
    if (!handle) {
        qDebug() << "Could not get curl handle";
        return false;
    }
    QTemporaryFile answer(QDir::tempPath() + QStringLiteral("/ferrydesk-link"));
    if (!answer.open()) {
        curl_easy_cleanup(handle);
        return false;
    }
    const QByteArray encoded = address.toEncoded();
    try {
        curl_easy_setopt(handle, CURLOPT_URL, encoded.constData());
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, LinkRequestTimeoutSeconds);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DDownloadCommand::writeLinkAnswer);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<QFile*>(&answer));
        if (manager)
            DCurl::applyProxy(handle, *manager);
    } catch (const std::exception& e) {
        logError(QStringLiteral("CRL: run easy command failed :: %1")
                     .arg(QString::fromLocal8Bit(e.what())));
    }
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    answer.flush();
    if (rc != CURLE_OK) {
        message = tr("Transfer perform failed(2): %1")
                      .arg(QString::fromLocal8Bit(curl_easy_strerror(rc)));
        return false;
    }
    answer.seek(0);
    QDomDocument document;
    if (!document.setContent(answer.readAll()))
        return false;
    const QDomElement root = document.documentElement();
    const QDomElement value = root.firstChildElement(QStringLiteral("value"));
    if (!value.isNull() && value.text().trimmed().toInt() == 0) {
        const QString text =
            tr("Error download:") + root.firstChildElement(QStringLiteral("string")).text();
        message = text;
        showMessage(text);
        logError(text);
        return false;
    }
    const QDomElement size = root.firstChildElement(QStringLiteral("size"));
    if (!size.isNull())
        m_serviceSize = size.text().trimmed().toLongLong();
    m_playable = false;
    const QDomElement playable = root.firstChildElement(QStringLiteral("playable"));
    if (!playable.isNull())
        m_playable = playable.text().trimmed().toInt() != 0;
    url = QUrl(root.firstChildElement(QStringLiteral("direct_link")).text().trimmed());
    return true;
}

size_t DDownloadCommand::writeLinkAnswer(char* data, size_t size, size_t count, void* userData)
{
    auto* file = static_cast<QFile*>(userData);
    if (!file->isOpen() && !file->open(QIODevice::WriteOnly)) {
        logError(QStringLiteral("Could not open file for write"));
        return 0;
    }
    const qint64 total = qint64(size * count);
    return writeFully(file, data, total) ? size_t(total) : 0;
}

bool DDownloadCommand::initCurl()
{
    if (!prepareHandle(false))
        return false;
    // An HTTP error answer is a failed attempt: its body must never reach the partial file.
    curl_easy_setopt(curlHandle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, &DDownloadCommand::readHeader);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERDATA, this);
    return true;
}

void DDownloadCommand::dstart()
{
    if (status() == StatusFailed) {
        finish(true);
        return;
    }
    // A live worker (running or parked on the gate) carries on by itself.
    if (performing || isRunning())
        return;
    needsStart = false;
    if (url.isEmpty() && !setDownloadUrl(QUrl(m_linkRequestAddress))) {
        setStatus(StatusFailed);
        finish(true);
        return;
    }
    if (!curlHandle && !initCurl())
        return;
    reportRowText(attemptNotice());
    if (retryCount != 0) {
        const qint64 size = partialSize();
        if (size != 0)
            resumeOffset = size;
    }
    message.clear();
    start(QThread::InheritPriority);
}

void DDownloadCommand::resumeTransfer()
{
    if (freshStart) {
        freshStart = false;
        forceStart();
        return;
    }
    resumeOffset = partialSize();
    DTransferCommand::resumeTransfer();
}

void DDownloadCommand::restorePaused()
{
    if (!QFileInfo::exists(partialPath())) {
        QFile empty(partialPath());
        if (empty.open(QIODevice::WriteOnly))
            empty.close();
    }
    const bool savedNeedsStart = needsStart;
    needsStart = false;
    m_wakeOnly = true;
    resumeTransfer();
    m_wakeOnly = false;
    needsStart = savedNeedsStart;
    pauseTransfer();
    const long long progress = m_serviceSize > 0 ? resumeOffset.load() * 10000 / m_serviceSize : 0;
    if (manager)
        manager->reportProgress(id(), progress, 1.0, 1);
}

void DDownloadCommand::prepareAttempt()
{
    beginAttempt();
    // The request continues exactly the bytes on disk: never beyond them.
    const qint64 onDisk = partialSize();
    if (resumeOffset.load() > onDisk)
        resumeOffset = onDisk;
    m_rangeStart = -1;
    m_rangeTotal = -1;
    curl_easy_setopt(curlHandle, CURLOPT_RESUME_FROM_LARGE, curl_off_t(resumeOffset.load()));
    curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, &DDownloadCommand::writeData);
    curl_easy_setopt(curlHandle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curlHandle, CURLOPT_MAX_RECV_SPEED_LARGE, curl_off_t(speedLimit()) * 1024);
    // 100 KiB blocks instead of libcurl's 16 KiB: six times fewer callbacks and disk writes.
    curl_easy_setopt(curlHandle, CURLOPT_BUFFERSIZE, DownloadBufferBytes);
}

void DDownloadCommand::run()
{
    bool restartedFromZero = false;
    for (;;) {
        if (status() == StatusAborted)
            break;
        setStatus(StatusRunning);
        performing = true;
        if (manager)
            manager->markRunning(this);
        CURLcode rc = CURLE_FAILED_INIT;
        long responseCode = 0;
        if (curlHandle) {
            prepareAttempt();
            rc = curl_easy_perform(curlHandle);
            curl_easy_getinfo(curlHandle, CURLINFO_RESPONSE_CODE, &responseCode);
        }
        if (manager)
            manager->markStopped(this);
        performing = false;
        // On disk before anyone reads the partial file's size for the next resume.
        closePartial();

        if (status() == StatusPaused) {
            waitWhilePaused();
            continue;
        }
        if (status() == StatusAborted)
            break;
        // 416 to a resume: libcurl may pass it as success or as an HTTP error.
        if (responseCode == 416 && (rc == CURLE_OK || rc == CURLE_HTTP_RETURNED_ERROR)) {
            if (partialIsComplete()) {
                setStatus(StatusFinished);
            } else {
                truncatePartial();
                setStatus(StatusRetryWait);
                message = tr("Transfer perform failed(3): %1")
                              .arg(QStringLiteral("the partial file does not match the remote "
                                                  "file, starting again"));
            }
            break;
        }
        if (rc == CURLE_OK) {
            setStatus(StatusFinished);
            break;
        }
        // Resumed or force-started while this attempt was being stopped: go again at once.
        if (status() == StatusQueued)
            continue;
        // The server ignored the Range request: its whole body starts again from byte 0.
        if (rc == CURLE_RANGE_ERROR && !restartedFromZero && resumeOffset.load() > 0) {
            restartedFromZero = true;
            truncatePartial();
            continue;
        }
        setStatus(StatusRetryWait);
        message = tr("Transfer perform failed(3): %1")
                      .arg(attemptStalled() ? QStringLiteral("no data received for a while")
                                            : QString::fromLocal8Bit(curl_easy_strerror(rc)));
        break;
    }
    releaseHandle();
    if (manager)
        manager->flush();
}

bool DDownloadCommand::partialIsComplete() const
{
    const qint64 total = m_rangeTotal.load() >= 0 ? m_rangeTotal.load() : m_serviceSize;
    return total <= 0 || partialSize() == total;
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
        message = tr("Transfer perform failed(3): %1")
                      .arg(QStringLiteral("the server did not continue at byte %1").arg(offset));
        return false;
    }
    QFile* file = responseFile;
    if (offset > 0) {
        // Keep exactly the bytes the server continues from.
        if (!file->open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !file->resize(offset) ||
            !file->seek(offset)) {
            file->close();
            logError(QStringLiteral("Could not open file for write"));
            return false;
        }
        return true;
    }
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        logError(QStringLiteral("Could not open file for write"));
        return false;
    }
    return true;
}

size_t DDownloadCommand::writeData(char* data, size_t size, size_t count, void* userData)
{
    auto* download = static_cast<DDownloadCommand*>(userData);
    if (download->status() == StatusPaused)
        return PausedWriteResult;
    if (download->status() != StatusRunning)
        return 0;
    QFile* file = download->responseFile;
    if (!file->isOpen() && !download->openPartialForAttempt())
        return 0;
    DCommandManager* manager = download->manager.data();
    if (manager && manager->limitsEnabled()) {
        download->throttle(DGlobals::MaxDownSpeed.load(), manager->runningDownloadCount(),
                           qint64(size * count));
        if (download->status() == StatusPaused)
            return PausedWriteResult;
        if (download->status() != StatusRunning)
            return 0;
    }
    const qint64 total = qint64(size * count);
    download->paceToSpeedLimit(total);
    if (download->status() != StatusRunning)
        return download->status() == StatusPaused ? PausedWriteResult : 0;
    // A failing disk ends the attempt; the retry cycle tries again later.
    return writeFully(file, data, total) ? size_t(total) : 0;
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

void DDownloadCommand::discard()
{
    discardTransfer();
    // While a worker runs it owns the partial file; its finish step cleans up after it.
    if (isRunning())
        return;
    closePartial();
    if (abortedByUser())
        QFile::remove(partialPath());
}

void DDownloadCommand::finish(bool announce)
{
    absorbDataFlow();
    if (restartRequestedWhileEnding())
        return;
    const QString partialName = QFileInfo(partialPath()).fileName();
    if (manager && (status() == StatusFinished || status() == StatusFailed))
        manager->removeFromHistory(this);
    DCommand::finish(false);

    switch (status()) {
    case StatusFinished: {
        const QString finalPath = finalName(m_targetPath);
        if (QFile::rename(partialPath(), finalPath)) {
            if (manager)
                manager->reportTransferStatus(id(), partialName, QFileInfo(finalPath).fileName(),
                                              TransferDone);
        } else {
            message = tr("Could not rename %1 to %2").arg(partialPath(), finalPath);
            logError(message);
            if (manager)
                manager->reportTransferStatus(id(), partialName, m_targetPath, TransferError,
                                              message);
        }
        break;
    }
    case StatusFailed:
        if (manager)
            manager->reportTransferStatus(id(), partialName, m_targetPath, TransferError, message);
        break;
    case StatusAborted:
        if (abortedByUser())
            QFile::remove(partialPath());
        break;
    case StatusRetryWait:
        if (collectedServerText().contains(QLatin1String(": No such file or directory"))) {
            setStatus(StatusFailed);
            stopRetryTimer();
            if (manager)
                manager->removeFromHistory(this);
            const QString text = tr("Error Download: File not found!");
            logError(text);
            if (manager)
                manager->reportTransferStatus(id(), partialName, partialPath(), TransferMessage,
                                              text);
        }
        return;
    default:
        break;
    }
    announceEnd(announce);
}
