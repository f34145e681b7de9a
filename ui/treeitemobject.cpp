#include "ui/treeitemobject.h"

#include "ui/treeitemwidget.h"

TreeItemObject::TreeItemObject(TreeItemWidget* row) : m_row(row) {}

void TreeItemObject::onCommandStatusChanged(int cmdId, CStatus status)
{
    if (cmdId == m_row->commandId())
        m_row->applyStatus(status);
}

void TreeItemObject::onPauseResumeClicked()
{
    m_row->pauseResumeClicked();
}

void TreeItemObject::onStartStopClicked()
{
    m_row->startStopClicked();
}

void TreeItemObject::onVLCClicked()
{
    m_row->previewClicked();
}
