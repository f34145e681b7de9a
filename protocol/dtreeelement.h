#pragma once

#include <QList>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

// One remote entry of a folder listing.
struct DTreeElement
{
    QString name;
    QString size; // bytes as decimal digits, as the service sent them
    QString time;
    QString link;
    int isFile = 0; // 1 for a file, 0 for a folder and for the parent entry ".."
    QString id;     // for the parent entry: the parent folder's id
};

// Entries in answer order: the parent entry first, then folders, then files. Copies share the
// records, which are released once the last receiver drops its copy.
typedef QList<QSharedPointer<DTreeElement>> DTreeElementList;

Q_DECLARE_METATYPE(DTreeElement)
Q_DECLARE_METATYPE(DTreeElementList)

// Registers the engine's signal types with the meta-type system (idempotent).
void registerEngineMetaTypes();
