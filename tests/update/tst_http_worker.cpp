// The HTTP worker: variable layouts, the multipart body byte for byte, the
// attribute encoding, and real requests against a local server.

#include "tests/testsupport/http_test_server.h"
#include "update/http_request_worker.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv;

class TestHttpWorker : public QObject
{
    Q_OBJECT

private slots:
    void queryLayout();
    void formLayout();
    void multipartBody();
    void unusableFilesAreSkipped();
    void attributeEncoding_data();
    void attributeEncoding();
    void boundaryShape();
    void methodsAgainstServer_data();
    void methodsAgainstServer();
    void errorsAreReportedOnce();
    void silentServerEndsInAnError();
    void tricklingServerEndsInAnError();
    void replyBeyondTheSizeBoundEndsInAnError();
};

void TestHttpWorker::queryLayout()
{
    HttpRequestParams params(QStringLiteral("http://h/api"));
    params.addVariable(QStringLiteral("b"), QStringLiteral("2"));
    params.addVariable(QStringLiteral("a"), QStringLiteral("x y"));
    const HttpPreparedRequest out = HttpRequestWorker::prepare(params, "B");
    QCOMPARE(params.layout, HttpVariableLayout::InQuery);
    QCOMPARE(params.url, QStringLiteral("http://h/api?a=x%20y&b=2"));
    QCOMPARE(out.url, params.url);
    QVERIFY(out.body.isEmpty());
    QVERIFY(out.contentType.isEmpty());

    HttpRequestParams head(QStringLiteral("http://h/"), QStringLiteral("HEAD"));
    head.addVariable(QStringLiteral("k"), QStringLiteral("ü&="));
    HttpRequestWorker::prepare(head, "B");
    QCOMPARE(head.url, QStringLiteral("http://h/?k=%C3%BC%26%3D"));
}

void TestHttpWorker::formLayout()
{
    HttpRequestParams params(QStringLiteral("http://h/api"), QStringLiteral("POST"));
    params.addVariable(QStringLiteral("b"), QStringLiteral("2"));
    params.addVariable(QStringLiteral("a"), QStringLiteral("x y"));
    HttpPreparedRequest out = HttpRequestWorker::prepare(params, "B");
    QCOMPARE(params.layout, HttpVariableLayout::FormUrlEncoded);
    QCOMPARE(out.url, QStringLiteral("http://h/api"));
    QCOMPARE(out.body, QByteArray("a=x%20y&b=2"));
    QCOMPARE(out.contentType, QByteArray("application/x-www-form-urlencoded"));

    HttpRequestParams empty(QStringLiteral("http://h/api"), QStringLiteral("POST"));
    out = HttpRequestWorker::prepare(empty, "B");
    QVERIFY(out.body.isEmpty());
    QCOMPARE(out.contentType, QByteArray("application/x-www-form-urlencoded"));

    // An explicit query layout on POST keeps the body empty.
    HttpRequestParams query(QStringLiteral("http://h/api"), QStringLiteral("POST"));
    query.layout = HttpVariableLayout::InQuery;
    query.addVariable(QStringLiteral("z"), QStringLiteral("1"));
    out = HttpRequestWorker::prepare(query, "B");
    QCOMPARE(out.url, QStringLiteral("http://h/api?z=1"));
    QVERIFY(out.body.isEmpty());
}

