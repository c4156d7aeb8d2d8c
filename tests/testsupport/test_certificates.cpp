#include "tests/testsupport/test_certificates.h"

#include <QFile>
#include <QHostAddress>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kelv::test {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Key newKey()
{
    return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
}

Key readKey(const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    Key key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr), EVP_PKEY_free);
    BIO_free(bio);
    return key;
}

Cert readCertificate(const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    Cert cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr), X509_free);
    BIO_free(bio);
    return cert;
}

QByteArray bioText(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QByteArray text(data, qsizetype(size));
    BIO_free(bio);
    return text;
}

QByteArray keyPem(EVP_PKEY *key)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    return bioText(bio);
}

QByteArray certificatePem(X509 *cert)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    return bioText(bio);
}

bool addExtension(X509 *cert, X509 *issuer, int nid, const QByteArray &value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.constData());
    if (!extension)
        return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for subject's key, issued by issuer (itself when null).
Cert makeCertificate(EVP_PKEY *subjectKey, const QString &commonName, X509 *issuer,
                     EVP_PKEY *issuerKey, const QList<QPair<int, QByteArray>> &extensions)
{
    Cert cert(X509_new(), X509_free);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);
    X509_set_version(cert.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), subjectKey);
    X509_NAME *name = X509_get_subject_name(cert.get());
    const QByteArray cn = commonName.toUtf8();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(cn.constData()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509 *issuerCert = issuer ? issuer : cert.get();
    for (const auto &extension : extensions) {
        if (!addExtension(cert.get(), issuerCert, extension.first, extension.second))
            return Cert(nullptr, X509_free);
    }
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0)
        return Cert(nullptr, X509_free);
    return cert;
}

} // namespace

TestCertificateAuthority::TestCertificateAuthority(const QString &name)
{
    const Key key = newKey();
    if (!key)
        return;
    const Cert cert = makeCertificate(key.get(), name, nullptr, key.get(),
                                      {{NID_basic_constraints, "critical,CA:TRUE"},
                                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                       {NID_subject_key_identifier, "hash"}});
    if (!cert)
        return;
    m_certificate = QSslCertificate(certificatePem(cert.get()), QSsl::Pem);
    m_keyPem = keyPem(key.get());
}

QString TestCertificateAuthority::writeCertificate(const QString &path) const
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(m_certificate.toPem());
    return path;
}

QSslConfiguration TestCertificateAuthority::serverConfiguration(const QStringList &hosts) const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    const Key caKey = readKey(m_keyPem);
    const Cert caCert = readCertificate(m_certificate.toPem());
    const Key key = newKey();
    if (!caKey || !caCert || !key)
        return configuration;
    QStringList names;
    for (const QString &host : hosts)
        names << (QHostAddress(host).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) +
                     host;
    const Cert cert =
        makeCertificate(key.get(), hosts.value(0), caCert.get(), caKey.get(),
                        {{NID_basic_constraints, "critical,CA:FALSE"},
                         {NID_key_usage, "critical,digitalSignature"},
                         {NID_ext_key_usage, "serverAuth"},
                         {NID_subject_alt_name, names.join(QLatin1Char(',')).toLatin1()},
                         {NID_authority_key_identifier, "keyid:always"}});
    if (!cert)
        return configuration;
    configuration.setLocalCertificate(QSslCertificate(certificatePem(cert.get()), QSsl::Pem));
    configuration.setPrivateKey(QSslKey(keyPem(key.get()), QSsl::Ec, QSsl::Pem));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

} // namespace kelv::test
