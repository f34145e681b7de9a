// One start of the program for scripts/chaos.sh: the real window (offscreen) with the stored
// account of $HOME. A start with nothing to restore queues a new round of downloads and uploads
// and starts them; a start after a kill restores and resumes them. One line per event goes to
// stdout. CHAOS_KILL="EVENT:N[:MS]" sends SIGKILL to this process MS ms after its Nth EVENT,
// so that a kill lands exactly inside a restore, a history save or a rename at completion.
#include "engine/datafolder.h"
#include "engine/dcurl.h"
#include "tests/ui/queuewindow.h"
#include "transfers/dtransfercommand.h"

#include <QtWidgets>

#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <mutex>
#include <thread>

namespace {

QList<QByteArray> killAt; // event, n, ms
std::mutex eventMutex;
int aimedSeen = 0;
std::atomic<bool> armed{false}; // events count towards the kill from here on

// Lines go out whole (stdout is line-buffered), also just before a kill.
void say(const QByteArray& name, const QString& detail = QString())
{
    std::lock_guard<std::mutex> lock(eventMutex);
    std::printf("%s %s\n", name.constData(), qPrintable(detail));
    if (!armed || name != killAt.value(0) || ++aimedSeen != killAt.value(1).toInt())
        return;
    const int ms = killAt.value(2).toInt();
    std::printf("KILL %s %d +%dms\n", name.constData(), aimedSeen, ms);
    if (ms == 0)
        ::raise(SIGKILL);
    std::thread([ms] {
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
    const bool save = name.startsWith("transfers_");
    if (!save && !QFile::decodeName(from).endsWith(".part"))
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

class Driver : public QObject
{
public:
    explicit Driver(MainWindow* window) : w(window), engine(window->engine())
    {
        connect(engine, &DCommandManager::di_loggedIn, this, [this] {
            // A start that restores may be killed from here on; a new round once it is queued.
            armed = historyEntries() > 0;
            restoring = true;
            say("LOGGED_IN");
            // Queued behind the window's own login step, which starts the restore.
            QTimer::singleShot(0, this, [this] { waitFor(&Driver::restored); });
        });
        connect(engine, &DCommandManager::di_dataTransferStatus, this,
                [this](int id, const QString&, const QString& lFile, DTransferStatus status,
                       const QString& err) {
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
    int historyEntries() const
    {
        return int(readFile(engine->historyFilePath()).count(" filename="));
    }
    // Polls a step every 100 ms until it says it is done.
    void waitFor(bool (Driver::*step)())
    {
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [=] {
            if ((this->*step)())
                poll->deleteLater();
        });
        poll->start(100);
    }

    // The rows of restored transfers reach the window a moment after the restore: "Start All"
    // before then would leave them paused. A start with nothing to resume queues a new round.
    bool restored()
    {
        const QList<DCommand*> all = engine->registry();
        if (engine->isRestoring() || remote->topLevelItemCount() == 0 ||
            running->topLevelItemCount() + errors->topLevelItemCount() <
                std::count_if(all.begin(), all.end(), [](DCommand* command) {
                    return qobject_cast<DTransferCommand*>(command) != nullptr;
                }))
            return false;
        restoring = false;
        if (running->topLevelItemCount() == 0 && historyEntries() == 0 &&
            !qEnvironmentVariableIsSet("CHAOS_NO_NEW"))
            queueRound();
        else
            startAll();
        return true;
    }

    // A new round: every file of the service (but our own uploads) into a folder of its own,
    // and three new local files to the service.
    void queueRound()
    {
        const QString downloads = home + "/Downloads/r" + QString::number(++round);
        QStringList names, ids, sizes, links, uploads;
        for (int i = 0; i < remote->topLevelItemCount(); ++i) {
            auto* item = static_cast<TreeWidgetItem*>(remote->topLevelItem(i));
            if (item->isFolder() || item->text(TreeWidgetItem::NameColumn).startsWith('r'))
                continue;
            names << item->text(TreeWidgetItem::NameColumn);
            ids << item->entryId();
            sizes << item->transferSizeText();
            links << item->linkHtml();
            plan << "down " + downloads + '/' + names.last() + ' ' + ids.last();
        }
        for (const int size : {204800, 716800, 2097152}) {
            QByteArray bytes(size, Qt::Uninitialized);
            QRandomGenerator(round * 10 + uploads.size())
                .fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
            uploads << home + QString("/Uploads/r%1/r%1-u%2.bin").arg(round).arg(uploads.size());
            writeFile(uploads.last(), bytes);
            plan << "up " + uploads.last();
        }
        QDir().mkpath(downloads);
        QMetaObject::invokeMethod(w, "onStartFileDownLoads", Q_ARG(QStringList, names),
                                  Q_ARG(QStringList, ids), Q_ARG(QStringList, sizes),
                                  Q_ARG(QStringList, links), Q_ARG(QString, downloads));
        QMetaObject::invokeMethod(w, "onFileDroppedRight", Q_ARG(QStringList, uploads),
                                  Q_ARG(QString, QString()));
        waitFor(&Driver::committed);
    }

    // The round counts once every transfer has its row (or failed at once, like a refused
    // link) and its entry in the history: its plan and its number are written last.
    bool committed()
    {
        if (running->topLevelItemCount() + errors->topLevelItemCount() != plan.size() ||
            historyEntries() != running->topLevelItemCount())
            return false;
        QStringList queued;
        for (int i = 0; i < running->topLevelItemCount(); ++i)
            queued += plan.filter(' ' + running->topLevelItem(i)->text(QueueColumn::File));
        if (!writeFile(home + QString("/chaos/r%1.plan").arg(round), queued.join('\n').toUtf8()) ||
            !writeFile(home + "/chaos/round", QByteArray::number(round)))
            qFatal("cannot write the plan of round %d", round);
        say("QUEUED", QString("round %1, %2 transfers").arg(round).arg(queued.size()));
        startAll();
        return true;
    }

    void startAll()
    {
        w->findChild<QPushButton*>("startAll")->click();
        armed = true;
        say("READY", "round " + QString::number(round));
        waitFor(&Driver::idle);
    }

    // Nothing runs any more: done when the history is empty too; entries that did not come
    // back stay there for the next start (after a grace period for the last save).
    bool idle()
    {
        idleTicks = running->topLevelItemCount() > 0 ? 0 : idleTicks + 1;
        const int left = historyEntries();
        if (idleTicks == 0 || (left > 0 && idleTicks <= 30))
            return false;
        say(left ? "LEFTOVER" : "ALL_DONE",
            QString("%1 failed, %2 in the history").arg(errors->topLevelItemCount()).arg(left));
        QMetaObject::invokeMethod(w, "onAppQuit");
        if (left)
            QTimer::singleShot(0, [] { QCoreApplication::exit(3); });
        return true;
    }

    MainWindow* w;
    DCommandManager* engine;
    QTreeWidget* running = w->findChild<QTreeWidget*>("runningList");
    QTreeWidget* errors = w->findChild<QTreeWidget*>("errorList");
    QTreeWidget* remote = w->findChild<QTreeWidget*>("rightTree");
    const QString home = QDir::homePath();
    int round = readFile(home + "/chaos/round").toInt();
    QStringList plan;
    int idleTicks = 0;
    bool restoring = false;
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
};

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    DCurl::globalInit();
    QApplication app(argc, argv);
    dataFolder();
    killAt = qgetenv("CHAOS_KILL").split(':');
    MainWindow window;
    window.resize(1000, 700);
    window.show(); // builds the panes; the login's answer comes later, from the event loop
    Driver driver(&window);
    return app.exec();
}
