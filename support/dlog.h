#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Entry kinds handed to the log window.
enum DLogKind { LogKindError = 0, LogKindStatus = 2 };

// Appends one time-stamped line ("<stamp>#<message>") to "Ferrydesk.log" in the data folder.
// Lines written by several threads at once never mix.
void writeLogLine(const QByteArray& message);
// File line only.
void logToFile(const QString& text);
// File line, then the log window in red bold (not in a log-on start).
void logError(const QString& text);
// File line, then the log window in the normal format.
void logStatus(const QString& text);
// Full path of the log file.
QString logFilePath();

// Carries window entries from any thread to the log window. The window (a widget, so not part
// of the core library) connects to di_entry; entries emitted on a worker thread are delivered
// on the user-interface thread by the queued connection.
class DLogHub : public QObject
{
    Q_OBJECT
public:
    static DLogHub* instance();

signals:
    void di_entry(const QString& text, int kind);

private:
    DLogHub() = default;
};
