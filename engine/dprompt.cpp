#include "engine/dprompt.h"

#include "support/dlog.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>

namespace {

// Used when no user interface is present: nothing blocks, every question is cancelled.
class DLogOnlyPrompt : public DPrompt
{
public:
    void showMessage(const QString& text) override { logToFile(text); }
    void showWarning(const QString& title, const QString& text) override
    {
        logToFile(title + QLatin1String(": ") + text);
    }
    void showAbout(const QString& title, const QString& text) override
    {
        logToFile(title + QLatin1String(": ") + text);
    }
    ConflictChoice askTargetExists(const QString&) override { return ConflictCancelled; }
    bool askNewName(QString&) override { return false; }
    void openPage(const QUrl& url) override { logToFile(url.toString()); }
};

DLogOnlyPrompt defaultPrompt;
std::atomic<DPrompt*> installedPrompt(nullptr);

} // namespace

void DPrompt::tellLater(const QString& text)
{
    QTimer::singleShot(0, QCoreApplication::instance(), [text] { prompt()->showMessage(text); });
}

bool DPrompt::askYesCancel(const QString& title, const QString& text)
{
    logToFile(title + QLatin1String(": ") + text);
    return false;
}

bool DPrompt::askInstallVlc(const QString& text, const QString&)
{
    logToFile(text);
    return false;
}

DPrompt* prompt()
{
    DPrompt* current = installedPrompt.load();
    return current ? current : &defaultPrompt;
}

void setPrompt(DPrompt* prompt)
{
    installedPrompt.store(prompt);
}

void showMessage(const QString& text)
{
    prompt()->showMessage(text);
}
