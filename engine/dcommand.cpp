#include "engine/dcommand.h"

#include "engine/datafolder.h"
#include "engine/dcommandmanager.h"
#include "engine/dcurl.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "support/dlog.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDomDocument>
#include <QDir>
#include <QTemporaryFile>
#include <QTimer>
#include <QTimerEvent>
#include <QtDebug>

#include <curl/curl.h>

#include <exception>

namespace {

std::atomic<int> commandCounter(0);

// libcurl progress callback that ends the request of an aborted command.
int abortWhenAborted(void* command, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<DCommand*>(command)->status() == StatusAborted ? 1 : 0;
}

} // namespace

DCommand::DCommand(QObject* parent)
    : QThread(parent), m_status(StatusFailed), m_id(++commandCounter)
{
    // Until its creator sets a status the command is in a state the scheduler never starts.
    // The answer file gets an unpredictable name, owner-only, in the data folder; it is made
    // on disk only when the request runs.
    responseFile = new QTemporaryFile(dataFolder() + QStringLiteral("/answer-XXXXXX"));
    connect(this, &QThread::finished, this, &DCommand::onFinished);
}

DCommand::~DCommand()
{
    if (status() != StatusAborted)
        m_status = StatusAborted;
    stopRetryTimer();
    if (isRunning())
        wait();
    // A temporary answer file removes itself.
    delete responseFile;
}

void DCommand::setManager(DCommandManager* manager)
{
    this->manager = manager;
}

DCommandManager* DCommand::commandManager() const
{
    return manager.data();
}

int DCommand::lastId()
{
    return commandCounter.load();
}

int DCommand::commandType() const
{
    return CmdGeneric;
}

void DCommand::setStatus(int status)
{
    m_status.store(status);
}

void DCommand::discard()
{
    // A running worker may still write the answer file: it then goes with the command.
    if (responseFile && m_ownsAnswerFile && !isRunning()) {
        responseFile->close();
        if (!responseFile->fileName().isEmpty())
            responseFile->remove();
    }
    stopRetryTimer();
    if (next && !m_followUpStarted)
        next->discard();
}

void DCommand::dstart()
{
    message.clear();
    start(QThread::InheritPriority);
}

void DCommand::onFinished()
{
    finish(true);
}

void DCommand::longRetry()
{
    if (status() == StatusRetryWait)
        dstart();
}

void DCommand::run()
{
    CURL* handle = DCurl::newHandle();
    if (!handle) {
        qDebug() << "Could not get crl handle";
        return;
    }
    curlHandle = handle;
    setStatus(StatusRunning);
    const QByteArray address = url.toEncoded();
    curl_easy_setopt(handle, CURLOPT_URL, address.constData());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DCommand::writeResponse);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    // An aborted command ends its request at once, even while the server sends nothing.
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &abortWhenAborted);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    // Each attempt starts with an empty answer file.
    if (!responseFile->isOpen() && !responseFile->open(QIODevice::ReadWrite))
        logError(QStringLiteral("Could not open file for write"));
    if (responseFile->isOpen())
        responseFile->resize(0);
    try {
        if (manager)
            DCurl::applyProxy(handle, *manager);
    } catch (const std::exception& e) {
        logError(QStringLiteral("Transfer run command failed :: %1")
                     .arg(QString::fromLocal8Bit(e.what())));
    }
    QCoreApplication::processEvents();
    const CURLcode result = curl_easy_perform(handle);
    // An abort that came meanwhile stands: the command ends quietly.
    int running = StatusRunning;
    if (m_status.compare_exchange_strong(running, StatusFinished) && result != CURLE_OK) {
        setStatus(StatusRetryWait);
        message = tr("Transfer Perform failed(1): %1")
                      .arg(QString::fromLocal8Bit(curl_easy_strerror(result)));
    }
    curlHandle = nullptr;
    curl_easy_cleanup(handle);
}

size_t DCommand::writeResponse(char* data, size_t size, size_t count, void* userData)
{
    auto* command = static_cast<DCommand*>(userData);
    if (command->status() != StatusRunning)
        return 0;
    QFile* file = command->responseFile;
    if (!file->isOpen())
        return 0;
    const qint64 total = static_cast<qint64>(size * count);
    return writeFully(file, data, total) ? static_cast<size_t>(total) : 0;
}

bool DCommand::writeFully(QFile* file, const char* data, qint64 size)
{
    for (qint64 written = 0; written < size;) {
        const qint64 n = file->write(data + written, size - written);
        if (n <= 0) {
            qCritical() << "Error while writing to file!" << file->errorString();
            return false;
        }
        written += n;
    }
    return true;
}

