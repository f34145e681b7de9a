#include "protocol/dlogincommand.h"

#include "engine/datafolder.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "protocol/danswerparser.h"
#include "support/dlog.h"
#include "support/dupdatecheck.h"

#include <QDomDocument>
#include <QUrl>

namespace {

// Some texts go to the log window only; the log file gets a fixed English line instead.
void showInLogView(const QString& text)
{
    emit DLogHub::instance()->di_entry(text, LogKindStatus);
}

// param1/param2: "0" refuses with the reason, any other text allows; a missing element leaves
// the permission as it was and tells the user with the fixed text.
void applyPermission(const QDomElement& root, const QString& param, const QString& reason,
                     std::atomic<bool>& permission, const QString& missingText)
{
    const QDomElement flag = root.firstChildElement(param);
    if (flag.isNull()) {
        prompt()->showMessage(missingText);
        return;
    }
    if (flag.text() == QLatin1String("0")) {
        permission = false;
        prompt()->showMessage(root.firstChildElement(reason).text());
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

bool DLoginCommand::parseResult(QString& out)
{
    if (m_startup)
        return true;
    // The detail block normally makes the login answer ill-formed; a well-formed one is the
    // service's error document and carries the verdict.
    if (DAnswerParser::isXmlFile(responseFile->fileName()))
        return DCommand::parseResult(out);
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
        parseAccountAnswer();
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
    if (announce && status() != StatusRetryWait && status() != StatusRetryWaitOnce)
        emit di_readyToDelete(id());
}

void DLoginCommand::reportFailure()
{
    if (!m_startup) {
        prompt()->showMessage(message);
        logError(message);
        return;
    }
    const QString host = manager ? manager->serviceHost() : DGlobals::serviceHost();
    showInLogView(tr("Reconnecting to %1").arg(host));
    logToFile(QStringLiteral("Reconnecting to web server..."));
}

void DLoginCommand::parseAccountAnswer()
{
    const DAnswerParser::Split split =
        DAnswerParser::filterDetail(responseBytes(), DAnswerParser::AccountDetail);
    const QString xmlPath = dataFolder() + QStringLiteral("/.tempXMLfile") + QString::number(id());
    QDomDocument document;
    if (!DAnswerParser::parseXmlPart(split.xml, xmlPath, document))
        return;
    const QDomElement root = document.documentElement();
    DTreeElementList entries;
    if (m_startup) {
        applyStartupValues(root);
    } else {
        applyLoginValues(root);
        entries = DAnswerParser::entries(root.firstChildElement(QStringLiteral("listdata")));
        // The login answer's current_folder_id is not read: a login always starts at the root.
        if (manager)
            manager->setCurrentFolderId(QStringLiteral("-1"));
    }
    if (!manager)
        return;
    manager->reportUserInfo(split.detail);
    manager->reportContents(entries);
}

void DLoginCommand::applyLoginValues(const QDomElement& root)
{
    applyPermission(root, QStringLiteral("param1"), QStringLiteral("reason1"), DGlobals::canModify,
                    tr("You CAN NOT UPLOAD! Because server not allow ! Please contact "
                       "administrator!"));
    applyPermission(root, QStringLiteral("param2"), QStringLiteral("reason2"),
                    DGlobals::canDownload,
                    tr("You CAN NOT DOWNLOAD! Because server not allow ! Please contact "
                       "administrator!"));
    const QDomElement cap = root.firstChildElement(QStringLiteral("max_usp"));
    if (!cap.isNull())
        DGlobals::uploadSpeedCap = uploadCapFrom(cap.text());
}

void DLoginCommand::applyStartupValues(const QDomElement& root)
{
    DUpdateCheck::start();
    const QDomElement page = root.firstChildElement(QStringLiteral("popup_url"));
    if (!page.isNull())
        prompt()->openPage(QUrl(page.text().trimmed()));
    const QDomElement ftpHost = root.firstChildElement(QStringLiteral("svr"));
    if (!ftpHost.isNull())
        DGlobals::setFtpHost(ftpHost.text().trimmed());
    const QDomElement ftpPort = root.firstChildElement(QStringLiteral("svp"));
    if (!ftpPort.isNull())
        DGlobals::setFtpPort(ftpPort.text().trimmed());
}
