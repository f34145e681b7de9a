// The options dialog.

#include "ui/mainwindow.h"

void MainWindow::onOptions() {}
