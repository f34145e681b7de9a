#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

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

} // namespace ModalAnswer
