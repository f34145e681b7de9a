#include "support/cbyte.h"
#include "support/dscramble.h"
#include "support/md5file.h"
#include "tests/common/testhome.h"

#include <QFile>
#include <QRegularExpression>
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
    if (!buffer.GetData())
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

QByteArray hexOf(const CByte& buffer)
{
    const std::unique_ptr<char[]> hex(buffer.ToHex());
    return QByteArray(hex.get());
}

// Runs the call and returns the text of the CByteError it raises (empty when it does not).
QByteArray errorText(const std::function<void()>& call)
{
    try {
        call();
    } catch (const CByteError& error) {
        return QByteArray(error.what());
    }
    return QByteArray();
}

} // namespace

class TestCByte : public QObject
{
    Q_OBJECT

private slots:
    void hexRoundTrip_data();
    void hexRoundTrip();
    void fromHex_data();
    void fromHex();
    void insert_data();
    void insert();
    void pop();
    void cut_data();
    void cut();
    void indexOutOfRange_data();
    void indexOutOfRange();
    void textEdits_data();
    void textEdits();
    void trimZerosAndStrings();
    void copyAndAppend();
    void xorWith_data();
    void xorWith();
    void randomText();
    void scrambleRoundTrip_data();
    void scrambleRoundTrip();
    void scrambleKeyVaries();
    void unscrambleShortInput();
    void md5Vectors_data();
    void md5Vectors();
    void md5LargeAndMissingFile();
    void fileExist();
};

void TestCByte::hexRoundTrip_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty") << QByteArray() << QByteArray("");
    QTest::newRow("high nibble first") << QByteArray("\x0a\x1b", 2) << QByteArray("0A1B");
    QTest::newRow("zero, top, letter") << QByteArray("\x00\xff\x7a", 3) << QByteArray("00FF7A");
}

void TestCByte::hexRoundTrip()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, hex);
    QCOMPARE(hexOf(bufferOf(bytes)), hex);
    CByte back;
    back.FromHex(hex.constData());
    QCOMPARE(bytesOf(back), bytes);
}

void TestCByte::fromHex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("odd count: first digit alone") << QByteArray("ABC") << QByteArray("\x0a\xbc", 2);
    QTest::newRow("single digit") << QByteArray("7") << QByteArray("\x07", 1);
    QTest::newRow("lowercase") << QByteArray("ff0a") << QByteArray("\xff\x0a", 2);
    QTest::newRow("mixed case") << QByteArray("aBcD") << QByteArray("\xab\xcd", 2);
}

void TestCByte::fromHex()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    CByte buffer("old content");
    buffer.FromHex(text.constData());
    QCOMPARE(bytesOf(buffer), bytes);
}

void TestCByte::insert_data()
{
    QTest::addColumn<long>("index");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("front") << 0L << QByteArray("Xabc");
    QTest::newRow("middle") << 1L << QByteArray("aXbc");
    QTest::newRow("at end appends") << 3L << QByteArray("abcX");
    QTest::newRow("after end appends") << 10L << QByteArray("abcX");
}

void TestCByte::insert()
{
    QFETCH(long, index);
    QFETCH(QByteArray, expected);
    CByte buffer("abc");
    buffer.Insert(index, 'X');
    QCOMPARE(bytesOf(buffer), expected);

    CByte pushed("abc");
    pushed.PushBack('X');
    if (index >= 3)
        QCOMPARE(bytesOf(pushed), bytesOf(buffer));
}

void TestCByte::pop()
{
    CByte one("q");
    QCOMPARE(one.Pop(0), static_cast<unsigned char>('q'));
    QCOMPARE(one.GetLength(), 0L);
    QVERIFY(one.GetData() == nullptr);
    QCOMPARE(errorText([&] { one.Pop(0); }), QByteArray("CByte::Pop() : Pop limited."));

    CByte three("xyz");
    QCOMPARE(three.Pop(1), static_cast<unsigned char>('y'));
    QCOMPARE(bytesOf(three), QByteArray("xz"));
    QCOMPARE(errorText([&] { three.Pop(2); }), QByteArray("CByte::Pop() : Pop limited."));
    QCOMPARE(bytesOf(three), QByteArray("xz"));
}

void TestCByte::cut_data()
{
    QTest::addColumn<long>("n");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("raises");
    QTest::newRow("nothing") << 0L << QByteArray("hello") << false;
    QTest::newRow("some") << 2L << QByteArray("hel") << false;
    QTest::newRow("all") << 5L << QByteArray() << false;
    QTest::newRow("one over") << 6L << QByteArray("hello") << true;
    QTest::newRow("negative") << -1L << QByteArray("hello") << true;
}

void TestCByte::cut()
{
    QFETCH(long, n);
    QFETCH(QByteArray, expected);
    QFETCH(bool, raises);
    CByte buffer("hello");
    QCOMPARE(errorText([&] { buffer.Cut(n); }),
             raises ? QByteArray("CByte Cut() : over max.") : QByteArray());
    QCOMPARE(bytesOf(buffer), expected);
}

