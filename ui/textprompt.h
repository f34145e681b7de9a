#pragma once

#include <QString>

class QWidget;

// A small modal dialog titled `title` with one line edit (holding `initial`) and a row of "OK",
// a stretch and "Cancel". Answers the text, or a null string when it was not accepted.
QString askText(QWidget* parent, const QString& title, const QString& initial = QString());

// A question box with the buttons "Yes" and "Cancel"; true only for "Yes".
bool askYesCancel(QWidget* parent, const QString& title, const QString& text);
