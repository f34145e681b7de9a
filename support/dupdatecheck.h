#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The self-update check: asks the service for the newest version ("/tool/?ver=win"), and when
// a newer one with another digest exists, downloads it over verified HTTPS as "update.bin"
// beside the running program, checks its MD5 and hands over to the updater beside the program
// ("ferrydesk-update <pid> [-m]"), which ends this process, puts the new file in place and
// starts it again. Every step goes to the log file.
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

constexpr int ConnectTimeoutMs = 15000; // any fetch: reaching the service
constexpr int AnswerTimeoutMs = 30000;  // the whole version answer
constexpr int DownloadStallSec = 60;    // a program download without progress for this long
constexpr int HandOverWaitMs = 10000;   // the time the updater gets to end this program
constexpr int WaitSliceMs = 100;        // granularity of that wait

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
// A new program is fetched only over HTTPS, where the certificate and host are verified.
bool isTrustedDownload(const QString& url);

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
