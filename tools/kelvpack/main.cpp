// kelvpack: makes signing keys, builds, signs, lists and verifies update
// packages.
//
//   kelvpack keygen <secret-key-file> <public-key-file>
//   kelvpack build <folder> <version> <package> [--prefix <name>] [--preset <0-9>]
//   kelvpack firmware <firmware-bytes> <version> <package>
//   (build and firmware: --sign <secret-key-file> signs the package,
//    --end-marker ends the LZMA stream with a marker)
//   kelvpack sign <package> <secret-key-file>
//   kelvpack image <firmware-bytes> <update.bin>
//   kelvpack list <package>
//   kelvpack verify <package> [--keys <update-keys.txt>]

#include "update/firmware_image.h"
#include "update/package_format.h"
#include "update/package_signature.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>
#include <algorithm>

using namespace kelv;

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int usage()
{
    err() << "usage:\n"
             "  kelvpack keygen <secret-key-file> <public-key-file>\n"
             "      makes an Ed25519 key pair: the secret key (PEM, mode 0600, never\n"
             "      overwritten) and the public key line for Resources/update-keys.txt\n"
             "  kelvpack build <folder> <version> <package> [--prefix <name>] [--preset <0-9>]\n"
             "      packs every file below <folder>; stored names are <name>/<path>, <name>\n"
             "      defaulting to the folder's own name (the reader drops it)\n"
             "  kelvpack firmware <firmware-bytes> <version> <package>\n"
             "      wraps raw firmware bytes into update.bin and packs it\n"
             "  kelvpack image <firmware-bytes> <update.bin>\n"
             "      writes the firmware image update.bin only\n"
             "  kelvpack sign <package> <secret-key-file>\n"
             "      signs an existing package in place\n"
             "  kelvpack list <package>\n"
             "  kelvpack verify <package> [--keys <update-keys.txt>]\n"
             "      checks the package as the program does, against the trusted keys in\n"
             "      Resources/update-keys.txt beside kelvpack or in --keys\n"
             "  --sign <secret-key-file> (build, firmware): sign the package\n"
             "  --end-marker (build, firmware): end the LZMA stream with an end marker\n";
    return 2;
}

bool readFile(const QString &path, QByteArray *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << path << ": " << file.errorString() << "\n";
        return false;
    }
    *data = file.readAll();
    return true;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        err() << "cannot write " << path << ": " << file.errorString() << "\n";
        return false;
    }
    return true;
}

bool g_endMarker = false;
QString g_signingKeyFile;

bool loadSecretKey(const QString &path, package::SecretKey *key)
{
    QByteArray pem;
    if (!readFile(path, &pem))
        return false;
    QString error;
    *key = package::SecretKey::fromPem(pem, &error);
    if (key->isNull()) {
        err() << path << ": " << error << "\n";
        return false;
    }
    return true;
}

int writePackage(const package::Content &content, const QString &path, int preset)
{
    package::SecretKey key;
    if (!g_signingKeyFile.isEmpty() && !loadSecretKey(g_signingKeyFile, &key))
        return 1;
    QByteArray packed = package::buildPackage(content, preset, g_endMarker);
    if (packed.isEmpty()) {
        err() << "compression failed\n";
        return 1;
    }
    if (!key.isNull() && !key.signPackage(&packed)) {
        err() << "signing failed\n";
        return 1;
    }
    if (!writeFile(path, packed))
        return 1;
    out() << path << ": " << content.entries.size() << " files, version " << content.version << ", "
          << packed.size() << " bytes, "
          << (key.isNull()
                  ? QStringLiteral("not signed")
                  : QStringLiteral("signed by ") + package::encodePublicKey(key.publicKey()))
          << "\n";
    return 0;
}

