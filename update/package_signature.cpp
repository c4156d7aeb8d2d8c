#include "update/package_signature.h"

#include "common/app_paths.h"
#include "update/update_log.h"

#include <QFile>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace kelv::package {
namespace {

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
    static const QByteArray kWithdrawn = "withdrawn ";
    TrustedKeys keys;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const bool withdrawn = line.startsWith(kWithdrawn);
        if (withdrawn)
            line = line.mid(kWithdrawn.size()).trimmed();
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
        if (withdrawn)
            keys.withdraw(decoded.decoded);
        else
            keys.add(decoded.decoded);
    }
    return keys;
}

void TrustedKeys::add(const QByteArray &publicKey)
{
    if (publicKey.size() == kPublicKeySize && !m_keys.contains(publicKey))
        m_keys.append(publicKey);
}

void TrustedKeys::withdraw(const QByteArray &publicKey)
{
    if (publicKey.size() == kPublicKeySize && !m_withdrawn.contains(publicKey))
        m_withdrawn.append(publicKey);
}

bool TrustedKeys::contains(QByteArrayView publicKey) const
{
    return m_keys.contains(publicKey) && !isWithdrawn(publicKey);
}

bool TrustedKeys::isWithdrawn(QByteArrayView publicKey) const
{
    return m_withdrawn.contains(publicKey);
}

QList<QByteArray> TrustedKeys::trusted() const
{
    QList<QByteArray> keys;
    for (const QByteArray &key : m_keys) {
        if (!isWithdrawn(key))
            keys.append(key);
    }
    return keys;
}

QByteArray TrustedKeys::carryWithdrawals(const QByteArray &installed, const QByteArray &incoming)
{
    const TrustedKeys before = parse(installed, QStringLiteral("the installed update-keys.txt"));
    const TrustedKeys after = parse(incoming, QStringLiteral("the package's update-keys.txt"));
    QList<QByteArray> carried;
    for (const QByteArray &key : before.m_keys + before.m_withdrawn) {
        if ((!after.contains(key) || before.isWithdrawn(key)) && !after.isWithdrawn(key) &&
            !carried.contains(key))
            carried.append(key);
    }
    if (carried.isEmpty())
        return incoming;
    QByteArray text = incoming;
    if (!text.isEmpty() && !text.endsWith('\n'))
        text += '\n';
    text += "# Keys an earlier version trusted or withdrew: never trusted again.\n";
    for (const QByteArray &key : std::as_const(carried))
        text += "withdrawn " + key.toBase64() + '\n';
    return text;
}

QByteArray signerOf(QByteArrayView header)
{
    if (header.size() < kHeaderSize ||
        header.first(kMagicSize) != QByteArrayView(kSignatureMagic, kMagicSize))
        return QByteArray();
    return header.sliced(kPublicKeyOffset, kPublicKeySize).toByteArray();
}

SignatureCheck checkSignature(QByteArrayView header, const TrustedKeys &keys)
{
    if (header.size() < kHeaderSize)
        return SignatureCheck::TooShort;
    if (header.first(kMagicSize) == QByteArrayView(kOldSignatureMagic, kMagicSize))
        return SignatureCheck::OldFormat;
    const QByteArray signer = signerOf(header);
    if (signer.isEmpty())
        return SignatureCheck::NotSigned;
    if (!keys.contains(signer))
        return SignatureCheck::UntrustedKey;
    if (!verifyEd25519(signer, header.sliced(kManifestOffset, kManifestSize),
                       header.sliced(kSignatureOffset, kSignatureSize)))
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
    if (file->size() < kHeaderSize)
        return false;
    const QByteArray publicKey = this->publicKey();
    const QByteArray signature = sign(QByteArrayView(*file).sliced(kManifestOffset, kManifestSize));
    if (publicKey.isEmpty() || signature.isEmpty())
        return false;
    file->replace(0, kMagicSize, QByteArray(kSignatureMagic, kMagicSize));
    file->replace(kPublicKeyOffset, kPublicKeySize, publicKey);
    file->replace(kSignatureOffset, kSignatureSize, signature);
    return true;
}

} // namespace kelv::package