void TestCByte::indexOutOfRange_data()
{
    QTest::addColumn<long>("index");
    QTest::newRow("one past") << 3L;
    QTest::newRow("negative") << -1L;
}

void TestCByte::indexOutOfRange()
{
    QFETCH(long, index);
    CByte buffer("abc");
    QCOMPARE(errorText([&] { buffer[index] = 'z'; }),
             QByteArray("Error CByte operator[](long i) : out of range (") +
                 QByteArray::number(qlonglong(index)) + "/3)");
    QCOMPARE(bytesOf(buffer), QByteArray("abc"));
    buffer[2] = 'Z';
    QCOMPARE(bytesOf(buffer), QByteArray("abZ"));
}

void TestCByte::textEdits_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("trim blanks both ends")
        << "Trim" << QByteArray(" \r\nab c\n ") << QByteArray("ab c");
    QTest::newRow("trim only blanks unchanged")
        << "Trim" << QByteArray(" \r\n ") << QByteArray(" \r\n ");
    QTest::newRow("trim keeps tabs") << "Trim" << QByteArray("\tx\t") << QByteArray("\tx\t");
    QTest::newRow("remove byte") << "Remove a" << QByteArray("banana") << QByteArray("bnn");
    QTest::newRow("remove absent") << "Remove a" << QByteArray("xyz") << QByteArray("xyz");
    QTest::newRow("remove everything") << "Remove a" << QByteArray("aaa") << QByteArray();
    QTest::newRow("remove spaces")
        << "RemoveSpaces" << QByteArray(" a b\tc ") << QByteArray("ab\tc");
    QTest::newRow("reverse") << "Reverse" << QByteArray("abc\x01")
                             << QByteArray("\x01"
                                           "cba");
    QTest::newRow("lower ASCII only")
        << "ToLower" << QByteArray("AbZ@[\xc4") << QByteArray("abz@[\xc4");
    QTest::newRow("append fill") << "AppendFill" << QByteArray("ab") << QByteArray("ab***");
    QTest::newRow("trim zeros") << "TrimZeros" << QByteArray("a\0b\0\0", 5)
                                << QByteArray("a\0b", 3);
    QTest::newRow("trim zeros all") << "TrimZeros" << QByteArray("\0\0", 2) << QByteArray();
}

void TestCByte::textEdits()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    CByte buffer = bufferOf(input);
    if (operation == QLatin1String("Trim"))
        buffer.Trim();
    else if (operation == QLatin1String("Remove a"))
        buffer.Remove('a');
    else if (operation == QLatin1String("RemoveSpaces"))
        buffer.RemoveSpaces();
    else if (operation == QLatin1String("Reverse"))
        buffer.Reverse();
    else if (operation == QLatin1String("ToLower"))
        buffer.ToLower();
    else if (operation == QLatin1String("AppendFill"))
        buffer.AppendFill(3, '*');
    else if (operation == QLatin1String("TrimZeros"))
        buffer.TrimZeros();
    QCOMPARE(bytesOf(buffer), expected);
    QCOMPARE(buffer.GetLength(), long(expected.size()));
}

void TestCByte::trimZerosAndStrings()
{
    CByte text("abc");
    const std::unique_ptr<char[]> copy(text.ToString());
    QCOMPARE(QByteArray(copy.get()), QByteArray("abc"));
    QVERIFY(static_cast<void*>(copy.get()) != static_cast<void*>(text.GetData()));

    CByte empty(nullptr);
    QCOMPARE(empty.GetLength(), 0L);
    const std::unique_ptr<char[]> emptyCopy(empty.ToString());
    QCOMPARE(emptyCopy[0], '\0');

    CByte sized;
    sized.SetSize(4);
    QCOMPARE(bytesOf(sized), QByteArray(4, '\0'));
    sized.Assign("xy");
    QCOMPARE(bytesOf(sized), QByteArray("xy"));
    sized.Assign(nullptr);
    QCOMPARE(sized.GetLength(), 0L);
}

void TestCByte::copyAndAppend()
{
    CByte original("abc");
    CByte copy(original);
    copy[0] = 'X';
    QCOMPARE(bytesOf(original), QByteArray("abc"));

    CByte assigned;
    assigned = original;
    original.Clear();
    QCOMPARE(bytesOf(assigned), QByteArray("abc"));

    assigned.Append(assigned);
    QCOMPARE(bytesOf(assigned), QByteArray("abcabc"));
    assigned.Append("!?");
    assigned.Append(static_cast<const char*>(nullptr));
    QCOMPARE(bytesOf(assigned), QByteArray("abcabc!?"));
}

void TestCByte::xorWith_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("key repeats") << QByteArray("\x01\x02\x03", 3) << QByteArray("\x10\x20", 2)
                                 << QByteArray("\x11\x22\x13", 3);
    QTest::newRow("empty key") << QByteArray("abc") << QByteArray() << QByteArray("abc");
    QTest::newRow("empty data") << QByteArray() << QByteArray("k") << QByteArray();
}