int keygen(const QStringList &args)
{
    if (args.size() != 2)
        return usage();
    const package::SecretKey key = package::SecretKey::generate();
    const QByteArray pem = key.toPem();
    if (key.isNull() || pem.isEmpty()) {
        err() << "key generation failed\n";
        return 1;
    }
    // Created private from the start, and never over an existing key.
    QFile secret(args.at(0));
    if (!secret.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        err() << "cannot create " << args.at(0) << ": " << secret.errorString()
              << (secret.exists() ? " (an existing key is never overwritten)" : "") << "\n";
        return 1;
    }
    if (secret.write(pem) != pem.size() || !secret.flush()) {
        err() << "cannot write " << args.at(0) << ": " << secret.errorString() << "\n";
        secret.close();
        secret.remove();
        return 1;
    }
    secret.close();
    const QString line = package::encodePublicKey(key.publicKey());
    if (!writeFile(args.at(1), line.toLatin1() + '\n'))
        return 1;
    out() << "secret key: " << args.at(0) << " (keep it private)\npublic key: " << line << "\n";
    return 0;
}

int sign(const QStringList &args)
{
    if (args.size() != 2)
        return usage();
    QByteArray file;
    package::SecretKey key;
    if (!readFile(args.at(0), &file) || !loadSecretKey(args.at(1), &key))
        return 1;
    // Only a package that reads completely is signed.
    package::PackageReader reader(file);
    bool ok = reader.verifyUnsigned() && reader.decode() && reader.readHeader();
    for (quint32 i = 0; ok && i < reader.fileCount(); ++i) {
        package::Entry entry;
        QString relative;
        ok = reader.readEntry(&entry, &relative);
    }
    if (!ok) {
        err() << args.at(0) << ": " << reader.error() << "\n";
        return 1;
    }
    if (!key.signPackage(&file) || !writeFile(args.at(0), file))
        return 1;
    out() << args.at(0) << ": signed by " << package::encodePublicKey(key.publicKey()) << "\n";
    return 0;
}

int build(QStringList args)
{
    QString prefix;
    int preset = 6;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--prefix") && i + 1 < args.size()) {
            prefix = args.at(i + 1);
            args.remove(i, 2);
            --i;
        } else if (args.at(i) == QLatin1String("--preset") && i + 1 < args.size()) {
            bool ok = false;
            preset = args.at(i + 1).toInt(&ok);
            if (!ok || preset < 0 || preset > 9)
                return usage();
            args.remove(i, 2);
            --i;
        }
    }
    if (args.size() != 3)
        return usage();
    const QString folder = QDir(args.at(0)).absolutePath();
    const QDir root(folder);
    if (!root.exists()) {
        err() << "no such folder: " << folder << "\n";
        return 1;
    }
    if (prefix.isEmpty())
        prefix = QFileInfo(QDir::cleanPath(root.absolutePath())).fileName();
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('/')) || prefix == QLatin1String(".."))
        prefix = QStringLiteral("package");

    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << root.relativeFilePath(it.next());
    std::sort(files.begin(), files.end());
    if (files.isEmpty()) {
        err() << "no files below " << folder << "\n";
        return 1;
    }
    package::Content content;
    content.version = args.at(1);
    for (const QString &relative : std::as_const(files)) {
        package::Entry entry;
        entry.storedName = prefix + QLatin1Char('/') + relative;
        if (!readFile(root.filePath(relative), &entry.content))
            return 1;
        content.entries.append(entry);
    }
    return writePackage(content, args.at(2), preset);
}

int firmware(const QStringList &args, bool packageIt)
{
    if (args.size() != (packageIt ? 3 : 2))
        return usage();
    QByteArray bytes;
    if (!readFile(args.at(0), &bytes))
        return 1;
    if (quint64(bytes.size()) > FirmwareImage::kMaxPackedLength) {
        err() << "firmware of " << bytes.size() << " bytes does not fit the image (at most "
              << FirmwareImage::kMaxPackedLength << ")\n";
        return 1;
    }
    const QByteArray image = FirmwareImage::build(bytes);
    if (!packageIt) {
        if (!writeFile(args.at(1), image))
            return 1;
        out() << args.at(1) << ": firmware of " << bytes.size() << " bytes, CRC-32 "
              << QString::number(FirmwareImage::crc32(bytes.constData(), bytes.size()), 16) << "\n";
        return 0;
    }
    package::Content content;
    content.version = args.at(1);
    content.entries.append({QStringLiteral("firmware/update.bin"), image});
    return writePackage(content, args.at(2), 6);
}

