#include "support/logwindow.h"

#include "support/dlog.h"

LogWindow::LogWindow()
{
    setReadOnly(true);
    connect(DLogHub::instance(), &DLogHub::di_entry, this,
            [this](const QString& text, int) { append(text); });
}

LogWindow* LogWindow::instance()
{
    static LogWindow* window = new LogWindow();
    return window;
}
