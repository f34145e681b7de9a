#pragma once

#include <QString>

// The data folder ".dftp" in the user's home folder, created when missing. No trailing separator.
QString dataFolder();
// True when the file can be opened for reading.
bool fileExists(const QString& path);
// Appends the text and one line feed to the file; does nothing when it cannot be opened.
void appendLine(const QString& text, const QString& path);
