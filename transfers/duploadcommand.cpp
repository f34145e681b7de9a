#include "transfers/duploadcommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "engine/dtimings.h"
#include "protocol/danswerparser.h"
#include "support/dlog.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtDebug>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr long SizeQueryTimeoutSeconds = 60;
// The server's size counts once two queries this far apart agree.
constexpr int SettleIntervalMs = 300;
constexpr int SettleChecks = 20;
// A listing of a folder of many thousand files stays far below this.
constexpr int ServiceAnswerLimitBytes = 64 * 1024 * 1024;
// The log keeps the start of an answer: a notice's whole, a long listing's head.
constexpr int LoggedAnswerBytes = 4096;

size_t discardData(char*, size_t size, size_t count, void*)
{
    return size * count;
}

size_t readSizeHeader(char* data, size_t size, size_t count, void* userData)
{
    const QByteArray line(data, qsizetype(size * count));
    long long value = 0;
    if (std::sscanf(line.constData(), "Content-Length: %lld\n", &value) == 1)
        *static_cast<qint64*>(userData) = value;
    return size * count;
}

int stopWhenCancelled(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return (*static_cast<const std::function<bool()>*>(cancelled))() ? 1 : 0;
}

} // namespace

DUploadCommand::DUploadCommand(const QString& localPath, QObject* parent)
    : DTransferCommand(parent), m_localPath(localPath),
      m_restoreCancelled(std::make_shared<std::atomic<bool>>(false))
{
    setStatus(StatusQueued);
    // Only a check here: the file is opened again when an attempt needs it.
    QFile source(localPath);
    if (!source.open(QIODevice::ReadOnly))
        showMessage(tr("Error can not open file:") + localPath);
    m_totalSize = QFileInfo(localPath).size();
    // The source is the user's file: it must never be removed as a scratch answer file.
    replaceResponseFile(new QFile(localPath));
}

DUploadCommand::~DUploadCommand()
{
    *m_restoreCancelled = true;
    stopWorker();
    closeSource();
}

QString DUploadCommand::localName() const
{
    return QFileInfo(m_localPath).fileName();
}

double DUploadCommand::uploadLimit(bool limitsEnabled, double maxUpSpeed, int accountCap)
{
    if (!limitsEnabled && accountCap <= 0)
        return 0;
    double limit = maxUpSpeed;
    if (accountCap > 0 && (limit <= 0 || accountCap < limit))
        limit = accountCap;
    return limit;
}

void DUploadCommand::closeSource()
{
    if (!m_source)
        return;
    std::fclose(m_source);
    m_source = nullptr;
}

void DUploadCommand::setRegistration(const QUrl& notice, const QUrl& folderListing)
{
    m_noticeUrl = notice;
    m_listingUrl = folderListing;
}

// --- Resume and restore ---------------------------------------------------------------------

void DUploadCommand::prepareResume()
{
    m_append = true;
}

void DUploadCommand::prepareFreshStart()
{
    // A forced start stores the whole file again, from its first byte.
    m_append = false;
    resumeOffset = 0;
}

void DUploadCommand::restorePaused()
{
    DTransferCommand::restorePaused();
    if (!manager)
        return;
    // How much the server holds is asked in the background; the row shows it when known.
    const std::shared_ptr<std::atomic<bool>> cancelled = m_restoreCancelled;
    const auto size = std::make_shared<qint64>(-1);
    const QPointer<DUploadCommand> self(this);
    const QByteArray address = url.toEncoded();
    const DCommandManager* owner = manager.data();
    manager->runInBackground(
        [address, owner, cancelled, size] {
            qint64 found = -1;
            if (querySize(address, owner, found, [cancelled] { return cancelled->load(); }))
                *size = found;
        },
        [self, size] {
            if (!self || *size <= 0 || *size > self->m_totalSize ||
                self->status() != StatusPaused || self->attemptState() != AttemptIdle)
                return;
            self->resumeOffset = *size;
            self->reportStoredProgress();
        });
}

