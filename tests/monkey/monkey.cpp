// A restless user for the main window against the stand-in service, with faults switched on and
// off; every dialog gets a random answer. The same seed makes the same choices (the network's
// timing still varies). --slow scales every time limit for slower builds. A finding, a crash or
// a sanitizer report prints the seed and the last actions; the exit code is then 1.
//   monkey [--seed S] [--minutes M] [--slow F] [--keep-going]

#include "engine/dcurl.h"
#include "tests/ui/queuewindow.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"
#include "ui/logindialog.h"
#include "ui/rowwidgetplacer.h"
#include "ui/treeview.h"

#include <QtWidgets>

#include <csignal>
#include <random>
#include <thread>

extern "C" void __sanitizer_set_death_callback(void (*)()) __attribute__((weak));

namespace {

constexpr int LateLimitMs = 250; // the event loop may be this late at most (ticks every 10 ms)
constexpr int PersistMs = 3000;  // rows and transfers may disagree this long (queued reports)
constexpr int HangMs = 60000;    // an event loop silent this long is stuck

// Drops, cuts, stalls, slow links, refusals, max clients and a service that stops answering:
// the kind of request, the action and its own fields.
const QJsonArray Faults = QJsonDocument::fromJson(R"([
    ["download", "drop"], ["download", "cut", {"bytes": 100000}], ["download", "ignore_range"],
    ["download", "stall", {"bytes": 50000, "seconds": 4}], ["download", "throttle", {"kbps": 64}],
    ["folder", "delay", {"seconds": 15}], ["dlfile", "delay", {"seconds": 15}],
    ["ftp-stor", "cut", {"bytes": 60000}], ["ftp-stor", "throttle", {"kbps": 48}],
    ["ftp-login", "max_clients"], ["upload_done", "refuse", {"text": "Size mismatch"}],
    ["login", "refuse", {"text": "Account locked"}], ["ftp-size", "silent", {"seconds": 5}]])")
                              .array();
// What the user types: accounts (bob's downloads are refused), names and limits, links.
const QStringList Accounts = {"alice/secret", "alice/secret", "bob/pw/with/slash", "alice/wrong"};
const QStringList Typed = {"renamed.bin", "a b.txt", "..", "a/b", "",   "ünï",
                           "0",           "1",       "3",  "-3",  "20", "2000"};
const QStringList BadLinks = {"https://127.0.0.1/f/99999/gone.file", "not a link at all"};

std::atomic<qint64> s_heartbeat{0};
std::function<void()> s_printRecent;

bool ended(int status)
{
    return status == StatusFailed || status == StatusFinished || status == StatusAborted;
}

// The transfer a restart must bring back ("download <target>", "upload <source> to <folder>":
// one file may go to two folders).
QString keyOf(DCommand* command)
{
    if (auto* download = qobject_cast<DDownloadCommand*>(command))
        return "download " + download->targetPath();
    auto* upload = qobject_cast<DUploadCommand*>(command);
    return upload ? "upload " + upload->localFilePath() + " to " + upload->folderId() : QString();
}

} // namespace

class Monkey : public QObject
{
    Q_OBJECT

public:
    unsigned seed = std::random_device()();
    double minutes = 2, slow = 1;
    bool keepGoing = false;

