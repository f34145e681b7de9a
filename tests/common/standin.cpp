#include "tests/common/standin.h"

#include "engine/dcurl.h"
#include "tests/common/testhome.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include <curl/curl.h>

namespace {

// A scenario with a huge tree (the scale benchmark's) may take longer to come up.
int readyTimeoutMs()
{
    const int ms = qEnvironmentVariableIntValue("FERRYDESK_STANDIN_READY_MS"); // 0 when unset
    return ms > 0 ? ms : 20000;
}

size_t appendToBuffer(char* data, size_t size, size_t count, void* buffer)
{
    static_cast<QByteArray*>(buffer)->append(data, static_cast<qsizetype>(size * count));
    return size * count;
}

QString encoded(const QString& value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

StandIn::StandIn(const QString& scenarioJson) : m_scenario(scenarioJson) {}

bool StandIn::start()
{
    if (!m_dir.isValid())
        return false;
    const QString scenarioPath = m_dir.filePath("scenario.json");
    if (!writeFile(scenarioPath, m_scenario.toUtf8()))
        return false;

    // The state folder lives inside our temporary folder, so it goes away even when the
    // service itself had to be killed.
    m_process.setProgram("/usr/bin/python3");
    m_process.setArguments({FERRYDESK_SOURCE_DIR "/standin/ferrystandin.py", "--scenario",
                            scenarioPath, "--http-port", "0", "--https-port", "0", "--ftp-port",
                            "0", "--state-dir", m_dir.filePath("state"), "--parent-pid",
                            QString::number(QCoreApplication::applicationPid())});
    // Nobody reads stderr while a test runs without an event loop; forwarding it means the
    // service can never block on a full pipe.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setReadChannel(QProcess::StandardOutput);
    m_process.start();
    if (!m_process.waitForStarted(readyTimeoutMs()) || !readReadyLine()) {
        qWarning("StandIn: the service did not become ready");
        stop();
        return false;
    }
    return true;
}

bool StandIn::readReadyLine()
{
    const QDeadlineTimer deadline(readyTimeoutMs());
    while (!m_process.canReadLine()) {
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
            return false;
        m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
    static const QRegularExpression ready(
        QStringLiteral("^READY http=(\\d+) https=(\\d+) ftp=(\\d+) ca=(.+)$"));
    const QRegularExpressionMatch match = ready.match(line);
    if (!match.hasMatch())
        return false;
    m_httpPort = match.captured(1).toInt();
    m_httpsPort = match.captured(2).toInt();
    m_ftpPort = match.captured(3).toInt();
    m_caFile = match.captured(4);
    return true;
}

void StandIn::stop()
{
    stopProcess(m_process);
}

void StandIn::applyEnvironment() const
{
    qputenv("FERRYDESK_SERVICE_HOST", "127.0.0.1");
    qputenv("FERRYDESK_SERVICE_PORT", QByteArray::number(m_httpPort));
    qputenv("FERRYDESK_SECURE_PORT", QByteArray::number(m_httpsPort));
    qputenv("FERRYDESK_CA_FILE", m_caFile.toLocal8Bit());
}

QJsonValue StandIn::control(const QString& method, const QString& path, const QJsonObject& body,
                            int* httpCode) const
{
    if (httpCode)
        *httpCode = 0;
    CURL* handle = DCurl::newHandle();
    if (!handle)
        return QJsonValue(QJsonValue::Undefined);
    const QByteArray url = (httpBase() + QStringLiteral("/_control/") + path).toUtf8();
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    QByteArray answer;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendToBuffer);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    if (method != QLatin1String("GET")) {
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, payload.constData());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
    }
    const CURLcode rc = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(handle);
    curl_slist_free_all(headers);
    if (httpCode)
        *httpCode = static_cast<int>(status);
    if (rc != CURLE_OK) {
        qWarning("StandIn: control call %s failed: %s", url.constData(), curl_easy_strerror(rc));
        return QJsonValue(QJsonValue::Undefined);
    }
    const QJsonDocument document = QJsonDocument::fromJson(answer);
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

QJsonArray StandIn::requests(const QString& kind) const
{
    const QString path = kind.isEmpty() ? "requests" : "requests?kind=" + encoded(kind);
    return control("GET", path).toArray();
}

void StandIn::addFault(const QJsonObject& fault)
{
    int status = 0;
    control("POST", "faults", fault, &status);
    if (status != 200)
        qWarning("StandIn: fault refused: %s", QJsonDocument(fault).toJson().constData());
}

QJsonObject StandIn::files(const QString& user) const
{
    return control("GET", "files?user=" + encoded(user)).toObject();
}

QJsonObject StandIn::tree(const QString& user) const
{
    return control("GET", "tree?user=" + encoded(user)).toObject();
}

QJsonObject StandIn::ftpFile(const QString& user, const QString& name) const
{
    int status = 0;
    const QJsonValue answer =
        control("GET", "ftpfile?user=" + encoded(user) + "&name=" + encoded(name), {}, &status);
    return status == 200 ? answer.toObject() : QJsonObject();
}

void StandIn::setAccount(const QString& user, const QJsonObject& values)
{
    QJsonObject body = values;
    body.insert("user", user);
    control("POST", "account", body);
}

QString StandIn::defaultScenario()
{
    return QString::fromUtf8(readFile(FERRYDESK_SOURCE_DIR "/standin/testscenario.json"));
}

QString StandIn::sha256Of(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}
