#pragma once

// The rules every update request follows (the update service and the package
// downloads):
// - addresses are https; plain http only to loopback hosts (127.0.0.0/8, ::1,
//   localhost), for a local mirror and the tests; other schemes never;
// - certificates are verified against the system's store plus, when the
//   environment variable KELV_UPDATE_CA names a PEM file, the CAs in it; no
//   certificate error is ever ignored;
// - a redirect is followed only to an address the first rule allows.

#include <QSslConfiguration>
#include <QString>
#include <functional>

class QNetworkReply;
class QNetworkRequest;
class QUrl;

namespace kelv {

inline constexpr const char *kUpdateCaVariable = "KELV_UPDATE_CA";

// Empty when url may carry update traffic; otherwise why it may not (for the log).
QString updateUrlRefusal(const QUrl &url);

// The text the update dialog shows for a refused address (its scheme, host
// and port).
QString refusedAddressMessage(const QUrl &url);

// System CAs plus those of KELV_UPDATE_CA, peer verification on.
QSslConfiguration updateSslConfiguration();

// Applies the TLS configuration and the checked redirect policy to a request.
void secureUpdateRequest(QNetworkRequest *request);

// Follows the reply's redirects only to allowed addresses. A refused redirect
// is logged, refused(message) is called and the reply is aborted.
void guardRedirects(QNetworkReply *reply, const std::function<void(const QString &)> &refused);

} // namespace kelv