bool DUploadCommand::querySize(const QByteArray& address, const DCommandManager* manager,
                               qint64& size, const std::function<bool()>& cancelled)
{
    CURL* handle = DCurl::newHandle();
    if (!handle)
        return false;
    // A handle of its own: the transfer's upload options stay as they are.
    curl_easy_setopt(handle, CURLOPT_URL, address.constData());
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADER, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &readSizeHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &size);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &discardData);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, SizeQueryTimeoutSeconds);
    // A silent server must not keep a paused or aborted upload waiting.
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &stopWhenCancelled);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &cancelled);
    if (manager)
        DCurl::applyProxy(handle, *manager);
    curl_easy_setopt(handle, CURLOPT_HTTPPROXYTUNNEL, 1L);
    size = -1;
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    // A file the server does not have yet is sent from its first byte.
    if (rc == CURLE_REMOTE_FILE_NOT_FOUND) {
        size = 0;
        return true;
    }
    if (rc != CURLE_OK)
        return false;
    if (size < 0)
        size = 0;
    return true;
}

bool DUploadCommand::querySettledSize(qint64& size)
{
    const auto stopped = [this] { return status() != StatusRunning; };
    const QByteArray address = url.toEncoded();
    // Bytes of an earlier connection (a pause, a killed process) may still be reaching the
    // server's file; appending before they have landed would send some bytes twice.
    if (!querySize(address, manager.data(), size, stopped))
        return false;
    for (int i = 0; i < SettleChecks; ++i) {
        interruptibleSleep(SettleIntervalMs);
        if (stopped())
            return true;
        qint64 again = -1;
        if (!querySize(address, manager.data(), again, stopped))
            return false;
        if (again == size)
            return true;
        size = again;
    }
    return true;
}

// --- Attempts -------------------------------------------------------------------------------

void DUploadCommand::configureHandle()
{
    qDebug() << "upload file name is ";
    // The address carries the scrambled password: the debug output shows it masked.
    qDebug() << (manager ? manager->maskedRequest(url) : QStringLiteral("(no manager)"));
    curl_easy_setopt(curlHandle, CURLOPT_FTP_CREATE_MISSING_DIRS, 2L);
    // Through an HTTP proxy FTP goes in CONNECT tunnels (control and data connections): the
    // proxy cannot carry an FTP upload itself, and the address would hand it our FTP user and
    // password in clear.
    curl_easy_setopt(curlHandle, CURLOPT_HTTPPROXYTUNNEL, 1L);
}

DUploadCommand::Preparation DUploadCommand::prepareAttempt()
{
    closeSource();
    if (m_append) {
        qint64 size = -1;
        if (!querySettledSize(size))
            return SizeUnknown;
        // Every byte is there (sent before a kill, a quit or a notice that failed): only the
        // registration may be missing.
        if (size > 0 && size == m_totalSize) {
            resumeOffset = size;
            return AlreadyWhole;
        }
        // More on the server than in the file: that copy is not ours to append to.
        m_append = size > 0 && size <= m_totalSize;
        resumeOffset = m_append ? size : 0;
    }
    // "e": close-on-exec, so a program we start while the file is sent never holds it open.
    m_source = std::fopen(QFile::encodeName(m_localPath).constData(), "rbe");
    if (!m_source) {
        message = tr("Error can not open file:") + m_localPath;
        return SourceMissing;
    }
    const bool append = m_append.load();
    if (!append)
        resumeOffset = 0;
    if (fseeko(m_source, off_t(resumeOffset.load()), SEEK_SET) != 0) {
        message = tr("Error can not open file:") + m_localPath;
        closeSource();
        return SourceMissing;
    }
    // Every upload option again: nothing of an earlier attempt may linger.
    curl_easy_setopt(curlHandle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_READFUNCTION, &DUploadCommand::readData);
    curl_easy_setopt(curlHandle, CURLOPT_READDATA, this);
    curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, &discardData);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, &discardData);
    curl_easy_setopt(curlHandle, CURLOPT_RESUME_FROM_LARGE, curl_off_t(0));
    curl_easy_setopt(curlHandle, CURLOPT_APPEND, append ? 1L : 0L);
    curl_easy_setopt(curlHandle, CURLOPT_MAX_SEND_SPEED_LARGE, curl_off_t(speedLimit()) * 1024);
    return Ready;
}

