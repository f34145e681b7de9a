#include "ui/dformat.h"
#include "ui/dragformats.h"

#include <QtTest>

#include <memory>

// Sizes at their boundaries; the payloads that travel between the
// panes, byte for byte.
class TestFormats : public QObject
{
    Q_OBJECT

private slots:
    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("below a KB") << qint64(1023) << "1.023 bytes";
        QTest::newRow("KB never rounded up") << qint64(1048575) << "1.023 KB";
        QTest::newRow("one MB") << qint64(1048576) << "1,0 MB";
        QTest::newRow("one GB") << qint64(1073741824) << "1,00 GB";
    }
    void sizeText()
    {
        QFETCH(qint64, bytes);
        QTEST(DFormat::sizeText(bytes, QLocale(QLocale::German, QLocale::Germany)), "text");
    }

    // The exact size that travels to the queue reads back to the same bytes whatever the
    // user's locale groups digits with; shown sizes read back in C notation only.
    void readSize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("MB fraction") << "1.5 MB" << qint64(1572864);
        QTest::newRow("TB") << "2.000 TB" << qint64(2199023255552);
        QTest::newRow("decimal comma") << "1,5 MB" << qint64(0);
    }
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
        row("second string cut", {"a"}, "0000000200610000", false);
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

    // Files travel to the local pane, folders only in the move list; no local file address, so
    // that a program outside does not read a remote name as one. Local drags carry each file
    // once (every column of a row is a dragged index) and leave folders behind.
    void dragPayloads()
    {
        std::unique_ptr<QMimeData> data(DragFormats::remoteMimeData(
            {{"F", "9", "", "", true}, {"a.txt", "1", "2 KB", "<html/>", false}}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy") +
                     DragFormats::readStrings(data.get(), "item/ids"),
                 (QStringList{"a.txt", "1"}));
        QCOMPARE(DragFormats::readStrings(data.get(), "item/move"), (QStringList{"9", "1"}));
        QVERIFY(!data->hasUrls());

        QTemporaryDir dir;
        const QString file = dir.filePath("x.txt");
        QFile(file).open(QIODevice::WriteOnly);
        data.reset(DragFormats::localMimeData({file, file, dir.path(), file}));
        QCOMPARE(data->formats(), QStringList{"item/copy"});
        QCOMPARE(DragFormats::readStrings(data.get(), "item/copy"), QStringList{file});
    }
};

QTEST_MAIN(TestFormats)
#include "tst_formats.moc"
