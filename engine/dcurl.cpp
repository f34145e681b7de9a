#include "engine/dcurl.h"

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>

namespace {

// Never below two seconds, whatever the test scale: a busy machine may keep a healthy
// connection silent for a moment.
constexpr int MinimumLimitMs = 2000;

long limitSeconds(int ms)
{
    return std::max(DTimings::scaled(ms), MinimumLimitMs) / 1000;
}

// Connections are made close-on-exec at once, so a program started meanwhile on another
// thread (VLC, the browser, the updater, the power-off command) never holds one open.
curl_socket_t openPrivateSocket(void*, curlsocktype, curl_sockaddr* address)
{
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Sockets libcurl makes without asking us (an accepted active-mode FTP data connection).
int markPrivateSocket(void*, curl_socket_t fd, curlsocktype)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC))
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    return CURL_SOCKOPT_OK;
}

size_t appendBounded(char* data, size_t size, size_t count, void* target)
{
    auto* answer = static_cast<DCurl::BoundedAnswer*>(target);
    const auto total = qsizetype(size * count);
    if (answer->bytes.size() + total > answer->limit) {
        answer->tooLong = true;
        return 0;
    }
    answer->bytes.append(data, total);
    return size * count;
}

} // namespace

void DCurl::globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

CURL* DCurl::newHandle()
{
    globalInit();
    CURL* handle = curl_easy_init();
    if (!handle)
        return nullptr;
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &openPrivateSocket);
    curl_easy_setopt(handle, CURLOPT_SOCKOPTFUNCTION, &markPrivateSocket);
    // A silent server ends the request (then the retry rule) instead of hanging it forever.
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limitSeconds(ConnectTimeoutMs));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limitSeconds(SilenceTimeoutMs));
    const QByteArray caFile = DGlobals::caFile().toLocal8Bit();
    if (!caFile.isEmpty()) {
        // CURLOPT_CAINFO replaces the default bundle; the system folder keeps the usual ones.
        curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.constData());
        curl_easy_setopt(handle, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    return handle;
}

void DCurl::applyProxy(CURL* handle, const DCommandManager& manager)
{
    QString host, user, password;
    int port = 0;
    if (!manager.proxy(host, user, password, port) || host.isEmpty())
        return;
    const QByteArray address = (host + QLatin1Char(':') + QString::number(port)).toLocal8Bit();
    curl_easy_setopt(handle, CURLOPT_PROXY, address.constData());
    if (!user.isEmpty()) {
        const QByteArray credentials = (user + QLatin1Char(':') + password).toLocal8Bit();
        curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, credentials.constData());
    }
}

void DCurl::collectInto(CURL* handle, BoundedAnswer* answer)
{
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBounded);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, answer);
}
