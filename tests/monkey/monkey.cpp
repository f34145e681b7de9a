// A restless user for the main window. Against the stand-in service, with its faults switched on
// and off, it presses keys, opens context menus, drags between the panes, clicks the queue's
// buttons, pastes links, changes the options, logs out and in (also as another account) and quits
// and starts again with the same home folder (a new window in the same process); every dialog
// gets a random answer. All along it checks that the window never stacks two modal dialogs on its
// own, that its event loop is never late, that the running list holds one row per live transfer,
// that local files change only by finished downloads or the user's own actions, that finished
// transfers are exact and that unfinished ones come back after a restart.
//
//   monkey [--seed S] [--minutes M] [--slow F] [--keep-going] [--trace]
//
// --slow scales every time limit (the 250 ms bound on the event loop among them) for slower
// builds. The same seed makes the same choices; the network's timing still varies. A finding, a
// crash or a sanitizer report prints the seed and the last actions; the exit code is then 1.

#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"
#include "ui/logindialog.h"
#include "ui/mainwindow.h"
#include "ui/rowwidgetplacer.h"
#include "ui/treeitemwidget.h"
#include "ui/treeview.h"
#include "ui/treewidget.h"

#include <QtWidgets>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <numeric>
#include <pthread.h>
#include <random>
#include <thread>

extern "C" void __sanitizer_set_death_callback(void (*)()) __attribute__((weak));

namespace {

constexpr int TickMs = 10;       // the lateness probe's period
constexpr int LateLimitMs = 250; // the event loop may be this late at most
constexpr int PersistMs = 3000;  // rows and transfers may disagree this long (queued reports)
constexpr int AllowMs = 10000;   // files a user action names may change this long after it
constexpr int HangMs = 60000;    // an event loop silent this long is stuck
constexpr int RecentCount = 30;  // actions printed with a finding

// Drops, refusals, slow links, quota, max clients and a service that stops answering.
const QStringList Faults = {
    R"({"kind": "download", "action": "drop"})",
    R"({"kind": "download", "action": "cut", "bytes": 100000})",
    R"({"kind": "download", "action": "throttle", "kbps": 64})",
    R"({"kind": "download", "action": "stall", "bytes": 50000, "seconds": 4})",
    R"({"kind": "download", "action": "missing"})",
    R"({"kind": "download", "action": "ignore_range"})",
    R"({"kind": "download", "action": "refuse", "text": "Forbidden"})",
    R"({"kind": "dlfile", "action": "refuse", "text": "File not found"})",
    R"({"kind": "dlfile", "action": "answer", "fields": {"size": "abc"}})",
    R"({"kind": "folder", "action": "drop"})",
    R"({"kind": "listing", "action": "delay", "seconds": 3})",
    R"({"kind": "login", "action": "refuse", "text": "Account locked"})",
    R"({"kind": "rename_f", "action": "refuse", "text": "Not allowed"})",
    R"({"kind": "upload_done", "action": "refuse", "text": "Size mismatch"})",
    R"({"kind": "checklink", "action": "refuse", "text": "Error: file not found"})",
    R"({"kind": "ftp-login", "action": "max_clients"})",
    R"({"kind": "ftp-login", "action": "login_denied"})",
    R"({"kind": "ftp-stor", "action": "cut", "bytes": 60000})",
    R"({"kind": "ftp-stor", "action": "quota"})",
    R"({"kind": "ftp-stor", "action": "throttle", "kbps": 48})",
    R"({"kind": "ftp-size", "action": "silent", "seconds": 5})",
    R"({"kind": "folder", "action": "delay", "seconds": 15})",
    R"({"kind": "dlfile", "action": "delay", "seconds": 15})"};

// What the user types: account pairs, names, limits, speeds and links that are no good.
const QList<QStringList> Accounts = {{"alice", "secret"}, {"alice", "secret"},
                                     {"alice", "secret"}, {"bob", "pw/with/slash"},
                                     {"alice", "wrong"},  {"nobody", "x"}};
const QStringList Names = {
    "renamed.bin", "New folder", "a b.txt", "x",       "..",
    "a/b",         "",           "Docs",    "big.bin", QString::fromUtf8("\xc3\xbcn\xc3\xaf.txt")};
const QStringList Counts = {"0", "1", "2", "3", "4", "10", "12", "-3", "x", ""};
const QStringList Speeds = {"0", "20", "100", "500", "2000", "abc", "-5"};
const QStringList BadLinks = {"https://127.0.0.1/f/99999/gone.file",
                              "https://127.0.0.1/f/12/short.file",
                              "https://elsewhere.example/f/201/big.bin.file", "not a link at all"};

std::atomic<qint64> s_heartbeat{0};
std::atomic<bool> s_stopWatchdog{false};
std::function<void()> s_printRecent;

qint64 steadyMs()
{
    return QDeadlineTimer::current().deadline();
}

using Files = std::map<QString, QPair<qint64, qint64>>; // path -> size, modification time

} // namespace

class Monkey : public QObject
{
    Q_OBJECT
public:
    unsigned seed = 1;
    double minutes = 2, slow = 1;
    bool keepGoing = false, trace = false;

