#include "support/mythread.h"

#include "engine/dglobals.h"
#include "support/dupdatecheck.h"

#include <QCoreApplication>

std::atomic<int> MyThread::s_checksRun(0);

MyThread::MyThread(QObject* parent) : QThread(parent) {}

int MyThread::checksRun()
{
    return s_checksRun.load();
}

void MyThread::run()
{
    if (DGlobals::startedByOs) {
        ++s_checksRun;
        DUpdateCheck::run();
    }
    QCoreApplication::processEvents();
}
