// One start of the program for scripts/chaos.sh: the real window (offscreen) with the stored
// account of $HOME. A start with nothing to restore queues a new round of downloads and uploads
// and starts them; a start after a kill restores and resumes them. One line per event goes to
// stdout. CHAOS_KILL="EVENT:N[:MS]" sends SIGKILL to this process MS ms after its Nth EVENT,
// so that a kill lands exactly inside a restore, a history save or a rename at completion.
#include "engine/datafolder.h"
#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "tests/common/testhome.h"
#include "tests/ui/modalanswer.h"
#include "transfers/dtransfercommand.h"
#include "ui/mainwindow.h"
#include "ui/treeitemwidget.h"
#include "ui/treewidget.h"
#include "ui/treewidgetitem.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

namespace {

const QList<qint64> UploadSizes = {204800, 716800, 2097152};

QByteArray killEvent;
int killNth = 0;
int killDelayMs = 0;
std::mutex eventMutex;
QHash<QByteArray, int> eventCounts;
std::atomic<bool> armed{false}; // events count towards the kill from here on

void say(const QByteArray& name, const QString& detail = QString())
{
    std::lock_guard<std::mutex> lock(eventMutex);
    std::printf("%s %s\n", name.constData(), qPrintable(detail));
    std::fflush(stdout);
    if (!armed || name != killEvent || ++eventCounts[name] != killNth)
        return;
    std::printf("KILL %s %d +%dms\n", name.constData(), killNth, killDelayMs);
    std::fflush(stdout);
    if (killDelayMs == 0)
        ::raise(SIGKILL);
    std::thread([ms = killDelayMs] {
        ::usleep(useconds_t(ms) * 1000);
        ::raise(SIGKILL);
    }).detach();
}

// Every rename of the process passes here: the history's new text taking the old one's place
// (SAVING, SAVED) and a finished download's partial file taking its final name (RENAMING,
// RENAMED), so a kill can land just before or just after either.
int renamed(const char* from, const char* to, const std::function<int()>& rename)
{
    const QString name = QFile::decodeName(to).section('/', -1);
    const bool save = name.startsWith(QLatin1String("transfers_"));
    if (!save && !QFile::decodeName(from).endsWith(QLatin1String(".part")))
        return rename(); // the settings, ...
    say(save ? "SAVING" : "RENAMING", name);
    const int result = rename();
    const int error = errno;
    say(save ? "SAVED" : "RENAMED", name);
    errno = error;
    return result;
}

} // namespace

