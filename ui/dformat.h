#pragma once

#include <QLocale>
#include <QString>
#include <QUrl>

// How the window writes sizes, times and speeds, and how it reads a size text back into bytes.
namespace DFormat {

// "1,023 bytes", "1 KB", "1.0 MB", "1.00 GB", "1.000 TB" in the locale's number conventions;
// for display only, since a locale with a decimal comma does not read back.
QString sizeText(qint64 bytes, const QLocale& locale = QLocale());
// The exact form of a size that travels to the transfer queue: the byte count followed by
// " bytes", which readSize gives back unchanged in every locale.
QString exactSizeText(qint64 bytes);
// Reads "1.5 MB", "700 KB", "42 bytes" or "12" (C locale); text that is no number gives 0.
qint64 readSize(const QString& text);
// "00:59", "01:00:00", "1d01:01:01".
QString timeText(int seconds);
// The whole number of KB/s followed by " KB/s".
QString speedText(double kbPerSecond);
// The one-line HTML of a link label: the percent-encoded address in the anchor, the readable
// address as its text.
QString linkLabelHtml(const QString& link);
QString linkLabelHtml(const QUrl& url);
// The "%1 folders %2 in %3 files" message of a pane's status bar.
QString paneCountText(int folders, int files, qint64 totalBytes);

} // namespace DFormat
