// The transport rules of update traffic: which addresses are used at all,
// TLS with certificates verified against the system's store and
// KELV_UPDATE_CA (a real TLS server on 127.0.0.1 with a CA made at run time,
// a good certificate and wrong ones), and redirects.

#include "common/app_paths.h"
#include "tests/testsupport/http_test_server.h"
#include "tests/testsupport/signing_key.h"
#include "tests/testsupport/test_certificates.h"
#include "update/http_request_worker.h"
#include "update/ps_update_downloader.h"
#include "update/update_transport.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

using namespace kelv;

namespace {

// One downloader on its own thread with spies on its outcomes.
struct Download
{
    Download(const QString &url)
        : downloader(new PsUpdateDownloader(&thread, url, QStringLiteral("client"))),
          unpacked(downloader, &PsUpdateDownloader::unpressFinished),
          failed(downloader, &PsUpdateDownloader::downLoadFailed),
          errors(downloader, &PsUpdateDownloader::downLoadError)
    {
        thread.start();
    }
    ~Download()
    {
        downloader->deleteLater();
        thread.quit();
        thread.wait();
    }
    QThread thread;
    PsUpdateDownloader *downloader;
    QSignalSpy unpacked;
    QSignalSpy failed;
    QSignalSpy errors;
};

// Sends one GET through the update service's worker and waits for the end.
bool fetch(const QString &url, HttpRequestWorker *worker)
{
    QSignalSpy done(worker, &HttpRequestWorker::on_execution_finished);
    HttpRequestParams params(url, QStringLiteral("GET"));
    worker->send(params);
    return done.wait(20000);
}

} // namespace

class TestUpdateTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void addressRules_data();
    void addressRules();
    void goodCertificate();
    void wrongCertificates_data();
    void wrongCertificates();
    void unusableCaFileAddsNothing();
    void redirectToPlainHttpIsRefused();
    void redirectChainsArriveWhole();

private:
    QTemporaryDir *m_dir = nullptr;
    test::TestCertificateAuthority *m_ca = nullptr;
    test::SigningKey m_key;
    QString m_caFile;
};

void TestUpdateTransport::initTestCase()
{
    m_ca = new test::TestCertificateAuthority(QStringLiteral("kelv test update CA"));
    QVERIFY(m_ca->isValid());
}

void TestUpdateTransport::cleanupTestCase()
{
    delete m_ca;
    m_ca = nullptr;
}

void TestUpdateTransport::init()
{
    m_dir = new QTemporaryDir;
    setWorkingFolder(m_dir->path() + QLatin1Char('/'));
    setExecutableFolder(m_dir->path() + QLatin1Char('/'));
    m_key.trustIn(m_dir->path());
    m_caFile = m_ca->writeCertificate(m_dir->filePath(QStringLiteral("ca.pem")));
    qputenv(kUpdateCaVariable, m_caFile.toUtf8());
}

void TestUpdateTransport::cleanup()
{
    qunsetenv(kUpdateCaVariable);
    delete m_dir;
    setWorkingFolder(QString());
    setExecutableFolder(QString());
}

void TestUpdateTransport::addressRules_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("https") << QStringLiteral("https://updates.example.com/api") << true;
    QTest::newRow("https upper case") << QStringLiteral("HTTPS://updates.example.com/") << true;
    QTest::newRow("http loopback v4") << QStringLiteral("http://127.0.0.1:8080/p.pkg") << true;
    QTest::newRow("http loopback 127/8") << QStringLiteral("http://127.45.6.7/p.pkg") << true;
    QTest::newRow("http loopback v6") << QStringLiteral("http://[::1]:81/p.pkg") << true;
    QTest::newRow("http localhost") << QStringLiteral("http://LocalHost/p.pkg") << true;
    QTest::newRow("http other host") << QStringLiteral("http://updates.example.com/p") << false;
    QTest::newRow("http private net") << QStringLiteral("http://10.0.0.1/p") << false;
    QTest::newRow("http localhost lookalike")
        << QStringLiteral("http://localhost.example.com/") << false;
    QTest::newRow("http 128.0.0.1") << QStringLiteral("http://128.0.0.1/p") << false;
    QTest::newRow("ftp loopback") << QStringLiteral("ftp://127.0.0.1/p") << false;
    QTest::newRow("file") << QStringLiteral("file:///tmp/p.pkg") << false;
    QTest::newRow("no scheme") << QStringLiteral("updates.example.com/p") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestUpdateTransport::addressRules()
{
    QFETCH(QString, url);
    QFETCH(bool, allowed);
    const QString refusal = updateUrlRefusal(QUrl(url));
    QVERIFY2(refusal.isEmpty() == allowed, qPrintable(refusal));
}

void TestUpdateTransport::goodCertificate()
{
    test::HttpTestServer server(m_ca->serverConfiguration({QStringLiteral("127.0.0.1")}));
    QVERIFY(server.isListening());
    QVERIFY(server.url().startsWith(QLatin1String("https://127.0.0.1:")));
    server.setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");
    server.setContent(QStringLiteral("/client.pkg"),
                      m_key.package(QStringLiteral("4.2"), {{QStringLiteral("c/kelv"), "new"}}));

    HttpRequestWorker worker;
    QVERIFY(fetch(server.url(QStringLiteral("/api/system/upgrade")), &worker));
    QCOMPARE(worker.errorType, QNetworkReply::NoError);
    QCOMPARE(worker.response, QByteArray(R"({"code":1})"));

    Download download(server.url(QStringLiteral("/client.pkg")));
    QVERIFY(download.unpacked.wait(20000));
    QCOMPARE(download.unpacked.first().first().toString(), QStringLiteral("4.2"));
    QVERIFY(QFileInfo::exists(m_dir->filePath(QStringLiteral("tupdates/client/ready/kelv"))));
}

