// The transfer queue views at scale: a logged-in main window against the stand-in service.
//
//   queuebench downloads N [--eager]     one onStartFileDownLoads call with N files
//   queuebench uploads N [--eager]       one dropped folder of N files (onFileDroppedRight)
//   queuebench announce N [--eager]      N rows announced by the engine (as a history restore)
//   queuebench show SECONDS              a window with transfers in every list (screenshots)
//   queuebench folder N                  F3 on a remote folder of N files (100 per folder, in
//                                        folders of 10 sub-folders): the event loop's
//                                        lateness while it is listed and queued, then until
//                                        every link answer has come
//   queuebench progress ROWS RUNNING SECONDS [--eager]
//                                        RUNNING of ROWS rows report progress twice a second;
//                                        prints the event loop's lateness (10 ms probe timer)
//
// --eager gives every row its widgets at once (the plain way, for the "before" figure).
// Each prints one line of key=value fields. Needs the stand-in service (Python) and a
// QT_QPA_PLATFORM (offscreen or xcb).

#include "bench/latenessprobe.h"
#include "tests/ui/queuewindow.h"

#include <QApplication>
#include <QJsonDocument>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// CPU time of the calling thread: on a busy machine the wall clock also counts other programs.
double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Times every event the user-interface thread handles (outermost only) and keeps the longest:
// where the event loop was late, by receiver class and event type.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (m_depth > 0 || !m_recording || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++m_depth;
        QElapsedTimer clock;
        clock.start();
        const double cpuStart = threadCpuMs();
        const int type = event->type();
        const QByteArray name = receiver->metaObject()->className();
        const bool result = QApplication::notify(receiver, event);
        const qint64 ms = clock.elapsed();
        --m_depth;
        if (ms >= 20)
            m_slow.append({ms, name + " event " + QByteArray::number(type) + " (" +
                                   QByteArray::number(threadCpuMs() - cpuStart, 'f', 1) +
                                   " ms CPU)"});
        return result;
    }
    void record(bool on) { m_recording = on; }
    void printSlowest(int count)
    {
        std::sort(m_slow.begin(), m_slow.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        for (int i = 0; i < std::min<int>(count, m_slow.size()); ++i)
            std::printf("  slow: %lld ms %s\n", static_cast<long long>(m_slow.at(i).first),
                        m_slow.at(i).second.constData());
        m_slow.clear();
    }

private:
    int m_depth = 0;
    bool m_recording = false;
    QList<QPair<qint64, QByteArray>> m_slow;
};

// The logged-in window of the queue tests, plus what the figures need.
struct Bench : QueueWindow
{
    using QueueWindow::QueueWindow;

    // Lets everything queued settle: placement, totals, refreshes.
    void settle(bool eager)
    {
        QTest::qWait(300);
        if (eager) {
            for (int i = 0; i < running->topLevelItemCount(); ++i)
                static_cast<TreeItemWidget*>(running->topLevelItem(i))->placeWidgets(true);
        }
        window->repaint();
        QApplication::processEvents();
    }

    void announce(int count, int firstId)
    {
        for (int i = 0; i < count; ++i)
            window->engine()->reportTransferStatus(
                firstId + i, QStringLiteral("/data/file%1.bin").arg(i),
                QStringLiteral("file%1.bin").arg(i), TransferQueued, QString(), 1048576);
    }
};

int downloads(int count, bool eager)
{
    Bench bench;
    if (!bench.open())
        return 2;
    QStringList names, ids, sizes, links;
    for (int i = 0; i < count; ++i) {
        names << QStringLiteral("copy%1.bin").arg(i, 5, 10, QLatin1Char('0'));
        ids << QStringLiteral("201");
        sizes << QStringLiteral("2097152 bytes");
        links << QString();
    }
    const double before = residentMb();
    QElapsedTimer timer;
    timer.start();
    LatenessProbe probe;
    QMetaObject::invokeMethod(bench.window.get(), "onStartFileDownLoads", Q_ARG(QStringList, names),
                              Q_ARG(QStringList, ids), Q_ARG(QStringList, sizes),
                              Q_ARG(QStringList, links));
    const qint64 callMs = timer.elapsed();
    // Rows are fed in slices; the figure is the time until the last one is in the list.
    if (!QTest::qWaitFor([&] { return bench.running->topLevelItemCount() == count; }, 1800000))
        return 3;
    bench.settle(eager);
    const qint64 shownMs = timer.elapsed();
    std::printf("downloads rows=%d call_ms=%lld shown_ms=%lld rss_growth_mb=%.1f "
                "lateness_p99_ms=%lld lateness_max_ms=%lld eager=%d\n",
                bench.running->topLevelItemCount(), callMs, shownMs, residentMb() - before,
                probe.quantile(0.99), probe.quantile(1.0), eager);
    return 0;
}

