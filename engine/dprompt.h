#pragma once

// The engine's only way to ask or tell the user something modally.
//
// Every message box, question and extra window that the engine (or start-up) shows is one call
// on DPrompt: refusals ("Your account Can NOT Download!"), "Error download:" boxes, the
// "Target already exists" and "Enter new name" dialogs, duplicate-transfer warnings, the
// write-failure box at start-up, the information page a startup answer may name, and the
// window's own questions (the shut-down confirmation, "Install VLC").
//
// Who implements it: the user interface installs a widget implementation (real QMessageBox and
// QDialog instances) before the engine starts; tests install a scripted one that records every
// call and answers from a script. Without an installed prompt the default one only writes the
// text to the log file and answers "cancel".
//
// Calls are synchronous: they return when the user has answered, exactly like a modal dialog,
// and they are made on the user-interface thread.

#include <QString>
#include <QUrl>

class DPrompt
{
public:
    enum ConflictChoice
    {
        ConflictCancelled,
        ConflictRename,
        ConflictOverwrite
    };

    virtual ~DPrompt() = default;

    // A modal message box with one text and one default button.
    virtual void showMessage(const QString& text) = 0;
    // A message nobody waits for, from a step that must not wait for the user (a command's
    // completion): it returns at once and the box opens later from the event loop, through
    // the prompt installed then.
    virtual void tellLater(const QString& text);
    // A modal warning box with a title, a text and a single "OK" button.
    virtual void showWarning(const QString& title, const QString& text) = 0;
    // An "about" box without parent (rich text allowed).
    virtual void showAbout(const QString& title, const QString& text) = 0;
    // "Target already exists": Rename (preselected) or Overwrite, or closed without OK.
    virtual ConflictChoice askTargetExists(const QString& targetPath) = 0;
    // "Enter new name" with the suggestion in `name`; false when closed without OK.
    virtual bool askNewName(QString& name) = 0;
    // A separate top-level rich-text window showing the page at `url`.
    virtual void openPage(const QUrl& url) = 0;
    // A question box with "Yes" (true) and "Cancel"; closing it counts as "Cancel".
    virtual bool askYesCancel(const QString& title, const QString& text);
    // "Install VLC": a line of text, the download page's link (HTML) and "OK" / "Cancel";
    // true when accepted.
    virtual bool askInstallVlc(const QString& text, const QString& linkHtml);
};

// The installed prompt (never null). Ownership stays with the caller of setPrompt; pass
// nullptr to go back to the default.
DPrompt* prompt();
void setPrompt(DPrompt* prompt);

// Shorthand for prompt()->showMessage(text).
void showMessage(const QString& text);