    // Files to upload, the stand-in, then one window after another on the same home folder
    // until the time is up or a finding ends the run; the exit code.
    int run()
    {
        m_rng.seed(seed);
        for (const QString file : {"u0.bin 20000", "u1.bin 3000000", "up/u2.bin 150000",
                                   "up/u3.bin 5000000", "up/deep/u4.bin 60000"}) {
            QByteArray bytes(file.section(' ', 1).toInt(), Qt::Uninitialized);
            std::generate(bytes.begin(), bytes.end(), [this] { return char(m_rng()); });
            writeFile(m_area + '/' + file.section(' ', 0, 0), bytes);
        }
        // The preview starts a player that does nothing; the local pane opens on the files.
        QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
            .setValue("VLCPath", "/bin/true");
        if (!q.prepare()) {
            std::fprintf(stderr, "monkey: the stand-in service did not start\n");
            return 2;
        }
        QSettings(DCommandManager::settingsFilePath(), QSettings::IniFormat)
            .setValue("leftDirectory", m_area);
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "opened");
        s_printRecent = [this] {
            std::fprintf(stderr, "seed %u; the last actions:\n%s\n", seed,
                         qPrintable(m_recent.join('\n')));
        };
        m_clock.start();
        allow(m_area); // the files written above
        checkFiles();
        m_allowed.clear();
        // Ticks measure the event loop's lateness and run the checks; the user acts in between.
        connect(&m_tickTimer, &QTimer::timeout, this, &Monkey::tick);
        connect(&m_actTimer, &QTimer::timeout, this, &Monkey::act);
        m_tickTimer.setTimerType(Qt::PreciseTimer);
        m_tickTimer.start(10);
        m_actTimer.start(500);
        // The top modal dialog or menu gets its answer after a while (again when that did not
        // close it), from the event loop, so that loops it opens never block.
        m_watch.popups = true;
        m_watch.appeared = [this](QWidget* dialog) { dialogAppeared(dialog); };
        m_watch.reaction = [this] { return chance(70) ? 30 + pick(400) : 400 + pick(2600); };
        while (launch())
            QApplication::exec();
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
        std::printf("monkey: seed %u, %.0f s, event loop late by %lld ms at most\n", seed,
                    now() / 1000.0, m_maxLate);
        for (auto it = m_counts.cbegin(); it != m_counts.cend(); ++it)
            std::printf("  %6d %s\n", it.value(), qPrintable(it.key()));
        std::printf("findings: %d\n", m_counts.value("findings")); // each kind's first on stderr
        return m_counts.value("findings") ? 1 : 0;
    }

    Q_INVOKABLE void opened(const QUrl& url) { note("desktop opens " + url.toString()); }

