#pragma once

#include "update/package_signature.h"
#include "update/package_writer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

class QTemporaryDir;

namespace kelv::test {

// An update signing key made at run time (no private key is ever committed),
// with the helpers tests need to make packages the program accepts:
//
//   test::SigningKey key;
//   key.trustIn(folder);                       // folder/Resources/update-keys.txt
//   server.setContent("/p.pkg", key.package(content));
//   runKelvpack({"build", src, "1.0", out, "--sign", key.secretKeyFile()});
class SigningKey
{
public:
    SigningKey();

    bool isValid() const { return !m_secret.isNull(); }
    const package::SecretKey &secretKey() const { return m_secret; }
    QByteArray publicKey() const { return m_secret.publicKey(); }
    // The key's line for update-keys.txt.
    QString publicKeyLine() const { return package::encodePublicKey(publicKey()); }
    package::TrustedKeys trustedKeys() const;

    // A signed copy of a complete package file.
    QByteArray sign(QByteArray packageFile) const;
    // A package of content, built and signed.
    QByteArray package(const package::Content &content, int preset = 6,
                       bool endMarker = false) const;
    // A package of (stored name, content) pairs with the given version and kind.
    QByteArray package(const QString &version, const QList<QPair<QString, QByteArray>> &files,
                       const QString &kind = QStringLiteral("client")) const;

    // The secret key as a PEM file (for kelvpack --sign and sign), written
    // once into a temporary folder that lives as long as this object.
    QString secretKeyFile() const;

    // Writes programFolder/Resources/update-keys.txt listing this key, after
    // any extra lines; returns its path.
    QString trustIn(const QString &programFolder, const QByteArray &extraLines = {}) const;

private:
    package::SecretKey m_secret;
    std::shared_ptr<QTemporaryDir> m_folder;
};

// Runs the built kelvpack (program folder) with args and waits for it.
// output receives stdout followed by stderr. Returns the exit code, -1 when it
// crashed or did not finish within a minute.
int runKelvpack(const QStringList &args, QByteArray *output = nullptr);

} // namespace kelv::test
