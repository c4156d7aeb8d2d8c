#include "update/http_request_worker.h"

#include "common/text_file.h"
#include "update/update_transport.h"

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

namespace kelv {

HttpRequestWorker::HttpRequestWorker(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
    connect(m_manager, &QNetworkAccessManager::finished, this,
            &HttpRequestWorker::on_manager_finished);
}

HttpRequestWorker::~HttpRequestWorker()
{
    m_manager->setParent(nullptr);
    m_manager->deleteLater();
}

QString HttpRequestWorker::encodeHeaderAttribute(const QString &name, const QString &value)
{
    const QByteArray bytes = value.toUtf8();
    QString quoted;
    bool needsExtended = false;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b <= 0x7E && b != '\\' && b != '/') {
            if (b == '"')
                quoted += QLatin1Char('\\');
            quoted += QLatin1Char(c);
        } else {
            needsExtended = true;
        }
    }
    if (!quoted.isEmpty() && !needsExtended)
        return QStringLiteral("%1=\"%2\"").arg(name, quoted);

    QString extended;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9'))
            extended += QLatin1Char(c);
        else
            extended += QStringLiteral("%%1").arg(uint(b), 2, 16, QLatin1Char('0')).toUpper();
    }
    return QStringLiteral("%1=\"%2\"; %1*=utf-8''%3").arg(name, quoted, extended);
}

QByteArray HttpRequestWorker::makeBoundary()
{
    return "__-----------------------" +
           QByteArray::number(QDateTime::currentDateTime().toSecsSinceEpoch()) +
           QByteArray::number(QRandomGenerator::global()->bounded(2147483647));
}

HttpPreparedRequest HttpRequestWorker::prepare(HttpRequestParams &params,
                                               const QByteArray &boundary)
{
    HttpPreparedRequest out;
    if (!params.files.isEmpty()) {
        params.layout = HttpVariableLayout::MultipartForm;
    } else if (params.layout == HttpVariableLayout::Unset) {
        const bool queryMethod =
            params.method == QLatin1String("GET") || params.method == QLatin1String("HEAD");
        params.layout =
            queryMethod ? HttpVariableLayout::InQuery : HttpVariableLayout::FormUrlEncoded;
    }

    if ((params.layout == HttpVariableLayout::InQuery ||
         params.layout == HttpVariableLayout::FormUrlEncoded) &&
        !params.variables.isEmpty()) {
        QByteArray body;
        for (auto it = params.variables.cbegin(); it != params.variables.cend(); ++it) {
            if (!body.isEmpty())
                body += '&';
            body += QUrl::toPercentEncoding(it.key()) + '=' + QUrl::toPercentEncoding(it.value());
        }
        if (params.layout == HttpVariableLayout::InQuery)
            params.url += QLatin1Char('?') + QString::fromLatin1(body);
        else
            out.body = body;
    }

    if (params.layout == HttpVariableLayout::MultipartForm) {
        out.boundary = boundary;
        const QByteArray delimiter = "--" + boundary + "\r\n";
        QByteArray &body = out.body;
        for (auto it = params.variables.cbegin(); it != params.variables.cend(); ++it) {
            body += delimiter;
            body += "Content-Disposition: form-data; " +
                    encodeHeaderAttribute(QStringLiteral("name"), it.key()).toUtf8() + "\r\n";
            body += "Content-Type: text/plain\r\n\r\n";
            body += it.value().toUtf8() + "\r\n";
        }
        for (HttpRequestFile &file : params.files) {
            if (file.localPath.isEmpty() || file.variableName.isEmpty())
                continue;
            const QFileInfo info(file.localPath);
            QFile source;
            if (!openRegularFile(&source, file.localPath))
                continue;
            if (file.requestFileName.isEmpty()) {
                file.requestFileName = info.fileName();
                if (file.requestFileName.isEmpty())
                    file.requestFileName = QStringLiteral("file");
            }
            body += delimiter;
            body +=
                QStringLiteral("Content-Disposition: form-data; %1; %2")
                    .arg(encodeHeaderAttribute(QStringLiteral("name"), file.variableName),
                         encodeHeaderAttribute(QStringLiteral("filename"), file.requestFileName))
                    .toUtf8() +
                "\r\n";
            if (!file.mimeType.isEmpty())
                body += "Content-Type: " + file.mimeType.toUtf8() + "\r\n";
            body += "Content-Transfer-Encoding: binary\r\n\r\n";
            body += source.readAll() + "\r\n";
            source.close();
        }
        body += "--" + boundary + "--";
        out.contentType = "multipart/form-data; boundary=" + boundary;
    } else if (params.layout == HttpVariableLayout::FormUrlEncoded) {
        out.contentType = "application/x-www-form-urlencoded";
    }
    out.url = params.url;
    return out;
}