DTransferCommand::Outcome DUploadCommand::performAttempt()
{
    const Preparation prepared = prepareAttempt();
    if (prepared == AlreadyWhole)
        return status() == StatusRunning ? registerFile(true) : OutcomeRetry;
    const CURLcode rc = prepared == Ready ? curl_easy_perform(curlHandle) : CURLE_OK;
    closeSource();
    // Paused, aborted or started again meanwhile: the attempt's end is the base's business.
    if (status() != StatusRunning || prepared == SizeUnknown)
        return OutcomeRetry;
    if (prepared == SourceMissing)
        return OutcomeFailed;
    if (rc == CURLE_LOGIN_DENIED &&
        collectedServerText().contains(QLatin1String("the maximum number of clients"))) {
        // The upload keeps its slot and tries to log in again every 10 seconds.
        settleStatus(StatusRetryWaitOnce);
        logStatus(tr("Reach max upload concurrent, wait for continue ..."));
        if (manager)
            manager->reportTransferStatus(id(), localName(), m_localPath, TransferMessage,
                                          tr("Waiting %1 sec to restart (max reached)...")
                                              .arg(DTimings::MaxClientsWaitMs / 1000));
        interruptibleSleep(DTimings::scaled(DTimings::MaxClientsWaitMs));
        return OutcomeAgain;
    }
    if (rc == CURLE_QUOTE_ERROR) {
        message = tr("Upload: Quota Limit Reached !!");
        return OutcomeFailed;
    }
    if (rc == CURLE_LOGIN_DENIED) {
        message = tr("Upload: invalid User or Password (Login denied) (CM?)");
        return OutcomeFailed;
    }
    if (rc != CURLE_OK) {
        message = tr("Transfer perform failed(5): %1")
                      .arg(QString::fromLocal8Bit(curl_easy_strerror(rc)));
        return OutcomeRetry;
    }
    return registerFile(false);
}

// --- Registration with the service ----------------------------------------------------------

DTransferCommand::Outcome DUploadCommand::registerFile(bool checkFirst)
{
    if (m_noticeUrl.isEmpty())
        return OutcomeDone;
    // Every byte is on the server; the row is done once the service has the file.
    reportRowText(tr("Registering the file with the service..."));
    if (checkFirst && !m_namesake) {
        const Registration listed = listedInFolder();
        if (status() != StatusRunning || listed == RegistrationUnknown)
            return OutcomeRetry;
        if (listed == Registered) {
            message = tr("%1 was already registered with the service").arg(localName());
            return OutcomeDone;
        }
    }
    return sendNotice();
}

// Server file names are new for every upload, but the folder lists the file under its own
// name: a file of that name and size that was not there when the upload was queued is this one.
DUploadCommand::Registration DUploadCommand::listedInFolder()
{
    QString failure;
    const QByteArray answer = askService(m_listingUrl, failure);
    if (!failure.isEmpty()) {
        message = failure;
        return RegistrationUnknown;
    }
    const DAnswerParser::Listing listing = DAnswerParser::readListing(answer);
    // A folder the service refuses to list: the notice's own answer decides.
    if (listing.generic && listing.verdict == 0)
        return NotRegistered;
    if (!listing.readable) {
        message = tr("Could not read the folder listing: %1").arg(listing.error);
        return RegistrationUnknown;
    }
    const QString name = localName();
    for (const auto& entry : listing.entries) {
        if (entry->isFile && entry->name == name &&
            entry->size.trimmed().toLongLong() == m_totalSize)
            return Registered;
    }
    return NotRegistered;
}

