#pragma once

#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"

#include <QJsonArray>
#include <QtTest>

#include <algorithm>
#include <memory>

// Alice's seeded 2 MiB file on the stand-in service.
inline const QString BigId = QStringLiteral("201");
constexpr qint64 BigSize = 2097152;
inline const QString EmptyHistory = QStringLiteral("<!DOCTYPE transfers>\n");

// One user session against the stand-in service: a manager logged in as alice in the current
// HOME, every transfer report it sends and the latest progress of each command.
class TransferSession : public QObject
{
public:
    static constexpr int Timeout = 20000;

    struct Report
    {
        int id, status;
        QString err;
        long long size;
    };

    std::unique_ptr<DCommandManager> manager;
    QList<Report> reports;

    // A new manager keeps the HOME, so a second call is a restart.
    bool openManager()
    {
        reports.clear();
        manager = std::make_unique<DCommandManager>();
        connect(manager.get(), &DCommandManager::di_dataTransferStatus, this,
                [this](int id, const QString&, const QString&, DTransferStatus st,
                       const QString& err, long long size) {
                    reports.append({id, int(st), err, size});
                });
        QSignalSpy started(manager.get(), &DCommandManager::di_engineStarted);
        QSignalSpy loggedIn(manager.get(), &DCommandManager::di_loggedIn);
        manager->startEngine();
        if (!QTest::qWaitFor([&] { return !started.isEmpty(); }, Timeout))
            return false;
        manager->login(QStringLiteral("alice"), QStringLiteral("secret"));
        return QTest::qWaitFor([&] { return !loggedIn.isEmpty(); }, Timeout);
    }

    const Report* lastReport(int id, int status) const
    {
        const auto it = std::find_if(reports.crbegin(), reports.crend(), [&](const Report& r) {
            return r.id == id && r.status == status;
        });
        return it == reports.crend() ? nullptr : &*it;
    }

    // Waits for the end of a command; true when it ended done.
    bool finishes(int id)
    {
        return QTest::qWaitFor(
                   [&] { return lastReport(id, TransferDone) || lastReport(id, TransferError); },
                   Timeout) &&
               lastReport(id, TransferDone);
    }

    // What a command's queue row showed, errors included, for failure messages.
    QByteArray trace(int id) const
    {
        QStringList texts;
        for (const Report& r : reports) {
            if (r.id == id && (r.status == TransferMessage || r.status == TransferError))
                texts << r.err;
        }
        return QStringLiteral("status %1: %2")
            .arg(manager->status(id))
            .arg(texts.join(QStringLiteral(" | ")))
            .toLocal8Bit();
    }

    // Resumes a command the way the queue row does.
    int resumed(int id)
    {
        manager->resume(id);
        manager->flush();
        return id;
    }

    DTransferCommand* transfer(int id) const
    {
        return qobject_cast<DTransferCommand*>(manager->findCommand(id));
    }

    // Deterministic, non-repeating bytes for upload sources (size a multiple of 4).
    static QByteArray pattern(int size, int seed)
    {
        QByteArray data(size, Qt::Uninitialized);
        QRandomGenerator(quint32(seed))
            .fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
        return data;
    }
};

// What the transfer tests share: the stand-in service (started with the first session, for
// every test of the program) and, per test, a session in a fresh HOME with an empty folder.
class TransferFixture : public TransferSession
{
public:
    StandIn standIn;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
    QString folder;

    // A scripted fault of the stand-in service.
    static QJsonObject fault(const char* kind, const char* action, QJsonObject more = {})
    {
        more["kind"] = kind;
        more["action"] = action;
        return more;
    }

    // Arms the faults, then starts the transfer by force or resumes it as the row does.
    void startUnder(const QJsonArray& faults, int id, bool force)
    {
        for (const auto& fault : faults)
            standIn.addFault(fault.toObject());
        if (force)
            manager->forceStart(id);
        else
            resumed(id);
    }

    bool openSession(const QString& subfolder)
    {
        if (standIn.httpPort() == 0) {
            DTimings::setScale(0.01);
            if (!standIn.start())
                return false;
            standIn.applyEnvironment();
        }
        standIn.reset();
        home = std::make_unique<TestHome>();
        prompts = std::make_unique<ScriptedPrompt>();
        folder = home->path() + QLatin1Char('/') + subfolder;
        return QDir().mkpath(folder) && openManager();
    }

    void closeAll()
    {
        manager.reset();
        prompts.reset();
        home.reset();
    }

    // The file once the pending save (changes are saved a moment later) ran.
    QString historyText() const
    {
        if (manager)
            manager->saveHistoryNow();
        return QString::fromUtf8(readFile(home->dataFolder() + QStringLiteral("/transfers_alice")));
    }

    QString target(const QString& name) const { return folder + QLatin1Char('/') + name; }

    int startBig(const QString& name = QStringLiteral("big.bin"))
    {
        return manager->startDownload(target(name), BigId, BigSize, QStringLiteral("L"));
    }

    QString bigSha() const { return standIn.fileSha256(QStringLiteral("alice"), BigId); }

    // The seeded file's bytes, fetched once through the engine itself. Its completion notice
    // follows the done report: once it reached the service, it cannot land among the requests
    // of the test that asked for the bytes.
    QByteArray bigContent()
    {
        static QByteArray content;
        const QString whole = target(QStringLiteral("whole.bin"));
        if (content.isEmpty()) {
            const int notices = standIn.requests(QStringLiteral("dlfile_ok")).size();
            if (finishes(resumed(startBig(QStringLiteral("whole.bin")))) &&
                QTest::qWaitFor(
                    [&] { return standIn.requests(QStringLiteral("dlfile_ok")).size() > notices; },
                    Timeout))
                content = readFile(whole);
            QFile::remove(whole);
        }
        return content;
    }

    QString ftpSha(const QString& name) const
    {
        return standIn.ftpFile("alice", name).value("sha256").toString();
    }

    // One field of each logged request of a kind, "-" where it is missing.
    QStringList logged(const QString& kind, const QString& field) const
    {
        QStringList result;
        for (const auto& entry : standIn.requests(kind))
            result << entry.toObject().value(field).toString(QStringLiteral("-"));
        return result;
    }

    QStringList ranges() const { return logged("download", "range"); }
    // FTP command names, e.g. "SIZE", "APPE", "STOR".
    QStringList ftpCommands() const { return logged("ftp", "method"); }
};
