#include "tests/common/standin.h"
#include "tests/common/testhome.h"

#include "engine/dcurl.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <curl/curl.h>

namespace {

struct Reply
{
    CURLcode rc = CURLE_OK;
    long status = 0;
    QByteArray headers;
    QByteArray body;
};

struct Upload
{
    QByteArray data;
    qsizetype position = 0;
};

size_t appendTo(char* data, size_t size, size_t count, void* buffer)
{
    static_cast<QByteArray*>(buffer)->append(data, static_cast<qsizetype>(size * count));
    return size * count;
}

size_t readFrom(char* buffer, size_t size, size_t count, void* source)
{
    auto* upload = static_cast<Upload*>(source);
    const qsizetype wanted = static_cast<qsizetype>(size * count);
    const qsizetype length = qMin(wanted, upload->data.size() - upload->position);
    memcpy(buffer, upload->data.constData() + upload->position, static_cast<size_t>(length));
    upload->position += length;
    return static_cast<size_t>(length);
}

Reply fetch(const QString& url, const QByteArray& range = QByteArray(),
            const QString& caFile = QString())
{
    Reply reply;
    CURL* handle = DCurl::newHandle();
    const QByteArray address = url.toUtf8();
    const QByteArray ca = caFile.toLocal8Bit();
    curl_easy_setopt(handle, CURLOPT_URL, address.constData());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendTo);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, appendTo);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reply.headers);
    if (!range.isEmpty())
        curl_easy_setopt(handle, CURLOPT_RANGE, range.constData());
    if (!ca.isEmpty())
        curl_easy_setopt(handle, CURLOPT_CAINFO, ca.constData());
    reply.rc = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(handle);
    return reply;
}

// What the client sends as FTP password: two key characters, the XORed text, all as hex.
QByteArray scrambled(const QByteArray& plain)
{
    const QByteArray key("k7");
    QByteArray raw = key;
    for (qsizetype i = 0; i < plain.size(); ++i)
        raw.append(static_cast<char>(plain.at(i) ^ key.at(i % 2)));
    return raw.toHex().toUpper();
}

CURL* ftpHandle(const QByteArray& url, const QByteArray& password)
{
    CURL* handle = DCurl::newHandle();
    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_USERNAME, "alice");
    curl_easy_setopt(handle, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 30L);
    return handle;
}

CURLcode ftpStore(const QByteArray& url, const QByteArray& password, const QByteArray& data,
                  bool append)
{
    Upload upload{data, 0};
    CURL* handle = ftpHandle(url, password);
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readFrom);
    curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl_easy_setopt(handle, CURLOPT_APPEND, append ? 1L : 0L);
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    return rc;
}

// The size query the upload resume makes: NOBODY, answered as a "Content-Length: " line.
qint64 ftpRemoteSize(const QByteArray& url, const QByteArray& password)
{
    QByteArray headers;
    CURL* handle = ftpHandle(url, password);
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, appendTo);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headers);
    QByteArray ignored;
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendTo);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &ignored);
    const CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    if (rc != CURLE_OK)
        return -1;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("Content-Length: (\\d+)"))
            .match(QString::fromLatin1(headers));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(12345);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = static_cast<char>(generator.bounded(256));
    return data;
}

QString sha256(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestStandIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void serviceRequests_data();
    void serviceRequests();
    void directLinkRanges_data();
    void directLinkRanges();
    void ftpUploadResumeAndRegister();
    void ftpRefusesPlainPassword();
    void dropFaultFiresOnce();
    void httpsTrustsGeneratedCertificate();

private:
    QString toolUrl(const QString& param, const QString& payload) const;
    QString directLink(const QString& fileId);

    TestHome m_home;
    StandIn m_standIn;
};

void TestStandIn::initTestCase()
{
    QVERIFY(m_standIn.start());
    QVERIFY(m_standIn.httpPort() > 0);
    QVERIFY(QFile::exists(m_standIn.caFile()));
}

void TestStandIn::init()
{
    m_standIn.reset();
}

QString TestStandIn::toolUrl(const QString& param, const QString& payload) const
{
    // Base64 goes into the address as it is: "+", "/" and "=" unescaped, as the client sends it.
    return m_standIn.httpBase() + QStringLiteral("/tool/?") + param + QLatin1Char('=') +
           QString::fromLatin1(payload.toUtf8().toBase64());
}

QString TestStandIn::directLink(const QString& fileId)
{
    const Reply reply = fetch(
        toolUrl(QStringLiteral("dlfile"), QStringLiteral("AABB#2.56/alice/secret/") + fileId));
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("<direct_link>(.*)</direct_link>"))
            .match(QString::fromUtf8(reply.body));
    return match.captured(1);
}

