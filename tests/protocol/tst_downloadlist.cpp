#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "protocol/dlinkcheck.h"
#include "protocol/downloadlist.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QPlainTextEdit>
#include <QtTest>

#include <memory>

// Pasted links: what a confirmed link yields, and the check against the stand-in service over
// verified HTTPS.
class TestDownloadList : public QObject
{
    Q_OBJECT

    TestHome m_home;
    StandIn m_service;
    std::unique_ptr<DCommandManager> m_engine;

    // Pastes the text, runs the check and answers the names and ids found.
    static QStringList check(DownloadList& dialog, const QString& pasted)
    {
        dialog.findChild<QPlainTextEdit*>()->setPlainText(pasted);
        QStringList names, ids, found;
        dialog.checkLinks(names, ids, found);
        for (int i = 0; i < names.size(); ++i)
            names[i] += "#" + ids.value(i);
        return names;
    }

    static QString link(const QString& rest) { return "https://127.0.0.1/f/" + rest; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_service.start());
        m_service.applyEnvironment();
        m_engine = std::make_unique<DCommandManager>();
    }

    void cleanup()
    {
        m_service.reset();
        DGlobals::setCaFile(m_service.caFile());
        DTimings::setScale(1);
    }

    // Valid, short-id, unknown, refused, foreign-host and non-service links in one paste.
    void checkAgainstTheService()
    {
        m_service.addFault({{"kind", "checklink"},
                            {"action", "refuse"},
                            {"file", "102"},
                            {"text", "Link blocked"}});
        m_service.addFault({{"kind", "checklink"}, {"action", "foreign"}, {"file", "111"}});
        ScriptedPrompt prompt;
        DownloadList dialog;
        dialog.setEngine(m_engine.get());
        QCOMPARE(check(dialog, "http://127.0.0.1/f/101/a.txt\n" + link("12/x") + " " +
                                   link("999/nothing") + link("102") + "\n" + link("111/old.txt") +
                                   "\nhttps://elsewhere.example/f/201/big.bin\n" +
                                   link("201/big.bin")),
                 (QStringList{"a.txt#101", "big.bin#201"}));

        // One report at the end: the four links the service did not confirm, the foreign one.
        QCOMPARE(prompt.calls.size(), 1);
        QCOMPARE(prompt.calls.at(0).text.count("INVALID LINK2: "), 4);
        QVERIFY(prompt.calls.at(0).text.contains("https://elsewhere.example/f/201/big.bin"));
        QStringList asked;
        for (const QJsonValue& request : m_service.requests("checklink"))
            asked << request.toObject().value("payload").toString();
        QCOMPARE(asked, (QStringList{"101", "999", "102", "111", "201"}));
        // A confirmed name that is a folder reference names no file.
        QVERIFY(!DLinkCheck::isCanonical(link("101/..")));
    }

    // Checks that fail for the whole paste: a server the check cannot verify, a silent service
    // (each check ends by its time-out).
    void failingChecks_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("unverified") << "unverified" << QStringList{};
        QTest::newRow("time-out") << "time-out" << QStringList{"a.txt#101"};
    }

    void failingChecks()
    {
        QFETCH(QString, failure);
        if (failure == "unverified")
            DGlobals::setCaFile(QString());
        DTimings::setScale(failure == "time-out" ? 0.05 : 1.0); // a 1.5 s time-out
        m_service.addFault(
            {{"kind", "checklink"}, {"action", "delay"}, {"seconds", 3}, {"file", "102"}});
        ScriptedPrompt prompt;
        DownloadList dialog;
        QTEST(check(dialog, link("101/a.txt\n") + link("102/notes.txt")), "found");
        QCOMPARE(prompt.calls.size(), 1);
    }
};

QTEST_MAIN(TestDownloadList)
#include "tst_downloadlist.moc"
