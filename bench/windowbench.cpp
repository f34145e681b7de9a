// Figures of the main window, run by bench/window.sh:
//   windowbench listing <entries>   time from di_contentsChanged to the painted remote pane,
//                                   and whether the listing created any file
//   windowbench coldstart           process start to a shown window whose root listing is
//                                   painted after the automatic login; resident memory then
// The service address comes from the environment (FERRYDESK_SERVICE_HOST/PORT), as for the
// program; the settings (LastUserName, ...) from $HOME/.dftp/Ferrydesk.ini.

#include "engine/datafolder.h"
#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace {

// Seconds since this process started, from /proc (clock ticks since boot).
double secondsSinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    QFile uptime(QStringLiteral("/proc/uptime"));
    if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double startTicks = fields.value(19).toDouble(); // field 22 of the whole line
    const double up = uptime.readAll().split(' ').value(0).toDouble();
    return up - startTicks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of the calling thread: on a busy machine the wall clock also counts other programs.
double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QString residentMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return QString::fromLatin1(line.mid(6).simplified());
    return QStringLiteral("?");
}

// Calls `done` once after the next paint of `widget`.
class PaintWatch : public QObject
{
public:
    PaintWatch(QWidget* widget, std::function<void()> done) : m_done(std::move(done))
    {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && m_armed) {
            m_armed = false;
            QTimer::singleShot(0, this, m_done);
        }
        return QObject::eventFilter(watched, event);
    }
    void arm() { m_armed = true; }

private:
    std::function<void()> m_done;
    bool m_armed = false;
};

DTreeElementList makeListing(int count)
{
    static const char* const suffixes[] = {"txt", "mp4", "pdf", "zip", "jpg", "bin", "doc", "mkv"};
    DTreeElementList entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        auto element = QSharedPointer<DTreeElement>::create();
        const bool folder = i % 10 == 0;
        element->name = folder ? QStringLiteral("Folder %1").arg(i)
                               : QStringLiteral("file %1.%2").arg(i).arg(suffixes[i % 8]);
        element->size = QString::number(folder ? 0 : 1000 + i * 37);
        element->time = QStringLiteral("2024-01-01 12:00:00");
        element->link = QStringLiteral("http://127.0.0.1/f/%1/%2").arg(i).arg(element->name);
        element->isFile = folder ? 0 : 1;
        element->id = QString::number(1000 + i);
        entries.append(element);
    }
    return entries;
}

int tempEntryCount()
{
    return QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
}

int listing(int count)
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    auto* tree = window->findChild<QTreeWidget*>(QStringLiteral("rightTree"));
    const DTreeElementList entries = makeListing(count);
    const int tempBefore = tempEntryCount();
    QElapsedTimer clock;
    double cpuStart = 0;
    PaintWatch watch(tree->viewport(), [&] {
        const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        const double cpuMs = (threadCpuSeconds() - cpuStart) * 1000;
        std::printf("listing %d entries: %.0f ms to the painted pane (%.0f ms CPU of the window "
                    "thread), %d rows, temp files created: %d\n",
                    count, ms, cpuMs, tree->topLevelItemCount(), tempEntryCount() - tempBefore);
        QApplication::exit(0);
    });
    QTimer::singleShot(500, [&] {
        clock.start();
        cpuStart = threadCpuSeconds();
        watch.arm();
        window->engine()->reportContents(entries);
    });
    return QApplication::exec();
}

int coldStart()
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    auto* tree = window->findChild<QTreeWidget*>(QStringLiteral("rightTree"));
    PaintWatch watch(tree->viewport(), [&] {
        if (tree->topLevelItemCount() == 0) {
            watch.arm();
            return;
        }
        std::printf("cold start: %.0f ms from process start to the painted root listing, "
                    "resident memory %s\n",
                    secondsSinceProcessStart() * 1000, qPrintable(residentMemory()));
        QApplication::exit(0);
    });
    watch.arm();
    QTimer::singleShot(30000, [] {
        std::printf("cold start: no listing within 30 s\n");
        QApplication::exit(1);
    });
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    DCurl::globalInit();
    QApplication app(argc, argv);
    dataFolder();
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == QLatin1String("listing"))
        return listing(args.value(2, QStringLiteral("20000")).toInt());
    if (args.value(1) == QLatin1String("coldstart"))
        return coldStart();
    std::fprintf(stderr, "usage: windowbench listing [entries] | coldstart\n");
    return 2;
}
