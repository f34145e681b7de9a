#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Entry kinds handed to the log window.
enum DLogKind
{
    LogKindError = 0,
    LogKindStatus = 2
};

// Appends one time-stamped line ("<stamp>#<message>") to "Ferrydesk.log" in the data folder,
// opening and closing the file for the line. A message ends at its first NUL byte; one longer
// than 9900 bytes is cut there and marked. Lines written by several threads at once never mix.
// A file that cannot be opened drops the line silently.
void writeLogLine(const QByteArray& message);
// File line only.
void logToFile(const QString& text);
// File line, then the log window in red bold (not in a log-on start).
void logError(const QString& text);
// File line, then the log window in the normal format.
void logStatus(const QString& text);
// The log window only, in the normal format; the file gets its own fixed line, or none.
void showInLogView(const QString& text);
// Full path of the log file.
QString logFilePath();
// The 8-bit form in which texts are logged: Latin-1, every character without a Latin-1 form
// (a surrogate pair counts as one character) becomes '?'.
QByteArray toLogBytes(const QString& text);

// Carries window entries from any thread to the log window. The window (a widget, so not part
// of the core library) connects to di_entry. post() may be called on any thread: di_entry is
// always emitted on the thread of the application object (the user-interface thread), in the
// order the entries were posted from each thread.
class DLogHub : public QObject
{
    Q_OBJECT
public:
    // Safe to call first from a worker thread: the hub moves itself to the application's thread.
    static DLogHub* instance();

    // Hands one entry to the window, creating the window first when a factory is installed.
    void post(const QString& text, int kind);

    // The widget library installs a function that creates the log window on first use (it is
    // called on the user-interface thread just before each entry is delivered).
    static void setWindowFactory(void (*factory)());

signals:
    void di_entry(const QString& text, int kind);

private:
    DLogHub();
    void deliver(const QString& text, int kind);
};
