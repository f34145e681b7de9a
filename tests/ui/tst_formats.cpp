#include "ui/dformat.h"
#include "ui/dragformats.h"
#include "ui/dstatusbarwidget.h"

#include <QtTest>

#include <memory>

using SpeedRows = QList<QPair<int, QString>>;

// Sizes, times and the status-bar totals as the user sees them; the payloads that travel
// between the panes, byte for byte.
class TestFormats : public QObject
{
    Q_OBJECT

private slots:
    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("english");
        QTest::addColumn<QString>("german");
        const auto row = [](const char* name, qint64 bytes, const char* english,
                            const char* german) {
            QTest::newRow(name) << bytes << english << german;
        };
        row("grouped bytes", 1023, "1,023 bytes", "1.023 bytes");
        row("one KB", 1024, "1 KB", "1 KB");
        row("KB never rounded up", 1048575, "1,023 KB", "1.023 KB");
        row("one MB", 1048576, "1.0 MB", "1,0 MB");
        row("one GB", 1073741824, "1.00 GB", "1,00 GB");
        row("one TB", 1099511627776, "1.000 TB", "1,000 TB");
        row("negative", -5000, "-5,000 bytes", "-5.000 bytes");
    }
    void sizeText()
    {
        QFETCH(qint64, bytes);
        QTEST(DFormat::sizeText(bytes, QLocale(QLocale::English, QLocale::UnitedStates)),
              "english");
        QTEST(DFormat::sizeText(bytes, QLocale(QLocale::German, QLocale::Germany)), "german");
    }

    void readSize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("MB fraction") << "1.5 MB" << qint64(1572864);
        QTest::newRow("KB") << "700 KB" << qint64(716800);
        QTest::newRow("bytes") << "42 bytes" << qint64(42);
        QTest::newRow("bare number") << "12" << qint64(12);
        QTest::newRow("TB") << "2.000 TB" << qint64(2199023255552);
        QTest::newRow("decimal comma") << "1,5 MB" << qint64(0);
        QTest::newRow("no number") << "huge" << qint64(0);
    }
    // Also: the exact size that travels to the queue reads back to the same bytes whatever the
    // user's locale groups digits with.
    void readSize()
    {
        QFETCH(QString, text);
        QFETCH(qint64, bytes);
        QCOMPARE(DFormat::readSize(text), bytes);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const qint64 readBack = DFormat::readSize(DFormat::exactSizeText(bytes));
        QLocale::setDefault(QLocale::c());
        QCOMPARE(readBack, bytes);
    }

    void timeText_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("seconds only") << 59 << "00:59";
        QTest::newRow("one hour") << 3600 << "01:00:00";
        QTest::newRow("a day and more") << 90061 << "1d01:01:01";
    }
    void timeText()
    {
        QFETCH(int, seconds);
        QTEST(DFormat::timeText(seconds), "text");
    }

    void totals_data()
    {
        QTest::addColumn<SpeedRows>("rows");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("downIcon");
        QTest::addColumn<bool>("upIcon");
        QTest::newRow("one download")
            << SpeedRows{{2, "120 KB/s"}} << "Download Speed 120 / " << true << false;
        QTest::newRow("queued and paused rows do not count")
            << SpeedRows{{2, "Queued"}, {1, "Paused"}, {2, "Waiting to transfer..."}} << "" << false
            << false;
        QTest::newRow("both directions")
            << SpeedRows{{2, "100 KB/s"}, {2, "50 KB/s"}, {1, "7 KB/s"}}
            << "Download Speed 150 / Upload Speed 7" << true << true;
    }
    void totals()
    {
        QFETCH(SpeedRows, rows);
        DStatusBarWidget widget;
        widget.showTotals(rows);
        QTEST(widget.message(), "message");
        QTEST(widget.isDownloadIconVisible(), "downIcon");
        QTEST(widget.isUploadIconVisible(), "upIcon");
    }

    // Whole sequences encode and decode to each other; foreign data that breaks off decodes up to
    // the last whole string.
    void stringSequence_data()
    {
        QTest::addColumn<QStringList>("strings");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("whole");
        const auto row = [](const char* name, const QStringList& strings, const char* hex,
                            bool whole = true) {
            QTest::newRow(name) << strings << QByteArray::fromHex(hex) << whole;
        };
        row("two names, no count in front", {"ab", "c"}, "0000000400610062000000020063");
        row("null text", {QString()}, "ffffffff");
        row("outside the basic plane", {QString::fromUtf8("\xF0\x9F\x98\x80")}, "00000004d83dde00");
        row("length beyond the data", {}, "000000040061", false);
        row("second string cut", {"a"}, "0000000200610000", false);
        row("odd byte length", {}, "00000003006100", false);
    }
    void stringSequence()
    {
        QFETCH(QStringList, strings);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, whole);
        if (whole)
            QCOMPARE(DragFormats::encodeStrings(strings), bytes);
        const QStringList decoded = DragFormats::decodeStrings(bytes);
        QCOMPARE(decoded, strings);
        for (int i = 0; i < strings.size(); ++i)
            QCOMPARE(decoded.at(i).isNull(), strings.at(i).isNull());
    }

    // Names, ids, sizes and links of the files travel to the local pane (a drop there is
    // tested with the window), folders only in the move list; no local file address, so that
    // a program outside does not read a remote name as one.
    void remoteDragCarriesFilesAndMovesEverything()
    {
        std::unique_ptr<QMimeData> data(DragFormats::remoteMimeData(
            {{"F", "9", "", "", true}, {"a.txt", "1", "2 KB", "<html/>", false}}));
        QCOMPARE(data->text(), QString("httpTree"));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy") +
                     DragFormats::readStrings(data.get(), "item/ids"),
                 (QStringList{"a.txt", "1"}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/move"), (QStringList{"9", "1"}));
        QVERIFY(!data->hasUrls());
    }

    // Every column of a row is a dragged index; folders stay behind.
    void localDragCarriesEachFileOnce()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("x.txt");
        QFile(file).open(QIODevice::WriteOnly);
        std::unique_ptr<QMimeData> data(DragFormats::localMimeData({file, file, dir.path(), file}));
        QCOMPARE(data->formats(), QStringList{"item/copy"});
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy"), QStringList{file});
    }
};

QTEST_MAIN(TestFormats)
#include "tst_formats.moc"
