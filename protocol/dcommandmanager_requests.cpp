#include "engine/dcommandmanager.h"

#include "engine/dcommand.h"
#include "engine/dglobals.h"
#include "engine/dprompt.h"
#include "protocol/dcdcommand.h"
#include "protocol/dlogincommand.h"
#include "protocol/dmachineid.h"
#include "support/dlog.h"
#include "support/dscramble.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>

namespace {

// What the log and the dump show instead of a password.
const QString PasswordMask = QStringLiteral("********");

// Base + parameter name + the payload's standard Base64 text, taken as it is: the service
// expects "+", "/" and "=" unescaped.
QUrl requestUrl(const QString& base, const char* parameter, const QString& payload)
{
    const QByteArray address =
        base.toUtf8() + parameter + payload.toUtf8().toBase64(QByteArray::Base64Encoding);
    return QUrl::fromEncoded(address, QUrl::StrictMode);
}

void refuse(const QString& text)
{
    prompt()->showMessage(text);
    logError(text);
}

// The refusal text of a kind that needs a permission, or an empty text when none is needed.
QString refusalText(int kind)
{
    switch (kind) {
    case DCommandManager::KindCreateFolder:
        return DCommandManager::tr("Your account Can NOT CreateFolder!");
    case DCommandManager::KindRename:
        return DCommandManager::tr("Your account Can NOT RenameOperation!");
    case DCommandManager::KindMove:
        return DCommandManager::tr("Your account Can NOT MoveOperation!");
    case DCommandManager::KindDelete:
        return DCommandManager::tr("Your account Can NOT DeleteOperation!");
    case DCommandManager::KindUpload:
        return DCommandManager::tr("Your account Can NOT Upload!");
    case DCommandManager::KindDownload:
        return DCommandManager::tr("Your account Can NOT Download!");
    default:
        return QString();
    }
}

// A transfer must survive a restart: its names go into the history file, which can not carry
// control characters. Such a name is refused before anything starts.
QString controlCharacterText(const QString& path)
{
    QString shown = path;
    for (QChar& c : shown) {
        if (c.unicode() < 0x20)
            c = QChar(0xFFFD);
    }
    return DCommandManager::tr("The name %1 holds a control character and can not be "
                               "transferred")
        .arg(shown);
}

bool permitted(int kind)
{
    if (kind == DCommandManager::KindDownload)
        return DGlobals::canDownload;
    if (kind >= DCommandManager::KindCreateFolder && kind <= DCommandManager::KindUpload)
        return DGlobals::canModify;
    return true;
}

QString fileNameOf(const QString& localPath)
{
    QString name = localPath.mid(localPath.lastIndexOf(QLatin1Char('/')) + 1);
    return name.mid(name.lastIndexOf(QDir::separator()) + 1);
}

QString serverFileNameFor(const QString& fileName)
{
    const QDateTime now = QDateTime::currentDateTime();
    return fileName + QLatin1Char('.') + now.toString(QStringLiteral("yyyy-MM-dd")) +
           QLatin1Char('-') + now.toString(QStringLiteral("hh-mm-ss-zzz"));
}

QString scrambled(const QString& password)
{
    const CByte text = Scramble(CByte(password.toLatin1().constData()));
    return QString::fromLatin1(reinterpret_cast<const char*>(text.GetData()),
                               static_cast<int>(text.GetLength()));
}

} // namespace

QString DCommandManager::machineId()
{
    return DMachineId::current();
}

QString DCommandManager::baseAddress() const
{
    return QStringLiteral("http://") + m_serviceHost + QLatin1Char(':') + m_servicePort +
           QStringLiteral("/tool/?");
}

QString DCommandManager::secureBaseAddress() const
{
    const QString port = DGlobals::securePort();
    return QStringLiteral("https://") + m_serviceHost +
           (port.isEmpty() ? QString() : QLatin1Char(':') + port) + QStringLiteral("/tool/?");
}

QString DCommandManager::credentialText() const
{
    return machineId().remove(QLatin1Char(':')) + QLatin1Char('#') +
           QLatin1String(DGlobals::Version) + QLatin1Char('/') + m_userName + QLatin1Char('/') +
           m_password;
}

