#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT (the updater asking the program to end, a desktop logging out,
// Ctrl+C) into an orderly quit of the event loop, so that start-up's teardown saves the window
// keys and settings and stops the workers instead of the process dying on the spot.
class DQuitOnSignal : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers; the object lives as a child of the application object.
    static void install();

private:
    DQuitOnSignal();
    static void onSignal(int number);
    void quit();

    QSocketNotifier* m_notifier = nullptr;
};