extern "C" int rename(const char* from, const char* to) noexcept
{
    using Real = int (*)(const char*, const char*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "rename"));
    return renamed(from, to, [&] { return real(from, to); });
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to,
                         unsigned int flags) noexcept
{
    using Real = int (*)(int, const char*, int, const char*, unsigned int);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "renameat2"));
    return renamed(from, to, [&] { return real(fromDir, from, toDir, to, flags); });
}

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    if (!writeFile(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
}

int historyEntries(const QString& path)
{
    return int(readFile(path).count(" filename="));
}

class Driver : public QObject
{
public:
    Driver(MainWindow* window, const QString& home) : w(window), home(home)
    {
        round = readFile(home + "/chaos/round").toInt();
        engine = w->engine();
        connect(engine, &DCommandManager::di_loggedIn, this, [this] {
            // A start that restores may be killed from here on; a new round once it is queued.
            armed = historyEntries(engine->historyFilePath()) > 0;
            restoring = true;
            say("LOGGED_IN");
            // Queued behind the window's own login step, which starts the restore.
            QTimer::singleShot(0, this,
                               [this] { waitFor(&Driver::restored, &Driver::afterRestore); });
        });
        connect(engine, &DCommandManager::di_dataTransferStatus, this,
                [this](int id, const QString&, const QString& lFile, DTransferStatus status,
                       const QString& err, long long) {
                    if (status == TransferQueued && restoring)
                        say("RESTORING", QString::number(id) + ' ' + lFile);
                    else if (status == TransferDone)
                        say(engine->commandType(id) == CmdUpload ? "UPLOADED" : "DOWNLOADED",
                            lFile);
                    else if (status == TransferError)
                        say("FAILED", lFile + " | " + err);
                });
    }

private:
    // A dialog nobody answers would hold the window for ever: log it and close it.
    ModalAnswer::Watch modals{[](QWidget* modal) {
                                  auto* box = qobject_cast<QMessageBox*>(modal);
                                  say("MODAL", modal->windowTitle() + " | " +
                                                   (box ? box->text() : QString()));
                                  if (box && !box->buttons().isEmpty())
                                      box->buttons().first()->click();
                                  else if (auto* dialog = qobject_cast<QDialog*>(modal))
                                      dialog->reject();
                              },
                              50};
    QTreeWidget* list(const char* name) const { return w->findChild<QTreeWidget*>(name); }
    QStringList rows(const char* name) const
    {
        QStringList files;
        for (int i = 0; i < list(name)->topLevelItemCount(); ++i)
            files << list(name)->topLevelItem(i)->text(QueueColumn::File);
        return files;
    }

    void waitFor(bool (Driver::*test)() const, void (Driver::*then)())
    {
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [=] {
            if ((this->*test)()) {
                poll->deleteLater();
                (this->*then)();
            }
        });
        poll->start(100);
    }

    bool restored() const
    {
        auto* remote = w->findChild<TreeWidget*>("rightTree");
        if (engine->isRestoring() || !remote || remote->topLevelItemCount() == 0)
            return false;
        // The rows of restored transfers reach the window a moment after the restore: "Start
        // All" before then would leave them paused.
        int transfers = 0;
        for (DCommand* command : engine->registry())
            transfers += qobject_cast<DTransferCommand*>(command) ? 1 : 0;
        return list("runningList")->topLevelItemCount() + list("errorList")->topLevelItemCount() >=
               transfers;
    }

    void afterRestore()
    {
        restoring = false;
        QStringList files = rows("runningList");
        if (files.removeDuplicates() > 0)
            say("DUPLICATE_ROW", QString::number(rows("runningList").size() - files.size()));
        const int left = historyEntries(engine->historyFilePath());
        say("RESTORED", QStringLiteral("%1 rows, %2 in the history").arg(files.size()).arg(left));
        if (files.isEmpty() && left == 0 && !qEnvironmentVariableIsSet("CHAOS_NO_NEW"))
            return queueRound();
        startAll();
    }

    // A new round: every file of the service (but our own uploads) into a folder of its own,
    // and three new local files to the service. The round counts once the history holds it.
    void queueRound()
    {
        const QString downloads = home + "/Downloads/r" + QString::number(++round);
        const QString uploadFolder = home + "/Uploads/r" + QString::number(round);
        QDir().mkpath(downloads);
        QDir().mkpath(uploadFolder);
        QStringList names, ids, sizes, links, uploads;
        plan.clear();
        auto* remote = w->findChild<TreeWidget*>("rightTree");
        for (int i = 0; i < remote->topLevelItemCount(); ++i) {
            auto* item = static_cast<TreeWidgetItem*>(remote->topLevelItem(i));
            const QString name = item->text(TreeWidgetItem::NameColumn);
            if (item->isFolder() || name.startsWith('r'))
                continue;
            names << name;
            ids << item->entryId();
            sizes << item->transferSizeText();
            links << item->linkHtml();
            plan << "down " + downloads + '/' + name + ' ' + ids.last();
        }
        for (int i = 0; i < UploadSizes.size(); ++i) {
            const QString path = uploadFolder + QStringLiteral("/r%1-u%2.bin").arg(round).arg(i);
            QByteArray bytes(UploadSizes[i], Qt::Uninitialized);
            QRandomGenerator(round * 10 + i)
                .fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
            write(path, bytes);
            uploads << path;
            plan << "up " + path;
        }
        QMetaObject::invokeMethod(w, "onStartFileDownLoads", Q_ARG(QStringList, names),
                                  Q_ARG(QStringList, ids), Q_ARG(QStringList, sizes),
                                  Q_ARG(QStringList, links), Q_ARG(QString, downloads));
        QMetaObject::invokeMethod(w, "onFileDroppedRight", Q_ARG(QStringList, uploads),
                                  Q_ARG(QString, QString()));
        waitFor(&Driver::committed, &Driver::afterQueue);
    }

    // Every transfer has its row (or failed at once, like a refused link) and its entry.
    bool committed() const
    {
        const int rows = list("runningList")->topLevelItemCount();
        return rows + list("errorList")->topLevelItemCount() == plan.size() &&
               historyEntries(engine->historyFilePath()) == rows;
    }

    // The round is what went into the history: its plan and its number are written last.
    void afterQueue()
    {
        QStringList queued;
        for (const QString& file : rows("runningList"))
            queued += plan.filter(' ' + file);
        write(home + QStringLiteral("/chaos/r%1.plan").arg(round), queued.join('\n').toUtf8());
        write(home + "/chaos/round", QByteArray::number(round));
        say("QUEUED", QStringLiteral("round %1, %2 transfers").arg(round).arg(queued.size()));
        startAll();
    }

    void startAll()
    {
        w->findChild<QPushButton*>("startAll")->click();
        armed = true;
        say("READY", QStringLiteral("round %1").arg(round));
        waitFor(&Driver::idle, &Driver::quit);
    }

    // Nothing runs any more: done when the history is empty too; entries that did not come
    // back stay there for the next start (after a grace period for the last save).
    bool idle() const
    {
        if (list("runningList")->topLevelItemCount() > 0)
            idleTicks = 0;
        else if (historyEntries(engine->historyFilePath()) == 0 || ++idleTicks > 30)
            return true;
        return false;
    }

    void quit()
    {
        const int left = historyEntries(engine->historyFilePath());
        say(left ? "LEFTOVER" : "ALL_DONE", QStringLiteral("round %1, %2 failed, %3 in the history")
                                                .arg(round)
                                                .arg(list("errorList")->topLevelItemCount())
                                                .arg(left));
        QMetaObject::invokeMethod(w, "onAppQuit");
        if (left)
            QTimer::singleShot(0, [] { QCoreApplication::exit(3); });
    }

    MainWindow* w;
    DCommandManager* engine;
    QString home;
    int round = 0;
    QStringList plan;
    mutable int idleTicks = 0;
    bool restoring = false;
};

} // namespace

int main(int argc, char* argv[])
{
    DCurl::globalInit();
    QApplication app(argc, argv);
    dataFolder();
    const QList<QByteArray> spec = qgetenv("CHAOS_KILL").split(':');
    killEvent = spec.value(0);
    killNth = spec.value(1).toInt();
    killDelayMs = spec.value(2).toInt();
    const QString home = QDir::homePath();
    QDir().mkpath(home + "/chaos");
    MainWindow window;
    Driver driver(&window, home);
    window.resize(1000, 700);
    window.show();
    return app.exec();
}
