#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

namespace kelv {

// How the variables of a request travel.
enum class HttpVariableLayout { Unset = 0, InQuery = 1, FormUrlEncoded = 2, MultipartForm = 3 };

// One file part of a multipart body.
struct HttpRequestFile
{
    QString variableName;    // form field name
    QString localPath;       // file to read
    QString requestFileName; // file name announced to the server; filled from localPath if empty
    QString mimeType;        // may be empty
};

// Everything one request needs. send() may change layout and url (query
// layout) and fills missing requestFileName fields of files.
struct HttpRequestParams
{
    explicit HttpRequestParams(const QString &url = QString(),
                               const QString &method = QStringLiteral("GET"))
        : url(url), method(method)
    {
    }

    void addVariable(const QString &name, const QString &value) { variables.insert(name, value); }
    void addFile(const QString &variableName, const QString &localPath,
                 const QString &requestFileName = QString(), const QString &mimeType = QString())
    {
        files.append({variableName, localPath, requestFileName, mimeType});
    }

    QString url;
    QString method;
    HttpVariableLayout layout = HttpVariableLayout::Unset;
    QMap<QString, QString> variables; // iterated in key order
    QList<HttpRequestFile> files;
};

// The request as it goes out, built by plain code so it can be checked
// byte for byte without a network.
struct HttpPreparedRequest
{
    QString url;
    QByteArray body;
    QByteArray contentType; // empty: no content-type header
    QByteArray boundary;    // multipart only
};

// Sends one HTTP request described by an HttpRequestParams record and reports
// the reply body or the network error by one signal per finished reply.
class HttpRequestWorker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpRequestWorker)

public:
    explicit HttpRequestWorker(QObject *parent = nullptr);
    ~HttpRequestWorker() override;

    // Builds and starts the request; the result arrives by on_execution_finished.
    void send(HttpRequestParams &params);

    // The form-data parameter encoding (plain name="value" or, for values with
    // bytes outside printable ASCII, slashes or backslashes, the extended
    // name*=utf-8'' form as well).
    static QString encodeHeaderAttribute(const QString &name, const QString &value);

    // Steps 1 to 5 of send(): layout choice and body encoding. boundary is used
    // for the multipart layout; makeBoundary() gives a fresh one.
    static HttpPreparedRequest prepare(HttpRequestParams &params, const QByteArray &boundary);
    static QByteArray makeBoundary();

    QByteArray response;
    QNetworkReply::NetworkError errorType = QNetworkReply::NoError;
    QString errorText;

    // A reply during which nothing arrives for this long ends with an error
    // (an update service that accepts the connection and then stays silent
    // must not leave the check pending for ever). 0 waits without limit.
    int transferTimeoutMs = 30000;
    // A reply whose body passes this many bytes ends at once with an error
    // (errorText says so): the update service answers with a small JSON
    // object, and a server that sends without end must not fill the memory
    // (nor, once logged, the log). 0 takes any size.
    qint64 maxResponseBytes = 1024 * 1024;
    // A reply that has not ended this long after it was sent ends with an
    // error (errorText says so), however it trickles: a server that sends a
    // byte now and then keeps the transfer time-out from running out and
    // stays far below the size bound. 0 waits without limit.
    int replyDeadlineMs = 60000;

signals:
    void on_execution_finished(kelv::HttpRequestWorker *worker);

public slots:
    void on_manager_finished(QNetworkReply *reply);

private:
    // Takes what the reply has so far, within maxResponseBytes.
    void takeAvailable(QNetworkReply *reply);

    QNetworkAccessManager *m_manager;
    QNetworkReply *m_current = nullptr;
    QByteArray m_body;
    bool m_tooLarge = false;
    bool m_overdue = false;
};

} // namespace kelv
