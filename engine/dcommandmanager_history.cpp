#include "engine/dcommandmanager.h"

#include "engine/datafolder.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "support/dlog.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/dtransfercommand.h"
#include "transfers/duploadcommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

namespace {

// Attribute order of the saved entries; the DOM keeps attributes in no fixed order.
const QStringList& uploadAttributes()
{
    static const QStringList names{QStringLiteral("filename"), QStringLiteral("serverfilename"),
                                   QStringLiteral("folderId"), QStringLiteral("size")};
    return names;
}

const QStringList& downloadAttributes()
{
    static const QStringList names{QStringLiteral("filename"), QStringLiteral("folderId"),
                                   QStringLiteral("size"), QStringLiteral("link"),
                                   QStringLiteral("playable")};
    return names;
}

QString escapeAttribute(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\n':
            out += QLatin1String("&#xa;");
            break;
        case '\r':
            out += QLatin1String("&#xd;");
            break;
        case '\t':
            out += QLatin1String("&#x9;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

void writeEntry(QString& out, const QDomElement& entry, const QStringList& order)
{
    out += QLatin1String("        <") + entry.tagName();
    for (const QString& name : order) {
        if (entry.hasAttribute(name))
            out += QLatin1Char(' ') + name + QLatin1String("=\"") +
                   escapeAttribute(entry.attribute(name)) + QLatin1Char('"');
    }
    out += QLatin1String("/>\n");
}

// The document as the history file holds it: the document type line, then the tree with an
// indent of 4 and every entry's attributes in their fixed order.
QByteArray serialize(const QDomDocument& document)
{
    QString out = QStringLiteral("<!DOCTYPE transfers>\n");
    const QDomElement root = document.documentElement();
    if (root.isNull())
        return out.toUtf8();
    out += QLatin1Char('<') + root.tagName() + QLatin1String(">\n");
    for (QDomElement group = root.firstChildElement(); !group.isNull();
         group = group.nextSiblingElement()) {
        const QStringList& order =
            group.tagName() == QLatin1String("Uploads") ? uploadAttributes() : downloadAttributes();
        if (group.firstChildElement().isNull()) {
            out += QLatin1String("    <") + group.tagName() + QLatin1String("/>\n");
            continue;
        }
        out += QLatin1String("    <") + group.tagName() + QLatin1String(">\n");
        for (QDomElement entry = group.firstChildElement(); !entry.isNull();
             entry = entry.nextSiblingElement())
            writeEntry(out, entry, order);
        out += QLatin1String("    </") + group.tagName() + QLatin1String(">\n");
    }
    out += QLatin1String("</") + root.tagName() + QLatin1String(">\n");
    return out.toUtf8();
}

QDomElement childNamed(QDomNode& parent, QDomDocument& document, const QString& name)
{
    QDomElement child = parent.firstChildElement(name);
    if (child.isNull()) {
        child = document.createElement(name);
        parent.appendChild(child);
    }
    return child;
}

} // namespace

QString DCommandManager::historyFilePath() const
{
    return dataFolder() + QDir::separator() + QStringLiteral("transfers_") + m_userName;
}

void DCommandManager::loginSetUp()
{
    m_historyFile = std::make_unique<QFile>(historyFilePath());
    emit di_loggedIn();
}

void DCommandManager::addToHistory(DTransferCommand* transfer)
{
    if (!transfer)
        return;
    QDomElement root = m_history.documentElement();
    if (root.isNull()) {
        root = m_history.createElement(tr("Transfers"));
        m_history.appendChild(root);
    }
    const QString entryName = tr("cmd%1").arg(transfer->id());
    if (auto* upload = qobject_cast<DUploadCommand*>(transfer)) {
        QDomElement group = childNamed(root, m_history, tr("Uploads"));
        QDomElement entry = childNamed(group, m_history, entryName);
        entry.setAttribute(tr("filename"), upload->localFilePath());
        entry.setAttribute(tr("serverfilename"), upload->serverFileName());
        entry.setAttribute(tr("folderId"), upload->folderId());
        entry.setAttribute(tr("size"), QString::number(upload->totalSize()));
        saveHistory();
    } else if (auto* download = qobject_cast<DDownloadCommand*>(transfer)) {
        QDomElement group = childNamed(root, m_history, tr("Downloads"));
        QDomElement entry = childNamed(group, m_history, entryName);
        entry.setAttribute(tr("filename"), download->partialPath());
        entry.setAttribute(tr("folderId"), download->fileId());
        // The whole file as the service reported it, not what is on disk yet.
        entry.setAttribute(tr("size"), QString::number(download->serviceSize()));
        entry.setAttribute(tr("link"), download->linkText());
        entry.setAttribute(tr("playable"),
                           download->isPlayable() ? QStringLiteral("1") : QStringLiteral("0"));
        saveHistory();
    }
}

bool DCommandManager::removeFromHistory(DTransferCommand* transfer)
{
    if (!transfer || transfer->status() == StatusRunning)
        return false;
    const QString groupName =
        transfer->commandType() == CmdUpload ? tr("Uploads") : tr("Downloads");
    QDomElement root = m_history.documentElement();
    if (root.isNull())
        return false;
    QDomElement group = root.firstChildElement(groupName);
    if (group.isNull())
        return false;
    QDomElement entry = group.firstChildElement(tr("cmd%1").arg(transfer->id()));
    if (entry.isNull())
        return false;
    group.removeChild(entry);
    if (!group.hasChildNodes())
        root.removeChild(group);
    if (!root.hasChildNodes())
        m_history.removeChild(root);
    saveHistory();
    return true;
}

void DCommandManager::saveHistory()
{
    if (!m_historyFile)
        return;
    // Written beside the old list and renamed over it: a crash or a full disk never loses it.
    QSaveFile file(m_historyFile->fileName());
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(serialize(m_history));
    file.commit();
}

namespace {

bool readHistory(const QString& path, QDomDocument& document)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("Could not open history file"));
        return false;
    }
    if (!document.setContent(&file, true)) {
        logError(QStringLiteral("History corrupted"));
        file.close();
        return false;
    }
    file.close();
    return true;
}

} // namespace

