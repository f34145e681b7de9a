#include "support/dupdatecheck.h"

#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dchildprocess.h"
#include "support/dlog.h"
#include "support/md5file.h"

#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>
#include <QUrl>

#include <curl/curl.h>

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

size_t appendToText(char* data, size_t size, size_t count, void* text)
{
    static_cast<QByteArray*>(text)->append(data, static_cast<qsizetype>(size * count));
    return size * count;
}

// The file is opened on the first block, so a fetch that delivers nothing leaves no file.
size_t writeToFile(char* data, size_t size, size_t count, void* target)
{
    auto* file = static_cast<QFile*>(target);
    if (!file->isOpen() && !file->open(QIODevice::WriteOnly))
        return 0;
    return static_cast<size_t>(file->write(data, static_cast<qint64>(size * count)));
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

CurlHandle newHandle(const QByteArray& address)
{
    CurlHandle handle(DCurl::newHandle(), &curl_easy_cleanup);
    if (!handle)
        return handle;
    curl_easy_setopt(handle.get(), CURLOPT_URL, address.constData());
    curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(DTimings::scaled(ConnectTimeoutMs)));
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
    return handle;
}

// An unreachable or silent service gives an empty text.
QByteArray fetchText(const QString& address)
{
    QByteArray text;
    CurlHandle handle = newHandle(address.toUtf8());
    if (!handle)
        return text;
    curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS,
                     static_cast<long>(DTimings::scaled(AnswerTimeoutMs)));
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, appendToText);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &text);
    if (curl_easy_perform(handle.get()) != CURLE_OK)
        text.clear();
    return text;
}

// Fetches over HTTPS only (redirects included), with the certificate and host verified. A
// failed fetch leaves no file behind, so a cut download is never mistaken for the program.
void fetchFile(const QString& address, const QString& path)
{
    QFile::remove(path);
    CurlHandle handle = newHandle(address.toUtf8());
    if (!handle) {
        qDebug("Could not get curl handle");
        return;
    }
    QFile file(path);
    curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle.get(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(qMax(1, DTimings::scaled(DownloadStallSec * 1000) / 1000)));
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, writeToFile);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &file);
    const CURLcode result = curl_easy_perform(handle.get());
    if (file.isOpen()) {
        file.flush();
        file.close();
    }
    if (result != CURLE_OK) {
        logToFile(QStringLiteral("Download failed: ") +
                  QString::fromUtf8(curl_easy_strerror(result)));
        QFile::remove(path);
    }
}

QString md5Of(const QString& path)
{
    std::unique_ptr<char[]> digest(MD5File(QFile::encodeName(path).constData()));
    return digest ? QString::fromLatin1(digest.get()) : QString();
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

void handOver(const QString& updater, const QString& folder)
{
    const qint64 pid = QCoreApplication::applicationPid();
    const bool logOnStart = DGlobals::startedByOs.load();
    logToFile(QStringLiteral("Call Update file now ..."));
    logToFile(QStringLiteral("Current PID: %1").arg(pid));
    const QStringList arguments = updaterArguments(pid, logOnStart);
    // An argument list, no shell; the updater outlives this process.
    DChildProcess::startDetached(updater, arguments, folder);
    logToFile(QStringLiteral("Call %1 %2")
                  .arg(QString::fromLatin1(UpdaterName), arguments.join(QLatin1Char(' '))));
    if (waitForHandOver())
        logError(QStringLiteral("Not stoped? Some error in update?"));
}

void check()
{
    logToFile(QStringLiteral("Call UpdateVersion Current PID: %1")
                  .arg(QCoreApplication::applicationPid()));
    const QString address = QStringLiteral("http://") + DGlobals::serviceHost() + QLatin1Char(':') +
                            DGlobals::servicePort() +
                            QStringLiteral("/tool/?ver=win&startup=1&sign=") +
                            DGlobals::machineId();
    const VersionAnswer answer = parseAnswer(fetchText(address));
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
    if (!isTrustedDownload(answer.url)) {
        logToFile(QStringLiteral("Refused to download a program over an unverified address: ") +
                  answer.url);
        return;
    }
    const QString folder = QFileInfo(program).absolutePath();
    const QString updater = folder + QLatin1Char('/') + QString::fromLatin1(UpdaterName);
    if (!canReplaceProgram(folder, updater))
        return;

    logToFile(QStringLiteral("Start Download:"));
    const QString download = folder + QLatin1Char('/') + QString::fromLatin1(DownloadName);
    fetchFile(answer.url, download);
    if (!QFileInfo(download).isReadable()) {
        logToFile(QStringLiteral(" Can not download update.bin?"));
        return;
    }
    const QString downloaded = md5Of(download);
    logToFile(QStringLiteral("MD5 Downloaded:") + downloaded);
    if (downloaded != answer.md5) {
        logError(
            QStringLiteral("UpdateVersion CheckSum error? Can not update new version! \n(Web:") +
            answer.md5 + QStringLiteral(" <>") + downloaded + QLatin1Char(')'));
        return;
    }
    handOver(updater, folder);
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

bool isTrustedDownload(const QString& url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    return parsed.isValid() &&
           parsed.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
           !parsed.host().isEmpty();
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
    queue().start([] { run(); });
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