void TestUpdateTransport::wrongCertificates_data()
{
    QTest::addColumn<QString>("issuer");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("extraCa");
    QTest::newRow("issued by an unknown CA")
        << QStringLiteral("another CA") << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("issued for another host")
        << QString() << QStringLiteral("updates.example.com") << true;
    QTest::newRow("private CA not named in KELV_UPDATE_CA")
        << QString() << QStringLiteral("127.0.0.1") << false;
}

void TestUpdateTransport::wrongCertificates()
{
    QFETCH(QString, issuer);
    QFETCH(QString, host);
    QFETCH(bool, extraCa);
    if (!extraCa)
        qunsetenv(kUpdateCaVariable);
    const test::TestCertificateAuthority other(issuer.isEmpty() ? QStringLiteral("unused")
                                                                : issuer);
    const test::TestCertificateAuthority &ca = issuer.isEmpty() ? *m_ca : other;
    test::HttpTestServer server(ca.serverConfiguration({host}));
    server.setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":0})");
    server.setContent(QStringLiteral("/client.pkg"),
                      m_key.package(QStringLiteral("6.6"), {{QStringLiteral("c/kelv"), "evil"}}));

    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("TLS error for")));
    HttpRequestWorker worker;
    QVERIFY(fetch(server.url(QStringLiteral("/api/system/upgrade")), &worker));
    QCOMPARE(worker.errorType, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(worker.response.isEmpty());

    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("TLS error for")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("client.pkg failed: ")));
    Download download(server.url(QStringLiteral("/client.pkg")));
    QVERIFY(download.failed.wait(20000));
    QCOMPARE(download.unpacked.size(), 0);
    // The handshake failed: no request ever reached the server.
    QVERIFY(server.requests().isEmpty());
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("tupdates/client/ready"))));
}

void TestUpdateTransport::unusableCaFileAddsNothing()
{
    const QString notPem = m_dir->filePath(QStringLiteral("not.pem"));
    QFile file(notPem);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("no certificate here\n");
    file.close();
    qputenv(kUpdateCaVariable, notPem.toUtf8());
    test::HttpTestServer server(m_ca->serverConfiguration({QStringLiteral("127.0.0.1")}));
    server.setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("holds no PEM certificate")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("TLS error for")));
    HttpRequestWorker worker;
    QVERIFY(fetch(server.url(QStringLiteral("/api/system/upgrade")), &worker));
    QCOMPARE(worker.errorType, QNetworkReply::SslHandshakeFailedError);
}

void TestUpdateTransport::redirectToPlainHttpIsRefused()
{
    test::HttpTestServer server;
    server.setRedirect(QStringLiteral("/client.pkg"), 302, "http://updates.example.com/c.pkg");
    server.setRedirect(QStringLiteral("/api/system/upgrade"), 302,
                       "http://updates.example.com/api/system/upgrade");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral(
                                        "^Update Error: redirect to http://updates.example.com")));
    HttpRequestWorker worker;
    QVERIFY(fetch(server.url(QStringLiteral("/api/system/upgrade")), &worker));
    QVERIFY(worker.errorType != QNetworkReply::NoError);

    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral(
                                        "^Update Error: redirect to http://updates.example.com")));
    Download download(server.url(QStringLiteral("/client.pkg")));
    QVERIFY(download.errors.wait(20000));
    QCOMPARE(download.errors.first().first().toString(),
             QStringLiteral("Update refused: http://updates.example.com is not a secure (https) "
                            "address"));
    QCOMPARE(download.failed.size(), 0);

    // A redirect that stays on loopback is followed.
    server.setContent(QStringLiteral("/real.pkg"),
                      m_key.package(QStringLiteral("5"), {{QStringLiteral("c/kelv"), "k"}}));
    server.setRedirect(QStringLiteral("/moved.pkg"), 302,
                       server.url(QStringLiteral("/real.pkg")).toUtf8());
    Download moved(server.url(QStringLiteral("/moved.pkg")));
    QVERIFY(moved.unpacked.wait(20000));
}

void TestUpdateTransport::redirectChainsArriveWhole()
{
    // /hop0 -> /hop1 -> /hop2 -> /hop3, then the answer. Each hop must be
    // followed once: a hop followed twice runs two bodies into one reply.
    test::HttpTestServer server;
    auto chainTo = [&server](const QString &end) {
        for (int hop = 0; hop < 3; ++hop)
            server.setRedirect(QStringLiteral("/hop%1").arg(hop), 302,
                               server.url(QStringLiteral("/hop%1").arg(hop + 1)).toUtf8());
        server.setRedirect(QStringLiteral("/hop3"), 307, server.url(end).toUtf8());
    };

    // The update service's reply comes whole, once.
    server.setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");
    chainTo(QStringLiteral("/api/system/upgrade"));
    HttpRequestWorker worker;
    QVERIFY(fetch(server.url(QStringLiteral("/hop0")), &worker));
    QCOMPARE(worker.errorType, QNetworkReply::NoError);
    QCOMPARE(worker.response, QByteArray(R"({"code":1})"));

    // So does a package.
    server.setContent(QStringLiteral("/real.pkg"),
                      m_key.package(QStringLiteral("5"), {{QStringLiteral("c/kelv"), "k"}}));
    chainTo(QStringLiteral("/real.pkg"));
    Download download(server.url(QStringLiteral("/hop0")));
    QVERIFY(download.unpacked.wait(20000));
    QCOMPARE(download.errors.size(), 0);
}

QTEST_GUILESS_MAIN(TestUpdateTransport)
#include "tst_update_transport.moc"
