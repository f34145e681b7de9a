#pragma once

#include <QFile>
#include <QQueue>
#include <QTextCharFormat>
#include <QTextEdit>

#include <memory>
#include <utility>

class QAction;
class QMenu;

// The read-only view of log entries: errors in red bold, status texts in the normal format.
// One instance per process, created on first use without a parent; the main window places it
// in its layout. Entries arrive through DLogHub on the user-interface thread. The window and
// every call on it belong to the user-interface thread.
class LogWindow : public QTextEdit
{
    Q_OBJECT
public:
    // The single window; a new one is created when none exists (also after a parent that
    // adopted the previous one has destroyed it).
    static LogWindow* instance();

    // Number of entries handed to the window since it was created.
    int messageCount() const { return m_messageCount; }
    // The standard menu, a separator and "Clear log"; the caller owns the menu.
    QMenu* createContextMenu();

public slots:
    // Queues one entry (kind 0 in the highlight format, otherwise normal) and shows it.
    void appendEntry(const QString& text, int kind);
    // Shows every pending entry.
    void clearMessageBuf();

signals:
    void di_appendDone();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    LogWindow();
    void showPending();

    QTextCharFormat m_normalFormat;
    QTextCharFormat m_highlightFormat;
    std::unique_ptr<QFile> m_logFile;
    QQueue<std::pair<QString, int>> m_pending;
    bool m_busy = false;
    int m_messageCount = 0;
    QAction* m_clearAction = nullptr;
};