QByteArray DCommand::responseBytes() const
{
    if (!responseFile)
        return QByteArray();
    QFile reader(responseFile->fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return QByteArray();
    return reader.readAll();
}

void DCommand::runAndRead(const std::function<void(QIODevice&)>& read)
{
    DCommand::run();
    if (status() != StatusFinished)
        return;
    if (responseFile && responseFile->isOpen())
        responseFile->flush();
    // Read from the file a piece at a time: a large answer is never held whole.
    QFile answer(responseFile ? responseFile->fileName() : QString());
    if (answer.open(QIODevice::ReadOnly)) {
        read(answer);
        return;
    }
    QBuffer nothing;
    nothing.open(QIODevice::ReadOnly);
    read(nothing);
}

void DCommand::closeResponseFile()
{
    if (responseFile && responseFile->isOpen()) {
        responseFile->flush();
        responseFile->close();
    }
}

void DCommand::closeAndRecordRequest()
{
    closeResponseFile();
    dumpResponse();
    logToFile(loggableUrl());
}

void DCommand::replaceResponseFile(QFile* file)
{
    delete responseFile;
    responseFile = file;
    // A transfer's file is the user's data, never a scratch answer file.
    m_ownsAnswerFile = false;
}

QString DCommand::loggableUrl() const
{
    return manager ? manager->maskedRequest(url) : url.toString();
}

void DCommand::finish(bool announce)
{
    if (responseFile && responseFile->isOpen())
        responseFile->flush();
    if (commandType() != CmdDownload) {
        dumpResponse();
        logToFile(loggableUrl());
        logToFile(QString::fromUtf8(responseBytes()));
    }
    closeResponseFile();

    bool ok = false;
    if (status() == StatusFinished)
        ok = parseResult(message);

    if (ok) {
        if (!message.isEmpty())
            logStatus(message);
        stopRetryTimer();
        startFollowUp();
    } else if (status() != StatusAborted && status() != StatusFinished) {
        logError(message);
        handleFailure();
    }
    announceUnlessRetrying(announce);
}

void DCommand::announceUnlessRetrying(bool announce)
{
    if (announce && status() != StatusRetryWait && status() != StatusRetryWaitOnce)
        emit di_readyToDelete(m_id);
}

void DCommand::endSuccessfully(bool announce)
{
    startFollowUp();
    stopRetryTimer();
    if (announce)
        emit di_readyToDelete(m_id);
}

void DCommand::startFollowUp()
{
    if (!next)
        return;
    m_followUpStarted = true;
    next->dstart();
}

bool DCommand::parseResult(QString& out)
{
    QFile file(responseFile ? responseFile->fileName() : QString());
    QDomDocument document;
    if (!file.open(QIODevice::ReadOnly) || !document.setContent(&file, true)) {
        logError(QStringLiteral("*** Error when passing XML from file!"));
        file.close();
        return false;
    }
    const QDomElement root = document.documentElement();
    const QDomElement value = root.firstChildElement(QStringLiteral("value"));
    const int verdict = value.isNull() ? 0 : value.text().trimmed().toInt(nullptr, 10);
    const QDomElement text = root.firstChildElement(QStringLiteral("string"));
    if (!text.isNull())
        out = text.text();
    file.close();
    if (verdict == 0)
        setStatus(StatusFailed);
    return verdict != 0;
}

void DCommand::handleFailure()
{
    if (status() != StatusRetryWait && status() != StatusRetryWaitOnce)
        return;
    const int limit = status() == StatusRetryWaitOnce ? 1 : DTimings::QuickRetryLimit;
    if (retryCount >= limit) {
        retryCount = 0;
        stopRetryTimer();
        QTimer::singleShot(DTimings::scaled(DTimings::LongRetryMs), this, &DCommand::longRetry);
        return;
    }
    if (retryTimerId == -1)
        retryTimerId = startTimer(DTimings::scaled(DTimings::RetryPeriodMs));
    logStatus(tr("Reconnecting in %1 seconds.").arg(DTimings::RetryPeriodMs / 1000));
}

void DCommand::timerEvent(QTimerEvent* event)
{
    // The failed attempt's thread may still be ending (the status is set before it ends): a
    // start now would do nothing and still use up a retry, so that tick waits for the next.
    if (event->timerId() != retryTimerId || status() != StatusRetryWait || isRunning())
        return;
    ++retryCount;
    dstart();
    if (manager)
        manager->flush();
}

void DCommand::stopRetryTimer()
{
    if (retryTimerId == -1)
        return;
    killTimer(retryTimerId);
    retryTimerId = -1;
}

void DCommand::dumpResponse()
{
    if (!DGlobals::dumpResponses)
        return;
    if (responseFile && responseFile->isOpen())
        responseFile->flush();
    QFile dump(dataFolder() + QStringLiteral("/dftp.dump"));
    if (!dump.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    dump.write(loggableUrl().toLatin1());
    dump.write(responseBytes());
    dump.write("\n\n");
    dump.close();
}
