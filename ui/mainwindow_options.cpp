// The options dialog.

#include "ui/mainwindow.h"

#include "engine/dcommandmanager.h"
#include "ui/optionsdialog.h"

#include <QAction>

void MainWindow::onOptions()
{
    OptionsDialog dialog(m_engine, this);
    // Both show the power-off state that is armed: the box follows the tray's action while the
    // dialog is open, and the action follows what OK applied.
    connect(m_powerOffAction, &QAction::toggled, &dialog, &OptionsDialog::showPowerOff);
    dialog.execAndApply();
    m_powerOffAction->setChecked(m_engine->powerOff());
}
