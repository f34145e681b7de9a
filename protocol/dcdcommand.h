#pragma once

#include "engine/dcommand.h"
#include "protocol/dtreeelement.h"

// Lists one remote folder. Its answer is a listing: a detail block for the information box,
// then the folder's parent, sub-folders and files.
class DCdCommand : public DCommand
{
    Q_OBJECT
public:
    explicit DCdCommand(QObject* parent = nullptr);
    ~DCdCommand() override;

    int commandType() const override { return CmdListing; }
    bool parseResult(QString& out) override;
    void finish(bool announce) override;

    // Performs the request on the calling thread and reads the entries without telling anyone
    // (no signals, the current folder stays).
    DTreeElementList runNow();
    // With `notify`, reports the detail text, the current folder id and the entries.
    void parseListing(bool notify);
    DTreeElementList entries() const { return m_entries; }

private:
    DTreeElementList m_entries;
};
