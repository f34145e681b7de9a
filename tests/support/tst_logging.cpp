#include "engine/dglobals.h"
#include "support/dlog.h"
#include "tests/common/testhome.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

const QByteArray LongMarker = " ... (ERROR: outputLog too LONG??\?)";

QByteArray logContent(const TestHome& home)
{
    QFile file(home.dataFolder() + QStringLiteral("/Ferrydesk.log"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// The message part of one raw line: what follows the stamp and "#", without the line feed.
QByteArray messageOf(const QByteArray& line)
{
    return line.mid(line.indexOf('#') + 1).chopped(1);
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void hubFirstUsedOnWorkerLivesOnMainThread();
    void lineFormat_data();
    void lineFormat();
    void lengthLimit_data();
    void lengthLimit();
    void eightBitText_data();
    void eightBitText();
    void linesAppendAcrossCalls();
    void concurrentWritersNeverMix();
    void unwritableFolderDropsLines();
    void entriesReachTheHub();
    void logOnStartKeepsErrorsInFile();
    void workerEntriesArriveOnMainThread();
};

// Must stay the first test: it is the first use of the hub in this process.
void TestLogging::hubFirstUsedOnWorkerLivesOnMainThread()
{
    DLogHub* hub = nullptr;
    std::unique_ptr<QThread> worker(QThread::create([&hub] { hub = DLogHub::instance(); }));
    worker->start();
    QVERIFY(worker->wait(30000));
    QVERIFY(hub);
    QCOMPARE(hub->thread(), QCoreApplication::instance()->thread());
}

void TestLogging::lineFormat_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("plain") << QByteArray("Login success");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("hash inside") << QByteArray("a#b");
    QTest::newRow("percent signs are not formats") << QByteArray("100% %s %d");
}

void TestLogging::lineFormat()
{
    QFETCH(QByteArray, message);
    TestHome home;
    writeLogLine(message);
    const QByteArray content = logContent(home);
    // Date with dashes, a full stop, the locale's time (with colons here), "#", the message.
    const QRegularExpression shape(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}\\.[^#\\n]*\\d{2}:\\d{2}:\\d{2}[^#\\n]*#(.*)\\n$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = shape.match(QString::fromLatin1(content));
    QVERIFY2(match.hasMatch(), content.constData());
    QCOMPARE(match.captured(1).toLatin1(), message);
    QCOMPARE(content.count('\n'), 1);
}

void TestLogging::lengthLimit_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("expectedTail");
    QTest::addColumn<int>("expectedLength");
    QTest::newRow("exactly 9900 written whole") << 9900 << QByteArray("x") << 9900;
    QTest::newRow("9901 cut and marked") << 9901 << LongMarker << 9900 + int(LongMarker.size());
    QTest::newRow("far too long") << 50000 << LongMarker << 9900 + int(LongMarker.size());
}

void TestLogging::lengthLimit()
{
    QFETCH(int, length);
    QFETCH(QByteArray, expectedTail);
    QFETCH(int, expectedLength);
    TestHome home;
    const QByteArray message(length, 'x');
    writeLogLine(message);
    QCOMPARE(message.size(), length);
    const QByteArray written = messageOf(logContent(home));
    QCOMPARE(written.size(), expectedLength);
    QVERIFY(written.endsWith(expectedTail));
    QVERIFY(written.startsWith(QByteArray(9900, 'x')));
}

void TestLogging::eightBitText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QStringLiteral("plain.txt") << QByteArray("plain.txt");
    QTest::newRow("latin-1 kept as one byte")
        << QStringLiteral("caf\u00e9") << QByteArray("caf\xe9");
    QTest::newRow("outside latin-1") << QStringLiteral("T\u1ec7p \u20ac") << QByteArray("T?p ?");
    QTest::newRow("surrogate pair is one character")
        << QStringLiteral("a\U0001F600b") << QByteArray("a?b");
}

void TestLogging::eightBitText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    TestHome home;
    logToFile(text);
    QCOMPARE(messageOf(logContent(home)), bytes);
}

