// Scale benchmark of the engine against the stand-in service: many transfers, a long history,
// a huge folder. Each measure runs in a process of its own (a fresh HOME, a fresh service), so
// peak memory and thread counts belong to that measure alone.
//
//   ferryscale uploads <n>     add n uploads (startUpload each), then idle/paused CPU, threads,
//                              descriptors and resident memory with the n transfers queued,
//                              and how long the engine takes to go at quit
//   ferryscale downloads <n>   add n downloads (startDownload each); the link requests included
//   ferryscale restore <n>     restoreHistory of a history of n uploads
//   ferryscale listing <n>     one listing of a folder of n files, request to di_contentsChanged
//   ferryscale answers <n> <r> add n downloads, resume r of them spread over the queue (as the
//                              window does: resume, then one scheduling pass), then the event
//                              loop's lateness while the n link answers arrive and the r
//                              downloads (1 MiB each) run to their end
//
// Every line it prints is "row: <measure> key=value ...". Times in ms, memory in MB (10^6).

#include "bench/latenessprobe.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "tests/common/standin.h"
#include "transfers/dtransfercommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int LoginTimeoutMs = 60000;
const char* const FileId = "201";
// A file big enough that a resumed download runs for a while and reports progress.
const char* const RunningFileId = "202";
constexpr qint64 RunningFileBytes = 1048576;
constexpr int IdleProbeMs = 3000;

void print(const QString& text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString ms(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e6, 'f', 1);
}

// A value from /proc/self/status ("VmRSS", "VmHWM" in kB, "Threads").
qint64 procStatus(const char* key)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

QString megabytes(qint64 kilobytes)
{
    return QString::number(double(kilobytes) * 1024 / 1e6, 'f', 0);
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// Runs the event loop (without spinning) until `done` answers true or the time is up.
bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start();
    loop.exec();
    return done();
}

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A scenario whose account "bench" owns one small file (id 201) and a folder (id 300) holding
// `folderFiles` files.
QString scenario(int folderFiles)
{
    // Written as text: a JSON tree of 100,000 objects would dwarf the engine's own memory.
    QString files;
    files.reserve(folderFiles * 64);
    for (int i = 0; i < folderFiles; ++i)
        files += QStringLiteral("%1{\"file\":\"entry-%2.bin\",\"id\":\"%3\",\"content\":\"x\"}")
                     .arg(i == 0 ? "" : ",")
                     .arg(i)
                     .arg(100000 + i);
    // Listings are built once at start: the figure is the client's, not the service's (which
    // needs about half a second to write 100,000 entries on every request).
    return QStringLiteral("{\"host\":\"127.0.0.1\",\"version_on_server\":\"2.56\","
                          "\"prebuilt_listings\":true,\"accounts\":"
                          "{\"bench\":{\"password\":\"bench\",\"param1\":\"1\",\"reason1\":\"\","
                          "\"param2\":\"1\",\"reason2\":\"\",\"max_usp\":0,\"tree\":["
                          "{\"file\":\"small.bin\",\"id\":\"%1\",\"content\":\"small file\"},"
                          "{\"file\":\"run.bin\",\"id\":\"%3\",\"size\":%4,\"seed\":3},"
                          "{\"folder\":\"Many\",\"id\":\"300\",\"children\":[%2]}]}}}")
        .arg(QLatin1String(FileId), files, QLatin1String(RunningFileId))
        .arg(RunningFileBytes);
}

struct Session
{
    QTemporaryDir home;
    std::unique_ptr<StandIn> standIn;
    std::unique_ptr<DCommandManager> manager;
    int queued = 0;

    bool open(int folderFiles)
    {
        qputenv("HOME", home.path().toLocal8Bit());
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            qunsetenv(name);
        standIn = std::make_unique<StandIn>(scenario(folderFiles));
        if (!standIn->start())
            return false;
        standIn->applyEnvironment();
        return logIn();
    }

