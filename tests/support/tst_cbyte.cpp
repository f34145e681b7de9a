#include "support/cbyte.h"
#include "support/dscramble.h"
#include "support/md5file.h"
#include "tests/common/testhome.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace {

CByte bufferOf(const QByteArray& bytes)
{
    CByte buffer;
    buffer.SetSize(bytes.size());
    buffer.SetBytes(bytes.constData());
    return buffer;
}

QByteArray bytesOf(const CByte& buffer)
{
    return QByteArray(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

QByteArray owned(char* text)
{
    const std::unique_ptr<char[]> holder(text);
    return holder ? QByteArray(holder.get()) : QByteArray("(null)");
}

using Operation = std::function<QByteArray(CByte&, long)>;

// Each operation changes the buffer and answers what its rows expect to see afterwards.
Operation operation(const QString& name)
{
    static const QHash<QString, Operation> operations = {
        {"SetZ", [](CByte& b, long i) { return b[i] = 'Z', bytesOf(b); }},
        {"Append", [](CByte& b, long) { return b.Append(b), b.Append("!?"), bytesOf(b); }},
        {"Copy",
         [](CByte& b, long) {
             CByte copy(b), assigned;
             assigned = b;
             return copy[0] = 'X', assigned[1] = 'Y',
                    bytesOf(b) + bytesOf(copy) + bytesOf(assigned);
         }},
        {"FromHex", [](CByte& b, long) { return b.FromHex(bytesOf(b).constData()), bytesOf(b); }},
        {"Scramble", [](CByte& b, long) { return bytesOf(Scramble(b)); }},
        {"Unscramble", [](CByte& b, long) { return bytesOf(Unscramble(b)); }},
        {"FileExist",
         [](CByte& b, long) { return QByteArray::number(FileExist(bytesOf(b).constData())); }},
    };
    return operations.value(name);
}

} // namespace

class TestCByte : public QObject
{
    Q_OBJECT

private slots:
    // "op" is an operation name and its number argument; a raised text is followed by the buffer.
    void operations_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        auto row = [](const char* name, const char* op, const QByteArray& input,
                      const QByteArray& expected) {
            QTest::newRow(name) << QString::fromLatin1(op) << input << expected;
        };
        const QByteArray indexError("Error CByte operator[](long i) : out of range (");

        row("index past", "SetZ 3", "abc", indexError + "3/3) / abc");
        row("index negative", "SetZ -1", "abc", indexError + "-1/3) / abc");
        row("append self and text", "Append", "abc", "abcabc!?");
        row("copy and assignment are deep", "Copy", "abc", "abcXbcaYc");
        row("from hex odd count", "FromHex", "ABC", "\x0a\xbc");
        row("scramble empty", "Scramble", "", "");
        row("unscramble shorter than key", "Unscramble", "41", "");
        row("unscramble key k7", "Unscramble", "6B372D52194512", "Ferry");
        row("file exist empty name", "FileExist", "",
            "\nlad Error FileExist(char *filename)\nCan't open file  / ");
    }

    // A raising operation leaves the buffer unchanged.
    void operations()
    {
        QFETCH(QString, op);
        QFETCH(QByteArray, input);
        CByte buffer = bufferOf(input);
        QByteArray result;
        try {
            result = operation(op.section(' ', 0, 0))(buffer, op.section(' ', 1).toLong());
        } catch (const CByteError& e) {
            result = e.what() + QByteArray(" / ") + bytesOf(buffer);
        }
        QTEST(result, "expected");
    }

    void scrambleRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("password with / : @") << QByteArray("s3cret/pw:@host");
        QTest::newRow("high bytes") << QByteArray("\x80\xff\xe9\xa0", 4);
        QTest::newRow("long") << QByteArray(300, 'q');
    }

    // Uppercase hex of a two-character random key and the XORed text; a fresh key every call.
    void scrambleRoundTrip()
    {
        QFETCH(QByteArray, plain);
        const QByteArray text = bytesOf(Scramble(bufferOf(plain)));
        QCOMPARE(text.size(), 2 * plain.size() + 4);
        QCOMPARE(QByteArray::fromHex(text).toHex().toUpper(), text); // hex digits and capitals only
        // The key in front is two characters of the random-text alphabet.
        const QString key = QString::fromLatin1(QByteArray::fromHex(text.left(4)));
        QVERIFY2(QRegularExpression(QStringLiteral("^[a-zA-Z0-9]{2}$")).match(key).hasMatch(),
                 qPrintable(key));
        QCOMPARE(bytesOf(Unscramble(bufferOf(text))), plain);

        QByteArray other = text;
        // 3844 possible keys: a few tries rule out an unlucky repeat.
        for (int i = 0; i < 10 && other == text; ++i)
            other = bytesOf(Scramble(bufferOf(plain)));
        QVERIFY(other != text);
        QCOMPARE(bytesOf(Unscramble(bufferOf(other))), plain);
    }

    void md5File_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("digest");
        auto row = [](const char* name, const QByteArray& content, const QByteArray& digest) {
            QTest::newRow(name) << content << digest;
        };
        row("empty", "", "d41d8cd98f00b204e9800998ecf8427e");
        row("abc", "abc", "900150983cd24fb0d6963f7d28e17f72");
        row("eighty digits", QByteArray("1234567890").repeated(8),
            "57edf4a22be3c955ac49da2e2107b67a");
        QByteArray large; // several read blocks and a tail, every byte value
        for (int i = 0; i < 5000; ++i)
            large.append(char(i * 7 % 256));
        row("several blocks", large,
            QCryptographicHash::hash(large, QCryptographicHash::Md5).toHex());
        row("missing file", QByteArray(), "(null)");
    }

    void md5File()
    {
        QFETCH(QByteArray, content);
        TestHome home;
        QFile file(home.path() + QStringLiteral("/vector.bin"));
        if (!content.isNull()) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), content.size());
            file.close();
        }
        const QByteArray path = QFile::encodeName(file.fileName());
        QTEST(owned(MD5File(path.constData())), "digest");
        QCOMPARE(FileExist(path.constData()), !content.isNull());
    }
};

QTEST_GUILESS_MAIN(TestCByte)
#include "tst_cbyte.moc"