int uploads(int count, bool eager)
{
    Bench bench;
    if (!bench.open())
        return 2;
    // One dropped folder holding `count` small files.
    const QString folder = bench.home.path() + QStringLiteral("/drop");
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QFile file(folder + QStringLiteral("/up%1.txt").arg(i, 5, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly))
            return 2;
        file.write("x");
    }
    const double before = residentMb();
    QElapsedTimer timer;
    timer.start();
    LatenessProbe probe;
    QMetaObject::invokeMethod(bench.window.get(), "onFileDroppedRight",
                              Q_ARG(QStringList, QStringList{folder}), Q_ARG(QString, QString()));
    const qint64 callMs = timer.elapsed();
    if (!QTest::qWaitFor([&] { return bench.running->topLevelItemCount() == count; }, 1800000))
        return 3;
    bench.settle(eager);
    std::printf("uploads rows=%d call_ms=%lld all_ms=%lld rss_growth_mb=%.1f open_fds=%lld "
                "lateness_p99_ms=%lld lateness_max_ms=%lld eager=%d\n",
                bench.running->topLevelItemCount(), callMs, timer.elapsed(), residentMb() - before,
                static_cast<long long>(QDir(QStringLiteral("/proc/self/fd")).count()),
                probe.quantile(0.99), probe.quantile(1.0), eager);
    return 0;
}

int announce(int count, bool eager)
{
    Bench bench;
    if (!bench.open())
        return 2;
    const double before = residentMb();
    QElapsedTimer timer;
    timer.start();
    bench.announce(count, 100000);
    if (!QTest::qWaitFor([&] { return bench.running->topLevelItemCount() == count; }, 600000))
        return 3;
    const qint64 rowsMs = timer.elapsed();
    bench.settle(eager);
    const qint64 shownMs = timer.elapsed();
    std::printf("announce rows=%d rows_ms=%lld shown_ms=%lld rss_growth_mb=%.1f eager=%d\n",
                bench.running->topLevelItemCount(), rowsMs, shownMs, residentMb() - before, eager);
    return 0;
}

int progress(int rows, int runningCount, int seconds, bool eager)
{
    Bench bench;
    if (!bench.open())
        return 2;
    const int firstId = 100000;
    bench.announce(rows, firstId);
    if (!QTest::qWaitFor([&] { return bench.running->topLevelItemCount() == rows; }, 600000))
        return 3;
    bench.settle(eager);
    // Rows spread over the list, so some are on screen and most are not.
    const int step = std::max(1, rows / runningCount);

    QElapsedTimer clock;
    clock.start();
    LatenessProbe probe;
    // Each transfer reports every 500 ms on its own phase, as the engine's sampling timers do.
    QList<QTimer*> reporters;
    for (int t = 0; t < runningCount; ++t) {
        auto* reporter = new QTimer;
        const int id = firstId + t * step;
        QObject::connect(reporter, &QTimer::timeout, [&bench, id, &clock] {
            const long long done = (clock.elapsed() * 7 + id) % 10000;
            bench.window->engine()->reportProgress(id, done, 512.0 + id % 100, 60);
        });
        QTimer::singleShot(t * 500 / runningCount, reporter, [reporter] { reporter->start(500); });
        reporters << reporter;
    }
    QTest::qWait(seconds * 1000);
    qDeleteAll(reporters);
    std::printf("progress rows=%d running=%d samples=%lld p50_ms=%lld p99_ms=%lld max_ms=%lld "
                "eager=%d\n",
                rows, runningCount, static_cast<long long>(probe.count()), probe.quantile(0.5),
                probe.quantile(0.99), probe.quantile(1.0), eager);
    return 0;
}