    // The stand-in, a home folder with files to upload, and the probes.
    bool setUp()
    {
        m_rng.seed(seed);
        if (!m_service.start())
            return false;
        m_service.applyEnvironment();
        m_area = m_home.path() + "/local";
        const QStringList files = {"u0.bin",    "u1.bin",         "u2.bin",        "up/u3.bin",
                                   "up/u4.bin", "up/deep/u5.bin", "up/deep/u6.bin"};
        const int sizes[] = {20000, 700000, 3000000, 150000, 5000000, 60000, 1500000};
        for (int i = 0; i < files.size(); ++i) {
            QByteArray bytes(sizes[i], Qt::Uninitialized);
            for (char& c : bytes)
                c = char(m_rng());
            writeFile(m_area + '/' + files[i], bytes);
        }
        QDir().mkpath(m_area + "/in");
        QSettings settings(DCommandManager::settingsFilePath(), QSettings::IniFormat);
        settings.setValue("LastUserName", "alice");
        settings.setValue("LastPassWord", "secret");
        settings.setValue("ShowDownloadList", false);
        settings.setValue("leftDirectory", m_area);
        settings.setValue("VLCPath", "/bin/true"); // the preview starts a player that does nothing
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "opened");
        m_files = scanArea();
        s_printRecent = [this] { printRecent(); };
        const auto every = [this](QTimer& timer, int ms, void (Monkey::*slot)()) {
            connect(&timer, &QTimer::timeout, this, slot);
            timer.setTimerType(Qt::PreciseTimer);
            timer.start(ms);
        };
        m_clock.start();
        every(m_tickTimer, TickMs, &Monkey::tick);
        every(m_answerTimer, 25, &Monkey::answerTick);
        every(m_checkTimer, 500, &Monkey::check);
        every(m_actTimer, 200, &Monkey::act);
        return true;
    }

    // Builds the window of the next run (after a quit); false once the monkey is done.
    bool launch()
    {
        Own own(*this);
        if (m_window) {
            m_window.reset();
            if (m_done)
                return false;
            m_service.reset();
            note("faults off for the restart; starting again");
            m_phase = Comeback;
            m_comebackDeadline = now() + scaled(45000);
            m_seen.clear();
            ++m_restarts;
        }
        m_loggedInAt = -1;
        m_window = std::make_unique<MainWindow>();
        m_window->resize(1000, 800);
        m_window->show();
        m_engine = m_window->engine();
        m_remote = m_window->findChild<TreeWidget*>("rightTree");
        m_local = m_window->findChild<TreeView*>("leftTree");
        m_running = m_window->findChild<QTreeWidget*>("runningList");
        m_leftPath = m_window->findChild<QComboBox*>("leftPathBox");
        m_rightPath = m_window->findChild<QComboBox*>("rightPathBox");
        connect(m_engine, &DCommandManager::di_loggedIn, this, [this] { m_loggedInAt = now(); });
        connect(m_engine, &DCommandManager::di_dataTransferStatus, this, &Monkey::transferDone);
        return true;
    }

    int report()
    {
        s_stopWatchdog = true;
        for (const char* scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(scheme);
        std::printf("monkey: seed %u, %.0f s, %d actions, %d dialogs, %d checks, %d faults armed, "
                    "%d restarts (%d transfers came back), %d downloads and %d uploads exact, "
                    "%d finished transfers not comparable, event loop late by %lld ms at most\n",
                    seed, now() / 1000.0, m_actions, m_dialogs, m_checks, m_faults, m_restarts,
                    m_comebacks, m_downloadsExact, m_uploadsExact, m_unverified, m_maxLate);
        int total = 0;
        for (const auto& finding : std::as_const(m_findings))
            total += finding.first;
        std::printf("findings: %d\n", total);
        for (auto it = m_findings.cbegin(); it != m_findings.cend(); ++it)
            std::printf("  %dx %s\n", it->first, qPrintable(it->second));
        std::fflush(stdout);
        return m_findings.isEmpty() ? 0 : 1;
    }

    void printRecent() const
    {
        std::fprintf(stderr, "seed %u; the last %zu actions:\n", seed, m_recent.size());
        for (const QByteArray& line : m_recent)
            std::fprintf(stderr, "  %s\n", line.constData());
        std::fflush(stderr);
    }

public slots:
    void opened(const QUrl& url) { note("desktop opens " + url.toString()); }

private:
    // Work of the monkey itself (service calls, checksums, restarts) does not count as lateness.
    struct Own
    {
        Monkey& m;
        QElapsedTimer t;
        explicit Own(Monkey& monkey) : m(monkey) { t.start(); }
        ~Own() { m.m_excused += t.elapsed(); }
    };
    struct Action
    {
        const char* name;
        int weight;
        std::function<void(Monkey&)> run;
    };
    static const QList<Action> Actions;

    int pick(int n) { return n <= 0 ? 0 : std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
    bool chance(int percent) { return pick(100) < percent; }
    template <class List> auto any(const List& list) { return list.at(pick(int(list.size()))); }
    qint64 now() const { return m_clock.elapsed(); }
    int scaled(int ms) const { return int(ms * slow); }

    void note(const QString& text)
    {
        m_recent.push_back(QString("%1 s  %2").arg(now() / 1000.0, 7, 'f', 2).arg(text).toUtf8());
        if (m_recent.size() > RecentCount)
            m_recent.pop_front();
        if (trace)
            std::fprintf(stderr, "%s\n", m_recent.back().constData());
    }

    // One report per kind and beginning of its detail (without numbers), with the recent
    // actions; repeats are counted for the summary.
    void fail(const QString& kind, const QString& detail)
    {
        auto& finding = m_findings[kind + ": " + detail.left(30).remove(QRegularExpression("\\d"))];
        if (finding.first++ > 0)
            return;
        finding.second = kind + ": " + detail;
        std::fprintf(stderr, "\nFINDING %s: %s\n", qPrintable(kind), qPrintable(detail));
        printRecent();
        if (!keepGoing && !m_done) {
            m_done = true;
            QTimer::singleShot(0, qApp, [] { QApplication::exit(1); });
        }
    }

    // --- The user ----------------------------------------------------------------------------

    void act()
    {
        m_actTimer.start(30 + pick(400));
        if (QThread::currentThread()->loopLevel() != 1 || m_phase != Acting || m_done)
            return; // a dialog or menu is open, or a restart is being checked
        if (!m_finishing && now() > minutes * 60000) {
            m_finishing = true;
            note("time is up: a last restart");
            restart();
            return;
        }
        if (!inArea(leftFolder()))
            m_leftPath->lineEdit()->setText(m_area);
        int roll = pick(std::accumulate(Actions.begin(), Actions.end(), 0,
                                        [](int sum, const Action& a) { return sum + a.weight; }));
        for (const Action& action : Actions) {
            if ((roll -= action.weight) >= 0)
                continue;
            ++m_actions;
            note(action.name);
            action.run(*this);
            return;
        }
    }

    // Selects up to `most` random cells of a view (whole rows where the view selects rows).
    QModelIndexList select(QAbstractItemView* view, int most)
    {
        QModelIndexList cells;
        view->clearSelection();
        const QModelIndex root = view->rootIndex();
        const int rows = view->model()->rowCount(root);
        for (int k = 1 + pick(most); k > 0 && rows > 0; --k) {
            const QModelIndex cell =
                view->model()->index(pick(rows), view == m_local ? 0 : pick(4), root);
            view->selectionModel()->setCurrentIndex(
                cell, view == m_remote ? QItemSelectionModel::Select
                                       : QItemSelectionModel::Select | QItemSelectionModel::Rows);
            cells << cell.siblingAtColumn(0);
            note("  select " + (view == m_running ? cell.siblingAtColumn(QueueColumn::File)
                                                  : cell.siblingAtColumn(0))
                                   .data()
                                   .toString());
        }
        return cells;
    }

    void press(QWidget* widget, int key)
    {
        note("  key " + QKeySequence(key).toString());
        QApplication::setActiveWindow(m_window.get());
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key(key));
    }

    void localKey()
    {
        const QModelIndexList rows = select(m_local, 3);
        QList<int> keys = {Qt::Key_F2, Qt::Key_F3, Qt::Key_Delete, Qt::Key_F7};
        // Backspace and activation never lead out of the monkey's own folder.
        if (QDir::cleanPath(leftFolder()) != m_area)
            keys << Qt::Key_Backspace;
        if (!rows.isEmpty() && inArea(localPath(m_local->currentIndex())))
            keys << Qt::Key_Return;
        press(m_local, any(keys));
    }

    void contextMenu()
    {
        QAbstractItemView* views[] = {m_remote,
                                      m_local,
                                      m_running,
                                      m_running,
                                      m_window->findChild<QTreeWidget*>("errorList"),
                                      m_window->findChild<QTreeWidget*>("successList")};
        QAbstractItemView* view = views[pick(6)];
        const QModelIndexList rows = chance(85) ? select(view, 3) : QModelIndexList();
        note("  menu of " + view->objectName());
        emit view->customContextMenuRequested(
            rows.isEmpty() ? QPoint(5, 5) : view->visualRect(rows.first()).center());
    }

    // Drags the selection of one view and drops it on another (or on a folder of the remote
    // pane) the way the toolkit delivers a drop.
    void drag(QAbstractItemView* from, QAbstractItemView* to)
    {
        const QModelIndexList rows = select(from, 3);
        if (rows.isEmpty())
            return;
        std::unique_ptr<QMimeData> data(from->model()->mimeData(rows));
        const QModelIndexList targets =
            to == m_remote && chance(60) ? select(to, 1) : QModelIndexList();
        const QRect area = to->viewport()->rect();
        const QPoint pos = targets.isEmpty()
                               ? QPoint(pick(area.width()), area.height() - 1 - pick(20))
                               : to->visualRect(targets.first()).center();
        note(QString("  drop on %1 at %2,%3").arg(to->objectName()).arg(pos.x()).arg(pos.y()));
        QDragEnterEvent enter(pos, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(to->viewport(), &enter);
        QDragMoveEvent move(pos, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted())
            QApplication::sendEvent(to->viewport(), &move);
        QDropEvent drop(pos, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted() && move.isAccepted())
            QApplication::sendEvent(to->viewport(), &drop);
    }

    void rowButton()
    {
        const QModelIndexList rows = select(m_running, 0);
        if (rows.isEmpty())
            return;
        auto* row = static_cast<TreeItemWidget*>(m_running->topLevelItem(rows.first().row()));
        m_running->scrollToItem(row);
        m_window->findChild<RowWidgetPlacer*>()->placeNow();
        QToolButton* buttons[] = {row->startStopButton(), row->pauseResumeButton(),
                                  row->previewButton()};
        QToolButton* button = buttons[pick(3)];
        note(QString("  button '%1' (status %2)")
                 .arg(button ? button->toolTip() : "none")
                 .arg(m_engine->status(row->commandId())));
        if (button && button->isEnabled())
            button->click();
    }

    QAction* menuAction(const QString& text) const
    {
        for (QAction* action : m_window->menuBar()->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }

    void loginOrOut()
    {
        if (QAction* logout = menuAction("&Logout")) {
            logout->trigger();
            return;
        }
        menuAction("&Login")->trigger();
        auto* dialog = m_window->findChild<LoginDialog*>();
        if (!dialog || !dialog->isVisible())
            return;
        const QStringList account = any(Accounts);
        dialog->findChildren<QLineEdit*>().value(0)->setText(account[0]);
        dialog->findChildren<QLineEdit*>().value(1)->setText(account[1]);
        if (chance(30))
            dialog->findChild<QCheckBox*>()->toggle();
        note("  log in as " + account.join('/'));
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text() == "Login")
                button->click();
    }

    // Quits as a user does ("Exit" or closing the window); the run loop then starts a new window.
    void restart()
    {
        m_expected.clear();
        for (DCommand* command : m_engine->registry())
            if (!keyOf(command).isEmpty() && command->status() != StatusFailed &&
                command->status() != StatusFinished && command->status() != StatusAborted)
                m_expected << keyOf(command);
        m_expectedUser = m_engine->userName();
        m_phase = Restarting;
        const bool exit = chance(50);
        note(QString("  %1 with %2 unfinished transfers of %3")
                 .arg(exit ? "Exit" : "close the window")
                 .arg(m_expected.size())
                 .arg(m_expectedUser));
        if (exit) {
            menuAction("&Exit")->trigger();
            return;
        }
        m_window->close();
        QTimer::singleShot(scaled(2000), this, [this] {
            if (m_phase == Restarting && m_window && m_window->isVisible())
                QApplication::exit(0);
        });
    }

    void faultOn()
    {
        Own own(*this);
        QJsonObject fault = QJsonDocument::fromJson(any(Faults).toUtf8()).object();
        fault.insert("times", chance(20) ? 0 : 1 + pick(3));
        note("  fault " + QString::fromUtf8(QJsonDocument(fault).toJson(QJsonDocument::Compact)));
        m_service.addFault(fault);
        ++m_faults;
    }

    void localFolder()
    {
        const QString folder = any(areaFolders());
        note("  local folder ." + folder.mid(m_area.size()));
        m_leftPath->lineEdit()->setText(folder);
    }

    QString leftFolder() const { return m_leftPath->currentText(); }
    QString localPath(const QModelIndex& index) const
    {
        return static_cast<QFileSystemModel*>(m_local->model())->filePath(index);
    }
    bool inArea(const QString& path) const
    {
        const QString clean = QDir::cleanPath(path);
        return clean == m_area || clean.startsWith(m_area + '/');
    }
    QStringList areaFolders() const
    {
        QStringList folders = {m_area};
        QDirIterator it(m_area, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            folders << it.next();
        return folders;
    }

    // --- Dialogs -----------------------------------------------------------------------------

    // Every 25 ms: a popup menu or the top modal dialog gets its answer once its delay is over.
    // The answer runs from the event loop, so that the loops it opens never block this timer.
    void answerTick()
    {
        QWidget* popup = QApplication::activePopupWidget();
        QWidget* modal = popup ? nullptr : QApplication::activeModalWidget();
        if (popup != m_popup || modal != m_modal) {
            m_popup = popup;
            m_modal = modal;
            if (modal)
                dialogAppeared(modal);
            m_due = now() + (popup || chance(70) ? 30 + pick(400) : 400 + pick(2600));
        }
        if ((!popup && !modal) || now() < m_due)
            return;
        m_due = now() + 500; // asked again when the answer does not close it
        QMetaObject::invokeMethod(
            this,
            [this, widget = QPointer<QWidget>(popup ? popup : modal)] {
                auto* menu = qobject_cast<QMenu*>(widget);
                if (menu)
                    answerMenu(menu);
                else if (widget && widget == QApplication::activePopupWidget())
                    widget->close();
                else if (widget && widget->isVisible())
                    answerDialog(widget);
            },
            Qt::QueuedConnection);
    }

    void dialogAppeared(QWidget* dialog)
    {
        ++m_dialogs;
        const auto text = [](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            return "'" + widget->windowTitle() + (box ? ": " + box->text().left(100) : "") + "'";
        };
        note("dialog " + text(dialog));
        QStringList open;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->isVisible() && widget->isModal())
                open << text(widget);
        // A dialog may open another from the user's own click in it (a refused value in
        // Options); anything else that stacks two modal dialogs came from the program itself.
        bool byClick = false;
        for (const QPointer<QWidget>& clicked : std::as_const(m_clicks))
            byClick = byClick || (clicked && clicked != dialog);
        if (open.size() > 1 && !byClick)
            fail("two modal dialogs", open.join(" and "));
    }

    void answerMenu(QMenu* menu)
    {
        QList<QAction*> usable;
        for (QAction* action : menu->actions())
            if (!action->isSeparator() && action->isEnabled() && action->isVisible())
                usable << action;
        if (usable.isEmpty() || chance(10)) {
            note("menu closed");
            menu->close();
            return;
        }
        QAction* action = any(usable);
        note("menu: " + action->text());
        menu->setActiveAction(action);
        QTest::keyClick(menu, Qt::Key_Return);
    }

    void clickIn(QWidget* dialog, const std::function<void()>& click)
    {
        m_clicks.append(dialog);
        click();
        m_clicks.removeLast();
    }

    void answerDialog(QWidget* dialog)
    {
        const QString title = dialog->windowTitle();
        if (auto* progress = qobject_cast<QProgressDialog*>(dialog)) {
            if (chance(40)) {
                note("cancel '" + title + "'");
                clickIn(dialog, [progress] { progress->cancel(); });
            }
            return;
        }
        auto* asDialog = qobject_cast<QDialog*>(dialog);
        if (title == "Confirm delete..") // deleting local files is the user's own change of them
            for (const QModelIndex& row : m_local->selectionModel()->selectedRows(0))
                allow(localPath(row));
        const QStringList typed = fill(dialog, title);
        QList<QPushButton*> buttons;
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->isVisible() && button->isEnabled())
                buttons << button;
        if (!dialog->isVisible() || !asDialog)
            return; // browsing in the folder chooser ended it meanwhile
        if (buttons.isEmpty() || chance(8)) {
            note(QString("close '%1' %2").arg(title, typed.join(" | ")));
            clickIn(dialog, [asDialog] { asDialog->reject(); });
            return;
        }
        QPushButton* button = any(buttons);
        note(QString("'%1' -> %2 %3").arg(title, button->text(), typed.join(" | ")));
        clickIn(dialog, [button] { button->click(); });
    }

    // Types into the dialog's fields, ticks its boxes and picks in its lists; answers what it did.
    QStringList fill(QWidget* dialog, const QString& title)
    {
        QStringList typed;
        const bool options = title == "Preferences...";
        const bool speed = title.startsWith("Set transfer speed");
        // So is the existing file that a download's "Rename" moves out of its way (its name shows
        // in no dialog).
        if (title == "Enter new name")
            allow(leftFolder(), 3000);
        for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
            // In Options only the limits and caps: the proxy and the player path stay.
            bool number = false;
            edit->text().toDouble(&number);
            if (edit->isReadOnly() || !edit->isEnabled() || chance(30) ||
                (options && !number && !Counts.contains(edit->text()) &&
                 !Speeds.contains(edit->text())))
                continue;
            const QString value = options ? any(chance(50) ? Counts : Speeds)
                                  : speed ? any(Speeds)
                                          : any(Names);
            // A local rename or new folder is the user's own change.
            if (title.contains("name", Qt::CaseInsensitive)) {
                allow(leftFolder() + '/' + edit->text());
                allow(leftFolder() + '/' + value);
            }
            edit->setText(value);
            typed << "'" + value + "'";
        }
        for (QPlainTextEdit* text : dialog->findChildren<QPlainTextEdit*>()) {
            text->setPlainText(pasteText());
            typed << text->toPlainText().simplified();
        }
        for (QAbstractButton* box : dialog->findChildren<QAbstractButton*>()) {
            if (qobject_cast<QCheckBox*>(box) && chance(25)) {
                box->toggle();
                typed << box->text() + (box->isChecked() ? " on" : " off");
            } else if (qobject_cast<QRadioButton*>(box) && chance(50)) {
                box->setChecked(true);
                typed << box->text();
            }
        }
        for (QGroupBox* group : dialog->findChildren<QGroupBox*>())
            if (group->isCheckable() && group->title() != "Proxy" && chance(25)) {
                group->setChecked(!group->isChecked());
                typed << group->title() + (group->isChecked() ? " on" : " off");
            }
        for (QListWidget* list : dialog->findChildren<QListWidget*>()) {
            if (list->count() == 0)
                continue;
            const int row = pick(list->count());
            list->setCurrentRow(row);
            typed << "pick " + list->item(row)->text();
            if (chance(30)) {
                note(QString("'%1': open %2").arg(title, list->item(row)->text()));
                emit list->doubleClicked(list->model()->index(row, 0));
            }
        }
        return typed;
    }

    // One to four links, most of them the service's own.
    QString pasteText()
    {
        Own own(*this);
        const QJsonObject files =
            m_service.files(m_engine->userName().isEmpty() ? "alice" : m_engine->userName());
        QStringList links;
        for (int k = 1 + pick(4); k > 0; --k)
            links << (chance(60) && !files.isEmpty()
                          ? files.value(any(files.keys())).toObject().value("link").toString()
                          : any(BadLinks));
        return links.join(chance(70) ? "\n" : " ");
    }

    // --- Invariants --------------------------------------------------------------------------

    void tick()
    {
        s_heartbeat = steadyMs();
        const qint64 late = now() - m_lastTick - TickMs - m_excused;
        m_lastTick = now();
        m_excused = 0;
        if (m_phase != Restarting)
            m_maxLate = std::max(m_maxLate, late);
        if (late > scaled(LateLimitMs) && m_phase != Restarting)
            fail("event loop late", QString("%1 ms late").arg(late));
    }

    void check()
    {
        if (!m_window || m_phase == Restarting)
            return;
        Own own(*this);
        ++m_checks;
        checkFiles();
        if (QThread::currentThread()->loopLevel() == 1)
            checkRows(); // no window function is half-way through
        if (m_phase == Comeback)
            checkComeback();
        if (now() > m_nextProgress) {
            m_nextProgress += 60000;
            std::printf("monkey: %.0f s, %d actions, %d dialogs, %d restarts, %d+%d transfers "
                        "exact, %d findings\n",
                        now() / 1000.0, m_actions, m_dialogs, m_restarts, m_downloadsExact,
                        m_uploadsExact, int(m_findings.size()));
            std::fflush(stdout);
        }
    }

    Files scanArea() const
    {
        Files files;
        QDirIterator it(m_area, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            if (!info.fileName().contains(".part")) // downloads in progress
                files[info.filePath()] = {info.size(), info.lastModified().toMSecsSinceEpoch()};
        }
        return files;
    }

    void allow(const QString& path, int ms = AllowMs)
    {
        m_allowed[QDir::cleanPath(path)] = now() + scaled(ms);
    }
    bool allowed(const QString& path) const
    {
        for (auto it = m_allowed.cbegin(); it != m_allowed.cend(); ++it)
            if (it.value() >= now() && (path == it.key() || path.startsWith(it.key() + '/')))
                return true;
        return false;
    }

    // Local files change only by a finished download or the user's own action.
    void checkFiles()
    {
        Files files = scanArea();
        const auto size = [](const Files& in, const QString& path) {
            const auto it = in.find(path);
            return it == in.end() ? QString("missing") : QString("%1 bytes").arg(it->second.first);
        };
        QSet<QString> paths;
        for (const auto& [path, state] : m_files)
            paths << path;
        for (const auto& [path, state] : files)
            paths << path;
        for (const QString& path : std::as_const(paths)) {
            const bool same =
                m_files.count(path) && files.count(path) && m_files[path] == files[path];
            if (!same && !allowed(path))
                fail("local file changed",
                     QString(".%1: %2 -> %3")
                         .arg(path.mid(m_area.size()), size(m_files, path), size(files, path)));
        }
        m_files.swap(files);
    }

    QString keyOf(DCommand* command) const
    {
        if (auto* download = qobject_cast<DDownloadCommand*>(command))
            return "download " + download->targetPath();
        if (auto* upload = qobject_cast<DUploadCommand*>(command))
            return "upload " + upload->localFilePath();
        return QString();
    }

    // Each running row belongs to a live transfer and each transfer has one row; disagreements
    // that outlast the queued reports are findings.
    void checkRows()
    {
        QSet<QString> problems;
        QHash<int, int> rows;
        for (int i = 0; i < m_running->topLevelItemCount(); ++i) {
            const auto* row = static_cast<TreeItemWidget*>(m_running->topLevelItem(i));
            const int status = m_engine->status(row->commandId());
            ++rows[row->commandId()];
            if (status == StatusUnknown)
                problems << QString("row of no live transfer: id %1, %2")
                                .arg(row->commandId())
                                .arg(row->text(QueueColumn::File));
            else if (status == StatusFailed || status == StatusFinished || status == StatusAborted)
                problems << QString("row of an ended transfer: status %1, %2, '%3'")
                                .arg(status)
                                .arg(row->text(QueueColumn::File), row->text(QueueColumn::State));
        }
        for (auto it = rows.cbegin(); it != rows.cend(); ++it)
            if (it.value() > 1)
                problems << QString("two rows for one transfer: id %1").arg(it.key());
        QSet<QString> keys;
        for (DCommand* command : m_engine->registry()) {
            const QString key = keyOf(command);
            if (!key.isEmpty() && !rows.contains(command->id()))
                problems
                    << QString("transfer without a row: id %1, %2").arg(command->id()).arg(key);
            if (!key.isEmpty() && keys.contains(key))
                problems << "transfer twice: " + key;
            keys << key;
        }
        for (const QString& problem : std::as_const(problems)) {
            const qint64 since = m_disagreeing.value(problem, now());
            m_disagreeing.insert(problem, since);
            if (now() - since > scaled(PersistMs))
                fail(problem.section(':', 0, 0), problem.section(':', 1).trimmed());
        }
        for (const QString& gone : m_disagreeing.keys())
            if (!problems.contains(gone))
                m_disagreeing.remove(gone);
    }

    // After a restart every transfer that was unfinished is back once the login's restore ends.
    void checkComeback()
    {
        for (DCommand* command : m_engine->registry())
            m_seen << keyOf(command);
        const bool settled =
            m_loggedInAt >= 0 && !m_engine->isRestoring() && now() - m_loggedInAt > scaled(2000);
        if (!settled && now() < m_comebackDeadline)
            return;
        m_phase = Acting;
        if (!settled) {
            fail("no login after a restart", QString("%1 s").arg(scaled(45000) / 1000));
        } else if (m_engine->userName() != m_expectedUser) {
            note("logged in as " + m_engine->userName() + ", not " + m_expectedUser);
        } else {
            for (const QString& key : std::as_const(m_expected)) {
                const QString path = key.section(' ', 1);
                // A source the user deleted or a folder the user renamed cannot come back.
                const bool possible = key.startsWith("upload") ? QFileInfo::exists(path)
                                                               : QFileInfo(path).dir().exists();
                if (m_seen.contains(key))
                    ++m_comebacks;
                else if (possible)
                    fail("unfinished transfer lost in a restart", key);
            }
        }
        note(QString("restart checked: %1 unfinished transfers before").arg(m_expected.size()));
        if (m_finishing) {
            m_done = true;
            QApplication::exit(0);
        }
    }

    // A finished download holds the service's bytes, a finished upload the local file's. The
    // engine's user name is the last one tried, so the transfer's account is looked up.
    void transferDone(int id, const QString&, const QString& lFile, DTransferStatus status)
    {
        if (status != TransferDone)
            return;
        Own own(*this);
        DCommand* command = m_engine->findCommand(id);
        QString want, have, name;
        if (auto* download = qobject_cast<DDownloadCommand*>(command)) {
            name = QFileInfo(download->targetPath()).dir().filePath(lFile);
            allow(name, 1500); // until the next look at the files
            if (!inArea(name))
                fail("download outside its folder", name + " for " + download->targetPath());
            for (const QString user : {"alice", "bob"})
                want += m_service.files(user).value(download->fileId())["sha256"].toString();
            have = StandIn::sha256Of(name);
        } else if (auto* upload = qobject_cast<DUploadCommand*>(command)) {
            // A partial file is still being written by its download.
            name = upload->localFilePath().contains(".part") ? QString() : upload->localFilePath();
            want = StandIn::sha256Of(name);
            for (const QString user : {"alice", "bob"}) {
                const QJsonObject copy = m_service.ftpFile(user, upload->serverFileName());
                have += copy["sha256"].toString();
                name += copy.isEmpty() ? ""
                                       : QString(" as %1 of %2 bytes, local %3 bytes")
                                             .arg(upload->serverFileName())
                                             .arg(copy["size"].toInteger())
                                             .arg(QFileInfo(upload->localFilePath()).size());
            }
        }
        note(QString("%1 done: %2").arg(command ? command->metaObject()->className() : "?", name));
        if (want.isEmpty() || have.isEmpty())
            ++m_unverified; // deleted on the service or by the user meanwhile
        else if (want != have)
            fail("transfer not exact", name);
        else
            ++(qobject_cast<DDownloadCommand*>(command) ? m_downloadsExact : m_uploadsExact);
    }

    std::mt19937 m_rng;
    TestHome m_home;
    StandIn m_service; // the tests' accounts: alice, and bob whose downloads are refused
    QString m_area;
    std::unique_ptr<MainWindow> m_window;
    DCommandManager* m_engine = nullptr;
    TreeWidget* m_remote = nullptr;
    TreeView* m_local = nullptr;
    QTreeWidget* m_running = nullptr;
    QComboBox* m_leftPath = nullptr;
    QComboBox* m_rightPath = nullptr;

    QElapsedTimer m_clock;
    QTimer m_tickTimer, m_answerTimer, m_actTimer, m_checkTimer;
    qint64 m_lastTick = 0, m_excused = 0, m_maxLate = 0, m_due = 0, m_nextProgress = 60000;
    std::deque<QByteArray> m_recent;
    QPointer<QWidget> m_modal, m_popup;
    QList<QPointer<QWidget>> m_clicks; // dialogs whose button is being clicked right now

    Files m_files;
    QHash<QString, qint64> m_allowed;              // path (or folder) -> until when it may change
    QHash<QString, qint64> m_disagreeing;          // row/transfer problem -> first seen
    QMap<QString, QPair<int, QString>> m_findings; // kind and detail -> count, first report

    enum
    {
        Acting,
        Restarting,
        Comeback
    } m_phase = Acting;
    QStringList m_expected; // unfinished transfers before the restart, of this account
    QString m_expectedUser;
    QSet<QString> m_seen; // transfers seen since the restart
    qint64 m_loggedInAt = -1, m_comebackDeadline = 0;
    bool m_finishing = false, m_done = false;
    int m_actions = 0, m_dialogs = 0, m_checks = 0, m_faults = 0, m_restarts = 0;
    int m_downloadsExact = 0, m_uploadsExact = 0, m_unverified = 0, m_comebacks = 0;
};