    bool logIn()
    {
        manager = std::make_unique<DCommandManager>();
        QObject::connect(manager.get(), &DCommandManager::di_dataTransferStatus, manager.get(),
                         [this](int, const QString&, const QString&, DTransferStatus st) {
                             if (st == TransferQueued)
                                 ++queued;
                         });
        bool started = false;
        bool loggedIn = false;
        QObject::connect(manager.get(), &DCommandManager::di_engineStarted, manager.get(),
                         [&] { started = true; });
        QObject::connect(manager.get(), &DCommandManager::di_loggedIn, manager.get(),
                         [&] { loggedIn = true; });
        manager->startEngine();
        if (!waitFor([&] { return started; }, LoginTimeoutMs))
            return false;
        manager->login(QStringLiteral("bench"), QStringLiteral("bench"));
        const bool ok = waitFor([&] { return loggedIn; }, LoginTimeoutMs);
        QObject::disconnect(manager.get(), &DCommandManager::di_engineStarted, nullptr, nullptr);
        QObject::disconnect(manager.get(), &DCommandManager::di_loggedIn, nullptr, nullptr);
        return ok;
    }

    QString file(int i) const { return home.path() + QStringLiteral("/files/f%1.bin").arg(i); }

    bool makeFiles(int n) const
    {
        QDir().mkpath(home.path() + QStringLiteral("/files"));
        for (int i = 0; i < n; ++i) {
            QFile f(file(i));
            if (!f.open(QIODevice::WriteOnly) || f.write("0123456789") != 10)
                return false;
        }
        return true;
    }
};

// Calls `add` n times and reports the total and the slowest call.
void timeAdds(const char* row, int n, const std::function<int(int)>& add)
{
    QElapsedTimer total;
    qint64 worst = 0;
    int failed = 0;
    total.start();
    for (int i = 0; i < n; ++i) {
        QElapsedTimer one;
        one.start();
        if (add(i) <= 0)
            ++failed;
        worst = std::max(worst, one.nsecsElapsed());
    }
    print(QStringLiteral("row: %1 n=%2 total_ms=%3 max_call_ms=%4 failed=%5")
              .arg(QLatin1String(row))
              .arg(n)
              .arg(ms(total.nsecsElapsed()), ms(worst))
              .arg(failed));
}

// A registered upload hands the history to the writer at once: what that costs the
// user-interface thread with n entries (the write itself runs on the writer thread).
void timeImmediateSaves(DCommandManager& manager, int n)
{
    const QList<DCommand*> commands = manager.registry();
    qint64 total = 0, worst = 0;
    int saves = 0;
    for (DCommand* command : commands) {
        auto* transfer = qobject_cast<DTransferCommand*>(command);
        if (!transfer || saves == 50)
            continue;
        manager.saveHistoryNow();
        manager.addToHistory(transfer);
        QElapsedTimer one;
        one.start();
        manager.saveHistorySoon();
        const qint64 spent = one.nsecsElapsed();
        total += spent;
        worst = std::max(worst, spent);
        ++saves;
    }
    manager.saveHistoryNow();
    print(QStringLiteral("row: save-at-once n=%1 saves=%2 mean_ms=%3 max_ms=%4")
              .arg(n)
              .arg(saves)
              .arg(ms(saves ? total / saves : 0), ms(worst)));
}

int runUploads(int n)
{
    Session s;
    if (!s.open(0) || !s.makeFiles(n))
        return 1;
    timeAdds("add-uploads", n, [&](int i) { return s.manager->startUpload(s.file(i)); });
    // Let whatever the adds left behind (saves, timers) settle, then watch the idle engine.
    idle(2000);
    timeImmediateSaves(*s.manager, n);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    idle(10000);
    const double cpu = (cpuSeconds() - cpuBefore) / (wall.nsecsElapsed() / 1e9) * 100;
    print(QStringLiteral("row: idle-paused n=%1 cpu_percent=%2 threads=%3 descriptors=%4")
              .arg(n)
              .arg(QString::number(cpu, 'f', 1))
              .arg(procStatus("Threads"))
              .arg(openDescriptors()));
    print(QStringLiteral("row: resident-queued n=%1 rss_mb=%2")
              .arg(n)
              .arg(megabytes(procStatus("VmRSS"))));
    QElapsedTimer quit;
    quit.start();
    s.manager.reset();
    print(QStringLiteral("row: quit-queued n=%1 quit_ms=%2").arg(n).arg(ms(quit.nsecsElapsed())));
    return 0;
}

