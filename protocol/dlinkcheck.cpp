#include "protocol/dlinkcheck.h"

#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QUrl>

#include <curl/curl.h>

namespace {

const QString LinkScheme = QStringLiteral("https://");
const QString FileSection = QStringLiteral("/f/");

QString servicePrefix()
{
    return LinkScheme + DGlobals::serviceHost() + FileSection;
}

QString checkAddress(const QString& id)
{
    const QString port = DGlobals::securePort();
    const QString host = DGlobals::serviceHost() + (port.isEmpty() ? QString() : ":" + port);
    // The id comes from pasted text: encoded, it cannot change the request's shape.
    return LinkScheme + host + QStringLiteral("/tool/info.php?checkAndReturnLink=") +
           QString::fromLatin1(QUrl::toPercentEncoding(id));
}

} // namespace

DLinkCheck::DLinkCheck(QObject* parent) : QObject(parent)
{
    DCurl::globalInit();
    m_multi = curl_multi_init();
}

DLinkCheck::~DLinkCheck()
{
    if (m_handle)
        curl_easy_cleanup(m_handle);
    curl_multi_cleanup(m_multi);
}

void DLinkCheck::cancel()
{
    m_cancelled = true;
    curl_multi_wakeup(m_multi);
}

QStringList DLinkCheck::candidates(const QString& pasted)
{
    QString text = pasted;
    text.replace(QStringLiteral("http://"), LinkScheme);
    QStringList links;
    const QStringList pieces = text.split(LinkScheme, Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        QString link = (LinkScheme + piece).trimmed();
        if (link == LinkScheme)
            continue;
        link.replace(QStringLiteral("%20"), QStringLiteral(" "));
        link.replace(QStringLiteral("%26"), QStringLiteral(" "));
        links.append(link);
    }
    return links;
}

bool DLinkCheck::isServiceLink(const QString& candidate)
{
    return candidate.contains(DGlobals::serviceHost() + FileSection);
}

QString DLinkCheck::linkId(const QString& link)
{
    const QStringList pieces = link.trimmed().split(FileSection);
    if (pieces.size() < 2)
        return QString();
    return pieces.at(1).section(QLatin1Char('/'), 0, 0);
}

bool DLinkCheck::isCanonical(const QString& answer)
{
    if (!answer.startsWith(servicePrefix()))
        return false;
    const QString rest = answer.mid(servicePrefix().size());
    const int slash = rest.indexOf(QLatin1Char('/'));
    return slash > 0 && !fileName(answer).isEmpty();
}

QString DLinkCheck::fileName(const QString& canonical)
{
    QString name = canonical.section(QLatin1Char('/'), -1).trimmed();
    if (name.endsWith(QLatin1String(".file")))
        name.chop(5);
    // The name becomes a local file name: never a folder reference.
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    return name;
}

QString DLinkCheck::fileId(const QString& canonical)
{
    return canonical.section(QLatin1Char('/'), -2, -2);
}

QString DLinkCheck::displayLink(const QString& canonical)
{
    const QString encoded = QString::fromLatin1(QUrl(canonical).toEncoded());
    return QStringLiteral("<html><body> <div><a href=\"") + encoded + QStringLiteral("\">") +
           encoded + QStringLiteral("</a></div></body></html>");
}

QString DLinkCheck::checkOneLink(const QString& link)
{
    const QString id = linkId(link);
    if (id.size() < MinIdLength)
        return QStringLiteral("Error: not valid id?") + id;
    return request(id);
}

void DLinkCheck::check(const QString& link)
{
    emit di_checked(link, checkOneLink(link));
}

QString DLinkCheck::request(const QString& id)
{
    if (m_cancelled)
        return tr("Error: link check cancelled");
    if (!m_handle && !prepareHandle())
        return tr("Error: could not start the link check");

    // A link is short; an endless answer is not one.
    DCurl::BoundedAnswer answer(MaxAnswerBytes);
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, errorText);
    const QByteArray address = checkAddress(id).toUtf8();
    curl_easy_setopt(m_handle, CURLOPT_URL, address.constData());
    DCurl::collectInto(m_handle, &answer);
    // The proxy may have changed since the last check.
    curl_easy_setopt(m_handle, CURLOPT_PROXY, nullptr);
    curl_easy_setopt(m_handle, CURLOPT_PROXYUSERPWD, nullptr);
    if (m_engine)
        DCurl::applyProxy(m_handle, *m_engine);

    const CURLcode rc = perform();
    curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, nullptr);
    long httpCode = 0;
    curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &httpCode);
    if (rc == CURLE_ABORTED_BY_CALLBACK)
        return tr("Error: link check cancelled");
    if (rc != CURLE_OK) {
        const QString detail =
            QString::fromLocal8Bit(errorText[0] ? errorText : curl_easy_strerror(rc));
        logError(QStringLiteral("Link check for %1 failed: %2").arg(id, detail));
        if (rc == CURLE_PEER_FAILED_VERIFICATION)
            return tr("Error: the service's certificate could not be verified (%1)").arg(detail);
        return tr("Error: %1").arg(detail);
    }
    if (httpCode != 200)
        return tr("Error: the service answered HTTP %1").arg(httpCode);
    return QString::fromUtf8(answer.bytes).trimmed();
}

bool DLinkCheck::prepareHandle()
{
    m_handle = DCurl::newHandle();
    if (!m_handle)
        return false;
    curl_easy_setopt(m_handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(m_handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(m_handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(DTimings::scaled(ConnectTimeoutMs)));
    curl_easy_setopt(m_handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(DTimings::scaled(CheckTimeoutMs)));
    return true;
}

// The request runs on a multi handle so that cancel() can wake the wait at once.
CURLcode DLinkCheck::perform()
{
    if (!m_multi || curl_multi_add_handle(m_multi, m_handle) != CURLM_OK)
        return CURLE_FAILED_INIT;
    int running = 1;
    while (running && !m_cancelled) {
        if (curl_multi_perform(m_multi, &running) != CURLM_OK)
            break;
        if (running && curl_multi_poll(m_multi, nullptr, 0, PollMs, nullptr) != CURLM_OK)
            break;
    }
    CURLcode result = m_cancelled ? CURLE_ABORTED_BY_CALLBACK : CURLE_RECV_ERROR;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    }
    curl_multi_remove_handle(m_multi, m_handle);
    return result;
}
