#include "protocol/dcdcommand.h"

#include "engine/dcommandmanager.h"
#include "engine/dprompt.h"
#include "protocol/danswerparser.h"
#include "support/dlog.h"

#include <QDomDocument>

DCdCommand::DCdCommand(QObject* parent) : DCommand(parent) {}

// The entries themselves stay alive for as long as a receiver holds a copy of the list.
DCdCommand::~DCdCommand() = default;

bool DCdCommand::parseResult(QString& out)
{
    // The detail block normally makes a listing ill-formed; a well-formed answer is the
    // service's generic document and must carry a non-zero value.
    if (DAnswerParser::isXmlFile(responseFile->fileName()))
        return DCommand::parseResult(out);
    return true;
}

void DCdCommand::finish(bool announce)
{
    closeAndRecordRequest();

    if (status() == StatusFinished && parseResult(message)) {
        if (!message.isEmpty())
            emit DLogHub::instance()->di_entry(message, LogKindStatus);
        parseListing(true);
        endSuccessfully(announce);
        return;
    }
    // A listing dropped by the user or by the manager ends quietly.
    if (status() == StatusAborted)
        return;
    prompt()->showMessage(message);
    logError(message);
    handleFailure();
    announceUnlessRetrying(announce);
}

DTreeElementList DCdCommand::runNow()
{
    run();
    closeAndRecordRequest();
    if (status() == StatusFinished)
        parseListing(false);
    return m_entries;
}

void DCdCommand::parseListing(bool notify)
{
    m_entries.clear();
    const DAnswerParser::Split split =
        DAnswerParser::filterDetail(responseBytes(), DAnswerParser::ListingDetail);
    if (notify && manager)
        manager->reportUserInfo(split.detail);
    QDomDocument document;
    if (!DAnswerParser::parseXmlPart(split.xml, document))
        return;
    const QDomElement listData =
        document.documentElement().firstChildElement(QStringLiteral("listdata"));
    m_entries = DAnswerParser::entries(listData);
    if (!notify || !manager)
        return;
    manager->setCurrentFolderId(DAnswerParser::currentFolderId(listData));
    manager->reportContents(m_entries);
}