// What the user does, and how often.
const QList<Monkey::Action> Monkey::Actions = {
    {"remote key", 12,
     [](Monkey& m) {
         m.select(m.m_remote, 3);
         m.press(m.m_remote, m.any(QList<int>{Qt::Key_F2, Qt::Key_F3, Qt::Key_Delete, Qt::Key_F7,
                                              Qt::Key_Backspace, Qt::Key_Return}));
     }},
    {"local key", 8, [](Monkey& m) { m.localKey(); }},
    {"queue key", 3,
     [](Monkey& m) {
         m.select(m.m_running, 3);
         m.press(m.m_running, Qt::Key_Delete);
     }},
    {"context menu", 16, [](Monkey& m) { m.contextMenu(); }},
    {"drag to local", 7, [](Monkey& m) { m.drag(m.m_remote, m.m_local); }},
    {"drag to remote", 6, [](Monkey& m) { m.drag(m.m_local, m.m_remote); }},
    {"drag within remote", 2, [](Monkey& m) { m.drag(m.m_remote, m.m_remote); }},
    {"queue button", 6,
     [](Monkey& m) {
         const QString name = m.any(QStringList{"startAll", "startAll", "pauseAll", "removeAll"});
         m.note("  " + name);
         m.m_window->findChild<QPushButton*>(name)->click();
     }},
    {"row button", 9, [](Monkey& m) { m.rowButton(); }},
    {"menu bar", 8,
     [](Monkey& m) {
         const QString text = m.any(QStringList{"&Option", "&Option", "&Download-Links",
                                                "&Download-Links", "&Refresh", "&Help"});
         m.note("  " + text);
         m.menuAction(text)->trigger();
     }},
    {"log in or out", 3, [](Monkey& m) { m.loginOrOut(); }},
    {"restart", 1, [](Monkey& m) { m.restart(); }},
    {"fault on", 5, [](Monkey& m) { m.faultOn(); }},
    {"faults off", 2,
     [](Monkey& m) {
         Own own(m);
         m.m_service.reset();
     }},
    {"local folder", 4, [](Monkey& m) { m.localFolder(); }},
    {"remote folder", 3,
     [](Monkey& m) {
         const int index = m.pick(m.m_rightPath->count());
         m.note("  remote path " + m.m_rightPath->itemText(index));
         m.m_rightPath->setCurrentIndex(index);
     }},
    {"idle", 6, [](Monkey&) {}}};

