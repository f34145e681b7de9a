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
                i % 2 ? logError(QStringLiteral("error %1").arg(i))
                      : logStatus(QStringLiteral("status %1").arg(i));
        }));
        worker->start();
        QVERIFY(worker->wait(30000));
        int deliveredHere = 0;
        QObject receiver;
        connect(DLogHub::instance(), &DLogHub::di_entry, &receiver,
                [&] { deliveredHere += QThread::currentThread() == thread(); });
        QTRY_COMPARE_WITH_TIMEOUT(deliveredHere, 10, 10000);
        for (int i = 0; i < 10; ++i) {
            const QString text = i % 2 ? QStringLiteral("error %1") : QStringLiteral("status %1");
            QCOMPARE(shownLines().at(i), text.arg(i));
            QCOMPARE(isHighlighted(i), bool(i % 2));
        }
        QCOMPARE(home.logLines().size(), 10);
    }

    // A log-on start shows status lines only; "Clear log" empties the view, never the file.
    void viewShowsWhatItShouldAndClears()
    {
        TestHome home;
        DGlobals::startedByOs = true;
        logError(QStringLiteral("hidden error"));
        logStatus(QStringLiteral("shown status"));
        QCOMPARE(shownLines(), QStringList({QStringLiteral("shown status")}));
        QVERIFY(home.logLines().at(0).endsWith(QLatin1String("#hidden error")));
        const std::unique_ptr<QMenu> menu(LogWindow::instance()->createContextMenu());
        const QList<QAction*> actions = menu->actions();
        QVERIFY(actions.at(actions.size() - 2)->isSeparator()); // after the text edit's own entries
        QCOMPARE(actions.last()->text(), QStringLiteral("Clear log"));
        QCOMPARE(actions.last()->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
        actions.last()->trigger();
        QCOMPARE(shownLines(), QStringList());
        QCOMPARE(home.logLines().size(), 2);
    }

    // The main window adopts the view and deletes it on its way out; later entries need a new one.
    void recreatedAfterParentDeletesIt()
    {
        TestHome home;
        QPointer<LogWindow> adopted = LogWindow::instance();
        logStatus(QStringLiteral("old window"));
        {
            QWidget mainWindow;
            adopted->setParent(&mainWindow);
        }
        QVERIFY(adopted.isNull());
        logStatus(QStringLiteral("new window"));
        QVERIFY(!LogWindow::instance()->parent());
        QCOMPARE(shownLines(), QStringList({QStringLiteral("new window")}));
    }

    void unopenableLogFileIsReported()
    {
        TestHome home;
        qputenv("HOME", "/dev/null"); // a file: no data folder, so no log file, even for root
        QCOMPARE(shownLines(), QStringList({QStringLiteral("Could not open log file."),
                                            QStringLiteral("Logs will not be maintained")}));
        QVERIFY(isHighlighted(0));
        logStatus(QStringLiteral("still shown")); // its file line is dropped quietly
        QCOMPARE(shownLines().last(), QStringLiteral("still shown"));
    }

    void lineFormat_data()
    {
        const QByteArray marker = " ... (ERROR: outputLog too LONG??\?)";
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("hash and percent signs")
            << QStringLiteral("a#b 100% %s") << QByteArray("a#b 100% %s");
        QTest::newRow("latin-1 as one byte")
            << QStringLiteral("caf\u00e9") << QByteArray("caf\xe9");
        QTest::newRow("outside latin-1")
            << QStringLiteral("T\u1ec7p \u20ac") << QByteArray("T?p ?");
        QTest::newRow("surrogate pair") << QStringLiteral("a\U0001F600b") << QByteArray("a?b");
        QTest::newRow("9900 bytes whole") << QString(9900, 'x') << QByteArray(9900, 'x');
        QTest::newRow("50000 bytes cut") << QString(50000, 'x') << QByteArray(9900, 'x') + marker;
    }

    void lineFormat()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, written);
        TestHome home;
        logToFile(message);
        const QByteArray content = readFile(home.dataFolder() + "/Ferrydesk.log");
        // Date with dashes, a full stop, the locale's time (with colons here), "#", the message.
        const QRegularExpression shape(
            QStringLiteral("^\\d{4}-\\d{2}-\\d{2}\\.[^#\\n]*\\d{2}:\\d{2}:\\d{2}[^#\\n]*#"));
        QVERIFY2(shape.match(QString::fromLatin1(content)).hasMatch(),
                 content.left(80).constData());
        QCOMPARE(content.mid(content.indexOf('#') + 1), written + '\n');
    }

    // Lines longer than the C library's write buffer, so an unguarded writer would split them.
    void concurrentWritersNeverMix()
    {
        TestHome home;
        constexpr int LinesPerThread = 2000;
        auto writer = [](char tag) {
            return [tag] {
                for (int i = 0; i < LinesPerThread; ++i)
                    writeLogLine(QByteArray(6000, tag));
            };
        };
        std::unique_ptr<QThread> first(QThread::create(writer('A')));
        std::unique_ptr<QThread> second(QThread::create(writer('B')));
        first->start();
        second->start();
        QVERIFY(first->wait(60000));
        QVERIFY(second->wait(60000));

        const QList<QByteArray> lines = readFile(home.dataFolder() + "/Ferrydesk.log").split('\n');
        QCOMPARE(lines.size(), 2 * LinesPerThread + 1);
        const QRegularExpression intact(QStringLiteral("^[^#]+#(A{6000}|B{6000})$"));
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            QVERIFY2(intact.match(QString::fromLatin1(lines.at(i))).hasMatch(),
                     lines.at(i).left(120).constData());
    }
};

QTEST_MAIN(TestLogging)
#include "tst_logging.moc"
