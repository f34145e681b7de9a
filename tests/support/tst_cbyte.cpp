#include "support/cbyte.h"
#include "support/dscramble.h"
#include "support/md5file.h"
#include "tests/common/testhome.h"

#include <QtTest>

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

} // namespace

class TestCByte : public QObject
{
    Q_OBJECT

private slots:
    void bufferOperations()
    {
        CByte b = bufferOf("abc");
        // Out of range: raised, and the buffer stays as it was.
        QVERIFY_THROWS_EXCEPTION(CByteError, b[3] = 'Z');
        QVERIFY_THROWS_EXCEPTION(CByteError, b[-1] = 'Z');
        QVERIFY_THROWS_EXCEPTION(CByteError, FileExist(""));
        CByte copy(b), assigned;
        assigned = b;
        copy[0] = 'X';
        assigned[1] = 'Y';
        QCOMPARE(bytesOf(b) + bytesOf(copy) + bytesOf(assigned), "abcXbcaYc");
        b.Append(b);
        b.Append("!?");
        QCOMPARE(bytesOf(b), "abcabc!?");
        b.FromHex("ABC"); // an odd count: the first digit alone is the first byte
        QCOMPARE(bytesOf(b), "\x0a\xbc");
    }

    // `stored`: a text scrambled earlier, which must still read as `plain`.
    void scramble_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("empty") << QByteArray("") << QByteArray("");
        QTest::newRow("shorter than the key") << QByteArray("") << QByteArray("41");
        QTest::newRow("key k7") << QByteArray("Ferry") << QByteArray("6B372D52194512");
        QTest::newRow("password with / : @") << QByteArray("s3cret/pw:@host") << QByteArray();
        QTest::newRow("high bytes") << QByteArray("\x80\xff\xe9\xa0", 4) << QByteArray();
        QTest::newRow("long") << QByteArray(300, 'q') << QByteArray();
    }

    // Uppercase hex of a two-character random key and the XORed text; a fresh key every call
    // (3844 keys: a few tries rule out an unlucky repeat).
    void scramble()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, stored);
        if (!stored.isNull())
            QCOMPARE(bytesOf(Unscramble(bufferOf(stored))), plain);
        const QByteArray text = bytesOf(Scramble(bufferOf(plain)));
        if (plain.isEmpty())
            QVERIFY(text.isEmpty());
        else
            QVERIFY2(QRegularExpression("^[a-zA-Z0-9]{2}$")
                         .match(QString::fromLatin1(QByteArray::fromHex(text.left(4))))
                         .hasMatch(),
                     text.constData());
        QCOMPARE(QByteArray::fromHex(text).toHex().toUpper(), text);
        QCOMPARE(bytesOf(Unscramble(bufferOf(text))), plain);
        QByteArray other = text;
        for (int i = 0; i < 10 && other == text && !plain.isEmpty(); ++i)
            other = bytesOf(Scramble(bufferOf(plain)));
        QCOMPARE(other != text, !plain.isEmpty());
    }

    // Against Qt's digest: around the padding boundary, several read blocks, every byte value.
    void md5File_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::newRow("missing file") << QByteArray();
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("55 bytes") << QByteArray(55, 'a');
        QTest::newRow("56 bytes") << QByteArray(56, 'a');
        QByteArray large;
        for (int i = 0; i < 5000; ++i)
            large.append(char(i * 7 % 256));
        QTest::newRow("several blocks") << large;
    }

    void md5File()
    {
        QFETCH(QByteArray, content);
        TestHome home;
        const QByteArray path = QFile::encodeName(home.path() + "/vector.bin");
        if (!content.isNull())
            QVERIFY(writeFile(path, content));
        const std::unique_ptr<char[]> digest(MD5File(path.constData()));
        QCOMPARE(QByteArray(digest.get()),
                 content.isNull()
                     ? QByteArray()
                     : QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
        QCOMPARE(FileExist(path.constData()), !content.isNull());
    }
};

QTEST_GUILESS_MAIN(TestCByte)
#include "tst_cbyte.moc"
