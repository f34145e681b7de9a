#pragma once

#include <QString>
#include <QStringList>

// The pieces of program start-up that decide something, kept apart from main() so that they
// can be exercised without starting the whole program.
namespace DStartup {

// True when an argument equals the flag exactly ("-m", "-d"; case-sensitive).
bool hasFlag(const QStringList& arguments, const QString& flag);
// Empties (or creates) "dftp.dump" in the data folder, so each run's dump starts empty.
void resetDumpFile();
// Writes and removes a probe in the data folder; false when the folder is not writable.
bool dataFolderWritable();
QString writeFailureTitle();
QString writeFailureText(const QString& serviceHost);

} // namespace DStartup
