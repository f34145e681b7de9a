#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <functional>

// Answers dialogs and menus that a window opens modally while the test waits inside the call
// that opened them: the answer runs once the widget is up.
namespace ModalAnswer {

// Runs `answer` on the next modal dialog (or the next popup menu with `popup`). Deleting the
// returned timer withdraws the answer.
inline QTimer* next(std::function<void(QWidget*)> answer, bool popup = false)
{
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(10000);
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget* widget =
            popup ? QApplication::activePopupWidget() : QApplication::activeModalWidget();
        if (!widget || !widget->isVisible()) {
            if (deadline.hasExpired())
                timer->deleteLater();
            return;
        }
        timer->stop();
        timer->deleteLater();
        answer(widget);
    });
    timer->start(10);
    return timer;
}

// Dialogs open at once (more than one is a box stacked on another).
inline int openCount()
{
    int open = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        open += widget->isVisible() && widget->isModal();
    return open;
}

inline void click(QWidget* dialog, const QString& buttonText)
{
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>()) {
        if (button->text() == buttonText) {
            button->click();
            return;
        }
    }
}

// What a dialog showed: its title and, for a message box, its text.
struct Seen
{
    QString title;
    QString text;
};

// Records the next dialog and presses `buttonText` in it.
inline QTimer* press(const QString& buttonText, QList<Seen>* seen = nullptr)
{
    return next([=](QWidget* dialog) {
        if (seen) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            seen->append({dialog->windowTitle(), box ? box->text() : QString()});
        }
        click(dialog, buttonText);
    });
}

// The texts of the next popup menu's actions (separators as empty texts); the menu is closed.
inline void readMenu(QStringList* texts, const QString& trigger = QString())
{
    next(
        [=](QWidget* widget) {
            auto* menu = qobject_cast<QMenu*>(widget);
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                texts->append(action->text());
                if (!trigger.isEmpty() && action->text() == trigger)
                    chosen = action;
            }
            menu->close();
            if (chosen)
                chosen->trigger();
        },
        true);
}

// Plays the user for every modal window while it lives: the top one is handed to `answer` once
// it has been up for `reactionMs` (a person reads before clicking), and again after as long when
// it is still there. Records each modal as it appears ("QMessageBox: <text>", otherwise its
// class) and the most that were open at once.
class Watch
{
public:
    explicit Watch(std::function<void(QWidget*)> answer, int reactionMs = 300)
        : m_answer(std::move(answer)), m_reactionMs(reactionMs)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(10);
    }

    QStringList shown;
    int mostAtOnce = 0;
    // Popup menus are answered too (before the dialog below them).
    bool popups = false;
    // When set: each modal window as it appears, and a new reaction time for each answer.
    std::function<void(QWidget*)> appeared;
    std::function<int()> reaction;

private:
    void tick()
    {
        QList<QWidget*> open;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowModality() != Qt::NonModal)
                open << widget;
        }
        mostAtOnce = std::max(mostAtOnce, int(open.size()));
        for (QWidget* widget : open) {
            if (m_seen.contains(widget))
                continue;
            auto* box = qobject_cast<QMessageBox*>(widget);
            shown << (box ? "QMessageBox: " + box->text()
                          : QString::fromLatin1(widget->metaObject()->className()));
            if (appeared)
                appeared(widget);
        }
        m_seen = QList<QPointer<QWidget>>(open.begin(), open.end());
        QWidget* top = popups ? QApplication::activePopupWidget() : nullptr;
        top = top ? top : QApplication::activeModalWidget();
        if (top != m_top) {
            m_top = top;
            m_since.start();
            m_reactionMs = reaction ? reaction() : m_reactionMs;
        } else if (top && top->isVisible() && m_since.hasExpired(m_reactionMs)) {
            m_top = nullptr;
            m_answer(top);
        }
    }

    std::function<void(QWidget*)> m_answer;
    int m_reactionMs;
    QTimer m_timer;
    QList<QPointer<QWidget>> m_seen;
    QPointer<QWidget> m_top;
    QElapsedTimer m_since;
};

} // namespace ModalAnswer
