#pragma once

#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"
#include "transfers/ddownloadcommand.h"
#include "transfers/duploadcommand.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTest>

#include <memory>

// One user session against the stand-in service for the transfer tests: its own HOME, a
// scripted prompt, a manager logged in as alice, and every transfer report the manager sends.
class TransferSession : public QObject
{
public:
    static constexpr int Timeout = 20000;

    struct Report
    {
        int id;
        QString rFile;
        QString lFile;
        int status;
        QString err;
        long long size;
    };
    struct Progress
    {
        int id;
        long long progress;
    };

    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScriptedPrompt> prompts;
    std::unique_ptr<DCommandManager> manager;
    QList<Report> reports;
    QList<Progress> progress;
    QList<QPair<int, int>> statuses;
    bool loggedIn = false;
    bool engineStarted = false;

    // A fresh HOME and prompt.
    void openHome()
    {
        home = std::make_unique<TestHome>();
        prompts = std::make_unique<ScriptedPrompt>();
    }

    // A manager in the current HOME (a restart keeps the HOME), logged in as alice.
    bool openManager(bool login = true)
    {
        reports.clear();
        progress.clear();
        statuses.clear();
        loggedIn = engineStarted = false;
        manager = std::make_unique<DCommandManager>();
        connect(manager.get(), &DCommandManager::di_dataTransferStatus, this,
                [this](int id, const QString& r, const QString& l, DTransferStatus st,
                       const QString& err, long long size) {
                    reports.append({id, r, l, int(st), err, size});
                });
        connect(manager.get(), &DCommandManager::di_dataTransferProgress, this,
                [this](int id, long long p, double, int) {
                    progress.append({id, p});
                });
        connect(manager.get(), &DCommandManager::di_commandStatusChanged, this,
                [this](int id, CStatus st) {
                    statuses.append({id, int(st)});
                });
        connect(manager.get(), &DCommandManager::di_loggedIn, this, [this] { loggedIn = true; });
        connect(manager.get(), &DCommandManager::di_engineStarted, this,
                [this] { engineStarted = true; });
        if (!login)
            return true;
        manager->startEngine();
        if (!QTest::qWaitFor([this] { return engineStarted; }, Timeout))
            return false;
        manager->login(QStringLiteral("alice"), QStringLiteral("secret"));
        return QTest::qWaitFor([this] { return loggedIn; }, Timeout);
    }

    void closeManager() { manager.reset(); }

    void closeAll()
    {
        manager.reset();
        prompts.reset();
        home.reset();
    }

    // The last report of one kind for a command, or null.
    const Report* lastReport(int id, int status) const
    {
        for (int i = reports.size() - 1; i >= 0; --i) {
            if (reports.at(i).id == id && reports.at(i).status == status)
                return &reports.at(i);
        }
        return nullptr;
    }

    QStringList rowTexts(int id) const
    {
        QStringList texts;
        for (const Report& r : reports) {
            if (r.id == id && r.status == TransferMessage)
                texts << r.err;
        }
        return texts;
    }

    // Waits for TransferDone or TransferError of a command.
    bool waitForEnd(int id, int timeout = Timeout)
    {
        return QTest::qWaitFor(
            [&] { return lastReport(id, TransferDone) || lastReport(id, TransferError); }, timeout);
    }

    // Everything reported about a command, for failure messages.
    QByteArray trace(int id) const
    {
        QStringList lines;
        for (const Report& r : reports) {
            if (r.id == id)
                lines << QStringLiteral("report %1 [%2] [%3] [%4]")
                             .arg(r.status)
                             .arg(r.rFile, r.lFile, r.err);
        }
        QStringList states;
        for (const auto& s : statuses) {
            if (s.first == id)
                states << QString::number(s.second);
        }
        lines << QStringLiteral("statuses ") + states.join(QLatin1Char(' '));
        return lines.join(QLatin1Char('\n')).toLocal8Bit();
    }

    bool waitForStatus(int id, int status, int timeout = Timeout)
    {
        return QTest::qWaitFor([&] { return manager->status(id) == status; }, timeout);
    }

    // Resumes a command the way the queue row does.
    void resume(int id)
    {
        manager->resume(id);
        manager->flush();
    }

    DTransferCommand* transfer(int id) const
    {
        return qobject_cast<DTransferCommand*>(manager->findCommand(id));
    }

    QString historyText() const
    {
        QFile file(home->dataFolder() + QStringLiteral("/transfers_alice"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static bool writeFile(const QString& path, const QByteArray& content)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Deterministic bytes for upload sources.
    static QByteArray pattern(int size, int seed)
    {
        QByteArray data(size, Qt::Uninitialized);
        quint32 x = 2463534242u + quint32(seed);
        for (int i = 0; i < size; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            data[i] = char(x & 0xff);
        }
        return data;
    }

    // "Range" values of the stand-in's download log, in order ("-" when none was sent).
    static QStringList ranges(const StandIn& standIn)
    {
        QStringList result;
        for (const auto& entry : standIn.requests(QStringLiteral("download"))) {
            const QJsonValue range = entry.toObject().value(QStringLiteral("range"));
            result << (range.isString() ? range.toString() : QStringLiteral("-"));
        }
        return result;
    }

    // FTP command names the stand-in saw, e.g. "SIZE", "APPE", "STOR".
    static QStringList ftpCommands(const StandIn& standIn)
    {
        QStringList result;
        for (const auto& entry : standIn.requests(QStringLiteral("ftp")))
            result << entry.toObject().value(QStringLiteral("method")).toString();
        return result;
    }
};
