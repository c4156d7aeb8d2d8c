#include "tests/testsupport/http_test_server.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace kelv::test {
namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray head(int status, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    for (const auto &header : headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "Connection: close\r\n\r\n";
    return out;
}

} // namespace

QString HttpTestServer::Request::path() const
{
    const int q = target.indexOf('?');
    return QString::fromLatin1(q < 0 ? target : target.left(q));
}

QString HttpTestServer::Request::query() const
{
    const int q = target.indexOf('?');
    return q < 0 ? QString() : QString::fromLatin1(target.mid(q + 1));
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent), m_server(std::make_unique<QTcpServer>())
{
    listen();
}

HttpTestServer::HttpTestServer(const QSslConfiguration &tls, QObject *parent)
    : QObject(parent), m_tls(true)
{
    auto server = std::make_unique<QSslServer>();
    server->setSslConfiguration(tls);
    m_server = std::move(server);
    listen();
}

void HttpTestServer::listen()
{
    // A TLS server hands a connection over once its handshake is done.
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this,
            &HttpTestServer::onNewConnection);
    if (!m_tls)
        connect(m_server.get(), &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
    m_server->listen(QHostAddress::LocalHost, 0);
}

HttpTestServer::~HttpTestServer()
{
    // Connections still open (a stalled transfer) go without calling back.
    const QList<QTcpSocket *> sockets = m_server->findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
    m_server->close();
}

QString HttpTestServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_tls ? QLatin1String("https") : QLatin1String("http"))
        .arg(port())
        .arg(path);
}

QByteArray HttpTestServer::etagOf(const QByteArray &content)
{
    return '"' + QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex().left(16) + '"';
}

void HttpTestServer::setContent(const QString &path, const QByteArray &content,
                                const QByteArray &contentType)
{
    Route &route = m_routes[path];
    route.content = content;
    route.contentType = contentType;
    route.status = 0;
    route.etag = etagOf(content);
}

void HttpTestServer::setReply(const QString &path, int status, const QByteArray &body,
                              const QByteArray &contentType)
{
    Route &route = m_routes[path];
    route.content = body;
    route.contentType = contentType;
    route.status = status;
    route.location.clear();
}

void HttpTestServer::setRedirect(const QString &path, int status, const QByteArray &location)
{
    Route &route = m_routes[path];
    route.content.clear();
    route.contentType = "text/plain";
    route.status = status;
    route.location = location;
}

void HttpTestServer::setFault(const QString &path, Fault fault, qint64 dropAfter)
{
    Route &route = m_routes[path];
    route.fault = fault;
    route.dropAfter = dropAfter;
}

void HttpTestServer::setPacing(qint64 chunkSize, int intervalMs)
{
    m_chunkSize = chunkSize;
    m_intervalMs = intervalMs;
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    Request request;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                   lines.at(i).mid(colon + 1).trimmed());
    }
    const qint64 length = request.header("content-length").toLongLong();
    if (buffer.size() - end - 4 < length)
        return; // body not complete yet
    request.body = buffer.mid(end + 4, length);
    buffer.clear();
    m_requests.append(request);
    emit requestReceived(request);
    respond(socket, request);
}