void HttpRequestWorker::send(HttpRequestParams &params)
{
    response.clear();
    errorType = QNetworkReply::NoError;
    errorText.clear();

    const HttpPreparedRequest prepared = prepare(params, makeBoundary());

    QNetworkRequest request(QUrl(prepared.url, QUrl::TolerantMode));
    request.setRawHeader("User-Agent", "Agent name goes here");
    request.setTransferTimeout(transferTimeoutMs);
    if (!prepared.contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, prepared.contentType);
    // Verified certificates (system store and KELV_UPDATE_CA), checked redirects.
    secureUpdateRequest(&request);

    const QString &method = params.method;
    QNetworkReply *reply = nullptr;
    if (method == QLatin1String("GET")) {
        reply = m_manager->get(request);
    } else if (method == QLatin1String("POST")) {
        reply = m_manager->post(request, prepared.body);
    } else if (method == QLatin1String("PUT")) {
        reply = m_manager->put(request, prepared.body);
    } else if (method == QLatin1String("HEAD")) {
        reply = m_manager->head(request);
    } else if (method == QLatin1String("DELETE")) {
        reply = m_manager->deleteResource(request);
    } else {
        auto *buffer = new QBuffer;
        buffer->setData(prepared.body);
        buffer->open(QIODevice::ReadOnly);
        reply = m_manager->sendCustomRequest(request, method.toLatin1(), buffer);
        buffer->setParent(reply);
    }
    guardRedirects(reply, {});
    m_current = reply;
    m_body.clear();
    m_tooLarge = false;
    m_overdue = false;
    if (replyDeadlineMs > 0) {
        QTimer::singleShot(replyDeadlineMs, reply, [this, reply] {
            if (reply != m_current || reply->isFinished())
                return;
            m_overdue = true;
            reply->abort();
        });
    }
    // The body is taken as it arrives, so a reply that goes on and on is cut
    // off at the limit instead of filling the memory.
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { takeAvailable(reply); });
}

void HttpRequestWorker::takeAvailable(QNetworkReply *reply)
{
    if (reply != m_current || m_tooLarge)
        return;
    const QByteArray data = reply->readAll();
    if (maxResponseBytes > 0 && m_body.size() + data.size() > maxResponseBytes) {
        m_tooLarge = true;
        m_body.clear();
        reply->abort();
        return;
    }
    m_body += data;
}

void HttpRequestWorker::on_manager_finished(QNetworkReply *reply)
{
    takeAvailable(reply);
    errorType = reply->error();
    if (reply == m_current && m_tooLarge) {
        errorType = QNetworkReply::UnknownContentError;
        errorText = QStringLiteral("the reply is larger than %1 bytes").arg(maxResponseBytes);
    } else if (reply == m_current && m_overdue) {
        errorType = QNetworkReply::TimeoutError;
        errorText = QStringLiteral("the reply did not end within %1 ms").arg(replyDeadlineMs);
    } else if (errorType == QNetworkReply::NoError) {
        response = reply == m_current ? m_body : reply->readAll();
    } else {
        errorText = reply->errorString();
    }
    if (reply == m_current) {
        m_current = nullptr;
        m_body.clear();
    }
    reply->deleteLater();
    emit on_execution_finished(this);
}

} // namespace kelv
