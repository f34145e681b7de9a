#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// One running program per home folder. Two programs would share the data folder (settings,
// transfer history, partial files) and overwrite each other's changes, so a later start hands
// over to the running one and ends.
//
// The first start holds an exclusive lock on "ferrydesk.lock" in the data folder for as long as
// it runs, and listens on the owner-only socket "ferrydesk.socket" beside it. A later start
// finds the lock taken, asks the running program through the socket to come forward, and ends.
// The kernel drops the lock when its process dies, even by kill -9: a socket left behind by a
// killed program never blocks the next start, whose first step is to replace it.
class DSingleInstance : public QObject
{
    Q_OBJECT
public:
    enum Outcome
    {
        // This is the program of the home folder: it holds the lock and listens.
        First,
        // Another program of this home folder runs and came forward.
        HandedOver,
        // Another program holds the lock but did not answer in time.
        NoAnswer
    };

    // How long a later start waits for the running program to answer.
    static constexpr int HandOverTimeoutMs = 10000;

    // `folder` is the data folder that holds the lock and the socket.
    explicit DSingleInstance(const QString& folder, QObject* parent = nullptr);
    ~DSingleInstance() override;
    DSingleInstance(const DSingleInstance&) = delete;
    DSingleInstance& operator=(const DSingleInstance&) = delete;

    Outcome claim();
    QString lockPath() const;
    QString socketPath() const;

signals:
    // A later start asked this program to come forward.
    void di_showRequested();

private:
    // False when another process holds the lock. A lock that cannot be taken for other reasons
    // (a folder that cannot be written, a file system without locks) does not stop the start.
    bool takeLock();
    void listen();
    bool handOver() const;
    void onConnection();
    void onRequest(QLocalSocket* socket);

    QString m_folder;
    int m_lockFd = -1;
    QLocalServer* m_server = nullptr;
};
