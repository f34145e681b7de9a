#include "support/cbyte.h"
#include "support/dscramble.h"

#include <QtTest>

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

// Passwords in the settings file: scrambled as uppercase hex of a random two-byte key and the
// text XORed with it.
class TestCByte : public QObject
{
    Q_OBJECT

private slots:
    // `stored`: a text scrambled earlier, which must still read as `plain`.
    void scramble_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("key k7") << QByteArray("Ferry") << QByteArray("6B372D52194512");
        QTest::newRow("high bytes")
            << QByteArray("\x80\xff\xe9\xa0", 4) << QByteArray("6B37EBC88297");
    }

    // A fresh key every call (3844 keys: a few tries rule out an unlucky repeat).
    void scramble()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, stored);
        QCOMPARE(bytesOf(Unscramble(bufferOf(stored))), plain);
        const QByteArray text = bytesOf(Scramble(bufferOf(plain)));
        QCOMPARE(QByteArray::fromHex(text).toHex().toUpper(), text);
        QCOMPARE(bytesOf(Unscramble(bufferOf(text))), plain);
        QByteArray other = text;
        for (int i = 0; i < 10 && other == text; ++i)
            other = bytesOf(Scramble(bufferOf(plain)));
        QVERIFY(other != text);
    }
};

QTEST_GUILESS_MAIN(TestCByte)
#include "tst_cbyte.moc"