void TestHttpWorker::multipartBody()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.dmp"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x00\x01bin\r\n", 7));
    }
    HttpRequestParams params(QStringLiteral("http://h/up"), QStringLiteral("POST"));
    params.layout = HttpVariableLayout::FormUrlEncoded; // files force multipart
    params.addVariable(QStringLiteral("user"), QStringLiteral("K\u00f6"));
    params.addVariable(QStringLiteral("a"), QStringLiteral("1"));
    params.addFile(QStringLiteral("dump"), path, QString(), QStringLiteral("application/x-dmp"));
    params.addFile(QStringLiteral("second"), path, QStringLiteral("x/y.txt"));
    const HttpPreparedRequest out = HttpRequestWorker::prepare(params, "BOUND");
    QCOMPARE(params.layout, HttpVariableLayout::MultipartForm);
    QCOMPARE(params.files.at(0).requestFileName, QStringLiteral("report.dmp"));
    QCOMPARE(out.contentType, QByteArray("multipart/form-data; boundary=BOUND"));
    const QByteArray expected =
        "--BOUND\r\n"
        "Content-Disposition: form-data; name=\"a\"\r\n"
        "Content-Type: text/plain\r\n"
        "\r\n"
        "1\r\n"
        "--BOUND\r\n"
        "Content-Disposition: form-data; name=\"user\"\r\n"
        "Content-Type: text/plain\r\n"
        "\r\n"
        "K\xc3\xb6\r\n"
        "--BOUND\r\n"
        "Content-Disposition: form-data; name=\"dump\"; filename=\"report.dmp\"\r\n"
        "Content-Type: application/x-dmp\r\n"
        "Content-Transfer-Encoding: binary\r\n"
        "\r\n" +
        QByteArray("\x00\x01bin\r\n", 7) +
        "\r\n"
        "--BOUND\r\n"
        "Content-Disposition: form-data; name=\"second\"; filename=\"xy.txt\"; "
        "filename*=utf-8''x%2Fy%2Etxt\r\n"
        "Content-Transfer-Encoding: binary\r\n"
        "\r\n" +
        QByteArray("\x00\x01bin\r\n", 7) +
        "\r\n"
        "--BOUND--";
    QCOMPARE(out.body, expected);
}

void TestHttpWorker::unusableFilesAreSkipped()
{
    QTemporaryDir dir;
    HttpRequestParams params(QStringLiteral("http://h/up"), QStringLiteral("POST"));
    params.addVariable(QStringLiteral("v"), QStringLiteral("1"));
    params.addFile(QStringLiteral("gone"), dir.filePath(QStringLiteral("missing.bin")));
    params.addFile(QStringLiteral("folder"), dir.path());
    params.addFile(QString(), dir.filePath(QStringLiteral("missing.bin")));
    const HttpPreparedRequest out = HttpRequestWorker::prepare(params, "Q");
    QCOMPARE(out.body, QByteArray("--Q\r\nContent-Disposition: form-data; name=\"v\"\r\n"
                                  "Content-Type: text/plain\r\n\r\n1\r\n--Q--"));
    QCOMPARE(params.files.at(0).requestFileName, QString()); // skipped files stay untouched
}

void TestHttpWorker::attributeEncoding_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QStringLiteral("file.txt") << QStringLiteral("name=\"file.txt\"");
    QTest::newRow("quote") << QStringLiteral("a\"b") << QStringLiteral("name=\"a\\\"b\"");
    QTest::newRow("slash") << QStringLiteral("a/b")
                           << QStringLiteral("name=\"ab\"; name*=utf-8''a%2Fb");
    QTest::newRow("backslash") << QStringLiteral("a\\b")
                               << QStringLiteral("name=\"ab\"; name*=utf-8''a%5Cb");
    QTest::newRow("non-ascii") << QStringLiteral("\u00e9t\u00e9 1")
                               << QStringLiteral("name=\"t 1\"; name*=utf-8''%C3%A9t%C3%A9%201");
    QTest::newRow("only non-ascii")
        << QStringLiteral("\u00e9") << QStringLiteral("name=\"\"; name*=utf-8''%C3%A9");
    QTest::newRow("empty") << QString() << QStringLiteral("name=\"\"; name*=utf-8''");
}

void TestHttpWorker::attributeEncoding()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QCOMPARE(HttpRequestWorker::encodeHeaderAttribute(QStringLiteral("name"), value), expected);
}

void TestHttpWorker::boundaryShape()
{
    const QByteArray boundary = HttpRequestWorker::makeBoundary();
    QVERIFY(boundary.startsWith("__-----------------------"));
    const QByteArray digits = boundary.mid(25);
    QVERIFY(digits.size() > 10);
    for (const char c : digits)
        QVERIFY(c >= '0' && c <= '9');
}

