// The options dialog.

#include "ui/mainwindow.h"

#include "ui/optionsdialog.h"

void MainWindow::onOptions()
{
    OptionsDialog dialog(m_engine, this);
    dialog.execAndApply();
}
