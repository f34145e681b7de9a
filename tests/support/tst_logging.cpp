#include "support/dlog.h"
#include "support/logwindow.h"
#include "tests/common/testhome.h"

#include <QtTest>

// The log file, its line format and the log view.
class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: a worker is the first to log, and so the first to use the entry hub. Its entries
    // must still be delivered, in order, on this thread.
    void workerEntriesShownInOrder()
    {
        TestHome home;
        std::unique_ptr<QThread> worker(QThread::create([] {
            for (int i = 0; i < 10; ++i)
                i % 2 ? logError(QString("line %1").arg(i)) : logStatus(QString("line %1").arg(i));
        }));
        worker->start();
        QVERIFY(worker->wait(30000));
        int deliveredHere = 0;
        QObject receiver;
        connect(DLogHub::instance(), &DLogHub::di_entry, &receiver,
                [&] { deliveredHere += QThread::currentThread() == thread(); });
        QTRY_COMPARE_WITH_TIMEOUT(deliveredHere, 10, 10000);
        QStringList expected;
        for (int i = 0; i < 10; ++i)
            expected << QString("line %1").arg(i);
        QCOMPARE(LogWindow::instance()->toPlainText().split('\n', Qt::SkipEmptyParts), expected);
        delete LogWindow::instance();
    }

    // A message up to 9900 bytes is written whole, a longer one cut there and marked.
    void lineFormat_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("9900 bytes whole") << QString(9900, 'x') << QByteArray(9900, 'x');
        QTest::newRow("50000 bytes cut")
            << QString(50000, 'x')
            << QByteArray(9900, 'x') + " ... (ERROR: outputLog too LONG??\?)";
    }

    void lineFormat()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, written);
        TestHome home;
        logToFile(message);
        const QByteArray content = readFile(home.dataFolder() + "/Ferrydesk.log");
        QCOMPARE(content.mid(content.indexOf('#') + 1), written + '\n');
    }

    // Lines longer than the C library's write buffer, so an unguarded writer would split them.
    void concurrentWritersNeverMix()
    {
        TestHome home;
        std::vector<std::unique_ptr<QThread>> writers;
        for (const char tag : {'A', 'B'}) {
            writers.emplace_back(QThread::create([tag] {
                for (int i = 0; i < 2000; ++i)
                    writeLogLine(QByteArray(6000, tag));
            }));
            writers.back()->start();
        }
        for (const auto& writer : writers)
            QVERIFY(writer->wait(60000));
        const QStringList lines = home.logLines();
        QCOMPARE(lines.size(), 4000);
        const QRegularExpression intact("^[^#]+#(A{6000}|B{6000})$");
        for (const QString& line : lines)
            QVERIFY2(intact.match(line).hasMatch(), qPrintable(line.left(120)));
    }
};

QTEST_MAIN(TestLogging)
#include "tst_logging.moc"
