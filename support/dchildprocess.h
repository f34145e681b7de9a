#pragma once

#include <QString>
#include <QStringList>

// Programs this one starts (the power-off command, the updater, VLC, the browser) must hold
// none of its files or connections: an open upload source or log file would stay busy, and a
// connection would outlive the transfer that made it. Every descriptor the program opens is
// close-on-exec; libcurl also keeps sockets of its own (its wake-up pairs) that nobody can open
// that way, so every descriptor is marked once more just before a program starts.
namespace DChildProcess {

// Marks every descriptor above the standard streams close-on-exec.
void closeDescriptorsOnExec();
// QProcess::startDetached after closeDescriptorsOnExec; false when it could not start.
bool startDetached(const QString& program, const QStringList& arguments,
                   const QString& workingDirectory = QString());

} // namespace DChildProcess
