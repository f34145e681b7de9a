#include "support/logwindow.h"

#include "support/dlog.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPointer>
#include <QTextCursor>
#include <QThread>

namespace {

// Cleared automatically when the main window that adopted the view destroys it.
QPointer<LogWindow> s_instance;

// Entries logged before the main window builds its layout still find a window; a program
// without widgets (a core-only test) has nowhere to show them.
void createWindowForEntries()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        LogWindow::instance();
}

[[maybe_unused]] const bool s_factoryInstalled =
    (DLogHub::setWindowFactory(&createWindowForEntries), true);

} // namespace

LogWindow::LogWindow()
{
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    m_normalFormat = textCursor().charFormat();
    m_highlightFormat = m_normalFormat;
    m_highlightFormat.setForeground(QColor(Qt::red));
    // Weight 75 on the old 0-99 scale is QFont::Bold on Qt 6's 1-1000 scale.
    m_highlightFormat.setFontWeight(QFont::Bold);

    m_clearAction = new QAction(tr("Clear log"), this);
    m_clearAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    m_clearAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(m_clearAction);
    connect(m_clearAction, &QAction::triggered, this, &QTextEdit::clear);

    connect(DLogHub::instance(), &DLogHub::di_entry, this, &LogWindow::appendEntry);

    m_logFile = std::make_unique<QFile>(logFilePath());
    if (!m_logFile->open(QIODevice::WriteOnly | QIODevice::Append)) {
        m_logFile.reset();
        appendEntry(tr("Could not open log file.\nLogs will not be maintained"), LogKindError);
    }
}

LogWindow* LogWindow::instance()
{
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
    if (!s_instance)
        s_instance = new LogWindow();
    return s_instance;
}

QMenu* LogWindow::createContextMenu()
{
    QMenu* menu = createStandardContextMenu();
    menu->addSeparator();
    menu->addAction(m_clearAction);
    return menu;
}

void LogWindow::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = createContextMenu();
    menu->exec(event->globalPos());
    delete menu;
}

void LogWindow::appendEntry(const QString& text, int kind)
{
    ++m_messageCount;
    m_pending.enqueue({text, kind});
    if (!m_busy)
        showPending();
}

void LogWindow::clearMessageBuf()
{
    showPending();
}

// The busy flag keeps an entry logged while another is being inserted from interleaving with
// it: the newcomer waits in the queue and is shown by the loop below.
void LogWindow::showPending()
{
    while (!m_busy && !m_pending.isEmpty()) {
        const auto [text, kind] = m_pending.dequeue();
        m_busy = true;
        QTextCursor cursor = textCursor();
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text, kind == LogKindError ? m_highlightFormat : m_normalFormat);
        cursor.insertText(QStringLiteral("\n"), m_normalFormat);
        setTextCursor(cursor);
        m_busy = false;
    }
}
