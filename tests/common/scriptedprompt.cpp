#include "tests/common/scriptedprompt.h"

ScriptedPrompt::ScriptedPrompt()
{
    setPrompt(this);
}

ScriptedPrompt::~ScriptedPrompt()
{
    setPrompt(nullptr);
}

void ScriptedPrompt::showMessage(const QString& text)
{
    calls.append({QStringLiteral("message"), QString(), text});
}

void ScriptedPrompt::showWarning(const QString& title, const QString& text)
{
    calls.append({QStringLiteral("warning"), title, text});
}

void ScriptedPrompt::showAbout(const QString& title, const QString& text)
{
    calls.append({QStringLiteral("about"), title, text});
}

DPrompt::ConflictChoice ScriptedPrompt::askTargetExists(const QString& targetPath)
{
    calls.append({QStringLiteral("targetExists"), QString(), targetPath});
    return conflictAnswers.isEmpty() ? ConflictCancelled : conflictAnswers.takeFirst();
}

bool ScriptedPrompt::askNewName(QString& name)
{
    calls.append({QStringLiteral("newName"), QString(), name});
    if (newNameAnswers.isEmpty())
        return false;
    const QString answer = newNameAnswers.takeFirst();
    if (answer.isNull())
        return false;
    if (!answer.isEmpty())
        name = answer;
    return true;
}

void ScriptedPrompt::openPage(const QUrl& url)
{
    calls.append({QStringLiteral("page"), QString(), url.toString()});
}

bool ScriptedPrompt::askYesCancel(const QString& title, const QString& text)
{
    calls.append({QStringLiteral("yesCancel"), title, text});
    return !yesAnswers.isEmpty() && yesAnswers.takeFirst();
}

bool ScriptedPrompt::askInstallVlc(const QString& text, const QString& linkHtml)
{
    calls.append({QStringLiteral("installVlc"), text, linkHtml});
    return !yesAnswers.isEmpty() && yesAnswers.takeFirst();
}

QStringList ScriptedPrompt::texts() const
{
    QStringList result;
    for (const Call& call : calls)
        result.append(call.text);
    return result;
}