QString signatureLine(const QByteArray &file)
{
    const QByteArray signer = package::signerOf(file);
    return signer.isEmpty() ? QStringLiteral("not signed")
                            : QStringLiteral("signed by ") + package::encodePublicKey(signer);
}

int list(const QStringList &args)
{
    if (args.size() != 1)
        return usage();
    QByteArray file;
    if (!readFile(args.at(0), &file))
        return 1;
    // Listing shows what a package holds, signed or not; verify says whether
    // the program would install it.
    package::PackageReader reader(file);
    bool ok = reader.verifyUnsigned() && reader.decode() && reader.readHeader();
    QStringList lines;
    for (quint32 i = 0; ok && i < reader.fileCount(); ++i) {
        package::Entry entry;
        QString relative;
        ok = reader.readEntry(&entry, &relative);
        if (ok)
            lines << QStringLiteral("%1\t%2").arg(entry.content.size()).arg(entry.storedName);
    }
    if (!ok) {
        err() << args.at(0) << ": " << reader.error() << "\n";
        return 1;
    }
    out() << "version " << reader.version() << "\n" << signatureLine(file) << "\n";
    for (const QString &line : std::as_const(lines))
        out() << line << "\n";
    return 0;
}

int verify(QStringList args)
{
    // The program's own trusted keys: Resources/update-keys.txt beside it.
    QString keysFile =
        QCoreApplication::applicationDirPath() + QStringLiteral("/Resources/update-keys.txt");
    const qsizetype option = args.indexOf(QStringLiteral("--keys"));
    if (option >= 0) {
        if (option + 1 >= args.size())
            return usage();
        keysFile = args.at(option + 1);
        args.remove(option, 2);
    }
    if (args.size() != 1)
        return usage();
    QByteArray file;
    if (!readFile(args.at(0), &file))
        return 1;
    if (!QFileInfo::exists(keysFile)) {
        err() << "no trusted keys file " << keysFile << "\n";
        return 1;
    }
    const package::TrustedKeys keys = package::TrustedKeys::load(keysFile);
    package::Content content;
    QString error;
    if (keys.isEmpty()) {
        err() << args.at(0) << ": refused: " << keysFile
              << " lists no trusted key (updates are not set up)\n";
        return 1;
    }
    if (!package::readPackage(file, keys, &content, &error)) {
        err() << args.at(0) << ": refused: " << error << "\n";
        return 1;
    }
    out() << args.at(0) << ": OK, version " << content.version << ", " << content.entries.size()
          << " files, " << signatureLine(file) << "\n";
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    g_endMarker = args.removeAll(QStringLiteral("--end-marker")) > 0;
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();
    const qsizetype signOption = args.indexOf(QStringLiteral("--sign"));
    if (signOption >= 0) {
        if (signOption + 1 >= args.size() ||
            (command != QLatin1String("build") && command != QLatin1String("firmware")))
            return usage();
        g_signingKeyFile = args.at(signOption + 1);
        args.remove(signOption, 2);
    }
    int result = 2;
    if (command == QLatin1String("build"))
        result = build(args);
    else if (command == QLatin1String("firmware"))
        result = firmware(args, true);
    else if (command == QLatin1String("image"))
        result = firmware(args, false);
    else if (command == QLatin1String("keygen"))
        result = keygen(args);
    else if (command == QLatin1String("sign"))
        result = sign(args);
    else if (command == QLatin1String("list"))
        result = list(args);
    else if (command == QLatin1String("verify"))
        result = verify(args);
    else
        result = usage();
    out().flush();
    err().flush();
    return result;
}
