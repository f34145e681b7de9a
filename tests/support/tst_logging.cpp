#include "support/dlog.h"
#include "tests/common/testhome.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

namespace {

QByteArray logContent(const TestHome& home)
{
    QFile file(home.dataFolder() + QStringLiteral("/Ferrydesk.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data()
    {
        const QByteArray marker = " ... (ERROR: outputLog too LONG??\?)";
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("plain") << QStringLiteral("Login success") << QByteArray("Login success");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("hash and percent signs")
            << QStringLiteral("a#b 100% %s") << QByteArray("a#b 100% %s");
        QTest::newRow("latin-1 as one byte")
            << QStringLiteral("caf\u00e9") << QByteArray("caf\xe9");
        QTest::newRow("outside latin-1")
            << QStringLiteral("T\u1ec7p \u20ac") << QByteArray("T?p ?");
        QTest::newRow("surrogate pair") << QStringLiteral("a\U0001F600b") << QByteArray("a?b");
        QTest::newRow("9900 bytes whole") << QString(9900, 'x') << QByteArray(9900, 'x');
        QTest::newRow("9901 bytes cut") << QString(9901, 'x') << QByteArray(9900, 'x') + marker;
        QTest::newRow("far too long") << QString(50000, 'x') << QByteArray(9900, 'x') + marker;
    }

    void lineFormat()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, written);
        TestHome home;
        logToFile(message);
        const QByteArray content = logContent(home);
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

        const QList<QByteArray> lines = logContent(home).split('\n');
        QCOMPARE(lines.size(), 2 * LinesPerThread + 1);
        const QRegularExpression intact(QStringLiteral("^[^#]+#(A{6000}|B{6000})$"));
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            QVERIFY2(intact.match(QString::fromLatin1(lines.at(i))).hasMatch(),
                     lines.at(i).left(120).constData());
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
