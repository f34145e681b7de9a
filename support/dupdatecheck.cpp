#include "support/dupdatecheck.h"

#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dchildprocess.h"
#include "support/dlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>
#include <QUrl>

#include <mutex>

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <atomic>
#include <memory>

namespace DUpdateCheck {
namespace {

std::atomic<bool> stopping(false);

QMutex& programFileLock()
{
    static QMutex lock;
    return lock;
}

QString& programFileOverride()
{
    static QString path;
    return path;
}

QThreadPool& queue()
{
    // One worker: queued checks run one after another.
    static QThreadPool pool;
    pool.setMaxThreadCount(1);
    return pool;
}

int abortWhenStopping(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return stopping.load() ? 1 : 0;
}

// The body of a successful answer goes to the file, opened on its first block, so a fetch that
// delivers nothing leaves no file; the body of a redirect goes nowhere.
struct FileSink
{
    CURL* handle;
    QFile* file;
};

size_t writeToFile(char* data, size_t size, size_t count, void* target)
{
    auto* sink = static_cast<FileSink*>(target);
    long status = 0;
    curl_easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &status);
    if (status / 100 == 3)
        return size * count;
    if (!sink->file->isOpen() && !sink->file->open(QIODevice::WriteOnly))
        return 0;
    return static_cast<size_t>(sink->file->write(data, static_cast<qint64>(size * count)));
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

// A handle that speaks HTTPS only, verifies the certificate and the host name, and never
// follows a redirect by itself.
CurlHandle newHandle(const QByteArray& address)
{
    CurlHandle handle(DCurl::newHandle(), &curl_easy_cleanup);
    if (!handle)
        return handle;
    curl_easy_setopt(handle.get(), CURLOPT_URL, address.constData());
    curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(DTimings::scaled(ConnectTimeoutMs)));
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
    return handle;
}

QString versionAddress()
{
    const QString port = DGlobals::securePort();
    return QStringLiteral("https://") + DGlobals::serviceHost() +
           (port.isEmpty() ? QString() : QLatin1Char(':') + port) +
           QStringLiteral("/tool/?ver=win&startup=1&sign=") + DGlobals::machineId();
}

// An unreachable or silent service, or an answer longer than MaxAnswerBytes, gives an empty
// text.
QByteArray fetchText(const QString& address)
{
    DCurl::BoundedAnswer answer(MaxAnswerBytes);
    CurlHandle handle = newHandle(address.toUtf8());
    if (!handle)
        return QByteArray();
    curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS,
                     static_cast<long>(DTimings::scaled(AnswerTimeoutMs)));
    DCurl::collectInto(handle.get(), &answer);
    if (curl_easy_perform(handle.get()) == CURLE_OK)
        return answer.bytes;
    if (answer.tooLong)
        logToFile(
            QStringLiteral("Version answer too long? Not read past %1 bytes").arg(MaxAnswerBytes));
    return QByteArray();
}

// One GET into the file; answers where a redirect points (empty for none). A failed fetch
// leaves no file behind, so a cut download is never mistaken for the program.
QString fetchOnce(const QString& address, const QString& path)
{
    CurlHandle handle = newHandle(address.toUtf8());
    if (!handle) {
        qDebug("Could not get curl handle");
        return QString();
    }
    QFile file(path);
    FileSink sink{handle.get(), &file};
    curl_easy_setopt(handle.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(qMax(1, DTimings::scaled(DownloadStallSec * 1000) / 1000)));
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, writeToFile);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &sink);
    const CURLcode result = curl_easy_perform(handle.get());
    if (file.isOpen()) {
        file.flush();
        file.close();
    }
    if (result != CURLE_OK) {
        logToFile(QStringLiteral("Download failed: ") +
                  QString::fromUtf8(curl_easy_strerror(result)));
        QFile::remove(path);
        return QString();
    }
    const char* redirect = nullptr;
    curl_easy_getinfo(handle.get(), CURLINFO_REDIRECT_URL, &redirect);
    return redirect ? QString::fromUtf8(redirect) : QString();
}

