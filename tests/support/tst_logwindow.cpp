#include "engine/dglobals.h"
#include "support/dlog.h"
#include "support/logwindow.h"
#include "tests/common/testhome.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QPointer>
#include <QTextBlock>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

QStringList shownLines(LogWindow* window)
{
    QStringList lines = window->toPlainText().split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QTextCharFormat formatOfLine(LogWindow* window, int line)
{
    const QTextBlock block = window->document()->findBlockByNumber(line);
    return block.begin().fragment().charFormat();
}

bool isHighlighted(const QTextCharFormat& format)
{
    return format.foreground().color() == QColor(Qt::red) && format.fontWeight() == QFont::Bold;
}

} // namespace

class TestLogWindow : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void errorsRedBoldStatusNormal();
    void workerEntriesShownInOrder();
    void entryDuringInsertWaitsItsTurn();
    void clearLogEmptiesViewOnly();
    void logOnStartShowsStatusOnly();
    void firstEntryCreatesWindow();
    void destroyedByParentThenRecreated();
    void unopenableLogFileIsReported();
};

void TestLogWindow::cleanup()
{
    DGlobals::startedByOs = false;
    delete LogWindow::instance();
}

void TestLogWindow::errorsRedBoldStatusNormal()
{
    TestHome home;
    LogWindow* window = LogWindow::instance();
    QVERIFY(window->isReadOnly());
    QCOMPARE(window->frameShape(), QFrame::NoFrame);
    logError(QStringLiteral("Error download: a.zip"));
    logStatus(QStringLiteral("Login success"));
    QCOMPARE(shownLines(window), QStringList({QStringLiteral("Error download: a.zip"),
                                              QStringLiteral("Login success")}));
    QVERIFY(isHighlighted(formatOfLine(window, 0)));
    QVERIFY(!isHighlighted(formatOfLine(window, 1)));
    QVERIFY(formatOfLine(window, 1).foreground().color() != QColor(Qt::red));
    QCOMPARE(window->messageCount(), 2);
}

void TestLogWindow::workerEntriesShownInOrder()
{
    TestHome home;
    LogWindow* window = LogWindow::instance();
    std::unique_ptr<QThread> worker(QThread::create([] {
        for (int i = 0; i < 10; ++i) {
            if (i % 2)
                logError(QStringLiteral("error %1").arg(i));
            else
                logStatus(QStringLiteral("status %1").arg(i));
        }
    }));
    worker->start();
    QVERIFY(worker->wait(30000));
    QTRY_COMPARE_WITH_TIMEOUT(shownLines(window).size(), 10, 10000);
    const QStringList lines = shownLines(window);
    for (int i = 0; i < 10; ++i) {
        const QString expected =
            (i % 2 ? QStringLiteral("error %1") : QStringLiteral("status %1")).arg(i);
        QCOMPARE(lines.at(i), expected);
        QCOMPARE(isHighlighted(formatOfLine(window, i)), bool(i % 2));
    }
    QCOMPARE(home.logLines().size(), 10);
}

void TestLogWindow::entryDuringInsertWaitsItsTurn()
{
    TestHome home;
    LogWindow* window = LogWindow::instance();
    bool nested = false;
    const auto connection = connect(window, &QTextEdit::textChanged, window, [&] {
        if (nested)
            return;
        nested = true;
        window->appendEntry(QStringLiteral("nested"), LogKindStatus);
    });
    window->appendEntry(QStringLiteral("outer"), LogKindError);
    disconnect(connection);
    QVERIFY(nested);
    QCOMPARE(shownLines(window), QStringList({QStringLiteral("outer"), QStringLiteral("nested")}));
    QVERIFY(isHighlighted(formatOfLine(window, 0)));
    QVERIFY(!isHighlighted(formatOfLine(window, 1)));
    QCOMPARE(window->messageCount(), 2);
    window->clearMessageBuf();
    QCOMPARE(shownLines(window).size(), 2);
}

void TestLogWindow::clearLogEmptiesViewOnly()
{
    TestHome home;
    LogWindow* window = LogWindow::instance();
    logStatus(QStringLiteral("one"));
    logError(QStringLiteral("two"));
    logStatus(QStringLiteral("three"));

    const std::unique_ptr<QMenu> menu(window->createContextMenu());
    const QList<QAction*> actions = menu->actions();
    QVERIFY(actions.size() > 2); // the text edit's own entries come first
    QAction* clearAction = actions.last();
    QCOMPARE(clearAction->text(), QStringLiteral("Clear log"));
    QCOMPARE(clearAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    QVERIFY(actions.at(actions.size() - 2)->isSeparator());

    clearAction->trigger();
    QCOMPARE(window->toPlainText(), QString());
    QCOMPARE(home.logLines().size(), 3);

    logStatus(QStringLiteral("four"));
    QCOMPARE(shownLines(window), QStringList({QStringLiteral("four")}));
}

void TestLogWindow::logOnStartShowsStatusOnly()
{
    TestHome home;
    DGlobals::startedByOs = true;
    LogWindow* window = LogWindow::instance();
    logError(QStringLiteral("hidden error"));
    logStatus(QStringLiteral("shown status"));
    QCoreApplication::processEvents();
    QCOMPARE(shownLines(window), QStringList({QStringLiteral("shown status")}));
    const QStringList fileLines = home.logLines();
    QCOMPARE(fileLines.size(), 2);
    QVERIFY(fileLines.at(0).endsWith(QLatin1String("#hidden error")));
}

void TestLogWindow::firstEntryCreatesWindow()
{
    TestHome home;
    logStatus(QStringLiteral("before any window was asked for"));
    QCOMPARE(shownLines(LogWindow::instance()),
             QStringList({QStringLiteral("before any window was asked for")}));
}

void TestLogWindow::destroyedByParentThenRecreated()
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
    LogWindow* fresh = LogWindow::instance();
    QVERIFY(fresh);
    QVERIFY(!fresh->parent());
    QCOMPARE(shownLines(fresh), QStringList({QStringLiteral("new window")}));
    QCOMPARE(fresh->messageCount(), 1);
}

void TestLogWindow::unopenableLogFileIsReported()
{
    TestHome home;
    // A HOME that is a file: no data folder, so no log file, even for root.
    const QString fileHome = home.path() + QStringLiteral("/not-a-folder");
    QFile blocker(fileHome);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("HOME", QFile::encodeName(fileHome));

    LogWindow* window = LogWindow::instance();
    QCOMPARE(shownLines(window), QStringList({QStringLiteral("Could not open log file."),
                                              QStringLiteral("Logs will not be maintained")}));
    QVERIFY(isHighlighted(formatOfLine(window, 0)));
    logStatus(QStringLiteral("still shown"));
    QCOMPARE(shownLines(window).last(), QStringLiteral("still shown"));
}

QTEST_MAIN(TestLogWindow)
#include "tst_logwindow.moc"