QString DCommandManager::maskedRequest(const QUrl& request) const
{
    if (request.scheme() == QLatin1String("ftp")) {
        QUrl copy = request;
        if (!copy.password().isEmpty())
            copy.setPassword(PasswordMask);
        return copy.toString();
    }
    const QByteArray encoded = request.toEncoded();
    const int question = encoded.indexOf('?');
    const int equals = encoded.indexOf('=', question + 1);
    if (question < 0 || equals < 0)
        return request.toString();
    const QByteArray payload = encoded.mid(equals + 1);
    const auto decoded =
        QByteArray::fromBase64Encoding(payload, QByteArray::AbortOnBase64DecodingErrors);
    if (payload.isEmpty() || !decoded)
        return request.toString();

    // Payload: machine id "#" version ["/" user "/" password ["/" field ...]].
    const QString text = QString::fromUtf8(*decoded);
    const int hash = text.indexOf(QLatin1Char('#'));
    const int credentials = text.indexOf(QLatin1Char('/'), hash + 1);
    QString readable = text;
    if (credentials >= 0) {
        const QString head = text.left(credentials + 1);
        const QString known = m_userName + QLatin1Char('/') + m_password;
        const QString rest = text.mid(credentials + 1);
        const bool matches = rest.startsWith(known) && (rest.size() == known.size() ||
                                                        rest.at(known.size()) == QLatin1Char('/'));
        // A request built for other credentials than the session's is hidden after the
        // version: its password cannot be told apart from the other fields.
        readable =
            matches ? head + m_userName + QLatin1Char('/') + PasswordMask + rest.mid(known.size())
                    : head + PasswordMask;
    }
    return QString::fromUtf8(encoded.left(equals + 1)) + QLatin1Char('{') + readable +
           QLatin1Char('}');
}

void DCommandManager::abortLoginCommands()
{
    const QList<DCommand*> commands = m_registry;
    for (DCommand* command : commands) {
        if (command->commandType() == CmdLogin)
            abort(command->id());
    }
}

DCommand* DCommandManager::buildCommand(int kind, const QString& a, const QString& b,
                                        const QString& c)
{
    if (m_serviceHost.isEmpty())
        return nullptr;
    const QString base = baseAddress();
    const QString credentials = credentialText();
    if (!permitted(kind)) {
        refuse(refusalText(kind));
        return nullptr;
    }

    DCommand* command = nullptr;
    switch (kind) {
    case KindStartup: {
        auto* startup = new DLoginCommand();
        registerCommand(startup);
        startup->url = requestUrl(base, "startup=",
                                  machineId().remove(QLatin1Char(':')) + QLatin1Char('#') +
                                      QLatin1String(DGlobals::Version));
        return startup;
    }
    case KindLogin: {
        // Only one login at a time: this also ends a startup request that is still retrying.
        abortLoginCommands();
        auto* login = new DLoginCommand();
        login->setStartup(false);
        registerCommand(login);
        login->url = requestUrl(base, "folder=", credentials);
        clearContents();
        return login;
    }
    case KindListFolder: {
        auto* listing = new DCdCommand();
        registerCommand(listing);
        listing->setFolderId(a);
        listing->url = requestUrl(base, "folder=", credentials + QLatin1Char('/') + a);
        return listing;
    }
    case KindCreateFolder:
        command = new DCommand();
        registerCommand(command);
        command->url =
            requestUrl(base, "create_folder=",
                       credentials + QLatin1Char('/') + m_currentFolderId + QLatin1Char('/') + a);
        break;
    case KindRename:
        command = new DCommand();
        registerCommand(command);
        command->url = requestUrl(base, "rename_f=",
                                  credentials + QLatin1Char('/') + a + QLatin1Char('/') + b +
                                      QLatin1Char('/') + m_currentFolderId);
        break;
    case KindMove:
        command = new DCommand();
        registerCommand(command);
        command->url = requestUrl(base, "move_f=",
                                  credentials + QLatin1Char('/') + a + QLatin1Char('/') + b +
                                      QLatin1Char('/') + m_currentFolderId);
        break;
    case KindDelete:
        command = new DCommand();
        registerCommand(command);
        command->url = requestUrl(base, "delete_f=", credentials + QLatin1Char('/') + a);
        break;
    case KindUpload:
        return buildUpload(a, QString(), m_currentFolderId);
    case KindDownload:
        return buildDownload(base, a, b, c, false);
    case KindPlain:
        command = new DCommand();
        registerCommand(command);
        return command;
    default:
        return nullptr;
    }
    // A change is followed by a fresh listing of the folder that was current when it was
    // asked for; the listing starts only when the change succeeded.
    command->next = buildCommand(KindListFolder, m_currentFolderId);
    return command;
}