private:
    // Work of the monkey itself (service calls, checksums, restarts) does not count as lateness.
    QScopeGuard<std::function<void()>> own()
    {
        return QScopeGuard<std::function<void()>>(
            [this, start = now()] { m_excused += now() - start; });
    }
    qint64 now() const { return m_clock.elapsed(); }
    int pick(int n) { return n <= 0 ? 0 : std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
    bool chance(int percent) { return pick(100) < percent; }
    template <class List> typename List::value_type any(const List& list)
    {
        return list.at(pick(int(list.size())));
    }
    int scaled(int ms) const { return int(ms * slow); }
    QList<QAbstractItemView*> views() const { return {q.remote, m_local, q.running}; }
    QString leftFolder() const { return m_leftPath->currentText(); }
    bool inArea(const QString& path) const
    {
        return (QDir::cleanPath(path) + '/').startsWith(m_area + '/');
    }
    QString localPath(const QModelIndex& index) const
    {
        return static_cast<QFileSystemModel*>(m_local->model())->filePath(index);
    }
    // A path (or folder) the user's action names may change for a while.
    void allow(const QString& path, int ms = 10000)
    {
        m_allowed[QDir::cleanPath(path)] = now() + scaled(ms);
    }

    // Shows the window of the next run (a new one after a quit); false once the monkey is done.
    bool launch()
    {
        const auto busy = own();
        if (m_launches++ > 0) {
            q.window.reset();
            if (m_done)
                return false;
            q.service.reset();
            note("faults off for the restart; starting again");
            m_restarting = false;
            m_comebackDeadline = now() + scaled(45000);
            m_seen.clear();
            q.window = std::make_unique<MainWindow>();
        }
        m_loggedInAt = -1;
        q.useRealDialogs();
        connect(q.engine(), &DCommandManager::di_loggedIn, this, [this] { m_loggedInAt = now(); });
        connect(q.engine(), &DCommandManager::di_dataTransferStatus, this, &Monkey::transferDone);
        q.window->resize(1000, 800);
        q.window->show();
        m_local = q.window->findChild<TreeView*>("leftTree");
        m_leftPath = q.window->findChild<QComboBox*>("leftPathBox");
        return q.findViews() && m_local && m_leftPath;
    }

    void note(const QString& text)
    {
        m_recent << QString("%1 s  %2").arg(now() / 1000.0, 7, 'f', 2).arg(text);
        if (m_recent.size() > 30)
            m_recent.removeFirst();
    }

    // The first report of each kind, with the recent actions; repeats are counted.
    void fail(const QString& kind, const QString& detail)
    {
        ++m_counts["findings"];
        if (m_findings.contains(kind))
            return;
        m_findings[kind] = kind + ": " + detail;
        std::fprintf(stderr, "\nFINDING %s\n", qPrintable(m_findings[kind]));
        s_printRecent();
        if (!keepGoing && !std::exchange(m_done, true))
            QTimer::singleShot(0, qApp, [] { QApplication::exit(1); });
    }

    struct Action
    {
        const char* name;
        int weight;
        std::function<void()> run;
    };
    const QList<Action> m_actions = {
        {"remote key", 10, [this] { press(q.remote, false); }},
        {"local key", 7, [this] { press(m_local, false); }},
        {"context menu", 6, [this] { press(any(views()), true); }},
        {"drag to local", 7, [this] { drag(q.remote, m_local); }},
        {"drag to remote", 6, [this] { drag(m_local, q.remote); }},
        {"queue button", 6, [this] { trigger("startAll startAll pauseAll removeAll"); }},
        {"row button", 9, [this] { rowButton(); }},
        {"options or pasted links", 8, [this] { trigger("&Option &Download-Links"); }},
        {"log in or out", 3, [this] { logInOrOut(); }},
        {"restart", 2, [this] { restart(); }},
        {"fault", 7, [this] { fault(); }},
        {"idle", 6, [] {}}};

    void act()
    {
        m_actTimer.start(30 + pick(400));
        if (QThread::currentThread()->loopLevel() != 1 || m_restarting || m_comebackDeadline ||
            m_done)
            return; // a dialog is open, or a restart is being checked
        if (!m_finishing && now() > minutes * 60000) {
            m_finishing = true;
            note("time is up: a last restart");
            return restart();
        }
        if (!inArea(leftFolder()))
            m_leftPath->lineEdit()->setText(m_area);
        int roll = pick(std::accumulate(m_actions.begin(), m_actions.end(), 0,
                                        [](int sum, const Action& a) { return sum + a.weight; }));
        auto action = m_actions.begin();
        while ((roll -= action->weight) >= 0)
            ++action;
        ++m_counts[QString("action: ") + action->name];
        note(action->name);
        action->run();
    }

    // Clicks one of these buttons of the window or entries of its menu bar.
    void trigger(const QString& names)
    {
        const QString name = any(names.split(' '));
        note("  " + name);
        if (auto* button = q.window->findChild<QPushButton*>(name))
            return button->click();
        for (QAction* action : q.window->menuBar()->actions())
            if (action->text() == name)
                return action->trigger();
    }

    QModelIndexList select(QAbstractItemView* view, int most)
    {
        QModelIndexList rows;
        view->clearSelection();
        const int count = view->model()->rowCount(view->rootIndex());
        for (int k = 1 + pick(most); k > 0 && count > 0; --k) {
            rows << view->model()->index(pick(count), 0, view->rootIndex());
            view->selectionModel()->setCurrentIndex(rows.last(), QItemSelectionModel::Select |
                                                                     QItemSelectionModel::Rows);
            note("  select " + rows.last().data().toString());
        }
        return rows;
    }

    // Opens the context menu of a few rows, or renames (F2), opens (F3), deletes or makes a
    // folder (F7) in a pane, or goes into and out of folders, but never out of the monkey's own
    // local folder.
    void press(QAbstractItemView* view, bool menu)
    {
        const QModelIndexList rows = select(view, 3);
        if (menu)
            return emit view->customContextMenuRequested(
                rows.isEmpty() ? QPoint(5, 5) : view->visualRect(rows.first()).center());
        QList<int> keys = {Qt::Key_F2, Qt::Key_F3, Qt::Key_Delete, Qt::Key_F7};
        if (view == q.remote || QDir::cleanPath(leftFolder()) != m_area)
            keys << Qt::Key_Backspace;
        if (view == q.remote || (!rows.isEmpty() && inArea(localPath(m_local->currentIndex()))))
            keys << Qt::Key_Return;
        const int key = any(keys);
        note("  key " + QKeySequence(key).toString());
        QApplication::setActiveWindow(q.window.get());
        view->setFocus();
        QTest::keyClick(view, Qt::Key(key));
    }

    // Drags the selection of one pane and drops it on the other (or on a remote folder).
    void drag(QAbstractItemView* from, QAbstractItemView* to)
    {
        const QModelIndexList rows = select(from, 3);
        if (rows.isEmpty())
            return;
        std::unique_ptr<QMimeData> data(from->model()->mimeData(rows));
        const QModelIndexList on = to == q.remote && chance(60) ? select(to, 1) : QModelIndexList();
        const QRect area = to->viewport()->rect();
        const QPoint pos = on.isEmpty() ? QPoint(pick(area.width()), area.height() - 1 - pick(20))
                                        : to->visualRect(on.first()).center();
        note("  drop: " + q.drop(to, data.get(), pos));
    }

    // A random row's start/stop, pause/resume or preview button.
    void rowButton()
    {
        TreeItemWidget* row = q.row(q.running, pick(q.running->topLevelItemCount()));
        if (!row)
            return;
        q.running->scrollToItem(row);
        q.window->findChild<RowWidgetPlacer*>()->placeNow();
        QToolButton* button = any(QList<QToolButton*>{
            row->startStopButton(), row->pauseResumeButton(), row->previewButton()});
        note("  " + row->text(QueueColumn::File) + ": " + (button ? button->toolTip() : "none"));
        if (button && button->isEnabled())
            button->click();
    }

    void logInOrOut()
    {
        const bool in = !q.engine()->userName().isEmpty();
        trigger(in ? "&Logout" : "&Login");
        auto* dialog = q.window->findChild<LoginDialog*>();
        if (in || !dialog || !dialog->isVisible())
            return;
        const QString account = any(Accounts);
        dialog->findChildren<QLineEdit*>().value(0)->setText(account.section('/', 0, 0));
        dialog->findChildren<QLineEdit*>().value(1)->setText(account.section('/', 1));
        note("  log in as " + account);
        ModalAnswer::click(dialog, "Login");
    }

    // Quits; the run loop then starts a new window on the same home folder.
    void restart()
    {
        m_expected.clear();
        for (DCommand* command : q.engine()->registry())
            if (!keyOf(command).isEmpty() && !ended(command->status()))
                m_expected << keyOf(command);
        m_expectedUser = q.engine()->userName();
        m_restarting = true;
        note(QString("  quit with %1 unfinished transfers").arg(m_expected.size()));
        trigger("&Exit");
    }

    // Switches a fault of the service on (for 1-3 requests or all), or all of them off.
    void fault()
    {
        const auto busy = own();
        if (chance(25))
            return q.service.reset();
        const QJsonArray spec = any(Faults).toArray();
        QJsonObject fault = spec[2].toObject();
        fault.insert("kind", spec[0]);
        fault.insert("action", spec[1]);
        fault.insert("times", chance(20) ? 0 : 1 + pick(3)); // 0: every request
        note("  " + QJsonDocument(fault).toJson(QJsonDocument::Compact));
        q.service.addFault(fault);
    }

    void dialogAppeared(QWidget* dialog)
    {
        ++m_counts["dialogs"];
        auto* box = qobject_cast<QMessageBox*>(dialog);
        const QString text = dialog->windowTitle() + (box ? ": " + box->text().left(100) : "");
        note("dialog '" + text + "'");
        // A dialog may open another from the user's own click in it (a refused value in
        // Options); anything else that stacks two modal dialogs came from the program itself.
        const int open = ModalAnswer::openCount();
        if (open > 1 && (!m_clicked || m_clicked == dialog))
            fail("two modal dialogs", QString("'%1' over %2 more").arg(text).arg(open - 1));
    }

    // Picks one of a menu's actions (or none); types into a dialog's fields, pastes links, sets
    // its boxes and clicks one of its buttons.
    void answer(QWidget* widget)
    {
        auto* dialog = qobject_cast<QDialog*>(widget);
        QList<QAction*> usable;
        for (QAction* action : widget->actions())
            if (!action->isSeparator() && action->isEnabled() && action->isVisible())
                usable << action;
        if (auto* menu = qobject_cast<QMenu*>(widget); menu && !usable.isEmpty() && chance(90)) {
            menu->setActiveAction(any(usable));
            note("  menu: " + menu->activeAction()->text());
            return QTest::keyClick(menu, Qt::Key_Return);
        }
        if (!dialog)
            return void(widget->close()); // a menu left without a choice
        if (!dialog->isVisible())
            return;
        const QString title = dialog->windowTitle();
        // Deleting, renaming or making local files is the user's own change of them, and so is
        // moving a file out of a download's way ("Rename"; its name shows in no dialog).
        if (title == "Confirm delete..")
            for (const QModelIndex& row : m_local->selectionModel()->selectedRows(0))
                allow(localPath(row));
        if (title == "Enter new name")
            allow(leftFolder(), 3000);
        QStringList typed;
        for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
            // In Options only the limits and caps: the proxy and the player path stay.
            bool number = false;
            edit->text().toDouble(&number);
            if (edit->isReadOnly() || !edit->isEnabled() || chance(30) ||
                (title == "Preferences..." && !number && !Typed.contains(edit->text())))
                continue;
            typed << any(Typed);
            if (title.contains("name", Qt::CaseInsensitive)) {
                allow(leftFolder() + '/' + edit->text());
                allow(leftFolder() + '/' + typed.last());
            }
            edit->setText(typed.last());
        }
        // Pasted text: one to four links, most of them the service's own.
        for (QPlainTextEdit* text : dialog->findChildren<QPlainTextEdit*>()) {
            const auto busy = own();
            const QString user = q.engine()->userName();
            const QJsonObject files = q.service.files(user.isEmpty() ? "alice" : user);
            QStringList links;
            for (int k = 1 + pick(4); k > 0; --k)
                links << (chance(60) && !files.isEmpty()
                              ? files.value(any(files.keys())).toObject().value("link").toString()
                              : any(BadLinks));
            text->setPlainText(typed.emplace_back(links.join(chance(70) ? "\n" : " ")));
        }
        // Check boxes, radio buttons and checkable groups (but the proxy's).
        for (QWidget* box : dialog->findChildren<QWidget*>()) {
            const bool radio = qobject_cast<QRadioButton*>(box);
            if (!box->property("checkable").toBool() || qobject_cast<QPushButton*>(box) ||
                box->property("title").toString() == "Proxy" || !chance(radio ? 50 : 25))
                continue;
            box->setProperty("checked", radio || !box->property("checked").toBool());
            typed << box->property("text").toString() + box->property("title").toString() + " " +
                         box->property("checked").toString();
        }
        QList<QPushButton*> buttons = dialog->findChildren<QPushButton*>();
        buttons.removeIf([](QPushButton* b) { return !b->isVisible() || !b->isEnabled(); });
        QPushButton* button = buttons.isEmpty() || chance(8) ? nullptr : any(buttons);
        note(QString("'%1' -> %2 %3")
                 .arg(title, button ? button->text() : "close", typed.join(" | ")));
        // A dialog that the click opens is the user's doing.
        const QPointer<QWidget> outer = std::exchange(m_clicked, dialog);
        button ? button->click() : dialog->reject();
        m_clicked = outer;
    }

    void tick()
    {
        s_heartbeat = QDeadlineTimer::current().deadline();
        const qint64 late =
            now() - std::exchange(m_lastTick, now()) - 10 - std::exchange(m_excused, 0);
        if (m_restarting)
            return;
        m_maxLate = std::max(m_maxLate, late);
        if (late > scaled(LateLimitMs))
            fail("event loop late", QString("%1 ms late").arg(late));
        if (now() - m_lastCheck < 500)
            return;
        const auto busy = own();
        m_lastCheck = now();
        ++m_counts["checks"];
        checkFiles();
        if (QThread::currentThread()->loopLevel() == 1)
            checkRows(); // no window function is half-way through
        if (m_comebackDeadline)
            checkComeback();
    }

    // Local files change only by a finished download or the user's own action (downloads in
    // progress aside).
    void checkFiles()
    {
        QMap<QString, QString> files; // path -> size and time
        for (QDirIterator it(m_area, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext();) {
            const QFileInfo info(it.next());
            if (!info.fileName().contains(".part"))
                files[info.filePath()] = QString::number(info.size()) + " bytes, modified " +
                                         info.lastModified().toString(Qt::ISODateWithMs);
        }
        QMap<QString, QString> both = files;
        both.insert(m_files);
        for (const QString& path : both.keys()) {
            const QString was = m_files.value(path, "missing"), is = files.value(path, "missing");
            bool allowed = false;
            for (auto it = m_allowed.cbegin(); it != m_allowed.cend(); ++it)
                allowed |= it.value() >= now() && (path + '/').startsWith(it.key() + '/');
            if (was != is && !allowed)
                fail("local file changed", path.mid(m_area.size()) + ": " + was + " -> " + is);
        }
        m_files = files;
    }

    // Each running row belongs to a live transfer and each transfer has one row; disagreements
    // that outlast the queued reports are findings.
    void checkRows()
    {
        QStringList problems;
        QSet<int> rows;
        for (int i = 0; i < q.running->topLevelItemCount(); ++i) {
            const TreeItemWidget* row = q.row(q.running, i);
            const int id = row->commandId(), status = q.engine()->status(id);
            if (rows.contains(id))
                problems << QString("two rows for one transfer: id %1").arg(id);
            if (status == StatusUnknown || ended(status))
                problems << "row of no live transfer: " + row->text(QueueColumn::File);
            rows << id;
        }
        QSet<QString> keys;
        for (DCommand* command : q.engine()->registry()) {
            const QString key = keyOf(command);
            if (!key.isEmpty() && !rows.contains(command->id()))
                problems << "transfer without a row: " + key;
            if (!key.isEmpty() && keys.contains(key))
                problems << "transfer twice: " + key;
            keys << key;
        }
        QHash<QString, qint64> since;
        for (const QString& problem : std::as_const(problems)) {
            since[problem] = m_disagreeing.value(problem, now());
            if (now() - since[problem] > scaled(PersistMs))
                fail(problem.section(':', 0, 0), problem.section(':', 1).trimmed());
        }
        m_disagreeing = since;
    }

    // After a restart every transfer that was unfinished is back once the login's restore ends.
    void checkComeback()
    {
        for (DCommand* command : q.engine()->registry())
            m_seen << keyOf(command);
        const bool settled =
            m_loggedInAt >= 0 && !q.engine()->isRestoring() && now() - m_loggedInAt > scaled(2000);
        if (!settled && now() < m_comebackDeadline)
            return;
        m_comebackDeadline = 0;
        if (!settled)
            fail("no login after a restart", QString("%1 s").arg(scaled(45000) / 1000));
        else if (q.engine()->userName() == m_expectedUser) // else the stored account was refused
            for (const QString& key : std::as_const(m_expected)) {
                const bool upload = key.startsWith("upload");
                const QString path = key.section(' ', 1, upload ? -3 : -1);
                // A source the user deleted or a folder the user renamed cannot come back; nor
                // can a download whose target holds a file already (the restore takes one not
                // begun, of the same size, for one killed just after its final rename).
                const bool possible =
                    upload ? QFileInfo::exists(path)
                           : QFileInfo(path).dir().exists() && !QFileInfo::exists(path);
                if (m_seen.contains(key))
                    ++m_counts["transfers back after a restart"];
                else if (possible)
                    fail("unfinished transfer lost in a restart", key);
            }
        note("restart checked");
        if (m_finishing && !std::exchange(m_done, true))
            QApplication::exit(0);
    }

    // A finished download holds the service's bytes, a finished upload the local file's (unless
    // it is a download's partial file, still being written).
    void transferDone(int id, const QString&, const QString& lFile, DTransferStatus status)
    {
        const auto busy = own();
        DCommand* command = q.engine()->findCommand(id);
        // Ended between the look at the unfinished transfers and the quit (at the event loop's
        // next turn): it has nothing to come back as.
        if (m_restarting && (status == TransferDone || status == TransferError))
            m_expected.removeAll(keyOf(command));
        // Back, and perhaps ended at once (its remote file deleted before the restart): the
        // error list shows it, the registry no longer does.
        if (command && !m_restarting)
            m_seen << keyOf(command);
        auto* download = qobject_cast<DDownloadCommand*>(command);
        auto* upload = qobject_cast<DUploadCommand*>(command);
        if (status != TransferDone || (!download && !upload))
            return;
        const QString local = download ? QFileInfo(download->targetPath()).dir().filePath(lFile)
                                       : upload->localFilePath();
        QString served; // the engine's user name is the last one tried, not the transfer's
        for (const QString user : {"alice", "bob"})
            served += download
                          ? q.service.fileSha256(user, download->fileId())
                          : q.service.ftpFile(user, upload->serverFileName())["sha256"].toString();
        const QString mine = upload && local.contains(".part") ? "" : StandIn::sha256Of(local);
        note((download ? "download done: " : "upload done: ") + local);
        if (download)
            allow(local, 1500); // until the next look at the files
        if (download && !inArea(local))
            fail("download outside its folder", local + " for " + download->targetPath());
        if (served.isEmpty() || mine.isEmpty())
            ++m_counts["finished transfers not comparable"]; // deleted meanwhile
        else if (served != mine)
            fail("transfer not exact", local + (upload ? " as " + upload->serverFileName() : ""));
        else
            ++m_counts[download ? "downloads exact" : "uploads exact"];
    }

    std::mt19937 m_rng;
    QueueWindow q; // the tests' accounts: alice, and bob whose downloads are refused
    ModalAnswer::Watch m_watch{
        [this](QWidget* widget) { QTimer::singleShot(0, widget, [=] { answer(widget); }); }};
    const QString m_area = q.home.path() + "/local";
    TreeView* m_local = nullptr;
    QComboBox* m_leftPath = nullptr;
    QElapsedTimer m_clock;
    QTimer m_tickTimer, m_actTimer;
    qint64 m_lastTick = 0, m_lastCheck = 0, m_excused = 0, m_maxLate = 0;
    QStringList m_recent;
    QMap<QString, QString> m_findings; // kind -> first report
    QPointer<QWidget> m_clicked;       // the dialog being clicked in now
    QMap<QString, QString> m_files;
    // Path (or folder) -> until when it may change; row/transfer problem -> first seen.
    QHash<QString, qint64> m_allowed, m_disagreeing;
    QMap<QString, int> m_counts; // actions, dialogs, checks, results, findings
    int m_launches = 0;
    bool m_restarting = false, m_finishing = false, m_done = false;
    qint64 m_comebackDeadline = 0; // while a restart is checked
    QStringList m_expected;        // unfinished transfers before the restart, of this account
    QString m_expectedUser;
    QSet<QString> m_seen; // transfers seen since the restart
    qint64 m_loggedInAt = -1;
};

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("FERRYDESK_TIME_SCALE", "0.1");             // retries and countdowns in seconds
    qputenv("FERRYDESK_SHUTDOWN_COMMAND", "/bin/true"); // "power off" does nothing
    qunsetenv("FERRYDESK_NONINTERACTIVE");
    DCurl::globalInit();
    // The offscreen platform's notes and the engine's debug lines would bury the findings.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg && !text.startsWith("This plugin does not support"))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QApplication app(argc, argv);
    Monkey monkey;
    const QStringList args = QCoreApplication::arguments();
    const auto option = [&](const char* name, double fallback) {
        const int at = args.indexOf(name);
        return at > 0 ? args.value(at + 1).toDouble() : fallback;
    };
    monkey.seed = unsigned(option("--seed", monkey.seed));
    monkey.minutes = option("--minutes", 2);
    monkey.slow = qMax(1.0, option("--slow", 1));
    monkey.keepGoing = args.contains("--keep-going");
    std::printf("monkey: seed %u, %.1f minutes, time limits x%.1f\n", monkey.seed, monkey.minutes,
                monkey.slow);
    if (__sanitizer_set_death_callback) // a sanitizer's report ends with the last actions
        __sanitizer_set_death_callback([] { s_printRecent(); });
    // A stuck event loop cannot report itself: this thread does, and sends the main thread
    // SIGSEGV so that the sanitizer prints where it is stuck.
    std::thread([main = pthread_self()] {
        while (s_heartbeat == 0 || QDeadlineTimer::current().deadline() - s_heartbeat < HangMs)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        std::fprintf(stderr, "\nFINDING event loop stuck for %d s\n", HangMs / 1000);
        pthread_kill(main, SIGSEGV);
    }).detach();
    return monkey.run();
}

#include "monkey.moc"
