#pragma once

#include "engine/dprompt.h"

#include <QObject>
#include <QStringList>

class QWidget;

// The engine's prompts as real dialogs. With FERRYDESK_NONINTERACTIVE=1 in the environment
// every prompt is written to standard error and answered "cancel" instead, so that scripted
// runs of the program never wait for a click.
class DWidgetPrompt : public DPrompt
{
public:
    explicit DWidgetPrompt(QWidget* parent = nullptr);

    void showMessage(const QString& text) override;
    // Waits until no other dialog is open, so that it never stacks on one (the user's own, or
    // the same failure told again by a retry: a text already waiting is told once).
    void tellLater(const QString& text) override;
    void showWarning(const QString& title, const QString& text) override;
    void showAbout(const QString& title, const QString& text) override;
    ConflictChoice askTargetExists(const QString& targetPath) override;
    bool askNewName(QString& name) override;
    void openPage(const QUrl& url) override;
    bool askYesCancel(const QString& title, const QString& text) override;
    bool askInstallVlc(const QString& text, const QString& linkHtml) override;

private:
    bool nonInteractive(const QString& what, const QString& text) const;
    void tellNext();
    void scheduleTelling(int delayMs);

    QWidget* m_parent;
    // Timers of the waiting messages die with the prompt.
    QObject m_timerContext;
    QStringList m_toTell;
    bool m_tellingScheduled = false;
    bool m_telling = false;
};
