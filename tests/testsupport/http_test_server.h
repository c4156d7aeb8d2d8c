#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <memory>

class QTcpSocket;

namespace kelv::test {

// A small HTTP/1.1 server on 127.0.0.1 for tests: serves byte content by path
// with range requests ("Range: bytes=N-" and "bytes=N-M", 206 with
// Content-Range, 416 past the end), a strong ETag per content and If-Range
// (a validator that no longer matches gets the whole content with 200), fixed
// replies, and injected faults. Speaks HTTPS when given a TLS configuration.
// Runs on the thread that created it; every connection is closed after its
// response.
class HttpTestServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpTestServer)

public:
    enum class Fault {
        None,
        NotFoundMidTransfer, // 404 with a body, as if the file vanished during the transfer
        DropConnection,      // headers and dropAfter bytes of the body, then the socket closes
        RangeNotSatisfiable, // 416 to every request
        NoContentLength,     // 200, no Content-Length, no ranges; the end is the closed socket
        Stall,               // headers and dropAfter bytes of the body, then silence (open)
        ErrorPageOnRange,    // 416 with an HTML body to every range request past the start
        Endless,             // 200, no Content-Length, bytes without end until the client leaves
        ShortLength,         // Content-Length says dropAfter bytes; the whole content is sent
        HugeLength,          // Content-Length says dropAfter bytes; a little is sent, then silence
        SmallTotal,          // 206 naming dropAfter as the total, no Content-Length, all sent
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;                    // path and query as sent
        QMap<QByteArray, QByteArray> headers; // names lower-cased
        QByteArray body;
        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
        QString path() const;
        QString query() const;
    };

    explicit HttpTestServer(QObject *parent = nullptr);
    // An HTTPS server with this configuration (certificate and key).
    explicit HttpTestServer(const QSslConfiguration &tls, QObject *parent = nullptr);
    ~HttpTestServer() override;

    bool isListening() const { return m_server->isListening(); }
    quint16 port() const { return m_server->serverPort(); }
    // "http://127.0.0.1:<port>" (https for a TLS server) followed by path.
    QString url(const QString &path = QString()) const;
    // The strong ETag served with content.
    static QByteArray etagOf(const QByteArray &content);

    // Content served at path (the query is ignored when matching).
    void setContent(const QString &path, const QByteArray &content,
                    const QByteArray &contentType = "application/octet-stream");
    // A fixed reply: status and body, no range handling.
    void setReply(const QString &path, int status, const QByteArray &body,
                  const QByteArray &contentType = "application/json");
    void setFault(const QString &path, Fault fault, qint64 dropAfter = 0);
    // A redirect (status 301/302/307/308) to location.
    void setRedirect(const QString &path, int status, const QByteArray &location);
    // Body bytes per write and the pause between writes (0: all at once).
    void setPacing(qint64 chunkSize, int intervalMs);

    QList<Request> requests() const { return m_requests; }
    Request lastRequest() const { return m_requests.isEmpty() ? Request() : m_requests.last(); }
    void clearRequests() { m_requests.clear(); }

signals:
    void requestReceived(const kelv::test::HttpTestServer::Request &request);

private:
    struct Route
    {
        QByteArray content;
        QByteArray contentType;
        int status = 0;      // fixed reply when not 0
        QByteArray location; // with status: a redirect
        QByteArray etag;     // of content, computed once
        Fault fault = Fault::None;
        qint64 dropAfter = 0;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Request &request);
    void sendBody(QTcpSocket *socket, const QByteArray &body, qint64 limit, bool closeAtEnd);

    void listen();

    std::unique_ptr<QTcpServer> m_server;
    bool m_tls = false;
    QHash<QString, Route> m_routes;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<Request> m_requests;
    qint64 m_chunkSize = 0;
    int m_intervalMs = 0;
};

} // namespace kelv::test