DUploadCommand* DCommandManager::buildUpload(const QString& localPath,
                                             const QString& storedServerFileName,
                                             const QString& folderId, qint64 historyKey)
{
    m_ftpHost = DGlobals::ftpHost();
    m_ftpPort = DGlobals::ftpPort();
    const QFileInfo source(localPath);
    if (!source.isFile())
        return nullptr;
    if (!isRecordable(localPath)) {
        refuse(controlCharacterText(localPath));
        return nullptr;
    }
    auto* upload = new DUploadCommand(localPath);
    registerCommand(upload);
    const QString fileName = fileNameOf(localPath);
    const QString serverFileName =
        storedServerFileName.isEmpty() ? serverFileNameFor(fileName) : storedServerFileName;

    QUrl address;
    address.setScheme(QStringLiteral("ftp"));
    address.setHost(m_ftpHost);
    address.setPath(QLatin1Char('/') + serverFileName);
    address.setUserName(m_userName);
    address.setPassword(scrambled(m_password));
    bool portOk = false;
    const int port = m_ftpPort.toInt(&portOk, 10);
    if (portOk && port > 0)
        address.setPort(port);
    upload->url = address;

    // The upload registers the file itself, as the last step of its attempt: it is done only
    // once the service has it. Then the folder is listed again.
    upload->setRegistration(
        requestUrl(baseAddress(), "upload_done=",
                   credentialText() + QLatin1Char('/') + serverFileName + QLatin1Char('/') +
                       fileName + QLatin1Char('/') + QString::number(source.size()) +
                       QLatin1Char('/') + folderId),
        requestUrl(baseAddress(), "folder=", credentialText() + QLatin1Char('/') + folderId));
    upload->next = buildCommand(KindListFolder, m_currentFolderId);

    upload->setServerFileName(serverFileName);
    upload->setFolderId(folderId);
    // Another file of this name and size in the folder, or on its way there: the listing can
    // not tell them apart. A restored upload takes this from its entry.
    const QString alike = uploadsAlikeKey(upload);
    if (storedServerFileName.isEmpty())
        upload->setNamesake(!listedFolderLacks(folderId, fileName, source.size()));
    for (auto it = m_uploadsAlike.constFind(alike);
         it != m_uploadsAlike.constEnd() && it.key() == alike; ++it) {
        auto* other = static_cast<DUploadCommand*>(it.value());
        upload->setNamesake(true);
        if (!other->hasNamesake()) {
            other->setNamesake(true);
            // Its entry too, while it has one (a finished upload has none any more).
            if (m_historyKeyById.contains(other->id()))
                addToHistory(other);
        }
    }
    m_uploadsAlike.insert(alike, upload);
    recordInHistory(upload, historyKey);
    return upload;
}

DDownloadCommand* DCommandManager::buildDownload(const QString& base, const QString& fileId,
                                                 const QString& localTarget,
                                                 const QString& linkText, bool restored,
                                                 qint64 historyKey)
{
    if (!isRecordable(localTarget)) {
        refuse(controlCharacterText(localTarget));
        return nullptr;
    }
    const QString payload = credentialText() + QLatin1Char('/') + fileId;
    const QUrl linkRequest = requestUrl(base, "dlfile=", payload);
    auto* download = new DDownloadCommand(QString::fromLatin1(linkRequest.toEncoded()), localTarget,
                                          fileId, restored);
    registerCommand(download);
    download->setLinkText(linkText);
    // A link request that failed is reported at once. The command is then over: no notice
    // follows it and nothing is kept for a later restore.
    if (!restored && download->status() == StatusFailed) {
        download->finish(true);
        return download;
    }
    DCommand* notice = buildCommand(KindPlain);
    notice->url = requestUrl(base, "dlfile_ok=", payload);
    download->next = notice;
    recordInHistory(download, historyKey);
    return download;
}

