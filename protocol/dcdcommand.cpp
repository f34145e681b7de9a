#include "protocol/dcdcommand.h"

#include "engine/dcommandmanager.h"
#include "support/dlog.h"

DCdCommand::DCdCommand(QObject* parent) : DCommand(parent) {}

// The entries themselves stay alive for as long as a receiver holds a copy of the list.
DCdCommand::~DCdCommand() = default;

void DCdCommand::run()
{
    m_listing = DAnswerParser::Listing();
    runAndRead([this](QIODevice& answer) { m_listing = DAnswerParser::readListing(answer); });
}

bool DCdCommand::parseResult(QString& out)
{
    if (m_listing.generic && !m_listing.message.isNull())
        out = m_listing.message;
    if (m_listing.generic && m_listing.verdict == 0) {
        setStatus(StatusFailed);
        return false;
    }
    if (!m_listing.readable) {
        out = tr("Could not read the folder listing: %1").arg(m_listing.error);
        setStatus(StatusFailed);
        return false;
    }
    return true;
}

void DCdCommand::finish(bool announce)
{
    closeAndRecordRequest();
    m_entries.clear();

    // A listing dropped by the user or by the manager ends quietly.
    if (status() == StatusAborted) {
        emit di_listed(m_entries);
        return;
    }
    if (status() == StatusFinished && parseResult(message)) {
        m_entries = m_listing.entries;
        if (m_notify && manager) {
            if (!message.isEmpty())
                showInLogView(message);
            manager->reportUserInfo(m_listing.detail);
            manager->setCurrentFolderId(m_listing.currentFolderId);
            manager->reportContents(m_entries);
        }
        m_listing = DAnswerParser::Listing();
        emit di_listed(m_entries);
        endSuccessfully(announce);
        return;
    }
    m_listing = DAnswerParser::Listing();
    reportFailure();
    if (!m_notify) {
        // Someone waits for this answer: it ends now, without retries.
        setStatus(StatusFailed);
        emit di_listed(m_entries);
        if (announce)
            emit di_readyToDelete(id());
        return;
    }
    handleFailure();
    announceUnlessRetrying(announce);
}

// No message box here: a completion step that ran a dialog's event loop stacked the box on
// whatever dialog was open and could be freed before the box closed. The pane shows the message
// and greys the entries it still holds; the log view shows it in red.
void DCdCommand::reportFailure()
{
    logError(message);
    if (m_notify && manager)
        manager->reportListingFailed(m_folderId, message);
}
