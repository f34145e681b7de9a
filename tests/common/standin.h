#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Starts the stand-in service (standin/ferrystandin.py) on free loopback ports for one test and
// stops it again when the object goes away. Every control call is a synchronous libcurl request
// to the service's "/_control/" API, so tests need no event loop to script faults or read the
// request log.
//
// Faults are JSON objects: {"kind": ..., "action": ..., "times": N (default 1, 0 = always),
// "user": optional account, "file": optional file id, plus "seconds", "text", "bytes" or "kbps"
// as the action needs}. See standin/README.md.
class StandIn
{
public:
    explicit StandIn(const QString& scenarioJson = defaultScenario());
    ~StandIn() { stop(); }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // Starts the service and waits up to 20 s for its ready line; false when it did not come.
    bool start();
    void stop();

    int httpPort() const { return m_httpPort; }
    int httpsPort() const { return m_httpsPort; }
    int ftpPort() const { return m_ftpPort; }
    QString caFile() const { return m_caFile; }
    // "http://127.0.0.1:<http port>"
    QString httpBase() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_httpPort); }

    // Points the engine at this service: FERRYDESK_SERVICE_HOST, FERRYDESK_SERVICE_PORT,
    // FERRYDESK_SECURE_PORT and FERRYDESK_CA_FILE (read when a manager is built).
    void applyEnvironment() const;

    // The request log, oldest first, optionally only one kind ("login", "listing", "dlfile",
    // "download", "ftp", ...).
    QJsonArray requests(const QString& kind = QString()) const;
    void addFault(const QJsonObject& fault);
    // Clears the request log and every fault that has not fired yet.
    void reset() { control("POST", "reset"); }

    // Every file of the account, keyed by file id: {id, name, folder, size, sha256, playable,
    // link}.
    QJsonObject files(const QString& user) const;
    // The account's folder tree: {id, name, file, size, children: [...]}.
    QJsonObject tree(const QString& user) const;
    QString fileSha256(const QString& user, const QString& id) const
    {
        return files(user).value(id).toObject().value("sha256").toString();
    }
    // Size and sha256 of a file in the account's FTP home; an empty object when it is missing.
    QJsonObject ftpFile(const QString& user, const QString& name) const;
    // Changes account values at run time, e.g. {"param2": "0", "reason2": "..."}.
    void setAccount(const QString& user, const QJsonObject& values);

    // A control call; GET when body is empty and method is "GET", else POST with JSON.
    // Answers the parsed JSON (undefined on transport errors); httpCode receives the status.
    QJsonValue control(const QString& method, const QString& path, const QJsonObject& body = {},
                       int* httpCode = nullptr) const;

    // standin/testscenario.json: account "alice"/"secret" with folders and files (one 2 MiB
    // seeded file, id "201"), and "bob"/"pw/with/slash" whose downloads are refused.
    static QString defaultScenario();
    // Lowercase hex sha256 of a local file, empty when it cannot be read.
    static QString sha256Of(const QString& path);

private:
    bool readReadyLine();

    QString m_scenario;
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_httpPort = 0;
    int m_httpsPort = 0;
    int m_ftpPort = 0;
    QString m_caFile;
};