void HttpTestServer::respond(QTcpSocket *socket, const Request &request)
{
    const auto found = m_routes.constFind(request.path());
    if (found == m_routes.cend()) {
        socket->write(head(404, {{"Content-Type", "text/plain"}, {"Content-Length", "9"}}) +
                      "not found");
        socket->disconnectFromHost();
        return;
    }
    const Route &route = found.value();
    const QByteArray &content = route.content;
    const qint64 size = content.size();

    if (route.status != 0) {
        QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", route.contentType},
                                                     {"Content-Length", QByteArray::number(size)}};
        if (!route.location.isEmpty())
            headers.append({"Location", route.location});
        socket->write(head(route.status, headers));
        sendBody(socket, content, size, true);
        return;
    }

    switch (route.fault) {
    case Fault::NotFoundMidTransfer: {
        const QByteArray body(4096, 'x');
        socket->write(head(404, {{"Content-Type", "text/html"},
                                 {"Content-Length", QByteArray::number(body.size())}}));
        sendBody(socket, body, body.size(), true);
        return;
    }
    case Fault::RangeNotSatisfiable:
        socket->write(head(416, {{"Content-Range", "bytes */" + QByteArray::number(size)},
                                 {"Content-Length", "0"}}));
        socket->disconnectFromHost();
        return;
    case Fault::NoContentLength:
        socket->write(head(200, {{"Content-Type", route.contentType}}));
        sendBody(socket, content, size, true);
        return;
    case Fault::ErrorPageOnRange:
        if (request.header("range").startsWith("bytes=") && request.header("range") != "bytes=0-") {
            const QByteArray page = "<html><body><h1>416 Range Not Satisfiable</h1></body></html>";
            socket->write(head(416, {{"Content-Type", "text/html"},
                                     {"Content-Range", "bytes */" + QByteArray::number(size)},
                                     {"Content-Length", QByteArray::number(page.size())}}));
            sendBody(socket, page, page.size(), true);
            return;
        }
        break;
    case Fault::Endless: {
        socket->write(head(200, {{"Content-Type", route.contentType}}));
        auto *timer = new QTimer(socket);
        const QByteArray chunk(16 * 1024, 'e');
        connect(timer, &QTimer::timeout, socket, [socket, chunk] { socket->write(chunk); });
        timer->start(2);
        return;
    }
    case Fault::ShortLength:
        socket->write(head(200, {{"Content-Type", route.contentType},
                                 {"Content-Length", QByteArray::number(route.dropAfter)}}));
        sendBody(socket, content, size, true);
        return;
    case Fault::HugeLength:
        socket->write(head(200, {{"Content-Type", route.contentType},
                                 {"Content-Length", QByteArray::number(route.dropAfter)}}));
        socket->write(content.left(1024)); // and nothing more: the socket stays open
        return;
    case Fault::SmallTotal:
        socket->write(
            head(206, {{"Content-Type", route.contentType},
                       {"Content-Range", "bytes 0-" + QByteArray::number(route.dropAfter - 1) +
                                             '/' + QByteArray::number(route.dropAfter)}}));
        sendBody(socket, content, size, true);
        return;
    case Fault::None:
    case Fault::DropConnection:
    case Fault::Stall:
        break;
    }

    qint64 from = 0;
    qint64 to = size - 1;
    bool ranged = false;
    static const QRegularExpression rangePattern(QStringLiteral("^bytes=(\\d+)-(\\d*)$"));
    const QRegularExpressionMatch match =
        rangePattern.match(QString::fromLatin1(request.header("range")));
    const QByteArray etag = route.etag.isEmpty() ? etagOf(content) : route.etag;
    const QByteArray ifRange = request.header("if-range");
    // A range applies only while the validator still names this content.
    if (match.hasMatch() && (ifRange.isEmpty() || ifRange == etag)) {
        ranged = true;
        from = match.captured(1).toLongLong();
        if (!match.captured(2).isEmpty())
            to = qMin(to, match.captured(2).toLongLong());
        if (from >= size || from > to) {
            socket->write(head(416, {{"Content-Range", "bytes */" + QByteArray::number(size)},
                                     {"Content-Length", "0"}}));
            socket->disconnectFromHost();
            return;
        }
    }
    const QByteArray body = content.mid(from, to - from + 1);
    QList<QPair<QByteArray, QByteArray>> headers{
        {"Content-Type", route.contentType},
        {"Content-Length", QByteArray::number(body.size())},
        {"Accept-Ranges", "bytes"},
        {"ETag", etag}};
    if (ranged)
        headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                             QByteArray::number(to) + '/' +
                                             QByteArray::number(size)});
    socket->write(head(ranged ? 206 : 200, headers));
    if (route.fault == Fault::DropConnection)
        sendBody(socket, body, qMin<qint64>(route.dropAfter, body.size()), false);
    else if (route.fault == Fault::Stall)
        socket->write(body.left(route.dropAfter)); // and nothing more: the socket stays open
    else
        sendBody(socket, body, body.size(), true);
}

void HttpTestServer::sendBody(QTcpSocket *socket, const QByteArray &body, qint64 limit,
                              bool closeAtEnd)
{
    auto finish = [socket, closeAtEnd] {
        if (closeAtEnd)
            socket->disconnectFromHost();
        else
            socket->abort(); // drop the connection mid-body
    };
    if (m_chunkSize <= 0 || m_intervalMs <= 0) {
        socket->write(body.left(limit));
        if (closeAtEnd) {
            finish();
        } else {
            // Let the partial body leave before the connection is cut.
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(200, socket, [guard, finish] {
                if (guard)
                    finish();
            });
        }
        return;
    }
    auto *timer = new QTimer(socket);
    auto offset = std::make_shared<qint64>(0);
    const qint64 chunk = m_chunkSize;
    connect(timer, &QTimer::timeout, socket, [socket, timer, body, limit, offset, chunk, finish] {
        const qint64 n = qMin(chunk, limit - *offset);
        if (n > 0) {
            socket->write(body.constData() + *offset, n);
            *offset += n;
        }
        if (*offset >= limit) {
            timer->stop();
            QTimer::singleShot(50, socket, finish);
        }
    });
    timer->start(m_intervalMs);
}

} // namespace kelv::test
