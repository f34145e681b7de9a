#pragma once

#include <QByteArray>

typedef void CURL;
class DCommandManager;

// libcurl set-up shared by every handle of the program.
class DCurl
{
public:
    // curl_global_init, exactly once, before any worker thread uses libcurl.
    static void globalInit();
    // Time limits of every handle (scaled in tests, never under two seconds): connecting, and
    // a connection that moves no byte at all for this long.
    static constexpr int ConnectTimeoutMs = 30000;
    static constexpr int SilenceTimeoutMs = 60000;
    // A new easy handle with the options every request needs (no signals, so it is safe on
    // worker threads; the time limits above; close-on-exec sockets; the extra certificate
    // authorities of FERRYDESK_CA_FILE), or null.
    static CURL* newHandle();
    // The manager's proxy, when it is enabled and has a host. FTP handles add
    // CURLOPT_HTTPPROXYTUNNEL: an HTTP proxy only tunnels FTP, it never sees an FTP address.
    static void applyProxy(CURL* handle, const DCommandManager& manager);

    // An answer read into memory up to `limit` bytes: a longer one ends the transfer (its
    // block is refused, so curl reports a write error) with `tooLong` set.
    struct BoundedAnswer
    {
        explicit BoundedAnswer(qsizetype byteLimit) : limit(byteLimit) {}
        QByteArray bytes;
        qsizetype limit;
        bool tooLong = false;
    };
    // Sends the handle's answer into `answer`, which must outlive the transfer.
    static void collectInto(CURL* handle, BoundedAnswer* answer);
};
