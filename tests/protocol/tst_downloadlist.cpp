#include "engine/dcommandmanager.h"
#include "engine/dglobals.h"
#include "engine/dtimings.h"
#include "protocol/dlinkcheck.h"
#include "protocol/downloadlist.h"
#include "tests/common/scriptedprompt.h"
#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

// Pasted links: how a text splits into links, what a confirmed link yields, and the check
// against the stand-in service over verified HTTPS.
class TestDownloadList : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<StandIn> m_service;
    std::unique_ptr<DCommandManager> m_engine;

    // Pastes the text, runs the check and answers the three lists.
    QList<QStringList> check(DownloadList& dialog, const QString& pasted)
    {
        dialog.findChild<QPlainTextEdit*>()->setPlainText(pasted);
        QStringList names, ids, links;
        dialog.checkLinks(names, ids, links);
        return {names, ids, links};
    }

    static QString link(const QString& rest) { return "https://127.0.0.1/f/" + rest; }

private slots:
    void initTestCase()
    {
        m_home = std::make_unique<TestHome>();
        m_service = std::make_unique<StandIn>();
        QVERIFY(m_service->start());
        m_service->applyEnvironment();
        m_engine = std::make_unique<DCommandManager>();
    }

    void cleanup()
    {
        m_service->reset();
        DGlobals::setCaFile(m_service->caFile());
        DTimings::setScale(1);
    }

    void cleanupTestCase()
    {
        m_engine.reset();
        m_service.reset();
        m_home.reset();
    }

    void candidates_data()
    {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<QStringList>("ids");
        QTest::newRow("one per line")
            << "https://h/f/101/a\nhttps://h/f/102/b\n"
            << QStringList{"https://h/f/101/a", "https://h/f/102/b"} << QStringList{"101", "102"};
        QTest::newRow("two on one line")
            << "https://h/f/101/ahttps://h/f/102"
            << QStringList{"https://h/f/101/a", "https://h/f/102"} << QStringList{"101", "102"};
        QTest::newRow("http becomes https")
            << "http://h/f/abc" << QStringList{"https://h/f/abc"} << QStringList{"abc"};
        QTest::newRow("encoded blank and ampersand")
            << "https://h/f/7x%20y/a%26b" << QStringList{"https://h/f/7x y/a b"}
            << QStringList{"7x y"};
        QTest::newRow("text before the first link")
            << "see: https://h/f/101" << QStringList{"https://see:", "https://h/f/101"}
            << QStringList{"", "101"};
        QTest::newRow("white space between links dropped")
            << "\n  https://h/f/101 \n\n https://h/x"
            << QStringList{"https://h/f/101", "https://h/x"} << QStringList{"101", ""};
    }

    void candidates()
    {
        QFETCH(QString, pasted);
        QFETCH(QStringList, links);
        QFETCH(QStringList, ids);
        const QStringList found = DLinkCheck::candidates(pasted);
        QCOMPARE(found, links);
        QStringList foundIds;
        for (const QString& candidate : found)
            foundIds << DLinkCheck::linkId(candidate);
        QCOMPARE(foundIds, ids);
    }

    void canonicalLink_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("name"); // empty: not a canonical link
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("display");
        QTest::newRow(".file removed from the name")
            << link("101/a.txt.file") << "a.txt"
            << "101"
            << "<html><body> <div><a href=\"https://127.0.0.1/f/101/a.txt.file\">"
               "https://127.0.0.1/f/101/a.txt.file</a></div></body></html>";
        QTest::newRow("blank encoded in the display link")
            << link("102/my file") << "my file"
            << "102"
            << "<html><body> <div><a href=\"https://127.0.0.1/f/102/my%20file\">"
               "https://127.0.0.1/f/102/my%20file</a></div></body></html>";
        QTest::newRow("quote cannot leave the attribute")
            << link("103/a\"b") << "a\"b"
            << "103"
            << "<html><body> <div><a href=\"https://127.0.0.1/f/103/a%22b\">"
               "https://127.0.0.1/f/103/a%22b</a></div></body></html>";
        QTest::newRow("other host") << "https://elsewhere/f/101/a.file"
                                    << ""
                                    << ""
                                    << "";
        QTest::newRow("no name") << link("101") << ""
                                 << ""
                                 << "";
        QTest::newRow("folder reference") << link("101/..") << ""
                                          << ""
                                          << "";
        QTest::newRow("service refusal") << "Error: file not found"
                                         << ""
                                         << ""
                                         << "";
    }

    void canonicalLink()
    {
        QFETCH(QString, answer);
        QFETCH(QString, name);
        QCOMPARE(DLinkCheck::isCanonical(answer), !name.isEmpty());
        if (name.isEmpty())
            return;
        QCOMPARE(DLinkCheck::fileName(answer), name);
        QTEST(DLinkCheck::fileId(answer), "id");
        QTEST(DLinkCheck::displayLink(answer), "display");
    }

    // Valid, short-id, unknown, refused, foreign-host and non-service links in one paste:
    // one box per link the service does not confirm, the others collected at the end.
    void checkAgainstTheService()
    {
        m_service->addFault({{"kind", "checklink"},
                             {"action", "refuse"},
                             {"file", "102"},
                             {"text", "Link blocked"}});
        m_service->addFault({{"kind", "checklink"}, {"action", "foreign"}, {"file", "111"}});
        ScriptedPrompt prompt;
        DownloadList dialog;
        dialog.setEngine(m_engine.get());
        const QList<QStringList> found =
            check(dialog, "http://127.0.0.1/f/101/a.txt\n" + link("12/x") + " " +
                              link("999/nothing") + link("102") + "\n" + link("111/old.txt") +
                              "\nhttps://elsewhere.example/f/201/big.bin\n" + link("201/big.bin"));
        QCOMPARE(found[0], (QStringList{"a.txt", "big.bin"}));
        QCOMPARE(found[1], (QStringList{"101", "201"}));
        QVERIFY(found[2].at(1).contains("href=\"https://127.0.0.1/f/201/big.bin.file\""));

        const QStringList texts = prompt.texts();
        QCOMPARE(texts.size(), 5);
        QCOMPARE(texts.at(0), QString("INVALID LINK2: Error: not valid id?12"));
        QCOMPARE(texts.at(1), QString("INVALID LINK2: Error: file not found"));
        QVERIFY2(texts.at(2).startsWith("INVALID LINK2: ") && texts.at(2).contains("Link blocked"),
                 qPrintable(texts.at(2)));
        QCOMPARE(texts.at(3),
                 QString("INVALID LINK2: https://files.elsewhere.example/f/111/old.txt.file"));
        QCOMPARE(
            texts.at(4),
            QString("Error, this link not valid:\nhttps://elsewhere.example/f/201/big.bin\n "));

        QStringList asked;
        for (const QJsonValue& request : m_service->requests("checklink"))
            asked << request.toObject().value("payload").toString();
        QCOMPARE(asked, (QStringList{"101", "999", "102", "111", "201"}));
    }

    // The check trusts only verified servers: without the service's authority it fails clearly.
    void unverifiedServiceRefused()
    {
        DGlobals::setCaFile(QString());
        ScriptedPrompt prompt;
        DownloadList dialog;
        QVERIFY(check(dialog, link("101/a.txt"))[0].isEmpty());
        QCOMPARE(prompt.texts().size(), 1);
        QVERIFY2(prompt.texts().at(0).startsWith(
                     "INVALID LINK2: Error: the service's certificate could not be verified"),
                 qPrintable(prompt.texts().at(0)));
        QVERIFY(m_service->requests("checklink").isEmpty());
    }

    // A silent service ends each check by its time-out; "Cancel" ends the whole check at once
    // and starts nothing.
    void slowService_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("time-out") << false;
        QTest::newRow("cancel") << true;
    }

    void slowService()
    {
        QFETCH(bool, cancel);
        DTimings::setScale(cancel ? 1.0 : 0.05); // a 1.5 s time-out
        m_service->addFault(
            {{"kind", "checklink"}, {"action", "delay"}, {"seconds", 3}, {"file", "102"}});
        ScriptedPrompt prompt;
        DownloadList dialog;
        if (cancel) {
            QTimer::singleShot(300, &dialog, [&dialog] {
                QTest::mouseClick(dialog.findChild<QProgressDialog*>()->findChild<QPushButton*>(),
                                  Qt::LeftButton);
            });
        }
        const QList<QStringList> found = check(dialog, link("101/a.txt\n") + link("102/notes.txt"));
        if (cancel) {
            QVERIFY(found[0].isEmpty());
            QVERIFY(prompt.texts().isEmpty());
        } else {
            QCOMPARE(found[0], QStringList{"a.txt"});
            QCOMPARE(prompt.texts().size(), 1);
            QVERIFY2(prompt.texts().at(0).startsWith("INVALID LINK2: Error: "),
                     qPrintable(prompt.texts().at(0)));
        }
    }
};

QTEST_MAIN(TestDownloadList)
#include "tst_downloadlist.moc"
