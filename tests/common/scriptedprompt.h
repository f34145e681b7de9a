#pragma once

#include "engine/dprompt.h"

#include <QList>
#include <QStringList>

// Records every prompt the engine shows and answers questions from a script. Installed for the
// lifetime of the object.
class ScriptedPrompt : public DPrompt
{
public:
    struct Call
    {
        // "message", "warning", "about", "targetExists", "newName", "page", "yesCancel",
        // "installVlc"
        QString kind;
        QString title;
        QString text;
    };

    ScriptedPrompt();
    ~ScriptedPrompt() override;

    void showMessage(const QString& text) override;
    void showWarning(const QString& title, const QString& text) override;
    void showAbout(const QString& title, const QString& text) override;
    ConflictChoice askTargetExists(const QString& targetPath) override;
    bool askNewName(QString& name) override;
    void openPage(const QUrl& url) override;
    bool askYesCancel(const QString& title, const QString& text) override;
    bool askInstallVlc(const QString& text, const QString& linkHtml) override;

    QList<Call> calls;
    // Answers, used in order; when a list runs out the question is cancelled.
    QList<ConflictChoice> conflictAnswers;
    // Each entry answers one "Enter new name": a null QString means "closed without OK",
    // an empty QString means "OK with the suggestion unchanged".
    QStringList newNameAnswers;
    // Answers to "Yes"/"Cancel" questions and to "Install VLC" (true: Yes / OK).
    QList<bool> yesAnswers;

    QStringList texts() const;
};