void TestHttpWorker::methodsAgainstServer_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::newRow("GET") << QStringLiteral("GET") << QByteArray("/echo?a=x%20y&b=2") << QByteArray()
                         << QByteArray();
    QTest::newRow("POST") << QStringLiteral("POST") << QByteArray("/echo")
                          << QByteArray("a=x%20y&b=2")
                          << QByteArray("application/x-www-form-urlencoded");
    QTest::newRow("PUT") << QStringLiteral("PUT") << QByteArray("/echo")
                         << QByteArray("a=x%20y&b=2")
                         << QByteArray("application/x-www-form-urlencoded");
    QTest::newRow("DELETE") << QStringLiteral("DELETE") << QByteArray("/echo") << QByteArray()
                            << QByteArray("application/x-www-form-urlencoded");
    QTest::newRow("HEAD") << QStringLiteral("HEAD") << QByteArray("/echo?a=x%20y&b=2")
                          << QByteArray() << QByteArray();
    QTest::newRow("PATCH") << QStringLiteral("PATCH") << QByteArray("/echo")
                           << QByteArray("a=x%20y&b=2")
                           << QByteArray("application/x-www-form-urlencoded");
}

void TestHttpWorker::methodsAgainstServer()
{
    QFETCH(QString, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    test::HttpTestServer server;
    server.setReply(QStringLiteral("/echo"), 200, "{\"ok\":true}");
    HttpRequestWorker worker;
    QSignalSpy spy(&worker, &HttpRequestWorker::on_execution_finished);
    HttpRequestParams params(server.url(QStringLiteral("/echo")), method);
    params.addVariable(QStringLiteral("b"), QStringLiteral("2"));
    params.addVariable(QStringLiteral("a"), QStringLiteral("x y"));
    worker.send(params);
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().value<HttpRequestWorker *>(), &worker);
    QCOMPARE(worker.errorType, QNetworkReply::NoError);
    QCOMPARE(worker.response,
             method == QLatin1String("HEAD") ? QByteArray() : QByteArray("{\"ok\":true}"));
    const test::HttpTestServer::Request request = server.lastRequest();
    QCOMPARE(request.method, method.toLatin1());
    QCOMPARE(request.target, target);
    QCOMPARE(request.body, body);
    QCOMPARE(request.header("content-type"), contentType);
    QCOMPARE(request.header("user-agent"), QByteArray("Agent name goes here"));
}

void TestHttpWorker::errorsAreReportedOnce()
{
    test::HttpTestServer server;
    HttpRequestWorker worker;
    QSignalSpy spy(&worker, &HttpRequestWorker::on_execution_finished);
    HttpRequestParams params(server.url(QStringLiteral("/missing")));
    worker.send(params);
    QVERIFY(spy.wait(10000));
    QCOMPARE(worker.errorType, QNetworkReply::ContentNotFoundError);
    QVERIFY(worker.response.isEmpty());
    QVERIFY(!worker.errorText.isEmpty());

    // Reuse: a good request clears the previous error.
    server.setReply(QStringLiteral("/fine"), 200, "yes");
    HttpRequestParams fine(server.url(QStringLiteral("/fine")));
    worker.send(fine);
    QVERIFY(spy.wait(10000));
    QCOMPARE(worker.errorType, QNetworkReply::NoError);
    QVERIFY(worker.errorText.isEmpty());
    QCOMPARE(worker.response, QByteArray("yes"));

    // Nobody listening: a connection error, still one signal.
    HttpRequestParams refused(QStringLiteral("http://127.0.0.1:1/x"));
    worker.send(refused);
    QVERIFY(spy.wait(10000));
    QCOMPARE(worker.errorType, QNetworkReply::ConnectionRefusedError);
    QCOMPARE(spy.size(), 3);
}