void TestStandIn::serviceRequests_data()
{
    QTest::addColumn<QString>("param");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<bool>("detail");
    QTest::addColumn<QStringList>("answerHas");

    const QString alice = QStringLiteral("AABBCCDDEEFF#2.56/alice/secret");
    QTest::newRow("root listing") << "folder" << alice + "/"
                                  << "listing"
                                  << "alice" << QStringList{""} << true
                                  << QStringList{"<current_folder_id>-1</current_folder_id>",
                                                 "<name>Docs</name>", "<value>1</value>"};
    QTest::newRow("folder listing")
        << "folder" << alice + "/10"
        << "listing"
        << "alice" << QStringList{"10"} << true
        << QStringList{"<parent_folder_id>-1</parent_folder_id>",
                       "<link>https://127.0.0.1/f/101/a.txt.file</link>"};
    QTest::newRow("login") << "folder" << alice << "login"
                           << "alice" << QStringList{} << true
                           << QStringList{"<param1>1</param1>", "<max_usp>0</max_usp>",
                                          "<listdata>"};
    QTest::newRow("startup") << "startup"
                             << "AABBCCDDEEFF#2.56"
                             << "startup"
                             << "" << QStringList{} << true
                             << QStringList{"<svr>127.0.0.1</svr>", "<svp>"};
    QTest::newRow("password with slashes")
        << "folder"
        << "#2.56/bob/pw/with/slash/50"
        << "listing"
        << "bob" << QStringList{"50"} << true
        << QStringList{"<current_folder_id>50</current_folder_id>"};
    QTest::newRow("wrong password")
        << "folder"
        << "#2.56/alice/secreT/"
        << "login"
        << "alice" << QStringList{} << false << QStringList{"<value>0</value>"};
    QTest::newRow("name needing + and / in Base64")
        << "create_folder" << alice + "/10/new ~~~???"
        << "create_folder"
        << "alice" << QStringList{"10", "new ~~~???"} << false << QStringList{"<value>1</value>"};
    QTest::newRow("download refused for bob")
        << "dlfile"
        << "#2.56/bob/pw/with/slash/501"
        << "dlfile"
        << "bob" << QStringList{"501"} << false << QStringList{"Downloads are off for bob"};
    QTest::newRow("unknown file") << "dlfile" << alice + "/999"
                                  << "dlfile"
                                  << "alice" << QStringList{"999"} << false
                                  << QStringList{"<value>0</value>", "File not found"};
}

void TestStandIn::serviceRequests()
{
    QFETCH(QString, param);
    QFETCH(QString, payload);
    QFETCH(QString, kind);
    QFETCH(QString, user);
    QFETCH(QStringList, fields);
    QFETCH(bool, detail);
    QFETCH(QStringList, answerHas);

    const Reply reply = fetch(toolUrl(param, payload));
    QCOMPARE(reply.rc, CURLE_OK);
    QCOMPARE(reply.status, 200L);
    const QString answer = QString::fromUtf8(reply.body);
    QCOMPARE(answer.startsWith(QStringLiteral("<detail>\n")), detail);
    for (const QString& part : answerHas)
        QVERIFY2(answer.contains(part), qPrintable(part + QStringLiteral(" in ") + answer));

    const QJsonArray log = m_standIn.requests();
    QCOMPARE(log.size(), 1);
    const QJsonObject entry = log.first().toObject();
    QCOMPARE(entry.value(QStringLiteral("kind")).toString(), kind);
    QCOMPARE(entry.value(QStringLiteral("param")).toString(), param);
    QCOMPARE(entry.value(QStringLiteral("payload")).toString(), payload);
    QCOMPARE(entry.value(QStringLiteral("user")).toString(), user);
    QCOMPARE(entry.value(QStringLiteral("fields")).toVariant().toStringList(), fields);
}

void TestStandIn::directLinkRanges_data()
{
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<long>("status");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");

    const qint64 size = 2097152;
    QTest::newRow("whole file") << QByteArray() << 200L << qint64(0) << size;
    QTest::newRow("from an offset") << QByteArray("1000-") << 206L << qint64(1000) << size - 1000;
    QTest::newRow("closed range") << QByteArray("1048570-1048585") << 206L << qint64(1048570)
                                  << qint64(16);
    QTest::newRow("last byte") << QByteArray("2097151-") << 206L << size - 1 << qint64(1);
    QTest::newRow("at the end") << QByteArray("2097152-") << 416L << qint64(0) << qint64(0);
}