bool DCommandManager::hasHistory()
{
    const QString path = m_historyFile ? m_historyFile->fileName() : historyFilePath();
    const QFileInfo info(path);
    if (!info.exists() || info.size() <= 0)
        return false;
    QDomDocument document;
    if (!readHistory(path, document))
        return false;
    const QDomElement root = document.documentElement();
    return !root.firstChildElement(tr("Downloads")).firstChildElement().isNull() ||
           !root.firstChildElement(tr("Uploads")).firstChildElement().isNull();
}

void DCommandManager::restoreHistory()
{
    if (!hasHistory())
        return;
    QDomDocument document;
    if (!readHistory(m_historyFile ? m_historyFile->fileName() : historyFilePath(), document))
        return;
    const QDomElement root = document.documentElement();

    const QDomElement downloads = root.firstChildElement(tr("Downloads"));
    if (!downloads.isNull()) {
        if (!DGlobals::canDownload) {
            const QString text = tr("Your account Can NOT Downloads!");
            showMessage(text);
            logError(text);
            return;
        }
        for (QDomElement entry = downloads.firstChildElement(); !entry.isNull();
             entry = entry.nextSiblingElement()) {
            const QString fileName = entry.attribute(tr("filename"));
            DDownloadCommand* download = restoreDownload(entry.attribute(tr("folderId")), fileName);
            if (!download) {
                logError(QStringLiteral("History transfer may be corrupt!"));
                continue;
            }
            const QString link = entry.attribute(tr("link"));
            download->setLinkText(link);
            reportTransferStatus(download->id(), fileName, QFileInfo(fileName).fileName(),
                                 TransferQueued, QString(),
                                 entry.attribute(tr("size")).toLongLong(nullptr, 10));
            reportUpdateLink(download->id(), link);
            download->setPlayable(
                entry.attribute(tr("playable"), QStringLiteral("false")).toInt(nullptr, 10) != 0);
            download->restorePaused();
            // The entry was written before the link and the flag were known: write them too.
            addToHistory(download);
        }
    }

    const QDomElement uploads = root.firstChildElement(tr("Uploads"));
    if (uploads.isNull())
        return;
    if (!DGlobals::canModify) {
        const QString text = tr("Your account Can NOT Uploads!");
        showMessage(text);
        logError(text);
        return;
    }
    for (QDomElement entry = uploads.firstChildElement(); !entry.isNull();
         entry = entry.nextSiblingElement()) {
        const QString fileName = entry.attribute(tr("filename"));
        DUploadCommand* upload = restoreUpload(fileName, entry.attribute(tr("serverfilename")),
                                               entry.attribute(tr("folderId")));
        if (!upload) {
            logError(QStringLiteral("History transfer may be corrupt!"));
            continue;
        }
        reportTransferStatus(upload->id(), fileName, QFileInfo(fileName).fileName(), TransferQueued,
                             QString(), entry.attribute(tr("size")).toLongLong(nullptr, 10));
        upload->restorePaused();
    }
}