// The test accounts plus alice's folder "Big": `files` small files, 100 per folder, the folders
// ten to a parent folder.
QString bigTreeScenario(int files)
{
    QJsonObject root = QJsonDocument::fromJson(StandIn::defaultScenario().toUtf8()).object();
    QJsonObject accounts = root.value("accounts").toObject();
    QJsonObject alice = accounts.value("alice").toObject();
    QJsonArray tree = alice.value("tree").toArray();
    int nextId = 100000;
    QJsonArray parents;
    QJsonArray leaves;
    for (int made = 0; made < files;) {
        QJsonArray children;
        for (int i = 0; i < 100 && made < files; ++i, ++made)
            children.append(QJsonObject{{"file", QStringLiteral("f%1.txt").arg(made)},
                                        {"id", QString::number(nextId++)},
                                        {"content", QStringLiteral("file %1").arg(made)}});
        leaves.append(QJsonObject{{"folder", QStringLiteral("leaf%1").arg(leaves.size())},
                                  {"id", QString::number(nextId++)},
                                  {"children", children}});
        if (leaves.size() == 10 || made == files) {
            parents.append(QJsonObject{{"folder", QStringLiteral("part%1").arg(parents.size())},
                                       {"id", QString::number(nextId++)},
                                       {"children", leaves}});
            leaves = QJsonArray();
        }
    }
    tree.append(QJsonObject{{"folder", "Big"}, {"id", "99999"}, {"children", parents}});
    alice.insert("tree", tree);
    accounts.insert("alice", alice);
    root.insert("accounts", accounts);
    root.insert("prebuilt_listings", true);
    return QString::fromUtf8(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

int folder(int files)
{
    Bench bench(bigTreeScenario(files));
    if (!bench.open())
        return 2;
    int links = 0;
    QObject::connect(bench.window->engine(), &DCommandManager::di_updateLink,
                     [&links](int, const QString&) { ++links; });
    bench.remote->clearSelection();
    bench.item(QStringLiteral("Big"))->setSelected(true);
    QElapsedTimer timer;
    timer.start();
    auto* app = static_cast<TimedApplication*>(QCoreApplication::instance());
    app->record(qEnvironmentVariableIsSet("BENCH_SLOW_EVENTS"));
    auto probe = std::make_unique<LatenessProbe>();
    QMetaObject::invokeMethod(bench.window.get(), "download");
    if (!QTest::qWaitFor([&] { return bench.running->topLevelItemCount() == files; }, 1800000))
        return 3;
    const qint64 queuedMs = timer.elapsed();
    std::printf("folder files=%d queued_ms=%lld samples=%lld p50_ms=%lld p99_ms=%lld "
                "max_ms=%lld (listing and queueing)\n",
                files, queuedMs, static_cast<long long>(probe->count()), probe->quantile(0.5),
                probe->quantile(0.99), probe->quantile(1.0));
    app->printSlowest(8);
    std::fflush(stdout);
    probe = std::make_unique<LatenessProbe>();
    if (!QTest::qWaitFor([&] { return links >= files; }, 1800000))
        return 3;
    std::printf("folder files=%d links_ms=%lld samples=%lld p50_ms=%lld p99_ms=%lld max_ms=%lld "
                "(until every link answer)\n",
                files, timer.elapsed() - queuedMs, static_cast<long long>(probe->count()),
                probe->quantile(0.5), probe->quantile(0.99), probe->quantile(1.0));
    app->printSlowest(8);
    return 0;
}

// Keeps a window with transfers in every list on screen for `seconds` (for screenshots).
int show(int seconds)
{
    Bench bench;
    {
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        settings.setValue("pos", QPoint(20, 20));
        settings.setValue("size", QSize(1180, 840));
    }
    if (!bench.open())
        return 2;
    bench.service.addFault(
        {{"kind", "download"}, {"action", "throttle"}, {"kbps", 40}, {"times", 0}});
    bench.service.addFault({{"kind", "dlfile"},
                            {"action", "refuse"},
                            {"text", "File locked by its owner"},
                            {"file", "102"}});
    const QString upload = bench.home.path() + QStringLiteral("/holiday-notes.txt");
    QFile file(upload);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(40000, 'n'));
    file.close();
    QMetaObject::invokeMethod(
        bench.window.get(), "onStartFileDownLoads",
        Q_ARG(QStringList, (QStringList{"big.bin", "clip.mp4", "a.txt", "notes.txt"})),
        Q_ARG(QStringList, (QStringList{"201", "301", "101", "102"})),
        Q_ARG(QStringList, (QStringList{"2097152 bytes", "262144 bytes", "5 bytes", ""})),
        Q_ARG(QStringList, (QStringList{QString(), QString(), QString(), QString()})));
    QMetaObject::invokeMethod(bench.window.get(), "onFileDroppedRight",
                              Q_ARG(QStringList, QStringList{upload}), Q_ARG(QString, QString()));
    for (QPushButton* button : bench.window->findChildren<QPushButton*>()) {
        if (button->text() == QLatin1String("Start All"))
            button->click();
    }
    QTest::qWait(seconds * 1000);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    TimedApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    const bool eager = args.contains(QStringLiteral("--eager"));
    const QString command = args.value(1);
    if (command == QLatin1String("downloads"))
        return downloads(args.value(2).toInt(), eager);
    if (command == QLatin1String("uploads"))
        return uploads(args.value(2).toInt(), eager);
    if (command == QLatin1String("announce"))
        return announce(args.value(2).toInt(), eager);
    if (command == QLatin1String("progress"))
        return progress(args.value(2).toInt(), args.value(3).toInt(), args.value(4).toInt(), eager);
    if (command == QLatin1String("show"))
        return show(args.value(2).toInt());
    if (command == QLatin1String("folder"))
        return folder(args.value(2, QStringLiteral("10000")).toInt());
    std::fprintf(stderr,
                 "usage: queuebench downloads N | uploads N | announce N | progress ROWS RUNNING "
                 "SECONDS [--eager] | folder N\n");
    return 1;
}
