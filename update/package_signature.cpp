#include "update/package_signature.h"

#include "common/app_paths.h"
#include "update/update_log.h"

#include <QFile>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace kelv::package {
namespace {

// The smallest package: reserved area, digest, properties, length, one byte.
constexpr qsizetype kMinimumPackageSize = 158;

using KeyPointer = std::shared_ptr<EVP_PKEY>;

KeyPointer adopt(EVP_PKEY *key)
{
    return KeyPointer(key, EVP_PKEY_free);
}

struct MdContext
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~MdContext() { EVP_MD_CTX_free(ctx); }
};

struct Bio
{
    BIO *bio;
    explicit Bio(BIO *b) : bio(b) {}
    ~Bio() { BIO_free(bio); }
};

const unsigned char *bytes(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

} // namespace

QString TrustedKeys::defaultPath()
{
    return executableFolder() + QStringLiteral("Resources/update-keys.txt");
}

TrustedKeys TrustedKeys::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return TrustedKeys();
    return parse(file.readAll(), path);
}

TrustedKeys TrustedKeys::parse(const QByteArray &text, const QString &origin)
{
    TrustedKeys keys;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const auto decoded =
            QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
        // Only the standard, padded form of exactly one key is accepted.
        if (!decoded || decoded.decoded.size() != kPublicKeySize ||
            decoded.decoded.toBase64() != line) {
            qCWarning(lcPspecificWnd).noquote()
                << QStringLiteral("Update keys: %1 line %2 is not the base64 of a 32-byte "
                                  "Ed25519 public key; ignored")
                       .arg(origin)
                       .arg(i + 1);
            continue;
        }
        keys.add(decoded.decoded);
    }
    return keys;
}

void TrustedKeys::add(const QByteArray &publicKey)
{
    if (publicKey.size() == kPublicKeySize && !contains(publicKey))
        m_keys.append(publicKey);
}

bool TrustedKeys::contains(QByteArrayView publicKey) const
{
    for (const QByteArray &key : m_keys) {
        if (key == publicKey)
            return true;
    }
    return false;
}

QByteArray signerOf(QByteArrayView file)
{
    if (file.size() < kSignedOffset ||
        file.first(kMagicSize) != QByteArrayView(kSignatureMagic, kMagicSize))
        return QByteArray();
    return file.sliced(kPublicKeyOffset, kPublicKeySize).toByteArray();
}

SignatureCheck checkSignature(QByteArrayView file, const TrustedKeys &keys)
{
    if (file.size() < kMinimumPackageSize)
        return SignatureCheck::TooShort;
    const QByteArray signer = signerOf(file);
    if (signer.isEmpty())
        return SignatureCheck::NotSigned;
    if (!keys.contains(signer))
        return SignatureCheck::UntrustedKey;
    if (!verifyEd25519(signer, file.sliced(kSignedOffset),
                       file.sliced(kSignatureOffset, kSignatureSize)))
        return SignatureCheck::BadSignature;
    return SignatureCheck::Valid;
}

QString encodePublicKey(const QByteArray &publicKey)
{
    return QString::fromLatin1(publicKey.toBase64());
}

bool verifyEd25519(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature)
{
    if (publicKey.size() != kPublicKeySize || signature.size() != kSignatureSize)
        return false;
    const KeyPointer key = adopt(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), kPublicKeySize));
    MdContext md;
    if (!key || !md.ctx || EVP_DigestVerifyInit(md.ctx, nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(md.ctx, bytes(signature), size_t(signature.size()), bytes(message),
                            size_t(message.size())) == 1;
}

SecretKey SecretKey::generate()
{
    SecretKey secret;
    secret.m_key = adopt(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    return secret;
}

SecretKey SecretKey::fromPem(const QByteArray &pem, QString *error)
{
    SecretKey secret;
    Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!bio.bio) {
        *error = QStringLiteral("out of memory");
        return secret;
    }
    const KeyPointer key = adopt(PEM_read_bio_PrivateKey(bio.bio, nullptr, nullptr, nullptr));
    if (!key) {
        *error = QStringLiteral("not a PEM private key");
        return secret;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        *error = QStringLiteral("not an Ed25519 key");
        return secret;
    }
    secret.m_key = key;
    return secret;
}

QByteArray SecretKey::publicKey() const
{
    QByteArray raw(kPublicKeySize, '\0');
    size_t length = size_t(raw.size());
    if (!m_key ||
        EVP_PKEY_get_raw_public_key(m_key.get(), reinterpret_cast<unsigned char *>(raw.data()),
                                    &length) != 1 ||
        length != size_t(kPublicKeySize))
        return QByteArray();
    return raw;
}

QByteArray SecretKey::toPem() const
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!m_key || !bio.bio ||
        PEM_write_bio_PrivateKey(bio.bio, m_key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return QByteArray();
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.bio, &data);
    return QByteArray(data, qsizetype(size));
}

QByteArray SecretKey::sign(QByteArrayView message) const
{
    MdContext md;
    if (!m_key || !md.ctx ||
        EVP_DigestSignInit(md.ctx, nullptr, nullptr, nullptr, m_key.get()) != 1)
        return QByteArray();
    QByteArray signature(kSignatureSize, '\0');
    size_t length = size_t(signature.size());
    if (EVP_DigestSign(md.ctx, reinterpret_cast<unsigned char *>(signature.data()), &length,
                       bytes(message), size_t(message.size())) != 1 ||
        length != size_t(kSignatureSize))
        return QByteArray();
    return signature;
}

bool SecretKey::signPackage(QByteArray *file) const
{
    if (file->size() < kMinimumPackageSize)
        return false;
    const QByteArray publicKey = this->publicKey();
    const QByteArray signature = sign(QByteArrayView(*file).sliced(kSignedOffset));
    if (publicKey.isEmpty() || signature.isEmpty())
        return false;
    QByteArray area(kSignedOffset, '\0');
    area.replace(0, kMagicSize, QByteArray(kSignatureMagic, kMagicSize));
    area.replace(kPublicKeyOffset, kPublicKeySize, publicKey);
    area.replace(kSignatureOffset, kSignatureSize, signature);
    file->replace(0, kSignedOffset, area);
    return true;
}

} // namespace kelv::package
