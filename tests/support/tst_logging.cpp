#include "engine/dglobals.h"
#include "support/dlog.h"
#include "support/logwindow.h"
#include "tests/common/testhome.h"

#include <QAction>
#include <QMenu>
#include <QTextBlock>
#include <QtTest>

namespace {

QStringList shownLines()
{
    return LogWindow::instance()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Red bold is the error format; status lines keep the normal one.
bool isHighlighted(int line)
{
    const QTextBlock block = LogWindow::instance()->document()->findBlockByNumber(line);
    const QTextCharFormat format = block.begin().fragment().charFormat();
    return format.foreground().color() == QColor(Qt::red) && format.fontWeight() == QFont::Bold;
}

} // namespace

// The log file, its line format and the log view.
class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        DGlobals::startedByOs = false;
        delete LogWindow::instance();
    }

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
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(shownLines().at(i), QString("line %1").arg(i));
            QCOMPARE(isHighlighted(i), bool(i % 2));
        }
        QCOMPARE(home.logLines().size(), 10);
    }

    // A log-on start shows status lines only; "Clear log" empties the view, never the file; the
    // main window adopts the view and deletes it on its way out, and later entries need a new
    // one; one that cannot open the log file says so.
    void view()
    {
        TestHome home;
        DGlobals::startedByOs = true;
        logError("hidden error");
        logStatus("shown status");
        QCOMPARE(shownLines(), QStringList{"shown status"});
        QAction* clear = LogWindow::instance()->createContextMenu()->actions().last();
        QCOMPARE(clear->text(), "Clear log");
        QCOMPARE(clear->shortcut(), QKeySequence("Ctrl+Q"));
        clear->trigger(); // the menu goes with the view
        QCOMPARE(shownLines(), QStringList());
        QCOMPARE(home.logLines().size(), 2);
        {
            QWidget mainWindow;
            LogWindow::instance()->setParent(&mainWindow);
        }
        logStatus("new window");
        QCOMPARE(shownLines(), QStringList{"new window"});
        QVERIFY(!LogWindow::instance()->parent());

        delete LogWindow::instance();
        qputenv("HOME", "/dev/null"); // a file: no data folder, so no log file, even for root
        logStatus("still shown");
        QCOMPARE(shownLines(), QStringList({"Could not open log file.",
                                            "Logs will not be maintained", "still shown"}));
        QVERIFY(isHighlighted(0));
    }

    void lineFormat_data()
    {
        const QByteArray marker = " ... (ERROR: outputLog too LONG??\?)";
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("hash and percent signs") << "a#b 100% %s" << QByteArray("a#b 100% %s");
        QTest::newRow("latin-1 as one byte") << "caf\u00e9" << QByteArray("caf\xe9");
        QTest::newRow("outside latin-1") << "T\u1ec7p \u20ac" << QByteArray("T?p ?");
        QTest::newRow("surrogate pair") << "a\U0001F600b" << QByteArray("a?b");
        QTest::newRow("9900 bytes whole") << QString(9900, 'x') << QByteArray(9900, 'x');
        QTest::newRow("50000 bytes cut") << QString(50000, 'x') << QByteArray(9900, 'x') + marker;
    }

    // Date with dashes, a full stop, the locale's time (with colons here), "#", the message.
    void lineFormat()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, written);
        TestHome home;
        logToFile(message);
        const QByteArray content = readFile(home.dataFolder() + "/Ferrydesk.log");
        const QRegularExpression shape(
            "^\\d{4}-\\d{2}-\\d{2}\\.[^#\\n]*\\d{2}:\\d{2}:\\d{2}[^#\\n]*#");
        QVERIFY2(shape.match(QString::fromLatin1(content)).hasMatch(),
                 content.left(80).constData());
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
