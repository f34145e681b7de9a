#pragma once

#include "engine/dcommand.h"
#include "protocol/danswerparser.h"
#include "protocol/dtreeelement.h"

// Lists one remote folder. Its answer is a listing: a detail block for the information box,
// then the folder's parent, sub-folders and files. The answer is read once, on the worker that
// fetched it; the user-interface thread only receives the finished entries.
class DCdCommand : public DCommand
{
    Q_OBJECT
public:
    explicit DCdCommand(QObject* parent = nullptr);
    ~DCdCommand() override;

    int commandType() const override { return CmdListing; }
    bool parseResult(QString& out) override;
    void finish(bool announce) override;

    // The folder this command lists (carried in its request); named when a listing fails.
    void setFolderId(const QString& id) { m_folderId = id; }
    QString folderId() const { return m_folderId; }
    // Without notify the entries go only to di_listed: no signal of the manager, the current
    // folder stays, and a failure ends the command instead of retrying.
    void setNotify(bool notify) { m_notify = notify; }
    DTreeElementList entries() const { return m_entries; }

signals:
    // At the end of every finish step: the entries, empty when the listing failed.
    void di_listed(DTreeElementList entries);

protected:
    void run() override;

private:
    void reportFailure();

    DAnswerParser::Listing m_listing;
    DTreeElementList m_entries;
    QString m_folderId;
    bool m_notify = true;
};
