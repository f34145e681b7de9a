#pragma once

#include "engine/dprompt.h"

#include <QList>
#include <QStringList>

#include <functional>

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

    ScriptedPrompt() { setPrompt(this); }
    ~ScriptedPrompt() override { setPrompt(nullptr); }

    void showMessage(const QString& text) override { record("message", {}, text); }
    void showWarning(const QString& title, const QString& text) override
    {
        record("warning", title, text);
    }
    void showAbout(const QString& title, const QString& text) override
    {
        record("about", title, text);
    }
    ConflictChoice askTargetExists(const QString& targetPath) override
    {
        record("targetExists", {}, targetPath);
        return conflictAnswers.isEmpty() ? ConflictCancelled : conflictAnswers.takeFirst();
    }
    bool askNewName(QString& name) override
    {
        record("newName", {}, name);
        const QString answer = newNameAnswers.isEmpty() ? QString() : newNameAnswers.takeFirst();
        if (!answer.isEmpty())
            name = answer;
        return !answer.isNull();
    }
    void openPage(const QUrl& url) override { record("page", {}, url.toString()); }
    bool askYesCancel(const QString& title, const QString& text) override
    {
        record("yesCancel", title, text);
        return !yesAnswers.isEmpty() && yesAnswers.takeFirst();
    }
    bool askInstallVlc(const QString& text, const QString& linkHtml) override
    {
        record("installVlc", text, linkHtml);
        return !yesAnswers.isEmpty() && yesAnswers.takeFirst();
    }

    QList<Call> calls;
    // Answers, used in order; when a list runs out the question is cancelled.
    QList<ConflictChoice> conflictAnswers;
    // Each entry answers one "Enter new name": a null QString means "closed without OK",
    // an empty QString means "OK with the suggestion unchanged".
    QStringList newNameAnswers;
    // Answers to "Yes"/"Cancel" questions and to "Install VLC" (true: Yes / OK).
    QList<bool> yesAnswers;
    // Runs while each prompt is "open", as a user acting before answering would.
    std::function<void()> whileOpen;

    QStringList texts() const
    {
        QStringList result;
        for (const Call& call : calls)
            result.append(call.text);
        return result;
    }

private:
    void record(const char* kind, const QString& title, const QString& text)
    {
        calls.append({QString::fromLatin1(kind), title, text});
        if (whileOpen)
            whileOpen();
    }
};
