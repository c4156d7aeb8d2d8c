#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>
#include <QStringList>

namespace kelv::test {

// A certificate authority made at run time for TLS tests: its certificate
// goes into KELV_UPDATE_CA, the server certificates it issues go into a TLS
// server on 127.0.0.1. Keys are P-256, signatures SHA-256 (OpenSSL).
class TestCertificateAuthority
{
public:
    explicit TestCertificateAuthority(const QString &name);

    bool isValid() const { return !m_certificate.isNull() && !m_keyPem.isEmpty(); }
    QSslCertificate certificate() const { return m_certificate; }
    // Writes the CA certificate as PEM; returns path.
    QString writeCertificate(const QString &path) const;

    // A server's TLS configuration with a certificate for hosts (IP addresses
    // or DNS names), issued by this CA.
    QSslConfiguration serverConfiguration(const QStringList &hosts) const;

private:
    QSslCertificate m_certificate;
    QByteArray m_keyPem;
};

} // namespace kelv::test