void DCommandManager::startEngine()
{
    if (m_serviceHost.isEmpty())
        return;
    DCommand* startup = buildCommand(KindStartup);
    if (!startup)
        return;
    showInLogView(tr("Connecting to %1").arg(m_serviceHost));
    logToFile(QStringLiteral("Connecting to web server..."));
    startup->dstart();
}

int DCommandManager::startRequest(DCommand* command)
{
    if (!command)
        return -1;
    command->dstart();
    return command->id();
}

int DCommandManager::login(const QString& user, const QString& password)
{
    m_userName = user;
    m_password = password;
    DGlobals::setUserName(user);
    return startRequest(buildCommand(KindLogin));
}

int DCommandManager::listFolder(const QString& folderId, const QString& name)
{
    m_currentFolderName = name;
    return startRequest(buildCommand(KindListFolder, folderId));
}

int DCommandManager::createFolder(const QString& name)
{
    return startRequest(buildCommand(KindCreateFolder, name));
}

int DCommandManager::renameEntry(const QString& entryId, const QString& newName)
{
    return startRequest(buildCommand(KindRename, entryId, newName));
}

int DCommandManager::moveEntry(const QString& destinationFolderId, const QString& entryId)
{
    return startRequest(buildCommand(KindMove, entryId, destinationFolderId));
}

int DCommandManager::deleteEntry(const QString& entryId)
{
    return startRequest(buildCommand(KindDelete, entryId));
}

DTreeElementList DCommandManager::listFolderNow(const QString& folderId)
{
    QPointer<DCdCommand> listing =
        qobject_cast<DCdCommand*>(buildCommand(KindListFolder, folderId));
    if (!listing)
        return {};
    listing->setNotify(false);
    DTreeElementList entries;
    QEventLoop loop;
    connect(listing, &DCdCommand::di_listed, &loop, [&](const DTreeElementList& listed) {
        entries = listed;
        loop.quit();
    });
    // The manager (and with it the command) may go while the loop runs: the user quit.
    connect(listing, &QObject::destroyed, &loop, &QEventLoop::quit);
    listing->dstart();
    loop.exec();
    return entries;
}

int DCommandManager::listFolderQuietly(const QString& folderId)
{
    auto* listing = qobject_cast<DCdCommand*>(buildCommand(KindListFolder, folderId));
    if (!listing)
        return -1;
    listing->setNotify(false);
    const int id = listing->id();
    connect(listing, &DCdCommand::di_listed, this,
            [this, listing, id](const DTreeElementList& entries) {
                const bool ok = listing->status() == StatusFinished;
                emit di_folderListed(id, entries, ok,
                                     ok || !listing->message.isEmpty()
                                         ? listing->message
                                         : tr("The listing was stopped"));
            });
    listing->dstart();
    return id;
}

void DCommandManager::reportListingFailed(const QString& folderId, const QString& message)
{
    emit di_listingFailed(folderId, message);
}

DDownloadCommand* DCommandManager::restoreDownload(const QString& fileId,
                                                   const QString& localTarget, qint64 historyKey)
{
    if (m_serviceHost.isEmpty())
        return nullptr;
    if (!DGlobals::canDownload) {
        refuse(refusalText(KindDownload));
        return nullptr;
    }
    return buildDownload(secureBaseAddress(), fileId, localTarget, QString(), true, historyKey);
}

DUploadCommand* DCommandManager::restoreUpload(const QString& localPath,
                                               const QString& serverFileName,
                                               const QString& folderId, qint64 historyKey)
{
    if (m_serviceHost.isEmpty())
        return nullptr;
    return buildUpload(localPath, serverFileName, folderId, historyKey);
}
