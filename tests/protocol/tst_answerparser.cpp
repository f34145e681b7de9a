#include "protocol/danswerparser.h"
#include "tests/fuzz/fuzzinput.h"

#include <QtTest>

// The detail filter and the listing document: what the remote pane and the information box get.
class TestAnswerParser : public QObject
{
    Q_OBJECT

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
        // The filter reads long lines in pieces of 64 KiB: this marker straddles two of them.
        const QByteArray longLine(65535, 'x');
        QTest::newRow("closing marker across a long line's pieces")
            << "<detail>\nin\r\n" + longLine + "</detail>y\r\n<r/>"
            << "in\n"
            << "<detail>\nin\n</detail>" << longLine + "y\n<r/>\n";
        QTest::newRow("no block at all")
            << QByteArray("<?xml version=\"1.0\"?>\r\n<r><value>1</value></r>") << ""
            << "" << QByteArray("<?xml version=\"1.0\"?>\n<r><value>1</value></r>\n");
    }

    void detailFilter()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, xml);
        const auto listing = DAnswerParser::filterDetail(answer, DAnswerParser::ListingDetail);
        QTEST(listing.detail, "listingDetail");
        QCOMPARE(listing.xml, xml);
        const auto account = DAnswerParser::filterDetail(answer, DAnswerParser::AccountDetail);
        QTEST(account.detail, "accountDetail");
        QCOMPARE(account.xml, xml);
    }

    // One row per answer shape: what the pane gets, or that the listing failed.
    void listing_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("currentFolder");
        const QByteArray detail = "<detail>\nhi\n</detail>\n<?xml version=\"1.0\"?>\n";
        const auto listing = [&](const QByteArray& listData) {
            return detail + "<r><value>1</value><listdata>" + listData + "</listdata></r>\n";
        };
        QTest::newRow("files before a folder in the answer")
            << listing("<file><name>a.txt</name><id>11</id><size>5</size></file>"
                       "<file><name>b.txt</name><id>12</id></file>"
                       "<folder><name>Docs</name><id>5</id></folder>"
                       "<current_folder_id>3</current_folder_id>")
            << true << QStringList{"Docs(d):5:", "a.txt(f):11:5", "b.txt(f):12:"} << "3";
        QTest::newRow("parent entry from parent_folder_id")
            << listing("<parent_folder_id>12</parent_folder_id>"
                       "<file><name>x</name><id>1</id></file>"
                       "<folder><name>y</name><id>2</id></folder>")
            << true << QStringList{"..(d):12:", "y(d):2:", "x(f):1:"} << "-1";
        QTest::newRow("first child counts, nested text is kept")
            << listing("<folder><name>b<i>!</i></name><name>no</name><x><id>9</id></x></folder>")
            << true << QStringList{"b!(d)::"} << "-1";
        QTest::newRow("well-formed with value 0")
            << QByteArray("<r><value>0</value></r>") << false << QStringList{} << "-1";
        QTest::newRow("truncated")
            << detail + "<r><value>1</value><listdata><file><name>a</name></file><file><na" << false
            << QStringList{} << "-1";
    }

    void listing()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, accepted);
        QFETCH(QStringList, entries);
        const DAnswerParser::Listing read = DAnswerParser::readListing(answer);
        QCOMPARE(read.readable && (!read.generic || read.verdict != 0), accepted);
        QCOMPARE(read.readable, accepted || read.generic);
        QStringList shown;
        for (const auto& e : read.entries)
            shown << e->name + (e->isFile ? "(f):" : "(d):") + e->id + ":" + e->size;
        QCOMPARE(shown, entries);
        QTEST(read.currentFolderId, "currentFolder");
        // A device that hands out one byte per read (a pipe, a socket) gives the same listing.
        ChunkedBuffer oneByteAtATime(answer, 1);
        const DAnswerParser::Listing streamed = DAnswerParser::readListing(oneByteAtATime);
        QCOMPARE(streamed.detail, read.detail);
        QCOMPARE(streamed.entries.size(), read.entries.size());
    }

    // Account answers: the first of each value counts, present or not, and the root's entries
    // come along; a truncated answer is unreadable.
    void account()
    {
        const DAnswerParser::Account read = DAnswerParser::readAccount(
            QByteArray("<detail>\nhi\n</detail>\n<?xml version=\"1.0\"?>\n<r><value>1</value>"
                       "<param1>1</param1><param2>0</param2><reason2>No</reason2>"
                       "<param2>1</param2><listdata><file><name>a</name></file>"
                       "<folder><name>b</name></folder></listdata></r>"));
        QVERIFY(read.readable);
        const QHash<QString, QString> values{{"param1", "1"}, {"param2", "0"}, {"reason2", "No"}};
        QCOMPARE(read.values, values);
        QCOMPARE(int(read.entries.size()), 2);
        QVERIFY(!DAnswerParser::readAccount(QByteArray("<detail>\nw\n</detail>\n<r><svr>ftp"))
                     .readable);
    }
};

QTEST_GUILESS_MAIN(TestAnswerParser)
#include "tst_answerparser.moc"
