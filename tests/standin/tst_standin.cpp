#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include "engine/dcurl.h"
#include "support/dscramble.h"

#include <QCryptographicHash>
#include <QtTest>

#include <curl/curl.h>

#include <cstdio>
#include <memory>

namespace {

size_t appendTo(char* data, size_t size, size_t count, void* buffer)
{
    static_cast<QByteArray*>(buffer)->append(data, qsizetype(size * count));
    return size * count;
}

// One request: the response code (0 when none came) and the body; an upload when `upload` is set.
std::pair<long, QByteArray> perform(const QString& url, const char* range = nullptr,
                                    QByteArray upload = QByteArray())
{
    long status = 0;
    QByteArray body;
    std::FILE* source =
        upload.isNull() ? nullptr : fmemopen(upload.data(), size_t(upload.size()), "rb");
    CURL* handle = DCurl::newHandle();
    curl_easy_setopt(handle, CURLOPT_URL, url.toUtf8().constData());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendTo);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_RANGE, range);
    curl_easy_setopt(handle, CURLOPT_UPLOAD, source ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_READDATA, source);
    curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(handle);
    if (source)
        std::fclose(source);
    return {status, body};
}

} // namespace

// A smoke check of the stand-in service itself, so that a broken stand-in is not mistaken for a
// client fault by the networked tests.
class TestStandIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_standIn.start());
        QVERIFY(m_standIn.httpPort() > 0 && m_standIn.httpsPort() > 0 && m_standIn.ftpPort() > 0);
        QVERIFY(QFile::exists(m_standIn.caFile()));
    }

    void base64RequestDecoded()
    {
        // Its Base64 holds "+", "/" and "=", sent unescaped as the client does.
        const QString payload = QStringLiteral("#2.56/alice/secret/10/new ~~~???");
        QCOMPARE(perform(toolUrl("create_folder", payload)).first, 200L);
        const QJsonObject entry = m_standIn.requests().last().toObject();
        QCOMPARE(entry.value("payload").toString(), payload);
        QCOMPARE(entry.value("fields").toVariant().toStringList(),
                 QStringList({"10", "new ~~~???"}));
    }

    void directLinkRange()
    {
        const QString answer = perform(toolUrl("dlfile", "AABB#2.56/alice/secret/201")).second;
        const QString link =
            QRegularExpression("<direct_link>(.*)</direct_link>").match(answer).captured(1);
        const auto whole = perform(link);
        const QByteArray digest =
            QCryptographicHash::hash(whole.second, QCryptographicHash::Sha256);
        QCOMPARE(QString::fromLatin1(digest.toHex()), m_standIn.fileSha256("alice", "201"));
        QCOMPARE(perform(link, "1048570-1048585"),
                 std::make_pair(206L, whole.second.mid(1048570, 16)));
    }

    void ftpWantsScrambledPassword()
    {
        const std::unique_ptr<char[]> scrambled(Scramble(CByte("secret")).ToString());
        const QString url =
            QStringLiteral("ftp://alice:%2@127.0.0.1:%1/f.bin").arg(m_standIn.ftpPort());
        const QByteArray data("uploaded bytes");
        QCOMPARE(perform(url.arg("secret"), nullptr, data).first, 530L);
        QVERIFY(m_standIn.ftpFile("alice", "f.bin").isEmpty());
        QCOMPARE(perform(url.arg(QLatin1String(scrambled.get())), nullptr, data).first, 226L);
        QCOMPARE(m_standIn.ftpFile("alice", "f.bin").value("size").toInt(), data.size());
    }

    void faultFiresOnce()
    {
        m_standIn.addFault({{"kind", "startup"}, {"action", "drop"}, {"times", 1}});
        QCOMPARE(perform(toolUrl("startup", "AABB#2.56")).first, 0L);
        QCOMPARE(perform(toolUrl("startup", "AABB#2.56")).first, 200L);
    }

private:
    QString toolUrl(const QString& param, const QString& payload) const
    {
        return m_standIn.httpBase() + QStringLiteral("/tool/?%1=").arg(param) +
               QString::fromLatin1(payload.toUtf8().toBase64());
    }

    TestHome m_home;
    StandIn m_standIn;
};

QTEST_GUILESS_MAIN(TestStandIn)
#include "tst_standin.moc"
