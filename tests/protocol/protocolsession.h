#pragma once

#include "engine/dcommand.h"
#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QtTest>

// One test function's own home, prompt recorder and manager. The manager talks to whatever
// service the environment names when it is built (a stand-in, or nothing at all).
struct ProtocolSession
{
    static constexpr int Timeout = 15000;

    TestHome home;
    ScriptedPrompt prompts;
    DCommandManager manager;

    // Logs in and waits until the login and everything it chained have gone.
    bool logIn(const QString& user = QStringLiteral("alice"),
               const QString& password = QStringLiteral("secret"))
    {
        QSignalSpy loggedIn(&manager, &DCommandManager::di_loggedIn);
        manager.login(user, password);
        return loggedIn.wait(Timeout) && settle();
    }

    bool settle()
    {
        return QTest::qWaitFor([this] { return manager.registry().isEmpty(); }, Timeout);
    }

    QString logText() const { return home.logLines().join('\n'); }
};

// Starts the stand-in for a whole test case, with the long timers cut to 1 %.
inline bool startStandIn(StandIn& standIn)
{
    DTimings::setScale(0.01);
    if (!standIn.start())
        return false;
    standIn.applyEnvironment();
    return true;
}

// The start of every payload but the startup's.
inline QString credentials(const QString& user = QStringLiteral("alice"),
                           const QString& password = QStringLiteral("secret"))
{
    return DGlobals::machineId() + "#2.56/" + user + "/" + password;
}
