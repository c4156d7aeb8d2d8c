#include "update/update_transport.h"

#include "common/ui_texts.h"
#include "update/update_log.h"

#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QUrl>

namespace kelv {
namespace {

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// The extra CAs of KELV_UPDATE_CA, read again only when the variable changes.
QList<QSslCertificate> extraCaCertificates()
{
    static QMutex mutex;
    static QString loadedPath;
    static QList<QSslCertificate> loaded;
    const QString path = qEnvironmentVariable(kUpdateCaVariable);
    QMutexLocker lock(&mutex);
    if (path != loadedPath) {
        loadedPath = path;
        loaded = path.isEmpty() ? QList<QSslCertificate>()
                                : QSslCertificate::fromPath(
                                      path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
        if (!path.isEmpty() && loaded.isEmpty())
            qCWarning(lcUpdateSystem).noquote()
                << QStringLiteral("%1 names '%2', which holds no PEM certificate: only the "
                                  "system's CAs are trusted")
                       .arg(QLatin1String(kUpdateCaVariable), path);
    }
    return loaded;
}

} // namespace

QString updateUrlRefusal(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("'%1' is not a valid address").arg(url.toString());
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return QString();
    if (scheme == QLatin1String("http")) {
        if (isLoopbackHost(url.host()))
            return QString();
        return QStringLiteral("plain http to '%1' is not allowed (https only; http only on "
                              "loopback)")
            .arg(url.host());
    }
    return QStringLiteral("the scheme '%1' is not allowed (https only)").arg(url.scheme());
}

QString refusedAddressMessage(const QUrl &url)
{
    const QUrl origin = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery |
                                     QUrl::RemoveFragment);
    // An address without a host (no scheme) is shown as it was given.
    const QString shown = origin.host().isEmpty() ? url.toString() : origin.toString();
    return uiText(QStringLiteral("Update refused: %1 is not a secure (https) address")).arg(shown);
}

QSslConfiguration updateSslConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QList<QSslCertificate> extra = extraCaCertificates();
    if (!extra.isEmpty()) {
        // Setting the list ends Qt's on-demand loading of the system store,
        // so the system's CAs go into it explicitly.
        configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    }
    return configuration;
}

void secureUpdateRequest(QNetworkRequest *request)
{
    request->setSslConfiguration(updateSslConfiguration());
    request->setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::UserVerifiedRedirectPolicy);
}

void guardRedirects(QNetworkReply *reply, const std::function<void(const QString &)> &refused)
{
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, refused](const QUrl &to) {
        const QString why = updateUrlRefusal(to);
        if (why.isEmpty()) {
            emit reply->redirectAllowed();
            // Qt connects the reply's redirectAllowed to following the
            // redirect anew at every hop and keeps the earlier connections:
            // without this, the next hop would be followed once per earlier
            // hop (the same address asked several times at once, the bodies
            // run together).
            QObject::disconnect(reply, &QNetworkReply::redirectAllowed, nullptr, nullptr);
            return;
        }
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: redirect to %1 refused: %2").arg(to.toString(), why);
        if (refused)
            refused(refusedAddressMessage(to));
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply](const QList<QSslError> &errors) {
                         // Logged only: the connection fails, nothing is ignored.
                         for (const QSslError &error : errors)
                             qCInfo(lcUpdateSystem).noquote()
                                 << QStringLiteral("Update Error: TLS error for %1: %2")
                                        .arg(reply->url().toString(), error.errorString());
                     });
}

} // namespace kelv
