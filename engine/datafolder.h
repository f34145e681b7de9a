#pragma once

#include <QString>

// The data folder ".dftp" in the user's home folder, created owner-only (0700) when missing.
// No trailing separator.
QString dataFolder();
// Makes the data folder owner-only again and its settings and history files owner read/write
// only (0600): files written by older versions may be readable by everyone.
void tightenDataFolder();
// Owner read/write only (0600).
void makeOwnerOnly(const QString& path);
// Creates the file empty and owner read/write only when it is missing. The settings file is
// rewritten by QSettings, which keeps an existing file's mode but creates a new one readable by
// everyone.
void createOwnerOnly(const QString& path);
// True when the file can be opened for reading.
bool fileExists(const QString& path);
// Appends the text and one line feed to the file; does nothing when it cannot be opened.
void appendLine(const QString& text, const QString& path);
