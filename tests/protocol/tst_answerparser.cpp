#include "protocol/danswerparser.h"
#include "tests/common/testhome.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// The detail filter and the listing document: what the remote pane and the information box get.
class TestAnswerParser : public QObject
{
    Q_OBJECT

private:
    static QStringList names(const DTreeElementList& list)
    {
        QStringList result;
        for (const auto& entry : list)
            result.append(entry->name + (entry->isFile ? "(f)" : "(d)") + ":" + entry->id);
        return result;
    }

    static QStringList leftoverListingFiles()
    {
        return QDir(QDir::tempPath())
            .entryList({QStringLiteral("ferrydesk-listing-*")}, QDir::Files | QDir::Hidden);
    }

private slots:
    void detailFilter_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("listingDetail");
        QTest::addColumn<QString>("accountDetail");
        QTest::addColumn<QByteArray>("xml");

        QTest::newRow("block on its own lines")
            << QByteArray("<detail>\n<b>Hi</b>\nline 2\n</detail>\n<r><value>1</value></r>\n")
            << "<b>Hi</b>\nline 2\n"
            << "<detail>\n<b>Hi</b>\nline 2\n</detail>" << QByteArray("<r><value>1</value></r>\n");
        QTest::newRow("text before the opening marker")
            << QByteArray("before<detail>\ninside\n</detail>\n<r/>\n") << "inside\n"
            << "before<detail>\ninside\n</detail>" << QByteArray("<r/>\n");
        QTest::newRow("text after the closing marker goes to the XML")
            << QByteArray("<detail>\ninside\n</detail><r><value>1</value></r>\n") << "inside\n"
            << "<detail>\ninside\n</detail>" << QByteArray("<r><value>1</value></r>\n");
        QTest::newRow("text before the closing marker is lost")
            << QByteArray("<detail>\ninside\ntail</detail>\n<r/>\n") << "inside\n"
            << "<detail>\ninside\n</detail>" << QByteArray("tail\n<r/>\n");
        QTest::newRow("both markers on one line open a block")
            << QByteArray("<detail>x</detail>\n<r/>\n</detail>\n<s/>\n") << "<r/>\n"
            << "<detail>x</detail>\n<r/>\n</detail>" << QByteArray("<s/>\n");
        QTest::newRow("no block at all")
            << QByteArray("<?xml version=\"1.0\"?>\r\n<r><value>1</value></r>") << ""
            << "" << QByteArray("<?xml version=\"1.0\"?>\n<r><value>1</value></r>\n");
    }

    void detailFilter()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, listingDetail);
        QFETCH(QString, accountDetail);
        QFETCH(QByteArray, xml);
        const auto listing = DAnswerParser::filterDetail(answer, DAnswerParser::ListingDetail);
        QCOMPARE(listing.detail, listingDetail);
        QCOMPARE(listing.xml, xml);
        const auto account = DAnswerParser::filterDetail(answer, DAnswerParser::AccountDetail);
        QCOMPARE(account.detail, accountDetail);
        QCOMPARE(account.xml, xml);
    }

    void listingEntries_data()
    {
        QTest::addColumn<QByteArray>("listData");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("currentFolder");

        QTest::newRow("files before a folder in the answer")
            << QByteArray("<file><name>a.txt</name><id>11</id></file>"
                          "<file><name>b.txt</name><id>12</id></file>"
                          "<folder><name>Docs</name><id>5</id></folder>"
                          "<current_folder_id>3</current_folder_id>")
            << QStringList{"Docs(d):5", "a.txt(f):11", "b.txt(f):12"} << "3";
        QTest::newRow("parent entry from parent_folder_id")
            << QByteArray("<parent_folder_id>12</parent_folder_id>"
                          "<file><name>x</name><id>1</id></file>"
                          "<folder><name>y</name><id>2</id></folder>")
            << QStringList{"..(d):12", "y(d):2", "x(f):1"} << "-1";
        QTest::newRow("empty parent id gives no parent entry")
            << QByteArray("<parent_folder_id></parent_folder_id>"
                          "<current_folder_id></current_folder_id>")
            << QStringList{} << "-1";
        QTest::newRow("folders keep document order")
            << QByteArray("<folder><name>b</name><id>2</id></folder>"
                          "<folder><name>a</name><id>1</id></folder>")
            << QStringList{"b(d):2", "a(d):1"} << "-1";
    }

    void listingEntries()
    {
        QFETCH(QByteArray, listData);
        QFETCH(QStringList, entries);
        QFETCH(QString, currentFolder);
        QDomDocument document;
        QVERIFY(document.setContent("<root><listdata>" + listData + "</listdata></root>"));
        const QDomElement element =
            document.documentElement().firstChildElement(QStringLiteral("listdata"));
        QCOMPARE(names(DAnswerParser::entries(element)), entries);
        QCOMPARE(DAnswerParser::currentFolderId(element), currentFolder);
    }

    void entryFieldsAndMissingChildren()
    {
        QDomDocument document;
        QVERIFY(document.setContent(QByteArray(
            "<r><listdata><file><name>clip.avi</name><size>1234</size><time>2024-03-05</time>"
            "<link>http://x/f/9</link><id>9</id></file><folder><name>only</name></folder>"
            "</listdata></r>")));
        const DTreeElementList list = DAnswerParser::entries(
            document.documentElement().firstChildElement(QStringLiteral("listdata")));
        QCOMPARE(list.size(), 2);
        const DTreeElement& folder = *list.at(0);
        QCOMPARE(folder.name, QStringLiteral("only"));
        QVERIFY(folder.size.isEmpty() && folder.time.isEmpty() && folder.link.isEmpty());
        QVERIFY(folder.id.isEmpty());
        QCOMPARE(folder.isFile, 0);
        const DTreeElement& file = *list.at(1);
        QCOMPARE(file.size, QStringLiteral("1234"));
        QCOMPARE(file.time, QStringLiteral("2024-03-05"));
        QCOMPARE(file.link, QStringLiteral("http://x/f/9"));
        QCOMPARE(file.isFile, 1);
    }

    void entriesOutliveTheirList()
    {
        DTreeElementList copy;
        {
            DTreeElementList list{QSharedPointer<DTreeElement>::create()};
            list.first()->name = QStringLiteral("kept");
            copy = list;
        }
        QCOMPARE(copy.first()->name, QStringLiteral("kept"));
        registerEngineMetaTypes();
        QVERIFY(QMetaType::fromName("DTreeElementList").isValid());
        QVERIFY(QMetaType::fromName("DTreeElement").isValid());
    }

    void xmlPartFilesAreRemoved()
    {
        TestHome home;
        const QStringList before = leftoverListingFiles();
        const QString named = home.dataFolder() + QStringLiteral("/.tempXMLfile42");
        QDir().mkpath(home.dataFolder());
        QDomDocument document;
        QVERIFY(DAnswerParser::parseXmlPart("<r><value>1</value></r>", named, document));
        QVERIFY(!QFile::exists(named));
        QVERIFY(!DAnswerParser::parseXmlPart("<r><unclosed></r>", named, document));
        QVERIFY(!QFile::exists(named));
        QVERIFY(DAnswerParser::parseXmlPart("<r/>", document));
        QVERIFY(!DAnswerParser::parseXmlPart("not xml", document));
        QCOMPARE(leftoverListingFiles(), before);
    }

    void wholeFileXmlCheck()
    {
        QTemporaryDir dir;
        const QString good = dir.filePath("good");
        const QString bad = dir.filePath("bad");
        {
            QFile f(good);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("<r><value>0</value></r>");
        }
        {
            QFile f(bad);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("<detail>\nhello\n</detail>\n<r/>");
        }
        QVERIFY(DAnswerParser::isXmlFile(good));
        QVERIFY(!DAnswerParser::isXmlFile(bad));
        QVERIFY(!DAnswerParser::isXmlFile(dir.filePath("missing")));
    }
};

QTEST_GUILESS_MAIN(TestAnswerParser)
#include "tst_answerparser.moc"
