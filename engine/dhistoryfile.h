#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The transfer history file: a root element, an "Uploads" and a "Downloads" group, and one
// self-closing element per transfer whose attributes describe it. The writer puts every entry
// on a line of its own, so that a damaged file still gives back every entry line that reads as
// an element by itself.
namespace DHistoryFile {

using Attributes = QList<QPair<QString, QString>>;

struct Entry
{
    bool upload = false;
    QString element;
    Attributes attributes;
};

// What a save writes: the root's name, each group's name and entry count, and the entries
// group after group.
struct Snapshot
{
    QString root;
    QList<QPair<QString, int>> groups;
    QList<QPair<QString, Attributes>> entries;
};

struct Contents
{
    QList<Entry> entries;
    // Elements were there but the file is not well-formed: `entries` holds the most that could
    // be read, whole or line by line.
    bool damaged = false;
};

// The value of the attribute `name`, empty when there is none.
QString attributeOf(const Attributes& attributes, const QString& name);
QByteArray text(const Snapshot& snapshot);
// One entry's line as text() writes it, indentation and line end included.
QString entryLine(const QString& element, const Attributes& attributes);
// The same file from each group's name and entry lines (made by entryLine): a save of a long
// history then only joins lines that were made when their entries changed.
QByteArray text(const QString& root, const QList<QPair<QString, QList<QString>>>& groups);
Contents read(const QByteArray& bytes);

} // namespace DHistoryFile