// --- Crashes, hangs and the run loop -----------------------------------------------------------

namespace {

void printRecent()
{
    if (s_printRecent)
        s_printRecent();
}

// The offscreen platform's notes on what it cannot do and the engine's debug lines would bury
// the findings.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && !text.startsWith("This plugin does not support"))
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// A stuck event loop cannot report itself: this thread does, and sends the main thread SIGSEGV
// so that the sanitizer prints where it is stuck.
void watchdog(pthread_t mainThread)
{
    while (!s_stopWatchdog) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (s_heartbeat > 0 && steadyMs() - s_heartbeat > HangMs) {
            std::fprintf(stderr, "\nFINDING event loop stuck for %d s\n", HangMs / 1000);
            pthread_kill(mainThread, SIGSEGV);
            return;
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("FERRYDESK_TIME_SCALE", "0.1");             // retries and countdowns in seconds
    qputenv("FERRYDESK_SHUTDOWN_COMMAND", "/bin/true"); // "power off" does nothing
    qunsetenv("FERRYDESK_NONINTERACTIVE");
    DCurl::globalInit();
    qInstallMessageHandler(quietMessages);
    QApplication app(argc, argv);

    Monkey monkey;
    monkey.seed = unsigned(std::random_device()());
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString value = args.value(i + 1);
        if (args[i] == "--seed" && ++i)
            monkey.seed = value.toUInt();
        else if (args[i] == "--minutes" && ++i)
            monkey.minutes = value.toDouble();
        else if (args[i] == "--slow" && ++i)
            monkey.slow = qMax(1.0, value.toDouble());
        else if (args[i] == "--keep-going" || args[i] == "--trace")
            (args[i] == "--trace" ? monkey.trace : monkey.keepGoing) = true;
        else {
            std::fprintf(stderr, "usage: monkey [--seed S] [--minutes M] [--slow F] "
                                 "[--keep-going] [--trace]\n");
            return 2;
        }
    }
    std::printf("monkey: seed %u, %.1f minutes, time limits x%.1f\n", monkey.seed, monkey.minutes,
                monkey.slow);
    std::fflush(stdout);

    if (__sanitizer_set_death_callback) // a sanitizer's report ends with the last actions
        __sanitizer_set_death_callback(printRecent);
    std::thread guard(watchdog, pthread_self());
    const bool ready = monkey.setUp();
    if (ready)
        while (monkey.launch())
            app.exec();
    else
        std::fprintf(stderr, "monkey: the stand-in service did not start\n");
    const int code = ready ? monkey.report() : 2;
    s_stopWatchdog = true;
    guard.join();
    return code;
}

#include "monkey.moc"
