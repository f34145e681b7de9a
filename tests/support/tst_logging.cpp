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
        QStringList lines;
        for (int i = 0; i < 10; ++i)
            lines << QString("line %1").arg(i);
        std::unique_ptr<QThread> worker(QThread::create([&lines] {
            for (int i = 0; i < 10; ++i)
                i % 2 ? logError(lines[i]) : logStatus(lines[i]);
        }));
        worker->start();
        QVERIFY(worker->wait(30000));
        int deliveredHere = 0;
        QObject receiver;
        connect(DLogHub::instance(), &DLogHub::di_entry, &receiver,
                [&] { deliveredHere += QThread::currentThread() == thread(); });
        QTRY_COMPARE_WITH_TIMEOUT(deliveredHere, 10, 10000);
        QCOMPARE(LogWindow::instance()->toPlainText().split('\n', Qt::SkipEmptyParts), lines);
        delete LogWindow::instance();
    }

    // Two threads write lines longer than the C library's write buffer, so an unguarded writer
    // would split them. A message up to 9900 bytes is written whole, a longer one cut there and
    // marked.
    void concurrentLinesWholeOrCut()
    {
        TestHome home;
        std::vector<std::unique_ptr<QThread>> writers;
        for (const int length : {9900, 9901}) {
            writers.emplace_back(QThread::create([length] {
                for (int i = 0; i < 1000; ++i)
                    writeLogLine(QByteArray(length, length == 9900 ? 'A' : 'B'));
            }));
            writers.back()->start();
        }
        for (const auto& writer : writers)
            QVERIFY(writer->wait(60000));
        const QStringList lines = home.logLines();
        QCOMPARE(lines.size(), 2000);
        const QRegularExpression intact(
            "^[^#]+#(A{9900}|B{9900} \\.\\.\\. \\(ERROR: outputLog too LONG\\?\\?\\?\\))$");
        for (const QString& line : lines)
            QVERIFY2(intact.match(line).hasMatch(), qPrintable(line.left(120)));
    }
};

QTEST_MAIN(TestLogging)
#include "tst_logging.moc"
