// Loopback benchmark driver: runs one real transfer through the engine (the manager, its queue
// and the transfer commands, exactly as the program builds them) and prints how long it took.
//
//   ferrybench download <link-answer-url> <target-path>
//   ferrybench upload <file> <ftp-host> <ftp-port> <user> <password> [--name <server name>]
//   ferrybench capped-download <link-answer-url> <target-path>
//              (--global-kbps N | --transfer-kbps N) [--seconds S]
//   ferrybench scramble <password>
//
// Rates: MB/s with 1 MB = 10^6 bytes; the speed caps in KB/s with 1 KB = 1024 bytes, the unit
// the engine's caps use. Every run gets a scratch HOME, so the user's settings, history and
// autostart entry are never touched.

#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "support/cbyte.h"
#include "support/dscramble.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
// A whole-file transfer that has not ended after this long is reported as a failure.
constexpr int TransferTimeoutMs = 30 * 60 * 1000;
// The file id the link answer stands for; it only names the partial file.
const char* const BenchFileId = "1";

void print(const QString& text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void printError(const QString& text)
{
    std::fputs(qPrintable(QStringLiteral("ferrybench: ") + text + QLatin1Char('\n')), stderr);
}

int usage()
{
    printError(QStringLiteral(
        "usage:\n"
        "  ferrybench download <link-answer-url> <target-path>\n"
        "  ferrybench upload <file> <ftp-host> <ftp-port> <user> <password> [--name N]\n"
        "  ferrybench capped-download <link-answer-url> <target-path> "
        "(--global-kbps N | --transfer-kbps N) [--seconds S]\n"
        "  ferrybench scramble <password>"));
    return ExitUsage;
}

// Points HOME (and the XDG folders) at a fresh temporary folder before Qt reads them.
QString useScratchHome()
{
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/ferrybench-home-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return QString();
    qputenv("HOME", pattern);
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        qunsetenv(name);
    return QString::fromLocal8Bit(pattern);
}

QString scrambled(const QString& password)
{
    const CByte text = Scramble(CByte(password.toLatin1().constData()));
    return QString::fromLatin1(reinterpret_cast<const char*>(text.GetData()),
                               static_cast<int>(text.GetLength()));
}

// The account values the login answer would set: everything allowed.
void grantAccount(const QString& user)
{
    DGlobals::canDownload = true;
    DGlobals::canModify = true;
    DGlobals::uploadSpeedCap = 0;
    DGlobals::setUserName(user);
}

// Waits for the end of one transfer as the window would see it: a TransferDone or TransferError
// report. A transfer that falls into the retry cycle counts as failed too.
class TransferWatch
{
public:
    TransferWatch(DCommandManager& manager, int id) : m_manager(manager), m_id(id)
    {
        QObject::connect(&manager, &DCommandManager::di_dataTransferStatus, &m_loop,
                         [this](int cmdId, const QString&, const QString& lFile, DTransferStatus st,
                                const QString& err, long long) {
                             if (cmdId != m_id)
                                 return;
                             if (st == TransferDone)
                                 end(true, lFile);
                             else if (st == TransferError)
                                 end(false, err);
                         });
        QObject::connect(&manager, &DCommandManager::di_commandStatusChanged, &m_loop,
                         [this](int cmdId, CStatus st) {
                             if (cmdId == m_id && st == StatusRetryWait)
                                 end(false, retryText());
                         });
    }

    // Runs the event loop until the transfer ends or `timeoutMs` passes; true once it ended.
    bool wait(int timeoutMs)
    {
        if (m_ended)
            return true;
        QTimer::singleShot(timeoutMs, &m_loop, &QEventLoop::quit);
        m_loop.exec();
        return m_ended;
    }

    bool ended() const { return m_ended; }
    bool succeeded() const { return m_ok; }
    // The final file name on success, the error text on failure.
    QString detail() const { return m_detail; }

private:
    void end(bool ok, const QString& detail)
    {
        if (m_ended)
            return;
        m_ended = true;
        m_ok = ok;
        m_detail = detail;
        m_loop.quit();
    }

    QString retryText() const
    {
        const DCommand* command = m_manager.findCommand(m_id);
        const QString text = command ? command->message : QString();
        return QStringLiteral("the attempt failed and waits for a retry: ") + text;
    }

    DCommandManager& m_manager;
    int m_id;
    QEventLoop m_loop;
    bool m_ended = false;
    bool m_ok = false;
    QString m_detail;
};

QString mbPerSecond(qint64 bytes, double seconds)
{
    return QString::number(seconds > 0 ? double(bytes) / seconds / 1e6 : 0.0, 'f', 1);
}

void printRate(const char* what, qint64 bytes, double seconds)
{
    print(QStringLiteral("%1: bytes=%2 seconds=%3 rate_MBps=%4 (1 MB = 10^6 bytes)")
              .arg(QLatin1String(what))
              .arg(bytes)
              .arg(seconds, 0, 'f', 3)
              .arg(mbPerSecond(bytes, seconds)));
}

// The download the program would build for a file whose link answer is at `linkAnswerUrl`,
// registered with the manager; null (after an error line) when the link request failed.
DDownloadCommand* newDownload(DCommandManager& manager, const QString& linkAnswerUrl,
                              const QString& target)
{
    grantAccount(QStringLiteral("bench"));
    auto* download = new DDownloadCommand(linkAnswerUrl, target, QLatin1String(BenchFileId), false);
    manager.registerCommand(download);
    if (download->status() == StatusFailed) {
        printError(QStringLiteral("link request failed: ") + download->message);
        return nullptr;
    }
    return download;
}

// Queues a transfer and lets the manager's scheduler start it, as the queue does.
void startQueued(DCommandManager& manager, DCommand* command)
{
    manager.enqueue(command);
    manager.flush();
}

int runDownload(const QStringList& args)
{
    if (args.size() != 2)
        return usage();
    const QString target = QFileInfo(args.at(1)).absoluteFilePath();
    DCommandManager manager;
    QElapsedTimer clock;
    clock.start();
    DDownloadCommand* download = newDownload(manager, args.at(0), target);
    if (!download)
        return ExitFailed;
    TransferWatch watch(manager, download->id());
    startQueued(manager, download);
    if (!watch.wait(TransferTimeoutMs)) {
        printError(QStringLiteral("download did not end in time"));
        return ExitFailed;
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!watch.succeeded()) {
        printError(QStringLiteral("download failed: ") + watch.detail());
        return ExitFailed;
    }
    const QString finalPath = QFileInfo(target).absolutePath() + QLatin1Char('/') + watch.detail();
    printRate("download", QFileInfo(finalPath).size(), seconds);
    print(QStringLiteral("file: ") + finalPath);
    return ExitOk;
}

// Reads "--option value" pairs after the positional arguments.
bool optionValue(const QStringList& args, const QString& option, QString& value)
{
    const int at = args.indexOf(option);
    if (at < 0 || at + 1 >= args.size())
        return false;
    value = args.at(at + 1);
    return true;
}

int runUpload(const QStringList& args)
{
    if (args.size() != 5 && args.size() != 7)
        return usage();
    const QString localPath = QFileInfo(args.at(0)).absoluteFilePath();
    if (!QFileInfo(localPath).isFile()) {
        printError(QStringLiteral("no such file: ") + localPath);
        return ExitFailed;
    }
    QString serverName = QFileInfo(localPath).fileName();
    if (args.size() == 7 && !optionValue(args, QStringLiteral("--name"), serverName))
        return usage();
    bool portOk = false;
    const int port = args.at(2).toInt(&portOk);
    if (!portOk || port <= 0)
        return usage();

    DCommandManager manager;
    grantAccount(args.at(3));
    DGlobals::setFtpHost(args.at(1));
    DGlobals::setFtpPort(args.at(2));

    QElapsedTimer clock;
    clock.start();
    auto* upload = new DUploadCommand(localPath);
    manager.registerCommand(upload);
    // The address the request builder gives an upload: the scrambled password in the URL.
    QUrl address;
    address.setScheme(QStringLiteral("ftp"));
    address.setHost(args.at(1));
    address.setPort(port);
    address.setPath(QLatin1Char('/') + serverName);
    address.setUserName(args.at(3));
    address.setPassword(scrambled(args.at(4)));
    upload->url = address;
    upload->setServerFileName(serverName);
    upload->setFolderId(QStringLiteral("0"));

    TransferWatch watch(manager, upload->id());
    startQueued(manager, upload);
    if (!watch.wait(TransferTimeoutMs)) {
        printError(QStringLiteral("upload did not end in time"));
        return ExitFailed;
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!watch.succeeded()) {
        printError(QStringLiteral("upload failed: ") + watch.detail());
        return ExitFailed;
    }
    printRate("upload", QFileInfo(localPath).size(), seconds);
    return ExitOk;
}

int runCappedDownload(const QStringList& args)
{
    QString globalText, transferText, secondsText = QStringLiteral("20");
    const bool global = optionValue(args, QStringLiteral("--global-kbps"), globalText);
    const bool perTransfer = optionValue(args, QStringLiteral("--transfer-kbps"), transferText);
    optionValue(args, QStringLiteral("--seconds"), secondsText);
    bool ok = false;
    const int kbps = (global ? globalText : transferText).toInt(&ok);
    bool secondsOk = false;
    const double runSeconds = secondsText.toDouble(&secondsOk);
    if (args.size() < 4 || global == perTransfer || !ok || kbps <= 0 || !secondsOk ||
        runSeconds <= 0)
        return usage();

    const QString target = QFileInfo(args.at(1)).absoluteFilePath();
    DCommandManager manager;
    DDownloadCommand* download = newDownload(manager, args.at(0), target);
    if (!download)
        return ExitFailed;
    const int id = download->id();
    if (global) {
        manager.setLimitsEnabled(true);
        manager.setMaxDownSpeed(kbps);
    } else {
        manager.setLimitsEnabled(false);
        manager.setMaxDownSpeed(0);
        manager.setTransferSpeedLimit(id, kbps);
    }
    const QString partial = download->partialPath();

    TransferWatch watch(manager, id);
    QElapsedTimer clock;
    clock.start();
    startQueued(manager, download);
    watch.wait(int(runSeconds * 1000));
    // Bytes on disk at the end of the window: the partial file is written unbuffered.
    const qint64 bytes = QFileInfo(partial).size();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (watch.ended()) {
        printError(QStringLiteral("the capped download ended before the time was up: ") +
                   watch.detail());
        return ExitFailed;
    }
    manager.abort(id);

    const double rate = double(bytes) / 1024.0 / seconds;
    const double deviation = (rate - kbps) * 100.0 / kbps;
    print(QStringLiteral("capped-download: cap=%1 target_KBps=%2 bytes=%3 seconds=%4 "
                         "rate_KBps=%5 deviation_pct=%6 (1 KB = 1024 bytes)")
              .arg(global ? QStringLiteral("global") : QStringLiteral("transfer"))
              .arg(kbps)
              .arg(bytes)
              .arg(seconds, 0, 'f', 3)
              .arg(rate, 0, 'f', 1)
              .arg(deviation, 0, 'f', 2));
    return ExitOk;
}

int runCommand(const QStringList& arguments)
{
    if (arguments.size() < 2)
        return usage();
    const QString command = arguments.at(1);
    const QStringList args = arguments.mid(2);
    if (command == QLatin1String("download"))
        return runDownload(args);
    if (command == QLatin1String("upload"))
        return runUpload(args);
    if (command == QLatin1String("capped-download"))
        return runCappedDownload(args);
    if (command == QLatin1String("scramble") && args.size() == 1) {
        print(scrambled(args.at(0)));
        return ExitOk;
    }
    return usage();
}

} // namespace

int main(int argc, char** argv)
{
    const QString home = useScratchHome();
    if (home.isEmpty()) {
        printError(QStringLiteral("could not create a scratch HOME"));
        return ExitFailed;
    }
    int rc = ExitFailed;
    {
        QCoreApplication app(argc, argv);
        rc = runCommand(QCoreApplication::arguments());
    }
    QDir(home).removeRecursively();
    return rc;
}