void TestHttpWorker::silentServerEndsInAnError()
{
    // A server that takes the connection and the request and never answers.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QList<QTcpSocket *> held;
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            held.append(socket);
    });
    HttpRequestWorker worker;
    worker.transferTimeoutMs = 300;
    QSignalSpy spy(&worker, &HttpRequestWorker::on_execution_finished);
    HttpRequestParams params(
        QStringLiteral("http://127.0.0.1:%1/api/system/upgrade").arg(server.serverPort()));
    worker.send(params);
    QVERIFY(spy.wait(20000));
    QVERIFY(!held.isEmpty());
    QVERIFY(worker.errorType != QNetworkReply::NoError);
    QVERIFY(worker.response.isEmpty());
    QTest::qWait(100);
    QCOMPARE(spy.size(), 1);
}

void TestHttpWorker::tricklingServerEndsInAnError()
{
    // A byte every 100 ms: the transfer time-out never runs out, the body
    // stays small, and only the deadline ends the reply (here after 1 s of
    // a 10 s body). Nothing of the body is kept.
    test::HttpTestServer server;
    server.setContent(QStringLiteral("/api/system/upgrade"), QByteArray(100, ' ') + "{}");
    server.setPacing(1, 100);
    HttpRequestWorker worker;
    worker.replyDeadlineMs = 1000;
    QSignalSpy spy(&worker, &HttpRequestWorker::on_execution_finished);
    HttpRequestParams params(server.url(QStringLiteral("/api/system/upgrade")));
    worker.send(params);
    QVERIFY(spy.wait(5000));
    QCOMPARE(worker.errorType, QNetworkReply::TimeoutError);
    QCOMPARE(worker.errorText, QStringLiteral("the reply did not end within 1000 ms"));
    QVERIFY(worker.response.isEmpty());
    QTest::qWait(100);
    QCOMPARE(spy.size(), 1);

    // A reply that ends in time is taken whole.
    server.setPacing(0, 0);
    HttpRequestParams again(server.url(QStringLiteral("/api/system/upgrade")));
    worker.send(again);
    QVERIFY(spy.wait(5000));
    QCOMPARE(worker.errorType, QNetworkReply::NoError);
    QCOMPARE(worker.response, QByteArray(100, ' ') + "{}");
}

void TestHttpWorker::replyBeyondTheSizeBoundEndsInAnError()
{
    // A server that answers the update check with more than the bound (here
    // 2 MiB for the default of 1 MiB): the reply ends with an error, nothing
    // of the body is kept. Up to the bound a reply is taken whole.
    test::HttpTestServer server;
    server.setReply(QStringLiteral("/huge"), 200, QByteArray(2 << 20, 'x'));
    server.setReply(QStringLiteral("/fits"), 200, QByteArray(1000, 'y'));
    server.setReply(QStringLiteral("/over"), 200, QByteArray(1001, 'z'));
    HttpRequestWorker worker;
    QSignalSpy spy(&worker, &HttpRequestWorker::on_execution_finished);
    HttpRequestParams huge(server.url(QStringLiteral("/huge")));
    worker.send(huge);
    QVERIFY(spy.wait(10000));
    QVERIFY(worker.errorType != QNetworkReply::NoError);
    QVERIFY(worker.response.isEmpty());
    QCOMPARE(worker.errorText, QStringLiteral("the reply is larger than 1048576 bytes"));

    worker.maxResponseBytes = 1000;
    HttpRequestParams fits(server.url(QStringLiteral("/fits")));
    worker.send(fits);
    QVERIFY(spy.wait(10000));
    QCOMPARE(worker.errorType, QNetworkReply::NoError);
    QCOMPARE(worker.response, QByteArray(1000, 'y'));
    HttpRequestParams over(server.url(QStringLiteral("/over")));
    worker.send(over);
    QVERIFY(spy.wait(10000));
    QVERIFY(worker.errorType != QNetworkReply::NoError);
    QVERIFY(worker.response.isEmpty());
    QCOMPARE(spy.size(), 3);
}

QTEST_GUILESS_MAIN(TestHttpWorker)
#include "tst_http_worker.moc"
