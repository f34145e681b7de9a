#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Debian's tinyproxy as the user's HTTP proxy for one test: its own configuration on a free
// loopback port, any target port allowed for CONNECT (an FTP server's data ports are its own
// choice), and a log file from which the test reads every request the proxy received. Stopped
// when the object goes away.
class TinyProxy
{
public:
    TinyProxy() = default;
    ~TinyProxy() { stop(); }
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    // The installed program, empty when there is none.
    static QString program();
    // Starts it and waits until it accepts connections; false when it did not come up.
    bool start();
    void stop();

    int port() const { return m_port; }
    // Every request line so far, oldest first: "GET http://host:port/path HTTP/1.1",
    // "CONNECT host:port HTTP/1.1".
    QStringList requests() const;
    // The whole log, for failure messages and for what must never show in it.
    QByteArray log() const;

private:
    bool startOnce();

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};
