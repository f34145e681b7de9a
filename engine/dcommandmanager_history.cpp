#include "engine/dcommandmanager.h"

#include "engine/datafolder.h"
#include "transfers/dtransfercommand.h"

#include <QDir>
#include <QFile>

// Skeleton: filled in by the transfer history work.
QString DCommandManager::historyFilePath() const
{
    return dataFolder() + QDir::separator() + QStringLiteral("transfers_") + m_userName;
}

void DCommandManager::loginSetUp()
{
    m_historyFile = std::make_unique<QFile>(historyFilePath());
    emit di_loggedIn();
}

void DCommandManager::addToHistory(DTransferCommand*) {}
bool DCommandManager::removeFromHistory(DTransferCommand*) { return false; }
bool DCommandManager::hasHistory() { return false; }
void DCommandManager::restoreHistory() {}
void DCommandManager::saveHistory() {}
