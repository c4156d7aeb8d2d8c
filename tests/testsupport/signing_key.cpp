#include "tests/testsupport/signing_key.h"

#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace kelv::test {

SigningKey::SigningKey()
    : m_secret(package::SecretKey::generate()), m_folder(std::make_shared<QTemporaryDir>())
{
}

package::TrustedKeys SigningKey::trustedKeys() const
{
    package::TrustedKeys keys;
    keys.add(publicKey());
    return keys;
}

QByteArray SigningKey::sign(QByteArray packageFile) const
{
    if (!m_secret.signPackage(&packageFile))
        return QByteArray();
    return packageFile;
}

QByteArray SigningKey::package(const package::Content &content, int preset, bool endMarker) const
{
    return sign(package::buildPackage(content, preset, endMarker));
}

QByteArray SigningKey::package(const QString &version,
                               const QList<QPair<QString, QByteArray>> &files,
                               const QString &kind) const
{
    package::Content content;
    content.kind = kind;
    content.version = version;
    for (const auto &file : files)
        content.entries.append({file.first, file.second});
    return package(content);
}

QString SigningKey::secretKeyFile() const
{
    const QString path = m_folder->filePath(QStringLiteral("secret.pem"));
    if (!QFileInfo::exists(path)) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            file.write(m_secret.toPem());
    }
    return path;
}

QString SigningKey::trustIn(const QString &programFolder, const QByteArray &extraLines) const
{
    const QString path = programFolder + QStringLiteral("/Resources/update-keys.txt");
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write("# trusted by the test\n" + extraLines + publicKeyLine().toLatin1() + '\n');
    return path;
}

int runKelvpack(const QStringList &args, QByteArray *output)
{
    QProcess process;
    process.start(TempProgramFolder::builtProgramFolder() + QStringLiteral("/kelvpack"), args);
    const bool finished = process.waitForFinished(60000);
    if (output)
        *output = process.readAllStandardOutput() + process.readAllStandardError();
    if (!finished || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

} // namespace kelv::test
