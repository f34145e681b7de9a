#include "ui/dformat.h"

#include <QObject>
#include <QUrl>

namespace DFormat {

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = KiB * 1024;
constexpr qint64 GiB = MiB * 1024;
constexpr qint64 TiB = GiB * 1024;

// The number before a unit, read in the C locale and truncated toward zero.
qint64 readScaled(QString text, const QString& unit, qint64 factor)
{
    text.remove(QLatin1Char(' ') + unit);
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    return ok ? static_cast<qint64>(value * static_cast<double>(factor)) : 0;
}

qint64 readWhole(QString text)
{
    bool ok = false;
    const qint64 value = QLocale::c().toLongLong(text.trimmed(), &ok);
    return ok ? value : 0;
}

} // namespace

QString sizeText(qint64 bytes, const QLocale& locale)
{
    const auto scaled = [bytes](qint64 unit) {
        return static_cast<double>(bytes) / static_cast<double>(unit);
    };
    if (bytes >= TiB)
        return QObject::tr("%1 TB").arg(locale.toString(scaled(TiB), 'f', 3));
    if (bytes >= GiB)
        return QObject::tr("%1 GB").arg(locale.toString(scaled(GiB), 'f', 2));
    if (bytes < 0)
        return QObject::tr("%1 bytes").arg(locale.toString(bytes));
    if (bytes >= MiB)
        return QObject::tr("%1 MB").arg(locale.toString(scaled(MiB), 'f', 1));
    if (bytes >= KiB)
        return QObject::tr("%1 KB").arg(locale.toString(bytes / KiB));
    return QObject::tr("%1 bytes").arg(locale.toString(bytes));
}

QString exactSizeText(qint64 bytes)
{
    return QString::number(bytes) + QLatin1String(" bytes");
}

qint64 readSize(const QString& text)
{
    if (text.contains(QLatin1String("TB")))
        return readScaled(text, QStringLiteral("TB"), TiB);
    if (text.contains(QLatin1String("GB")))
        return readScaled(text, QStringLiteral("GB"), GiB);
    if (text.contains(QLatin1String("MB")))
        return readScaled(text, QStringLiteral("MB"), MiB);
    if (text.contains(QLatin1String("KB")))
        return readScaled(text, QStringLiteral("KB"), KiB);
    if (text.contains(QLatin1String("bytes")))
        return readWhole(QString(text).remove(QLatin1String(" bytes")));
    return readWhole(text);
}

QString timeText(int seconds)
{
    const int days = seconds / 86400;
    const int hours = seconds / 3600 % 24;
    const int minutes = seconds / 60 % 60;
    const int secs = seconds % 60;
    if (days > 0)
        return QString::asprintf("%dd%02d:%02d:%02d", days, hours, minutes, secs);
    if (hours > 0)
        return QString::asprintf("%02d:%02d:%02d", hours, minutes, secs);
    return QString::asprintf("%02d:%02d", minutes, secs);
}

QString speedText(double kbPerSecond)
{
    return QString::number(static_cast<qint64>(kbPerSecond)) + QLatin1String(" KB/s");
}

QString linkLabelHtml(const QString& link)
{
    return linkLabelHtml(QUrl(link));
}

QString linkLabelHtml(const QUrl& url)
{
    return QLatin1String("<html><body> <div><a href=\"") + QString::fromLatin1(url.toEncoded()) +
           QLatin1String("\">") + url.toString() + QLatin1String("</a></div></body></html>");
}

QString paneCountText(int folders, int files, qint64 totalBytes)
{
    QString message;
    if (folders > 0)
        message = QObject::tr("%1 folders ").arg(folders);
    if (files > 0)
        message += QObject::tr("%1 in %2 files").arg(sizeText(totalBytes)).arg(files);
    return message;
}

} // namespace DFormat
