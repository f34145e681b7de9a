#include "support/dlog.h"

#include "engine/datafolder.h"
#include "engine/dglobals.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr size_t MaxMessageBytes = 9900;
constexpr size_t StampBufferBytes = 80;
// The escaped question mark keeps "??)" from reading as a trigraph.
const char LongLineMarker[] = " ... (ERROR: outputLog too LONG??\?)";

// Held around open, write and close so that lines from different threads never mix.
QMutex s_logFileMutex;
std::atomic<void (*)()> s_windowFactory{nullptr};

std::string timeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[StampBufferBytes];
    const size_t length = std::strftime(stamp, sizeof(stamp), "%Y-%m-%d.%X", &local);
    return std::string(stamp, length);
}

// The message is copied into the line, so the caller's text is never cut.
std::string formatLine(const QByteArray& message)
{
    const char* text = message.constData();
    size_t length = std::strlen(text);
    const bool tooLong = length > MaxMessageBytes;
    if (tooLong)
        length = MaxMessageBytes;
    std::string line = timeStamp();
    line += '#';
    line.append(text, length);
    if (tooLong)
        line += LongLineMarker;
    line += '\n';
    return line;
}

} // namespace

QString logFilePath()
{
    return dataFolder() + QStringLiteral("/Ferrydesk.log");
}

QByteArray toLogBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        bytes += c.unicode() <= 0xff ? char(c.unicode()) : '?';
    }
    return bytes;
}

void writeLogLine(const QByteArray& message)
{
    const std::string line = formatLine(message);
    const QByteArray path = QFile::encodeName(logFilePath());
    QMutexLocker locker(&s_logFileMutex);
    // "e": close-on-exec, so a program started by another thread meanwhile never inherits it.
    std::FILE* file = std::fopen(path.constData(), "ae");
    if (!file)
        return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

void logToFile(const QString& text)
{
    writeLogLine(toLogBytes(text));
}

void logError(const QString& text)
{
    logToFile(text);
    if (!DGlobals::startedByOs)
        DLogHub::instance()->post(text, LogKindError);
}

void logStatus(const QString& text)
{
    logToFile(text);
    DLogHub::instance()->post(text, LogKindStatus);
}

void showInLogView(const QString& text)
{
    emit DLogHub::instance()->di_entry(text, LogKindStatus);
}

DLogHub::DLogHub()
{
    // Created wherever it is first needed; it must live on the user-interface thread so that
    // entries posted from workers are delivered there.
    if (QCoreApplication* app = QCoreApplication::instance())
        moveToThread(app->thread());
}

DLogHub* DLogHub::instance()
{
    static DLogHub hub;
    return &hub;
}

void DLogHub::setWindowFactory(void (*factory)())
{
    s_windowFactory = factory;
}

void DLogHub::post(const QString& text, int kind)
{
    if (!QCoreApplication::instance() || QThread::currentThread() == thread()) {
        deliver(text, kind);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, text, kind] { deliver(text, kind); }, Qt::QueuedConnection);
}

void DLogHub::deliver(const QString& text, int kind)
{
    if (void (*factory)() = s_windowFactory.load())
        factory();
    emit di_entry(text, kind);
}