int runDownloads(int n)
{
    Session s;
    if (!s.open(0))
        return 1;
    QDir().mkpath(s.home.path() + QStringLiteral("/down"));
    const QString folder = s.home.path() + QStringLiteral("/down/d%1.bin");
    timeAdds("add-downloads", n, [&](int i) {
        return s.manager->startDownload(folder.arg(i), QString::fromLatin1(FileId), 10,
                                        QStringLiteral("link"));
    });
    // The link requests may still run in the background: wait until the service saw them all.
    QElapsedTimer clock;
    clock.start();
    waitFor([&] { return s.standIn->requests(QStringLiteral("dlfile")).size() >= n; }, 600000);
    print(QStringLiteral("row: download-links n=%1 answered=%2 after_adds_ms=%3")
              .arg(n)
              .arg(s.standIn->requests(QStringLiteral("dlfile")).size())
              .arg(ms(clock.nsecsElapsed())));
    return 0;
}

// Writes a history of n uploads of existing files, logs in again and restores it.
int runRestore(int n)
{
    Session s;
    if (!s.open(0) || !s.makeFiles(n))
        return 1;
    QString text = QStringLiteral("<!DOCTYPE transfers>\n<Transfers>\n    <Uploads>\n");
    for (int i = 0; i < n; ++i)
        text += QStringLiteral("        <cmd%1 filename=\"%2\" serverfilename=\"f%1.bin.2026-01-01"
                               "-00-00-00-000\" folderId=\"-1\" size=\"10\"/>\n")
                    .arg(i + 1)
                    .arg(s.file(i));
    text += QStringLiteral("    </Uploads>\n</Transfers>\n");
    QFile history(s.manager->historyFilePath());
    if (!history.open(QIODevice::WriteOnly) || history.write(text.toUtf8()) < 0)
        return 1;
    history.close();
    s.manager.reset();
    if (!s.logIn())
        return 1;

    s.queued = 0;
    LatenessProbe probe;
    QElapsedTimer clock;
    clock.start();
    s.manager->restoreHistory();
    const qint64 callNs = clock.nsecsElapsed();
    const bool all = waitFor([&] { return s.queued >= n; }, 1800000);
    print(QStringLiteral("row: restore-uploads n=%1 restored=%2 all_back_ms=%3 call_ms=%4 "
                         "lateness_p99_ms=%5 lateness_max_ms=%6 complete=%7")
              .arg(n)
              .arg(s.queued)
              .arg(ms(clock.nsecsElapsed()), ms(callNs))
              .arg(probe.quantile(0.99))
              .arg(probe.worst())
              .arg(all ? "yes" : "no"));
    return 0;
}

int runListing(int n)
{
    Session s;
    if (!s.open(n))
        return 1;
    int entries = -1;
    // Held as the remote pane holds it, until the next listing.
    DTreeElementList shown;
    QObject::connect(s.manager.get(), &DCommandManager::di_contentsChanged, s.manager.get(),
                     [&](const DTreeElementList& list) {
                         shown = list;
                         entries = int(list.size());
                     });
    const qint64 rssBefore = procStatus("VmRSS");
    LatenessProbe probe;
    QElapsedTimer clock;
    clock.start();
    s.manager->listFolder(QStringLiteral("300"), QStringLiteral("Many"));
    const bool arrived = waitFor([&] { return entries > 0; }, 600000);
    const qint64 elapsed = clock.nsecsElapsed();
    // The command's own end (its deletion included) still belongs to the listing.
    idle(300);
    print(QStringLiteral("row: listing n=%1 entries=%2 request_to_contents_ms=%3 "
                         "lateness_p99_ms=%4 lateness_max_ms=%5 rss_before_mb=%6 peak_rss_mb=%7")
              .arg(n)
              .arg(entries)
              .arg(ms(elapsed))
              .arg(probe.quantile(0.99))
              .arg(probe.worst())
              .arg(megabytes(rssBefore), megabytes(procStatus("VmHWM"))));
    return arrived ? 0 : 1;
}

