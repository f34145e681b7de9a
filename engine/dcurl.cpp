#include "engine/dcurl.h"

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"

#include <curl/curl.h>

#include <mutex>

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