DTransferCommand::Outcome DUploadCommand::sendNotice()
{
    QString failure;
    const QByteArray answer = askService(m_noticeUrl, failure);
    if (status() != StatusRunning)
        return OutcomeRetry;
    // No answer, or one that is not the service's: the notice is sent again by the usual
    // retries (a listing first tells whether it got through after all).
    if (!failure.isEmpty()) {
        message = failure;
        return OutcomeRetry;
    }
    const DAnswerParser::Listing verdict = DAnswerParser::readListing(answer);
    if (!verdict.generic) {
        message = QStringLiteral("*** Error when passing XML from file!");
        return OutcomeRetry;
    }
    message = verdict.message;
    if (verdict.verdict != 0)
        return OutcomeDone;
    if (message.isEmpty())
        message = tr("The service did not register %1").arg(localName());
    return OutcomeFailed;
}

QByteArray DUploadCommand::askService(const QUrl& address, QString& failure)
{
    CURL* handle = DCurl::newHandle();
    if (!handle) {
        failure = QStringLiteral("could not get curl handle");
        return QByteArray();
    }
    const QByteArray encoded = address.toEncoded();
    const std::function<bool()> stopped = [this] { return status() != StatusRunning; };
    DCurl::BoundedAnswer body(ServiceAnswerLimitBytes);
    curl_easy_setopt(handle, CURLOPT_URL, encoded.constData());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    DCurl::collectInto(handle, &body);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &stopWhenCancelled);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stopped);
    if (manager)
        DCurl::applyProxy(handle, *manager);
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    if (manager)
        logToFile(manager->maskedRequest(address));
    if (rc != CURLE_OK) {
        failure = tr("Transfer Perform failed(1): %1")
                      .arg(QString::fromLocal8Bit(curl_easy_strerror(rc)));
        return QByteArray();
    }
    logToFile(QString::fromUtf8(body.bytes.left(LoggedAnswerBytes)));
    return body.bytes;
}

void DUploadCommand::onProgress(double, double, double, double ulnow)
{
    const double whole = double(m_totalSize);
    sampleProgress(ulnow, whole - double(resumeOffset.load()), whole);
}

size_t DUploadCommand::readData(char* buffer, size_t size, size_t count, void* userData)
{
    auto* upload = static_cast<DUploadCommand*>(userData);
    if (upload->status() != StatusRunning)
        return CURL_READFUNC_ABORT;
    size_t wanted = size * count;
    DCommandManager* manager = upload->manager.data();
    if (manager) {
        const double limit = uploadLimit(manager->limitsEnabled(), DGlobals::MaxUpSpeed.load(),
                                         DGlobals::uploadSpeedCap.load());
        if (limit > 0) {
            upload->throttle(limit, manager->runningUploadCount());
            if (upload->status() != StatusRunning)
                return CURL_READFUNC_ABORT;
            // One sleep stands for one block of this size.
            wanted = std::min(wanted, size_t(ThrottleBlockBytes));
        }
    }
    if (!upload->m_source || std::ferror(upload->m_source))
        return CURL_READFUNC_ABORT;
    const size_t read = std::fread(buffer, 1, wanted, upload->m_source);
    upload->paceToSpeedLimit(qint64(read));
    if (upload->status() != StatusRunning)
        return CURL_READFUNC_ABORT;
    return read;
}

// --- End of an upload -----------------------------------------------------------------------

void DUploadCommand::discard()
{
    *m_restoreCancelled = true;
    DTransferCommand::discard();
}

void DUploadCommand::reportDone()
{
    if (!manager)
        return;
    // The service has the file: an entry left behind would register it again after a restart.
    manager->saveHistorySoon();
    manager->reportTransferStatus(id(), localName(), m_localPath, TransferDone);
}

void DUploadCommand::reportFailed()
{
    if (manager)
        manager->reportTransferStatus(id(), localName(), m_localPath, TransferError, message);
}

void DUploadCommand::reportRetryWait()
{
    if (manager)
        manager->reportTransferStatus(id(), localName(), m_localPath, TransferMessage,
                                      tr("Waiting to transfer..."));
}

bool DUploadCommand::failsForGood()
{
    if (!collectedServerText().contains(QLatin1String("quota exceeded:")))
        return false;
    setStatus(StatusFailed);
    logError(tr("Error Upload: you're uploading over quota limit! \nPlease upgrade your "
                "account or delete files to continue upload!"));
    message = tr("Error: quota is limited! Please upgrade you account or delete files to "
                 "continue upload!");
    return true;
}