void TestLogging::linesAppendAcrossCalls()
{
    TestHome home;
    logToFile(QStringLiteral("first"));
    logToFile(QStringLiteral("second"));
    const QStringList lines = home.logLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(QLatin1String("#first")));
    QVERIFY(lines.at(1).endsWith(QLatin1String("#second")));
}

void TestLogging::concurrentWritersNeverMix()
{
    TestHome home;
    constexpr int LinesPerThread = 2000;
    auto writer = [](char tag) {
        return [tag] {
            for (int i = 0; i < LinesPerThread; ++i) {
                QByteArray message = QByteArray(1, tag) + QByteArray::number(i) + ':';
                message += QByteArray(6000, tag);
                writeLogLine(message + "|end");
            }
        };
    };
    std::unique_ptr<QThread> first(QThread::create(writer('A')));
    std::unique_ptr<QThread> second(QThread::create(writer('B')));
    first->start();
    second->start();
    QVERIFY(first->wait(60000));
    QVERIFY(second->wait(60000));

    const QList<QByteArray> lines = logContent(home).split('\n');
    QCOMPARE(lines.size(), 2 * LinesPerThread + 1);
    QCOMPARE(lines.last(), QByteArray());
    const QRegularExpression intact(QStringLiteral("^[^#]+#([AB])(\\d+):(A{6000}|B{6000})\\|end$"));
    QList<int> nextIndex = {0, 0};
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch match = intact.match(QString::fromLatin1(lines.at(i)));
        QVERIFY2(match.hasMatch(), lines.at(i).left(120).constData());
        const int writerIndex = match.captured(1) == QLatin1String("A") ? 0 : 1;
        QCOMPARE(match.captured(3).at(0), match.captured(1).at(0));
        QCOMPARE(match.captured(2).toInt(), nextIndex[writerIndex]++);
    }
    QCOMPARE(nextIndex, QList<int>({LinesPerThread, LinesPerThread}));
}

void TestLogging::unwritableFolderDropsLines()
{
    TestHome home;
    // A HOME that is a file: the data folder cannot exist, even for root.
    const QString fileHome = home.path() + QStringLiteral("/not-a-folder");
    QFile blocker(fileHome);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("HOME", QFile::encodeName(fileHome));
    logToFile(QStringLiteral("lost"));
    writeLogLine("also lost");
    QVERIFY(!QFile::exists(fileHome + QStringLiteral("/.dftp/Ferrydesk.log")));
}

void TestLogging::entriesReachTheHub()
{
    TestHome home;
    QSignalSpy entries(DLogHub::instance(), &DLogHub::di_entry);
    logToFile(QStringLiteral("file only"));
    logStatus(QStringLiteral("a status"));
    logError(QStringLiteral("an error"));
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0), QVariantList({QStringLiteral("a status"), int(LogKindStatus)}));
    QCOMPARE(entries.at(1), QVariantList({QStringLiteral("an error"), int(LogKindError)}));
    QCOMPARE(home.logLines().size(), 3);
}

void TestLogging::logOnStartKeepsErrorsInFile()
{
    TestHome home;
    DGlobals::startedByOs = true;
    QSignalSpy entries(DLogHub::instance(), &DLogHub::di_entry);
    logError(QStringLiteral("quiet error"));
    logStatus(QStringLiteral("visible status"));
    QCoreApplication::processEvents();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).at(0).toString(), QStringLiteral("visible status"));
    const QStringList lines = home.logLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(QLatin1String("#quiet error")));
    DGlobals::startedByOs = false;
}

void TestLogging::workerEntriesArriveOnMainThread()
{
    TestHome home;
    QList<QString> texts;
    QList<QThread*> threads;
    QObject receiver;
    connect(DLogHub::instance(), &DLogHub::di_entry, &receiver, [&](const QString& text, int) {
        texts.append(text);
        threads.append(QThread::currentThread());
    });
    std::unique_ptr<QThread> worker(QThread::create([] {
        for (int i = 0; i < 20; ++i)
            logStatus(QStringLiteral("upload step %1").arg(i));
    }));
    worker->start();
    QVERIFY(worker->wait(30000));
    QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 20, 10000);
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(texts.at(i), QStringLiteral("upload step %1").arg(i));
        QCOMPARE(threads.at(i), QThread::currentThread());
    }
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
