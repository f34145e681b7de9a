#pragma once

#include "engine/dtypes.h"

#include <QFile>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <functional>

typedef void CURL;
class DCommandManager;

// One network operation: a service request run by libcurl on this object's own worker thread.
// The answer lands in a temporary file; finish() runs on the user-interface thread once the
// worker has ended, reads the service's verdict, then reports success, starts the follow-up
// command or schedules retries (every 10 s, five times, then once after 10 minutes).
class DCommand : public QThread
{
    Q_OBJECT
public:
    explicit DCommand(QObject* parent = nullptr);
    ~DCommand() override;

    int id() const { return m_id; }
    int status() const { return m_status.load(); }

    virtual int commandType() const;
    virtual void setStatus(int status);
    virtual void discard();
    virtual bool parseResult(QString& out);
    virtual void handleFailure();
    virtual void finish(bool announce);

    void dumpResponse();

    // Field access for the creator (the request builder) and the manager.
    QUrl url;
    // The follow-up; it may be freed first (dropped with an aborted command), so it is guarded.
    QPointer<DCommand> next;
    QString message;
    int retryCount = 0;

    void setManager(DCommandManager* manager);
    DCommandManager* commandManager() const;
    QFile* file() const { return responseFile; }
    bool retryTimerActive() const { return retryTimerId != -1; }
    // True once finish() has handed control to the follow-up: from then on the follow-up is a
    // live command of its own and is no longer discarded or unregistered with this one.
    bool followUpStarted() const { return m_followUpStarted; }

    // Writes every byte, continuing after partial writes. A failing write is logged and ends
    // the caller's request (answering false) instead of being tried again forever.
    static bool writeFully(QFile* file, const char* data, qint64 size);

    // Process-wide counter of the last id handed out.
    static int lastId();

signals:
    void di_readyToDelete(int id);

public slots:
    virtual void dstart();
    void onFinished();
    virtual void longRetry();

protected:
    void run() override;
    void timerEvent(QTimerEvent* event) override;

    // libcurl write callback for the answer file.
    static size_t writeResponse(char* data, size_t size, size_t count, void* command);

    void stopRetryTimer();
    void startFollowUp();
    // After a successful answer: the follow-up starts, retries stop, the end is announced.
    void endSuccessfully(bool announce);
    // The end is announced (the manager then drops the command) unless a retry is pending.
    void announceUnlessRetrying(bool announce);
    // Reads the whole answer file as text (empty when it was never written).
    QByteArray responseBytes() const;
    // Runs the request; once it finished, hands the answer file to `read` (an empty answer
    // when there is none), on this worker.
    void runAndRead(const std::function<void(QIODevice&)>& read);
    void closeResponseFile();
    // Closes the answer file, then writes the (masked) request to the dump and the log file.
    void closeAndRecordRequest();
    void replaceResponseFile(QFile* file);
    // The request as text for the log and the dump, with the password masked.
    QString loggableUrl() const;

    QFile* responseFile = nullptr;
    QPointer<DCommandManager> manager;
    CURL* curlHandle = nullptr;
    int retryTimerId = -1;

private:
    std::atomic<int> m_status;
    int m_id;
    bool m_followUpStarted = false;
    bool m_ownsAnswerFile = true;
};