int runAnswers(int n, int resumed)
{
    Session s;
    if (!s.open(0) || resumed <= 0 || resumed > n)
        return 1;
    int answered = 0, refused = 0, done = 0;
    QObject::connect(s.manager.get(), &DCommandManager::di_updateLink, s.manager.get(),
                     [&](int, const QString&) { ++answered; });
    QObject::connect(s.manager.get(), &DCommandManager::di_dataTransferStatus, s.manager.get(),
                     [&](int, const QString&, const QString&, DTransferStatus st) {
                         if (st == TransferDone)
                             ++done;
                         else if (st == TransferError)
                             ++refused;
                     });
    QDir().mkpath(s.home.path() + QStringLiteral("/down"));
    const QString folder = s.home.path() + QStringLiteral("/down/d%1.bin");
    {
        // What the machine's load alone does to an idle event loop: the floor of the figure.
        LatenessProbe idleProbe;
        idle(IdleProbeMs);
        print(QStringLiteral("row: answers-idle ms=%1 samples=%2 p50_ms=%3 p99_ms=%4 max_ms=%5")
                  .arg(IdleProbeMs)
                  .arg(idleProbe.count())
                  .arg(idleProbe.quantile(0.5))
                  .arg(idleProbe.quantile(0.99))
                  .arg(idleProbe.worst()));
    }
    QList<int> ids;
    timeAdds("answers-adds", n, [&](int i) {
        const int id = s.manager->startDownload(folder.arg(i), QString::fromLatin1(RunningFileId),
                                                RunningFileBytes, QStringLiteral("link"));
        ids << id;
        return id;
    });
    LatenessProbe probe;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const int step = n / resumed;
    for (int r = 0; r < resumed; ++r)
        s.manager->resume(ids.value(r * step));
    s.manager->flush();
    const bool all =
        waitFor([&] { return answered + refused >= n && done + refused >= resumed; }, 1800000);
    const qint64 allMs = clock.elapsed();
    // The last history save and the ends of the workers still belong to the burst.
    idle(500);
    const double processCpuMs = (cpuSeconds() - cpuBefore) * 1000;
    print(QStringLiteral("row: answers n=%1 resumed=%2 answered=%3 done=%4 failed=%5 "
                         "all_ms=%6 samples=%7 p50_ms=%8 p99_ms=%9 max_ms=%10 busy_max_ms=%11 "
                         "ui_cpu_ms=%12 process_cpu_ms=%13 complete=%14")
              .arg(n)
              .arg(resumed)
              .arg(answered)
              .arg(done)
              .arg(refused)
              .arg(allMs)
              .arg(probe.count())
              .arg(probe.quantile(0.5))
              .arg(probe.quantile(0.99))
              .arg(probe.worst())
              .arg(probe.busyMaxMs(), 0, 'f', 1)
              .arg(probe.cpuMs(), 0, 'f', 0)
              .arg(processCpuMs, 0, 'f', 0)
              .arg(all ? "yes" : "no"));
    return all ? 0 : 1;
}

} // namespace

const char* const Usage = "usage: ferryscale uploads|downloads|restore|listing <n> | answers <n> "
                          "[<resumed>]\n";

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const int n = args.at(2).toInt();
    const QString what = args.at(1);
    if (what == QLatin1String("uploads"))
        return runUploads(n);
    if (what == QLatin1String("downloads"))
        return runDownloads(n);
    if (what == QLatin1String("restore"))
        return runRestore(n);
    if (what == QLatin1String("listing"))
        return runListing(n);
    if (what == QLatin1String("answers"))
        return runAnswers(n, args.value(3, QStringLiteral("50")).toInt());
    std::fputs(Usage, stderr);
    return 2;
}
