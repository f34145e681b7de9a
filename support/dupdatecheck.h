#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The self-update check: asks the service over verified HTTPS for the newest version
// ("/tool/?ver=win" on the secure port), and when a newer one with another digest exists,
// downloads it from the service's own host over verified HTTPS as "update.bin" beside the
// running program, checks that it is a program for this machine with the announced MD5 and
// hands over to the updater beside the program ("ferrydesk-update <pid> [-m] --md5=<digest>"),
// which checks the file again, ends this process, puts the new file in place and starts the
// program again. Every step goes to the log file.
//
// Checks never overlap: run() holds one lock for the whole check, whichever thread calls it.
// Nothing here runs on the user-interface thread: MyThread calls run() on its own thread and
// the startup answer calls start(), which queues the check on a worker.
namespace DUpdateCheck {

// Names of the Windows build: the program file, the updater and its command line.
inline const char* const WindowsProgramName = "tool.exe";
inline const char* const WindowsUpdaterName = "update.exe";
// The downloaded new version, written beside the program file.
inline const char* const DownloadName = "update.bin";
// The updater executable beside the program.
inline const char* const UpdaterName = "ferrydesk-update";

// The updater's option that carries the digest it must find in "update.bin".
inline const char* const DigestOption = "--md5=";
// Where a digest that could not be installed is remembered, in the data folder.
inline const char* const FailedName = "update.failed";

constexpr int ConnectTimeoutMs = 15000;        // any fetch: reaching the service
constexpr int AnswerTimeoutMs = 30000;         // the whole version answer
constexpr int MaxAnswerBytes = 256 * 1024;     // a longer version answer is not read
constexpr int MaxRedirects = 5;                // redirects followed while fetching the program
constexpr int DownloadStallSec = 60;           // a program download without progress for this long
constexpr int HandOverWaitMs = 10000;          // the time the updater gets to end this program
constexpr int WaitSliceMs = 100;               // granularity of that wait
constexpr int RetryFailedAfterSec = 24 * 3600; // a digest that failed is not fetched sooner

// The three elements of the version answer; each is the text of the first element with that
// tag anywhere in the document, empty when missing.
struct VersionAnswer
{
    QString version; // "version_on_server"
    QString url;     // "url_download"
    QString md5;     // "md5_lastver"
};
VersionAnswer parseAnswer(const QByteArray& document);

// True when the server's version text is greater than this program's in a plain text
// comparison (code unit by code unit: "2.6" is newer than "2.56", "10.0" is not).
bool isNewer(const QString& serverVersion);
// Why no program may be fetched from `url`, empty when it may: only over HTTPS (certificate
// and host verified) and only from the service's own host.
QString downloadRefusal(const QString& url);

// True when the file is a complete ELF executable for the machine this program was built for:
// the right class, byte order and machine, an executable or position-independent type, and
// every header and loaded segment inside the file (a cut download fails here).
bool isProgramForThisMachine(const QString& path);
// MD5 of the file as lowercase hexadecimal text, empty when it cannot be read.
QString md5Of(const QString& path);

// A digest whose file was refused or could not be installed is not fetched again before
// RetryFailedAfterSec have passed; another digest (a newer build) is tried at once.
void rememberFailed(const QString& md5);
// The time before which `md5` is not tried again; invalid when nothing holds it back.
QDateTime retryNotBefore(const QString& md5);

// The updater's arguments: the process id, then "-m" when this run was a log-on start.
QStringList updaterArguments(qint64 pid, bool startedByOs);
// The same hand-over as the Windows build's command line ("./update.exe 1234 -m").
QString windowsUpdaterCommandLine(qint64 pid, bool startedByOs);

// The program file whose digest is compared and beside which "update.bin" and the updater
// live: the running executable unless set (tests point it at a scratch copy).
QString programFile();
void setProgramFile(const QString& path);

// Runs one check on the calling thread; waits while another check runs.
void run();
// Queues one check on a worker thread and returns at once.
void start();
// Waits until every queued check has ended; false when `ms` passed first (-1 waits for ever).
bool waitForQueued(int ms = -1);
// At program end: cuts running fetches and waits short, and waits for the queued checks.
// Checks started afterwards end at once.
void shutDown();

} // namespace DUpdateCheck
