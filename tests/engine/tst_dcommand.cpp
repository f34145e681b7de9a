#include "engine/dcommand.h"
#include "engine/dglobals.h"
#include "tests/common/testhome.h"

#include <QFile>
#include <QFileInfo>
#include <QtTest>

namespace {

// Exposes the answer file so a test can hand the command a service answer.
class AnsweredCommand : public DCommand
{
public:
    void answer(const QByteArray& body)
    {
        QVERIFY(file()->open(QIODevice::WriteOnly));
        file()->resize(0);
        file()->write(body);
        file()->close();
    }
};

} // namespace

// The command base: the service's verdict, the answer file and the dump.
class TestDCommand : public QObject
{
    Q_OBJECT

private slots:
    void verdict_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("success");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("value 1 with text")
            << QByteArray("<r><value>1</value><string>Done</string></r>") << true
            << int(StatusFinished) << "Done";
        QTest::newRow("value 0 with text")
            << QByteArray("<r><value>0</value><string>No way</string></r>") << false
            << int(StatusFailed) << "No way";
        QTest::newRow("missing value keeps old message")
            << QByteArray("<r><string2>x</string2></r>") << false << int(StatusFailed)
            << "previous";
        QTest::newRow("value not a number")
            << QByteArray("<r><value>yes</value></r>") << false << int(StatusFailed) << "previous";
        QTest::newRow("negative value is success")
            << QByteArray("<?xml version=\"1.0\"?>\n<any><value>-2</value></any>") << true
            << int(StatusFinished) << "previous";
        QTest::newRow("not XML") << QByteArray(
                                        "<detail>\nhello\n</detail>\n<r><value>1</value></r>")
                                 << false << int(StatusFinished) << "previous";
        QTest::newRow("empty answer") << QByteArray() << false << int(StatusFinished) << "previous";
    }

    void verdict()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, success);
        QFETCH(int, status);
        QFETCH(QString, message);
        TestHome home;
        AnsweredCommand command;
        command.answer(answer);
        command.setStatus(StatusFinished);
        QString out = "previous";
        QCOMPARE(command.parseResult(out), success);
        QCOMPARE(command.status(), status);
        QCOMPARE(out, message);
    }

    void dumpHoldsRequestAndAnswerOnlyWithDumpOn()
    {
        TestHome home;
        AnsweredCommand command;
        command.answer("x");
        // The answer file: an unpredictable name in the data folder, for its owner only.
        const QFileInfo answer(command.file()->fileName());
        QCOMPARE(answer.path(), home.dataFolder());
        const QFile::Permissions others =
            QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
        QCOMPARE(answer.permissions() & others, QFile::Permissions());
        command.url = QUrl("http://127.0.0.1:1/tool/?x=1");
        command.answer("<r><value>1</value></r>");
        command.setStatus(StatusFinished);
        command.finish(false);
        QVERIFY(!QFile::exists(home.dataFolder() + "/dftp.dump"));
        DGlobals::dumpResponses = true;
        command.finish(false);
        DGlobals::dumpResponses = false;
        QFile dump(home.dataFolder() + "/dftp.dump");
        QVERIFY(dump.open(QIODevice::ReadOnly));
        QCOMPARE(dump.readAll(),
                 QByteArray("http://127.0.0.1:1/tool/?x=1<r><value>1</value></r>\n\n"));
    }
};

QTEST_GUILESS_MAIN(TestDCommand)
#include "tst_dcommand.moc"