void TestCByte::xorWith()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, expected);
    CByte buffer = bufferOf(data);
    XorWith(buffer, bufferOf(key));
    QCOMPARE(bytesOf(buffer), expected);
}

void TestCByte::randomText()
{
    const QRegularExpression alphabet(QStringLiteral("^[a-zA-Z0-9]{40}$"));
    const QByteArray text = bytesOf(RandomText(40));
    QVERIFY2(alphabet.match(QString::fromLatin1(text)).hasMatch(), text.constData());
    QCOMPARE(RandomText(0).GetLength(), 0L);

    CByte noise;
    noise.SetSize(8);
    noise.Randomize();
    QCOMPARE(noise.GetLength(), 8L);
}

void TestCByte::scrambleRoundTrip_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("password") << QByteArray("s3cret Pass!");
    QTest::newRow("slash and colon") << QByteArray("user/pw:@host");
    QTest::newRow("high bytes") << QByteArray("\x80\xff\xe9\xa0", 4);
    QTest::newRow("long") << QByteArray(300, 'q');
}

void TestCByte::scrambleRoundTrip()
{
    QFETCH(QByteArray, plain);
    const CByte scrambled = Scramble(bufferOf(plain));
    const QByteArray text = bytesOf(scrambled);
    QCOMPARE(text.size(), 2 * plain.size() + 4);
    const QRegularExpression hexOnly(QStringLiteral("^[0-9A-F]+$"));
    QVERIFY2(hexOnly.match(QString::fromLatin1(text)).hasMatch(), text.constData());
    QCOMPARE(bytesOf(Unscramble(scrambled)), plain);
}

void TestCByte::scrambleKeyVaries()
{
    const CByte plain("same text");
    QByteArray first = bytesOf(Scramble(plain));
    QByteArray second = first;
    // 3844 possible keys: a few tries rule out an unlucky repeat.
    for (int i = 0; i < 10 && second == first; ++i)
        second = bytesOf(Scramble(plain));
    QVERIFY(first != second);
    QCOMPARE(bytesOf(Unscramble(bufferOf(first))), QByteArray("same text"));
    QCOMPARE(bytesOf(Unscramble(bufferOf(second))), QByteArray("same text"));
    QCOMPARE(Scramble(CByte()).GetLength(), 0L);
}

void TestCByte::unscrambleShortInput()
{
    QCOMPARE(Unscramble(CByte()).GetLength(), 0L);
    QCOMPARE(Unscramble(CByte("41")).GetLength(), 0L);
    QCOMPARE(bytesOf(Unscramble(CByte("4142"))), QByteArray());
}

void TestCByte::md5Vectors_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray("") << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("a") << QByteArray("a") << QByteArray("0cc175b9c0f1b6a831c399e269772661");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("message digest")
        << QByteArray("message digest") << QByteArray("f96b697d7cb7938d525a2f31aaf161d0");
    QTest::newRow("alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz")
                              << QByteArray("c3fcd3d76192e4007dfb496cca67e13b");
    QTest::newRow("alphanumeric")
        << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
        << QByteArray("d174ab98d277d9f5a5611c2c9f419d9f");
    QTest::newRow("eighty digits") << QByteArray("1234567890123456789012345678901234567890"
                                                 "1234567890123456789012345678901234567890")
                                   << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
}

void TestCByte::md5Vectors()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, digest);
    TestHome home;
    const QString path = home.path() + QStringLiteral("/vector.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const std::unique_ptr<char[]> result(MD5File(QFile::encodeName(path).constData()));
    QVERIFY(result);
    QCOMPARE(QByteArray(result.get()), digest);
}

void TestCByte::md5LargeAndMissingFile()
{
    TestHome home;
    // Several read blocks plus a tail, with every byte value.
    QByteArray content;
    for (int i = 0; i < 5000; ++i)
        content.append(char(i * 7 % 256));
    const QString path = home.path() + QStringLiteral("/large.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const std::unique_ptr<char[]> result(MD5File(QFile::encodeName(path).constData()));
    QVERIFY(result);
    QCOMPARE(QByteArray(result.get()),
             QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());

    const QByteArray missing = QFile::encodeName(home.path() + QStringLiteral("/missing.bin"));
    QVERIFY(MD5File(missing.constData()) == nullptr);
}

void TestCByte::fileExist()
{
    TestHome home;
    const QString path = home.path() + QStringLiteral("/present.txt");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(FileExist(QFile::encodeName(path).constData()));
    QVERIFY(!FileExist(QFile::encodeName(home.path() + QStringLiteral("/absent")).constData()));
    QCOMPARE(errorText([] { FileExist(""); }),
             QByteArray("\nlad Error FileExist(char *filename)\nCan't open file "));
}

QTEST_GUILESS_MAIN(TestCByte)
#include "tst_cbyte.moc"
