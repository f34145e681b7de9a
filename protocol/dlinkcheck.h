#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

#include <curl/curl.h>
class DCommandManager;

// Public file links of the service, pasted by the user: how a pasted text splits into
// candidate links, and how the service confirms one link and names its canonical form
// "https://<host>/f/<id>/<name>". The check is one blocking HTTPS request with the server's
// certificate and host name verified (system store plus FERRYDESK_CA_FILE) and a time-out.
//
// The object lives on a worker thread of its caller: check() runs there and answers with
// di_checked; cancel() may be called from any thread and ends the running request at once.
class DLinkCheck : public QObject
{
    Q_OBJECT
public:
    // Time-outs of one check, after the test scale of DTimings.
    static constexpr int ConnectTimeoutMs = 10000; // until the service accepts the connection
    static constexpr int CheckTimeoutMs = 30000;   // for the whole request
    static constexpr int MaxAnswerBytes = 64 * 1024;
    static constexpr int MinIdLength = 3;

    explicit DLinkCheck(QObject* parent = nullptr);
    ~DLinkCheck() override;

    // Candidate links of a pasted text: "http://" becomes "https://", the text splits at every
    // "https://" (so links need not be on lines of their own), "%20" and "%26" become spaces,
    // and every piece is trimmed. Pieces holding only white space are dropped.
    static QStringList candidates(const QString& pasted);
    // True when the candidate names the service host followed by "/f/".
    static bool isServiceLink(const QString& candidate);
    // The id part: what follows the first "/f/" up to the next "/"; empty without "/f/".
    static QString linkId(const QString& link);
    // True when the answer is a canonical link "https://<host>/f/<id>/<name>" of the service.
    static bool isCanonical(const QString& answer);
    // Parts of a canonical link: the file name (a final ".file" removed), the id, and the
    // one-line HTML text that shows the link.
    static QString fileName(const QString& canonical);
    static QString fileId(const QString& canonical);
    static QString displayLink(const QString& canonical);

    // Blocking: the service's answer for the link (a canonical link or its refusal), the text
    // "Error: not valid id?" + id for an id shorter than three characters (the service is not
    // asked), or an "Error: ..." text naming the network failure.
    QString checkOneLink(const QString& link);

    // Requests go through the engine's proxy when it has one enabled.
    void setEngine(const DCommandManager* engine) { m_engine = engine; }

    // Ends the running request and refuses later ones until reset (safe on any thread).
    void cancel();
    void reset() { m_cancelled = false; }
    bool isCancelled() const { return m_cancelled; }

public slots:
    // Runs checkOneLink and answers with di_checked (used across threads).
    void check(const QString& link);

signals:
    void di_checked(QString link, QString answer);

private:
    QString request(const QString& id);
    // One handle for every check, so that the connection is reused.
    bool prepareHandle();
    CURLcode perform();

    static constexpr int PollMs = 1000;
    CURLM* m_multi = nullptr;
    CURL* m_handle = nullptr;
    const DCommandManager* m_engine = nullptr;
    std::atomic<bool> m_cancelled{false};
};
