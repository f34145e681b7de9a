#pragma once

#include <QTextEdit>

// Skeleton: filled in by the logging work.
class LogWindow : public QTextEdit
{
    Q_OBJECT
public:
    static LogWindow* instance();

private:
    LogWindow();
};
