#include "protocol/dlogincommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "protocol/danswerparser.h"
#include "support/dlog.h"
#include "support/dupdatecheck.h"

#include <QUrl>

namespace {

// param1/param2: "0" refuses with the reason, any other text allows; a missing element leaves
// the permission as it was and tells the user with the fixed text.
void applyPermission(const QHash<QString, QString>& values, const QString& param,
                     const QString& reason, std::atomic<bool>& permission,
                     const QString& missingText)
{
    if (!values.contains(param)) {
        prompt()->showMessage(missingText);
        return;
    }
    if (values.value(param) == QLatin1String("0")) {
        permission = false;
        prompt()->showMessage(values.value(reason));
        return;
    }
    permission = true;
}

} // namespace

DLoginCommand::DLoginCommand(QObject* parent) : DCommand(parent) {}

int DLoginCommand::uploadCapFrom(const QString& text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok || value < MinUploadCap || value > MaxUploadCap)
        return 0;
    return value;
}

void DLoginCommand::run()
{
    m_answer = DAnswerParser::Account();
    runAndRead([this](QIODevice& answer) { m_answer = DAnswerParser::readAccount(answer); });
}

bool DLoginCommand::parseResult(QString& out)
{
    if (m_startup)
        return true;
    // The detail block normally makes the login answer ill-formed; a well-formed one is the
    // service's error document and carries the verdict.
    if (m_answer.generic) {
        if (!m_answer.message.isNull())
            out = m_answer.message;
        if (m_answer.verdict == 0)
            setStatus(StatusFailed);
        return m_answer.verdict != 0;
    }
    const QString host = manager ? manager->serviceHost() : DGlobals::serviceHost();
    logStatus(tr("%1 is ready!").arg(host));
    return true;
}

void DLoginCommand::finish(bool announce)
{
    closeAndRecordRequest();

    if (status() == StatusFinished && parseResult(message)) {
        setStatus(StatusFinished);
        if (!message.isEmpty())
            showInLogView(message);
        applyAccountAnswer();
        if (manager) {
            if (m_startup)
                manager->reportEngineStarted();
            else
                manager->loginSetUp();
        }
        endSuccessfully(announce);
        return;
    }
    // A command dropped by a newer login or by the user ends quietly.
    if (status() == StatusAborted)
        return;
    reportFailure();
    handleFailure();
    // A refused login is over; only a command waiting for its retry stays registered.
    announceUnlessRetrying(announce);
}

void DLoginCommand::reportFailure()
{
    if (!m_startup) {
        logError(message);
        // The box runs an event loop of its own, in which a new login may end and delete this
        // command: it opens once the command's own handling is over.
        prompt()->tellLater(message);
        return;
    }
    const QString host = manager ? manager->serviceHost() : DGlobals::serviceHost();
    showInLogView(tr("Reconnecting to %1").arg(host));
    logToFile(QStringLiteral("Reconnecting to web server..."));
}

void DLoginCommand::applyAccountAnswer()
{
    if (!m_answer.readable) {
        logError(tr("Could not read the answer: %1").arg(m_answer.error));
        return;
    }
    DTreeElementList entries;
    if (m_startup) {
        applyStartupValues();
    } else {
        applyLoginValues();
        entries = m_answer.entries;
        // The login answer's current_folder_id is not read: a login always starts at the root.
        if (manager)
            manager->setCurrentFolderId(QStringLiteral("-1"));
    }
    if (!manager)
        return;
    manager->reportUserInfo(m_answer.detail);
    manager->reportContents(entries);
}

void DLoginCommand::applyLoginValues()
{
    const QHash<QString, QString>& values = m_answer.values;
    applyPermission(values, QStringLiteral("param1"), QStringLiteral("reason1"),
                    DGlobals::canModify,
                    tr("You CAN NOT UPLOAD! Because server not allow ! Please contact "
                       "administrator!"));
    applyPermission(values, QStringLiteral("param2"), QStringLiteral("reason2"),
                    DGlobals::canDownload,
                    tr("You CAN NOT DOWNLOAD! Because server not allow ! Please contact "
                       "administrator!"));
    if (values.contains(QStringLiteral("max_usp")))
        DGlobals::uploadSpeedCap = uploadCapFrom(values.value(QStringLiteral("max_usp")));
}

void DLoginCommand::applyStartupValues()
{
    const QHash<QString, QString>& values = m_answer.values;
    DUpdateCheck::start();
    if (values.contains(QStringLiteral("popup_url")))
        prompt()->openPage(QUrl(values.value(QStringLiteral("popup_url")).trimmed()));
    if (values.contains(QStringLiteral("svr")))
        DGlobals::setFtpHost(values.value(QStringLiteral("svr")).trimmed());
    if (values.contains(QStringLiteral("svp")))
        DGlobals::setFtpPort(values.value(QStringLiteral("svp")).trimmed());
}
