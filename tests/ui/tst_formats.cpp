#include "ui/dformat.h"
#include "ui/dstatusbarwidget.h"

#include <QtTest>

using SpeedRows = QList<QPair<int, QString>>;

// Sizes, times and the status-bar totals as the user sees them.
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
        row("zero", 0, "0 bytes", "0 bytes");
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
        QFETCH(QString, english);
        QCOMPARE(DFormat::sizeText(bytes, QLocale(QLocale::English, QLocale::UnitedStates)),
                 english);
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
        QTest::newRow("empty") << "" << qint64(0);
    }
    void readSize()
    {
        QFETCH(QString, text);
        QFETCH(qint64, bytes);
        QCOMPARE(DFormat::readSize(text), bytes);
    }

    // What travels to the queue reads back to the same bytes whatever the user's locale.
    void exactSizeReadsBackInAnyLocale()
    {
        const QLocale previous;
        for (const QLocale& locale : {QLocale(QLocale::German, QLocale::Germany),
                                      QLocale(QLocale::French, QLocale::France), QLocale::c()}) {
            QLocale::setDefault(locale);
            for (qint64 bytes : {qint64(0), qint64(1023), qint64(1572865), qint64(5000000000)})
                QCOMPARE(DFormat::readSize(DFormat::exactSizeText(bytes)), bytes);
        }
        QLocale::setDefault(previous);
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
        QTest::newRow("nothing") << SpeedRows{} << "" << false << false;
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
        QFETCH(QString, message);
        DStatusBarWidget widget;
        widget.showTotals(rows);
        QCOMPARE(widget.message(), message);
        QTEST(widget.isDownloadIconVisible(), "downIcon");
        QTEST(widget.isUploadIconVisible(), "upIcon");
    }
};

QTEST_MAIN(TestFormats)
#include "tst_formats.moc"