// Follows redirects itself, and only those that stay on the service's own host over HTTPS.
void fetchFile(const QString& address, const QString& path)
{
    QFile::remove(path);
    QString next = address;
    for (int hop = 0; hop <= MaxRedirects; ++hop) {
        next = fetchOnce(next, path);
        if (next.isEmpty())
            return;
        const QString refusal = downloadRefusal(next);
        if (!refusal.isEmpty()) {
            logToFile(QStringLiteral("Refused a redirect ") + refusal + QStringLiteral(": ") +
                      next);
            return;
        }
    }
    logToFile(QStringLiteral("Too many redirects? Not followed past %1").arg(next));
}

// Waits for the updater to end this process; false when the program is ending anyway.
bool waitForHandOver()
{
    const int slices = qMax(1, DTimings::scaled(HandOverWaitMs) / WaitSliceMs);
    for (int i = 0; i < slices; ++i) {
        if (stopping.load())
            return false;
        QThread::msleep(qMin(WaitSliceMs, DTimings::scaled(HandOverWaitMs)));
    }
    return !stopping.load();
}

// What stands between a verified download and the hand-over on this machine: an updater to
// start and a program folder it may write (an installed package is updated by the package
// manager instead). Logs the reason and answers false when the update cannot happen.
bool canReplaceProgram(const QString& folder, const QString& updater)
{
    const QFileInfo folderInfo(folder);
    // Files under /usr/bin belong to the package manager, even for a user who may write there.
    const QString canonical = folderInfo.canonicalFilePath();
    const bool packaged =
        canonical == QLatin1String("/usr/bin") || canonical == QLatin1String("/bin");
    if (packaged || !folderInfo.isDir() || !folderInfo.isWritable()) {
        logToFile(QStringLiteral("Program folder %1 can not be written; the update is left to "
                                 "the package manager")
                      .arg(folder));
        return false;
    }
    const QFileInfo updaterInfo(updater);
    if (!updaterInfo.isFile() || !updaterInfo.isExecutable()) {
        logToFile(QStringLiteral("Updater %1 not found; can not update").arg(updater));
        return false;
    }
    return true;
}

void handOver(const QString& updater, const QString& folder, const QString& md5)
{
    const qint64 pid = QCoreApplication::applicationPid();
    const bool logOnStart = DGlobals::startedByOs.load();
    logToFile(QStringLiteral("Call Update file now ..."));
    logToFile(QStringLiteral("Current PID: %1").arg(pid));
    const QStringList arguments = updaterArguments(pid, logOnStart);
    // An argument list, no shell; the updater outlives this process. It installs nothing but
    // a file with the digest checked here.
    DChildProcess::startDetached(
        updater, arguments + QStringList{QLatin1String(DigestOption) + md5}, folder);
    logToFile(QStringLiteral("Call %1 %2")
                  .arg(QString::fromLatin1(UpdaterName), arguments.join(QLatin1Char(' '))));
    if (waitForHandOver())
        logError(QStringLiteral("Not stoped? Some error in update?"));
}

