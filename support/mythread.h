#pragma once

#include <QThread>

#include <atomic>

// Runs the self-update check once, but only in a log-on start ("-m").
class MyThread : public QThread
{
    Q_OBJECT
public:
    explicit MyThread(QObject* parent = nullptr);

    // How many update checks this process ran from a MyThread (start-up tests read it).
    static int checksRun();

protected:
    void run() override;

private:
    static std::atomic<int> s_checksRun;
};
