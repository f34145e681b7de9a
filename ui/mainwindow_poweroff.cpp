// The power-off countdown after the last transfer.

#include "ui/mainwindow.h"

void MainWindow::shutDownRequested() {}

void MainWindow::updateShutDownMessage() {}

void MainWindow::onTrayMessageClicked() {}

void MainWindow::shutdownMachine() {}