// What keeps a newer version from being fetched at all; logs the reason and answers false.
bool mayFetch(const VersionAnswer& answer, const QString& folder, const QString& updater)
{
    const QDateTime notBefore = retryNotBefore(answer.md5);
    if (notBefore.isValid()) {
        logToFile(QStringLiteral("Update failed before? Not tried again before ") +
                  notBefore.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        return false;
    }
    const QString refusal = downloadRefusal(answer.url);
    if (!refusal.isEmpty()) {
        logToFile(QStringLiteral("Refused to download a program ") + refusal +
                  QStringLiteral(": ") + answer.url);
        return false;
    }
    return canReplaceProgram(folder, updater);
}

// Downloads "update.bin" and answers true when it is the announced program for this machine.
// A wrong digest leaves the file on disk; a file that is no program here is removed.
bool downloadVerified(const VersionAnswer& answer, const QString& download)
{
    logToFile(QStringLiteral("Start Download:"));
    fetchFile(answer.url, download);
    if (!QFileInfo(download).isReadable()) {
        logToFile(QStringLiteral(" Can not download update.bin?"));
        return false;
    }
    const QString downloaded = md5Of(download);
    logToFile(QStringLiteral("MD5 Downloaded:") + downloaded);
    if (downloaded != answer.md5) {
        logError(
            QStringLiteral("UpdateVersion CheckSum error? Can not update new version! \n(Web:") +
            answer.md5 + QStringLiteral(" <>") + downloaded + QLatin1Char(')'));
        return false;
    }
    if (!isProgramForThisMachine(download)) {
        logError(QStringLiteral("update.bin is not a program for this machine? Not update"));
        QFile::remove(download);
        rememberFailed(answer.md5);
        return false;
    }
    return true;
}

void check()
{
    logToFile(QStringLiteral("Call UpdateVersion Current PID: %1")
                  .arg(QCoreApplication::applicationPid()));
    const VersionAnswer answer = parseAnswer(fetchText(versionAddress()));
    logToFile(QStringLiteral("Ver on server:") + answer.version);
    if (!isNewer(answer.version)) {
        logToFile(QStringLiteral("Not Need update"));
        return;
    }
    const QString mine = QString::fromLatin1(DGlobals::Version);
    logError(QStringLiteral("Have new version") + answer.version +
             QStringLiteral(" , your version:") + mine);
    logToFile(QStringLiteral("url_download:") + answer.url);
    logToFile(QStringLiteral("md5_lastver:") + answer.md5);

    const QString program = programFile();
    if (md5Of(program) == answer.md5) {
        logError(
            QStringLiteral("Current excute is the same last version on server? => Not update"));
        return;
    }
    const QString folder = QFileInfo(program).absolutePath();
    const QString updater = folder + QLatin1Char('/') + QString::fromLatin1(UpdaterName);
    const QString download = folder + QLatin1Char('/') + QString::fromLatin1(DownloadName);
    if (mayFetch(answer, folder, updater) && downloadVerified(answer, download))
        handOver(updater, folder, answer.md5);
}

} // namespace

VersionAnswer parseAnswer(const QByteArray& document)
{
    QDomDocument dom;
    dom.setContent(document);
    const auto textOf = [&dom](const char* tag) {
        return dom.elementsByTagName(QString::fromLatin1(tag)).item(0).toElement().text();
    };
    return {textOf("version_on_server"), textOf("url_download"), textOf("md5_lastver")};
}

bool isNewer(const QString& serverVersion)
{
    return QString::compare(serverVersion, QString::fromLatin1(DGlobals::Version),
                            Qt::CaseSensitive) > 0;
}

QString downloadRefusal(const QString& url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() ||
        parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0 ||
        parsed.host().isEmpty())
        return QStringLiteral("over an unverified address");
    const QString host = DGlobals::serviceHost();
    if (host.isEmpty() || parsed.host().compare(host, Qt::CaseInsensitive) != 0)
        return QStringLiteral("outside the service's host %1").arg(host);
    return QString();
}

QStringList updaterArguments(qint64 pid, bool startedByOs)
{
    QStringList arguments{QString::number(pid)};
    if (startedByOs)
        arguments << QStringLiteral("-m");
    return arguments;
}

QString windowsUpdaterCommandLine(qint64 pid, bool startedByOs)
{
    return QStringLiteral("./") + QString::fromLatin1(WindowsUpdaterName) + QLatin1Char(' ') +
           updaterArguments(pid, startedByOs).join(QLatin1Char(' '));
}

QString programFile()
{
    QMutexLocker locker(&programFileLock());
    if (!programFileOverride().isEmpty())
        return programFileOverride();
    return QCoreApplication::applicationFilePath();
}

void setProgramFile(const QString& path)
{
    QMutexLocker locker(&programFileLock());
    programFileOverride() = path;
}

void run()
{
    static QMutex oneAtATime;
    QMutexLocker locker(&oneAtATime);
    logToFile(QStringLiteral("---UpdateVersion : start"));
    if (!stopping.load())
        check();
    logToFile(QStringLiteral("---UpdateVersion : End"));
}

void start()
{
    // However the program or a test ends, the worker is gone before the application object:
    // a thread still alive at exit keeps its TLS state (and a fetch) going past the end.
    static std::once_flag endWithTheApplication;
    std::call_once(endWithTheApplication, [] { qAddPostRoutine(&shutDown); });
    queue().start([] {
        run();
        // OpenSSL 3.0 keeps a thread's random generators past the thread's end unless told.
        OPENSSL_thread_stop();
    });
}

bool waitForQueued(int ms)
{
    return queue().waitForDone(ms);
}

void shutDown()
{
    stopping.store(true);
    queue().waitForDone();
}

} // namespace DUpdateCheck