void TestStandIn::directLinkRanges()
{
    QFETCH(QByteArray, range);
    QFETCH(long, status);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);

    const QString link = directLink(QStringLiteral("201"));
    QVERIFY(link.startsWith(m_standIn.httpBase() + QStringLiteral("/dl/")));
    const Reply whole = fetch(link);
    QCOMPARE(sha256(whole.body),
             m_standIn.fileSha256(QStringLiteral("alice"), QStringLiteral("201")));

    const Reply reply = fetch(link, range);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.body, whole.body.mid(offset, length));
    if (status == 206)
        QVERIFY(reply.headers.contains(QByteArray("Content-Range: bytes ") +
                                       QByteArray::number(offset) + '-' +
                                       QByteArray::number(offset + length - 1) + "/2097152"));
    if (status == 416)
        QVERIFY(reply.headers.contains("Content-Range: bytes */2097152"));
    const QJsonArray downloads = m_standIn.requests(QStringLiteral("download"));
    QCOMPARE(downloads.last().toObject().value(QStringLiteral("range")).toString(),
             range.isEmpty() ? QString() : QStringLiteral("bytes=") + QString::fromLatin1(range));
}

void TestStandIn::ftpUploadResumeAndRegister()
{
    const QByteArray data = randomBytes(300000);
    const QByteArray password = scrambled("secret");
    const QByteArray base = QStringLiteral("ftp://127.0.0.1:%1/").arg(m_standIn.ftpPort()).toUtf8();

    QCOMPARE(ftpStore(base + "whole.bin", password, data, false), CURLE_OK);
    QCOMPARE(m_standIn.ftpFile("alice", "whole.bin").value("sha256").toString(), sha256(data));

    // An interrupted upload: the server holds a prefix, the client asks its size and appends.
    m_standIn.putFtpFile("alice", "part.bin", data.left(120000));
    QCOMPARE(ftpRemoteSize(base + "part.bin", password), qint64(120000));
    QCOMPARE(ftpStore(base + "part.bin", password, data.mid(120000), true), CURLE_OK);
    const QJsonObject stored = m_standIn.ftpFile("alice", "part.bin");
    QCOMPARE(stored.value("size").toInteger(), qint64(data.size()));
    QCOMPARE(stored.value("sha256").toString(), sha256(data));

    const QString alice = QStringLiteral("#2.56/alice/secret/");
    const Reply wrongSize = fetch(toolUrl("upload_done", alice + "part.bin/up.bin/300001/20"));
    QVERIFY(wrongSize.body.contains("<value>0</value>"));
    const Reply done = fetch(toolUrl("upload_done", alice + "part.bin/up.bin/300000/20"));
    QVERIFY(done.body.contains("<value>1</value>"));
    const QJsonObject files = m_standIn.files("alice");
    bool registered = false;
    for (const QJsonValue& file : files) {
        const QJsonObject entry = file.toObject();
        if (entry.value("name").toString() == QLatin1String("up.bin")) {
            QCOMPARE(entry.value("folder").toString(), QStringLiteral("20"));
            QCOMPARE(entry.value("sha256").toString(), sha256(data));
            registered = true;
        }
    }
    QVERIFY(registered);
}

void TestStandIn::ftpRefusesPlainPassword()
{
    const QByteArray url =
        QStringLiteral("ftp://127.0.0.1:%1/plain.bin").arg(m_standIn.ftpPort()).toUtf8();
    QCOMPARE(ftpStore(url, "secret", "data", false), CURLE_LOGIN_DENIED);
    QVERIFY(m_standIn.ftpFile("alice", "plain.bin").isEmpty());
    bool sawPass = false;
    for (const QJsonValue& entry : m_standIn.requests("ftp")) {
        const QString line = entry.toObject().value("ftp").toString();
        QVERIFY(!line.contains("secret"));
        sawPass = sawPass || line == QLatin1String("PASS ***");
    }
    QVERIFY(sawPass);
}

void TestStandIn::dropFaultFiresOnce()
{
    m_standIn.addFault({{"kind", "startup"}, {"action", "drop"}, {"times", 1}});
    const QString url = toolUrl("startup", "AABB#2.56");
    QCOMPARE(fetch(url).rc, CURLE_GOT_NOTHING);
    const Reply second = fetch(url);
    QCOMPARE(second.rc, CURLE_OK);
    QVERIFY(second.body.contains("<svp>" + QByteArray::number(m_standIn.ftpPort()) + "</svp>"));
    QCOMPARE(m_standIn.requests("startup").size(), 2);
}

void TestStandIn::httpsTrustsGeneratedCertificate()
{
    const QString path = QStringLiteral("/tool/info.php?checkAndReturnLink=101");
    for (const QString& host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
        const QString url =
            QStringLiteral("https://%1:%2").arg(host).arg(m_standIn.httpsPort()) + path;
        const Reply reply = fetch(url, QByteArray(), m_standIn.caFile());
        QCOMPARE(reply.rc, CURLE_OK);
        QCOMPARE(reply.body, QByteArray("https://127.0.0.1/f/101/a.txt.file"));
    }
}

QTEST_GUILESS_MAIN(TestStandIn)
#include "tst_standin.moc"
