#pragma once

#include "engine/dtypes.h"

#include <QObject>

class TreeItemWidget;

// The signal receiver of one queue row: a tree-widget item is no QObject, so the row's button
// clicks and the engine's status reports for it land here.
class TreeItemObject : public QObject
{
    Q_OBJECT
public:
    explicit TreeItemObject(TreeItemWidget* row);

public slots:
    // Only the row with this id reacts, and only to a status it does not show yet.
    void onCommandStatusChanged(int cmdId, CStatus status);
    void onPauseResumeClicked();
    void onStartStopClicked();
    void onVLCClicked();

private:
    TreeItemWidget* m_row;
};
